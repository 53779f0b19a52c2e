#include "mc_core/early_exercise.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

#include "mc_core/block_math.hpp"
#include "mc_core/error.hpp"
#include "mc_core/random.hpp"

namespace mc_core::runtime::cpu {

using block_math::positive_part;

// ---------------------------------------------------------------------------
// Building blocks.

namespace lsm {

int effective_basis_degree(std::uint64_t requested) {
    if (requested == 0) return 1;
    return static_cast<int>(std::min(requested, kMaxBasisDegree));
}

double integer_power(double base, std::int32_t exponent) {
    // The magnitude as unsigned, so that INT32_MIN has one too.
    std::uint32_t bits = exponent < 0 ? 0u - static_cast<std::uint32_t>(exponent) : static_cast<std::uint32_t>(exponent);
    double result = 1.0;
    double power = base;
    while (bits != 0) {
        if (bits & 1u) result *= power;
        power *= power;
        bits >>= 1;
    }
    return exponent < 0 ? 1.0 / result : result;
}

int pivot_row(const NormalEquations& system, int column, int degree) {
    int best = column;
    double largest = std::fabs(system.a[column][column]);
    for (int row = column + 1; row <= degree; ++row) {
        const double magnitude = std::fabs(system.a[row][column]);
        if (magnitude > largest) {
            best = row;
            largest = magnitude;
        }
    }
    return best;
}

bool solve_normal_equations(NormalEquations& system, int degree) {
    auto& a = system.a;
    auto& b = system.b;
    for (int c = 0; c <= degree; ++c) {
        const int p = pivot_row(system, c, degree);
        const double pivot = a[p][c];
        if (std::fabs(pivot) <= kSingularPivot) return false;
        if (p != c) {
            std::swap(a[p], a[c]);
            std::swap(b[p], b[c]);
        }
        for (int j = c; j <= degree; ++j) a[c][j] = a[c][j] / pivot;
        b[c] = b[c] / pivot;
        // Jordan's variant: clear the column above the pivot as well as below,
        // so no back substitution follows.
        for (int r = 0; r <= degree; ++r) {
            if (r == c) continue;
            const double factor = a[r][c];
            if (factor == 0.0) continue;
            for (int j = c; j <= degree; ++j) a[r][j] = a[r][j] - factor * a[c][j];
            b[r] = b[r] - factor * b[c];
        }
    }
    return true;
}

LsmGrid LsmGrid::from(double r, double sigma, double t, std::uint64_t n_steps) {
    const double dt = t / static_cast<double>(n_steps);
    return {dt, block_math::exp(-(r * dt)), dt * (r - 0.5 * (sigma * sigma)), sigma * block_math::sqrt(dt)};
}

namespace {

// The one-step growth factors exp(drift + vol z) of successive normals z of one
// stream, produced a block at a time through the bulk normal and exp
// transforms; element for element they equal the scalar computation.
class GrowthFactors {
public:
    GrowthFactors(const LsmGrid& grid, std::uint64_t seed, std::uint64_t total)
        : rng_(seed), drift_(grid.drift), vol_(grid.vol), remaining_(total) {}

    double next() {
        if (position_ == filled_) refill();
        return factors_[position_++];
    }

private:
    static constexpr std::size_t kBlock = 1024;

    void refill() {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, kBlock));
        rng_.fill_standard_normals(factors_, n);
        for (std::size_t i = 0; i < n; ++i) factors_[i] = drift_ + vol_ * factors_[i];
        block_math::exp_block(factors_, n);
        remaining_ -= n;
        filled_ = n;
        position_ = 0;
    }

    NormalRng rng_;
    double drift_, vol_;
    std::uint64_t remaining_;  // normals still to draw; never more than needed
    std::size_t filled_ = 0;
    std::size_t position_ = 0;
    double factors_[kBlock];
};

std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

}  // namespace

ExerciseDatePrices simulate_exercise_date_prices(const LsmGrid& grid, double s0, std::uint64_t n_paths,
                                                 std::uint64_t n_steps, std::uint64_t seed,
                                                 const std::vector<std::uint64_t>& schedule) {
    constexpr const char* kWhat = "exercise-date path prices (n_paths x exercise dates)";
    const std::uint64_t dates = schedule.size();
    ExerciseDatePrices prices{n_paths, dates, allocate_vector<double>(checked_product(n_paths, dates, kWhat), kWhat)};
    double* const values = prices.values.data();

    // Every path runs through all of its steps, in path order, from the one
    // stream, whatever is kept: the normals a path draws never depend on the
    // schedule, so the kept prices are those of the whole path matrix.
    GrowthFactors growth(grid, seed, saturating_product(n_paths, n_steps));
    for (std::uint64_t i = 0; i < n_paths; ++i) {
        double s = s0;
        std::uint64_t date = 0;
        std::uint64_t next_date = schedule[0];
        for (std::uint64_t j = 1; j <= n_steps; ++j) {
            s = s * growth.next();
            if (j == next_date) {
                values[date * n_paths + i] = s;
                next_date = ++date < dates ? schedule[date] : 0;  // step 0 is never reached
            }
        }
    }
    return prices;
}

namespace {

// One backward pass of Longstaff and Schwartz (2001) with a basis of fixed
// degree, so the per-path loops unroll.
template <int Degree>
void backward_induction(const ExerciseDatePrices& prices, const std::vector<std::uint64_t>& schedule, double k,
                        double discount, ExercisePolicy& policy) {
    const std::uint64_t n = prices.n_paths;
    const double strike_floor = std::fmax(k, kDblMin);
    double* const cash_flow = policy.cash_flow.data();
    std::uint64_t* const exercise_step = policy.exercise_step.data();

    // Maturity (the last date) is never visited: its payoff is already planned.
    for (std::size_t date = schedule.size() - 1; date-- > 0;) {
        const std::uint64_t step = schedule[date];
        const double* const s = prices.column(date);

        // Normal equations of the in-the-money paths, in path order. The matrix
        // is symmetric: accumulate the upper triangle and mirror it (phi_p phi_q
        // and phi_q phi_p are the same double, summed in the same order).
        NormalEquations system;
        std::uint64_t in_the_money = 0;
        for (std::uint64_t i = 0; i < n; ++i) {
            if (!(positive_part(k - s[i]) > 0.0)) continue;
            const double x = s[i] / strike_floor;
            // Discounted realised cash flow; the step count is a 32-bit exponent.
            const double y = cash_flow[i] * integer_power(discount, static_cast<std::int32_t>(exercise_step[i] - step));
            double phi[Degree + 1];
            for (int p = 0; p <= Degree; ++p) phi[p] = laguerre(p, x);
            for (int p = 0; p <= Degree; ++p) {
                for (int q = p; q <= Degree; ++q) system.a[p][q] += phi[p] * phi[q];
                system.b[p] += phi[p] * y;
            }
            ++in_the_money;
        }
        if (in_the_money <= static_cast<std::uint64_t>(Degree)) continue;  // too few points to fit
        for (int p = 1; p <= Degree; ++p)
            for (int q = 0; q < p; ++q) system.a[p][q] = system.a[q][p];
        if (!solve_normal_equations(system, Degree)) continue;
        ++policy.regression_steps;

        const double* const beta = system.b;
        for (std::uint64_t i = 0; i < n; ++i) {
            const double exercise = positive_part(k - s[i]);
            if (!(exercise > 0.0)) continue;
            const double x = s[i] / strike_floor;
            double continuation = beta[0];
            for (int p = 1; p <= Degree; ++p) continuation = continuation + beta[p] * laguerre(p, x);
            if (exercise > positive_part(continuation)) {
                cash_flow[i] = exercise;
                exercise_step[i] = step;
            }
        }
    }
}

}  // namespace

ExercisePolicy longstaff_schwartz_policy(const ExerciseDatePrices& prices, const std::vector<std::uint64_t>& schedule,
                                         double k, double discount, int degree) {
    const std::uint64_t n = prices.n_paths;
    ExercisePolicy policy{allocate_vector<double>(n, "cash flows (n_paths)"),
                          allocate_vector<std::uint64_t>(n, "exercise steps (n_paths)"), 0};
    const std::uint64_t maturity = schedule.back();
    const double* const terminal = prices.column(schedule.size() - 1);
    for (std::uint64_t i = 0; i < n; ++i) {
        policy.cash_flow[i] = positive_part(k - terminal[i]);
        policy.exercise_step[i] = maturity;
    }
    switch (degree) {
        case 1: backward_induction<1>(prices, schedule, k, discount, policy); break;
        case 2: backward_induction<2>(prices, schedule, k, discount, policy); break;
        default: backward_induction<3>(prices, schedule, k, discount, policy); break;
    }
    return policy;
}

}  // namespace lsm

// ---------------------------------------------------------------------------
// The regression core.

PutLsmCoreResult price_put_lsm_cpu(PutLsmCoreConfig config) {
    using namespace lsm;
    const int degree = effective_basis_degree(config.basis_degree);
    const LsmGrid grid = LsmGrid::from(config.r, config.sigma, config.t, config.n_steps);
    const std::vector<std::uint64_t>& schedule = config.exercise_schedule;

    ExercisePolicy policy;
    {
        const ExerciseDatePrices prices =
            simulate_exercise_date_prices(grid, config.s0, config.n_paths, config.n_steps, config.seed, schedule);
        policy = longstaff_schwartz_policy(prices, schedule, config.k, grid.discount, degree);
    }  // the prices are released before the estimate

    PutLsmCoreResult result;
    PathSums sums;
    for (std::uint64_t i = 0; i < config.n_paths; ++i) {
        const double cash = policy.cash_flow[i];
        const std::uint64_t step = policy.exercise_step[i];
        sums.add(cash * integer_power(grid.discount, static_cast<std::int32_t>(step)));
        if (step < config.n_steps)
            ++result.early_exercise_count;
        else if (cash > 0.0)
            ++result.maturity_exercise_count;
    }
    const EuropeanCallResult estimate = plain_estimate(sums, config.n_paths);
    result.price = estimate.price;
    result.std_error = estimate.std_error;
    if (config.allow_immediate_exercise) {
        const double intrinsic = positive_part(config.k - config.s0);
        if (intrinsic > estimate.price) {
            result.price = intrinsic;
            result.std_error = 0.0;
        }
    }
    result.regression_steps = policy.regression_steps;
    result.regression_basis = "laguerre_lsm_degree_" + std::to_string(degree);

    result.warnings.emplace_back(kLsmEstimatorWarning);
    result.warnings.push_back(std::move(config.product_note));
    if (config.basis_degree != static_cast<std::uint64_t>(degree)) result.warnings.emplace_back(kBasisClampWarning);
    if (config.n_threads >= 2) result.warnings.emplace_back(kThreadsWarning);
    if (config.extra_warning) result.warnings.push_back(std::move(*config.extra_warning));
    result.exercise_schedule = std::move(config.exercise_schedule);
    return result;
}

// ---------------------------------------------------------------------------
// American and Bermudan puts.

void validate_american_put_config(const AmericanPutConfig& c) {
    if (c.n_paths == 0) fail("n_paths must be > 0");
    if (c.n_steps < 2) fail("n_steps must be >= 2 for LSM regression");
    if (!(c.s0 > 0.0)) fail("s0 must be > 0");
    if (!(c.k > 0.0)) fail("k must be > 0");
    if (!(c.sigma >= 0.0)) fail("sigma must be >= 0");
    if (!(c.t > 0.0)) fail("t must be > 0");
    if (c.basis_degree == 0) fail("basis_degree must be > 0");
}

void validate_bermudan_put_config(const BermudanPutConfig& c) {
    validate_american_put_config(c);
    if (c.exercise_steps.empty()) fail("exercise_steps must include at least one exercise date");
    for (const std::uint64_t step : c.exercise_steps)
        if (step == 0 || step > c.n_steps) fail("exercise_steps must be in 1..=n_steps");
}

BermudanSchedule normalize_bermudan_exercise_schedule(const std::vector<std::uint64_t>& exercise_steps,
                                                      std::uint64_t n_steps) {
    BermudanSchedule schedule{exercise_steps, std::nullopt};
    std::vector<std::uint64_t>& steps = schedule.steps;
    std::sort(steps.begin(), steps.end());
    steps.erase(std::unique(steps.begin(), steps.end()), steps.end());
    if (steps != exercise_steps) schedule.note = "exercise_steps were sorted and deduplicated before LSM execution.";
    if (std::find(steps.begin(), steps.end(), n_steps) == steps.end()) {
        steps.push_back(n_steps);
        if (schedule.note)
            *schedule.note += " Maturity was appended because terminal payoff is always evaluated.";
        else
            schedule.note = "Maturity was appended to exercise_steps because terminal payoff is always evaluated.";
    }
    return schedule;
}

namespace {

PutLsmCoreConfig core_config(const AmericanPutConfig& c, std::vector<std::uint64_t> schedule,
                             std::optional<std::string> extra_warning, const char* product_note,
                             bool allow_immediate_exercise) {
    return {std::move(schedule), std::move(extra_warning), product_note, c.s0, c.k, c.r, c.sigma, c.t, c.n_paths,
            c.n_steps, c.seed, c.n_threads, c.basis_degree, allow_immediate_exercise};
}

// The fields both result records take from the core and the configuration.
template <class Result>
void copy_core_result(const AmericanPutConfig& c, PutLsmCoreResult& core, Result& result) {
    result.price = core.price;
    result.std_error = core.std_error;
    result.paths = c.n_paths;
    result.steps = c.n_steps;
    result.seed = c.seed;
    result.early_exercise_count = core.early_exercise_count;
    result.maturity_exercise_count = core.maturity_exercise_count;
    result.regression_steps = core.regression_steps;
    result.regression_basis = std::move(core.regression_basis);
    result.warnings = std::move(core.warnings);
}

}  // namespace

AmericanPutResult american_put_price_lsm_cpu(const AmericanPutConfig& c) {
    validate_american_put_config(c);
    std::vector<std::uint64_t> every_step = allocate_vector<std::uint64_t>(c.n_steps, "American exercise schedule (n_steps)");
    std::iota(every_step.begin(), every_step.end(), std::uint64_t{1});
    PutLsmCoreResult core =
        price_put_lsm_cpu(core_config(c, std::move(every_step), std::nullopt, kAmericanPutNote, true));
    AmericanPutResult result;
    copy_core_result(c, core, result);
    return result;
}

BermudanPutResult bermudan_put_price_lsm_cpu(const BermudanPutConfig& c) {
    validate_bermudan_put_config(c);
    BermudanSchedule schedule = normalize_bermudan_exercise_schedule(c.exercise_steps, c.n_steps);
    PutLsmCoreResult core = price_put_lsm_cpu(
        core_config(c, std::move(schedule.steps), std::move(schedule.note), kBermudanPutNote, false));
    BermudanPutResult result;
    copy_core_result(c, core, result);
    result.exercise_schedule = std::move(core.exercise_schedule);
    result.exercise_date_count = result.exercise_schedule.size();
    return result;
}

}  // namespace mc_core::runtime::cpu
