#include "mc_core/put_bounds.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "mc_core/block_math.hpp"
#include "mc_core/engine.hpp"
#include "mc_core/error.hpp"
#include "mc_core/estimators.hpp"
#include "mc_core/internal/lsm.hpp"
#include "mc_core/interrupt.hpp"
#include "mc_core/random.hpp"
#include "mc_core/simd.hpp"

namespace mc_core::runtime::cpu {

using block_math::positive_part;

namespace lsm {
namespace {

// discount^step at each date of the schedule, as the fit discounts a cash flow
// received there (integer_power of the 32-bit step count): the same bits.
std::vector<double> date_discounts(const ExerciseRule& rule, double discount) {
    std::vector<double> powers = allocate_vector<double>(rule.steps.size(), "date discount factors (dates)");
    for (std::size_t d = 0; d < rule.steps.size(); ++d)
        powers[d] = integer_power(discount, static_cast<std::int32_t>(rule.steps[d]));
    return powers;
}

template <class V>
MC_LANE_INLINE simd::mask_of<V> every_lane() {
    simd::mask_of<V> mask;
    for (std::size_t l = 0; l < simd::lanes_of<V>; ++l) mask[l] = -1;
    return mask;
}

// A xorshift64* state from a mixed word; zero is the one state it cannot hold.
constexpr std::uint64_t stream_state(std::uint64_t word) { return word == 0 ? kGoldenGamma : word; }

// One pack of whole paths (one per lane) following the rule: each lane's
// discounted cash flow at its stopping date. Later dates leave a lane that has
// stopped alone, so every lane holds what the fit's backward pass gives it.
template <class V, class Draw>
MC_LANE_INLINE V rule_path_values(Draw& draw, const ExerciseRule& rule, const double* powers, const LsmGrid& grid,
                                  double s0, std::uint64_t n_steps) {
    const std::size_t last = rule.steps.size() - 1;
    V value{};
    simd::mask_of<V> open = every_lane<V>();
    simulate_lane_paths<V>(draw, grid, s0, n_steps, rule.steps, [&](std::uint64_t date, V s) MC_PACK_LAMBDA {
        simd::mask_of<V> now = open;
        if (date != last) {
            if (!rule.fitted[date]) return;
            now = now & rule_exercises(rule, date, s);
        }
        value = simd::select(now, simd::positive_part(rule.k - s) * powers[date], value);
        open = open & ~now;
    });
    return value;
}

// The rule's path values as a model of the engine: one path a unit, n_steps
// normals each, so the engine's stream kernel runs the lanes and adds the
// values in path order, as it does for every product.
struct RuleModel {
    const ExerciseRule& rule;
    const LsmGrid& grid;
    const double* powers;
    double s0;
    std::uint64_t n_steps;

    std::uint64_t normals_per_unit() const { return n_steps; }
    double control_mean() const { return 0.0; }
    template <class Draw>
    MC_LANE_INLINE auto discounted_payoff(Draw& draw) const {
        return rule_path_values<typename Draw::Pack>(draw, rule, powers, grid, s0, n_steps);
    }
};

}  // namespace

PathSums rule_value_sums(const ExerciseRule& rule, const LsmGrid& grid, double s0, std::uint64_t n_steps,
                         std::uint64_t seed, std::uint64_t paths) {
    const std::vector<double> powers = date_discounts(rule, grid.discount);
    return stream_chunk<MonteCarloTechnique::standard>(seed, paths, RuleModel{rule, grid, powers.data(), s0, n_steps});
}

namespace {

// ---------------------------------------------------------------------------
// The dual: outer paths, each with inner paths at its dates in the money.

// Steps between two stop checks where a path may run long without a date.
constexpr std::uint64_t kStopCheckSteps = 4096;

struct DualRun {
    const ExerciseRule& rule;
    const LsmGrid& grid;
    const double* powers;  // discount^step per date
    double s0;
    std::uint64_t inner_pairs;
    std::uint64_t upper_seed;
    bool time_zero;          // the American put: time 0 is an exercise date
    bool exercise_at_start;  // and the rule takes it
};

// The paths of a batch that have not stopped yet, packed at the front of
// each array: price, stream state, the Box-Muller value held for the next
// step, antithetic sign and path index. A thread's room, reused batch after
// batch; one widest pack of padding lets the last pack run whole.
struct InnerPaths {
    Buffer<double> s, spare, sign;
    Buffer<std::uint64_t> state, path;
    Buffer<std::int64_t> stops;
    explicit InnerPaths(std::uint64_t paths)
        : s(padded(paths), "inner path prices (inner_paths)"),
          spare(padded(paths), "inner path normals (inner_paths)"),
          sign(padded(paths), "inner path signs (inner_paths)"),
          state(padded(paths), "inner path streams (inner_paths)"),
          path(padded(paths), "inner path indices (inner_paths)"),
          stops(padded(paths), "inner path stops (inner_paths)") {
        // The padding is read by whole packs but never used: give it values.
        for (std::uint64_t i = 0; i < padded(paths); ++i) {
            s[i] = spare[i] = sign[i] = 0.0;
            state[i] = kGoldenGamma;
            path[i] = 0;
            stops[i] = 0;
        }
    }
    static std::uint64_t padded(std::uint64_t paths) {
        if (paths > UINT64_MAX - simd::kLanes) throw AllocationFailure("cannot allocate inner paths");
        return paths + simd::kLanes;
    }
};

// Every inner path of a batch from price s_start at step `start_step`,
// following the rule from date `first` on: path p's discounted cash flow y[p]
// and control c[p] = its discounted price when it stops less the start's
// (mean 0: the discounted price is a martingale, the stop bounded).
// Paths 2m and 2m + 1 are an antithetic pair: the normals of the stream
// mix(batch + (m + 1) g), and their negatives.
//
// All paths of a batch stand at the same step, so they run date by date, a
// pack of paths at a time with the date's coefficients, and the paths that
// stop leave the arrays at once: no pack waits for its slowest path. Normals
// come a Box-Muller pair per path every second step, the first at the pair's
// own step, so each path reads its stream exactly as a stream of its own
// would. What a path writes depends on its own stream alone: neither the pack
// width nor the packing changes a bit.
template <class V>
MC_LANE_INLINE void inner_batch(const DualRun& run, double s_start, std::uint64_t start_step, double start_value,
                                std::size_t first, std::uint64_t batch, InnerPaths& live, double* y, double* c) {
    using U = simd::u64_of<V>;
    using M = simd::mask_of<V>;
    constexpr std::size_t kWidth = simd::lanes_of<V>;
    const ExerciseRule& rule = run.rule;
    const std::size_t last = rule.steps.size() - 1;
    const V drift = simd::broadcast<V>(run.grid.drift);
    const V vol = simd::broadcast<V>(run.grid.vol);
    double* const s = live.s.data();
    double* const spare = live.spare.data();
    double* const sign = live.sign.data();
    std::uint64_t* const state = live.state.data();
    std::uint64_t* const path = live.path.data();
    std::int64_t* const stops = live.stops.data();
    std::uint64_t alive = 2 * run.inner_pairs;
    for (std::uint64_t p = 0; p < alive; ++p) {
        s[p] = s_start;
        sign[p] = (p & 1) != 0 ? -1.0 : 1.0;
        state[p] = stream_state(splitmix64_mix(batch + (p / 2 + 1) * kGoldenGamma));
        path[p] = p;
    }
    std::uint64_t step = start_step;
    bool second = false;  // the step takes the held value of its pair
    for (std::size_t date = first;; ++date) {
        for (; step < rule.steps[date]; ++step, second = !second) {
            if (step % kStopCheckSteps == 0) check_stop();  // dates far apart
            for (std::uint64_t i = 0; i < alive; i += kWidth) {
                V z;
                if (second) {
                    z = simd::load<V>(spare + i);
                } else {
                    U bits;
                    std::memcpy(&bits, state + i, sizeof bits);
                    LaneStream<V> stream(bits);
                    V pair[2];
                    stream.fill(pair, 2);
                    bits = stream.states();
                    std::memcpy(state + i, &bits, sizeof bits);
                    simd::store(spare + i, pair[1]);
                    z = pair[0];
                }
                const V price = simd::load<V>(s + i) * lane_math::exp(drift + vol * (z * simd::load<V>(sign + i)));
                simd::store(s + i, price);
            }
        }
        const bool maturity = date == last;
        if (!maturity && !rule.fitted[date]) continue;
        const double power = run.powers[date];
        bool any_stop = false;
        for (std::uint64_t i = 0; i < alive; i += kWidth) {
            const V price = simd::load<V>(s + i);
            M now = every_lane<V>();
            if (!maturity) now = rule_exercises(rule, date, price);
            if (!simd::any(now)) {
                std::memset(stops + i, 0, sizeof(M));
                continue;
            }
            any_stop = true;
            std::memcpy(stops + i, &now, sizeof now);
            const V cash = simd::positive_part(rule.k - price) * power;
            const V control = price * power - start_value;
            for (std::size_t l = 0; l < kWidth && i + l < alive; ++l) {
                if (now[l] == 0) continue;
                y[path[i + l]] = cash[l];
                c[path[i + l]] = control[l];
            }
        }
        if (maturity) return;
        if (!any_stop) continue;
        std::uint64_t kept = 0;
        for (std::uint64_t i = 0; i < alive; ++i) {
            if (stops[i] != 0) continue;
            s[kept] = s[i];
            spare[kept] = spare[i];
            sign[kept] = sign[i];
            state[kept] = state[i];
            path[kept] = path[i];
            ++kept;
        }
        alive = kept;
        if (alive == 0) return;
    }
}

// Least-squares slope of u on v over units [from, to); 0 when v does not vary.
double control_slope(const double* u, const double* v, std::uint64_t from, std::uint64_t to) {
    const double n = static_cast<double>(to - from);
    double su = 0.0, sv = 0.0;
    for (std::uint64_t m = from; m < to; ++m) {
        su += u[m];
        sv += v[m];
    }
    const double mu = su / n, mv = sv / n;
    double suv = 0.0, svv = 0.0;
    for (std::uint64_t m = from; m < to; ++m) {
        suv += (u[m] - mu) * (v[m] - mv);
        svv += (v[m] - mv) * (v[m] - mv);
    }
    return svv > 0.0 ? suv / svv : 0.0;
}

// Qh from a batch (put_bounds.hpp): the pair means u of the cash flows and v
// of the controls, each half of the pairs corrected by the slope fitted on the
// other half.
double continuation_from(const double* y, const double* c, std::uint64_t pairs, double* u, double* v) {
    for (std::uint64_t m = 0; m < pairs; ++m) {
        u[m] = 0.5 * (y[2 * m] + y[2 * m + 1]);
        v[m] = 0.5 * (c[2 * m] + c[2 * m + 1]);
    }
    const std::uint64_t half = pairs / 2;
    const double slope_a = pairs >= 4 ? control_slope(u, v, 0, half) : 0.0;
    const double slope_b = pairs >= 4 ? control_slope(u, v, half, pairs) : 0.0;
    double total = 0.0;
    for (std::uint64_t m = 0; m < pairs; ++m) total += u[m] - (m < half ? slope_b : slope_a) * v[m];
    return total / static_cast<double>(pairs);
}

// A thread's room for one batch: the live paths, each path's cash flow and
// control, and the pair averages.
struct InnerScratch {
    InnerPaths live;
    Buffer<double> y, c, u, v;
    explicit InnerScratch(std::uint64_t pairs)
        : live(checked_product(pairs, 2, "inner paths")),
          y(checked_product(pairs, 2, "inner paths"), "inner cash flows (inner_paths)"),
          c(checked_product(pairs, 2, "inner paths"), "inner controls (inner_paths)"),
          u(pairs, "inner pair cash flows (inner_paths / 2)"),
          v(pairs, "inner pair controls (inner_paths / 2)") {}
};

// Outer path o's duality gap D = max_k D_k (put_bounds.hpp): `carried` sums
// Qh_j - Z_j over the exercise dates passed, each date in the money adds its
// D_k, maturity adds `carried` itself.
template <class V>
MC_LANE_INLINE double outer_gap(const DualRun& run, std::uint64_t o, InnerScratch& scratch, std::uint64_t& estimates) {
    using V1 = simd::f64x1;
    const ExerciseRule& rule = run.rule;
    const std::size_t last = rule.steps.size() - 1;
    const std::uint64_t outer = splitmix64_mix(run.upper_seed + (o + 1) * kGoldenGamma);
    // Outer date i: 0 is time 0, j + 1 the schedule's date j.
    const auto estimate = [&](double s, std::uint64_t step, std::size_t first, std::uint64_t i) MC_PACK_LAMBDA {
        check_stop();
        ++estimates;
        const double start_value = s * (first == 0 ? 1.0 : run.powers[first - 1]);
        inner_batch<V>(run, s, step, start_value, first, splitmix64_mix(outer + (i + 1) * kInnerDateGamma),
                       scratch.live, scratch.y.data(), scratch.c.data());
        return continuation_from(scratch.y.data(), scratch.c.data(), run.inner_pairs, scratch.u.data(),
                                 scratch.v.data());
    };
    double gap = -std::numeric_limits<double>::infinity();
    double carried = 0.0;
    if (run.time_zero) {
        const double z0 = positive_part(rule.k - run.s0);
        if (run.exercise_at_start) {
            gap = 0.0;
            carried = estimate(run.s0, 0, 0, 0) - z0;
        } else if (z0 > 0.0) {
            gap = z0 - estimate(run.s0, 0, 0, 0);
        }
    }
    LaneStream<V1> stream(simd::u64_of<V1>{stream_state(outer)});
    const V1 drift{run.grid.drift};
    const V1 vol{run.grid.vol};
    V1 s{run.s0};
    std::uint64_t step = 0;
    for (std::size_t date = 0;; ++date) {
        for (; step < rule.steps[date]; ++step) {
            if (step % kStopCheckSteps == 0) check_stop();
            V1 z;
            stream.fill(&z, 1);
            s = s * lane_math::exp(drift + vol * z);
        }
        if (date == last) return std::fmax(gap, carried);
        const double intrinsic = positive_part(rule.k - s[0]);
        if (!(intrinsic > 0.0)) continue;
        const double z_k = intrinsic * run.powers[date];
        const double q_k = estimate(s[0], step, date + 1, date + 1);
        if (rule.fitted[date] && rule_exercises(rule, date, s)[0] != 0) {
            gap = std::fmax(gap, carried);
            carried += q_k - z_k;
        } else {
            gap = std::fmax(gap, carried + (z_k - q_k));
        }
    }
}

struct EstimateCount {
    std::uint64_t estimates = 0;
    EstimateCount& operator+=(const EstimateCount& other) {
        estimates += other.estimates;
        return *this;
    }
};

// Every outer path's gap into gaps[o]. The blocks only share out the work:
// each path's gap is its own streams' alone, wherever it runs.
std::uint64_t dual_gaps(const DualRun& run, std::uint64_t outer_paths, std::uint64_t workers, double* gaps) {
    const std::uint64_t blocks = workers >= outer_paths / 8 ? outer_paths : workers * 8;
    const EstimateCount count = run_blocks(
        split_blocks(outer_paths, blocks, 0, BlockSeeds::range),
        [&](const WorkerBlock& block) {
            InnerScratch scratch(run.inner_pairs);
            return simd::on_active_target([&](auto pack) {
                using V = typename decltype(pack)::type;
                EstimateCount n;
                for (std::uint64_t o = block.first_unit; o < block.first_unit + block.units; ++o)
                    gaps[o] = outer_gap<V>(run, o, scratch, n.estimates);
                return n;
            });
        },
        kWorkerFailureText, workers);
    return count.estimates;
}

}  // namespace
}  // namespace lsm

namespace {

void check_request(const PutBoundsRequest& request, std::uint64_t lower_paths) {
    if (request.inner_paths == 0) fail("inner_paths must be > 0");
    if (request.outer_paths < 2) fail("outer_paths must be >= 2");
    if (lower_paths < 2) fail("lower_paths must be >= 2 (or 0: n_paths)");
}

// Mean and standard error with the sample variance (divisor n - 1).
EuropeanCallResult sample_estimate(const PathSums& sums, std::uint64_t n) {
    const SampleMoments moments = population_moments(sums, n);
    return {moments.mean, block_math::sqrt(moments.variance / static_cast<double>(n - 1))};
}

std::optional<BlockPlan> fit_plan(std::uint64_t workers) {
    if (workers <= 1) return std::nullopt;
    return BlockPlan{workers, workers};
}

// The bounds' own storage, claimed before the fit runs: the outer gaps, and a
// try of one thread's inner room (each worker claims its own on its thread,
// where a failure would be a worker's failure rather than an allocation's).
Buffer<double> claim_bounds_storage(const PutBoundsRequest& request) {
    Buffer<double> gaps(request.outer_paths, "duality gaps (outer_paths)");
    { const lsm::InnerScratch probe(antithetic_pairs(request.inner_paths)); }
    return gaps;
}

PutBoundsResult put_bounds(const AmericanPutConfig& c, const PutBoundsRequest& request, std::uint64_t workers,
                           const lsm::ExerciseRule& rule, Buffer<double> gaps) {
    using namespace lsm;
    PutBoundsResult result;
    result.inner_paths = request.inner_paths;
    result.outer_paths = request.outer_paths;
    result.lower_paths = request.lower_paths == 0 ? c.n_paths : request.lower_paths;
    result.lower_seed = splitmix64_mix(c.seed + kLowerBoundSalt);
    result.upper_seed = splitmix64_mix(c.seed + kUpperBoundSalt);
    const LsmGrid grid = LsmGrid::from(c.r, c.sigma, c.t, c.n_steps);
    const double z0 = positive_part(c.k - c.s0);
    result.exercise_at_start = rule.immediate_exercise_allowed && z0 > rule.start_continuation;

    if (result.exercise_at_start) {
        result.lower = z0;
    } else {
        const PathSums sums = rule_value_sums(rule, grid, c.s0, c.n_steps, result.lower_seed, result.lower_paths);
        const EuropeanCallResult lower = sample_estimate(sums, result.lower_paths);
        result.lower = lower.price;
        result.lower_stderr = lower.std_error;
    }

    const std::vector<double> powers = date_discounts(rule, grid.discount);
    const DualRun run{rule,
                      grid,
                      powers.data(),
                      c.s0,
                      antithetic_pairs(request.inner_paths),
                      result.upper_seed,
                      rule.immediate_exercise_allowed,
                      result.exercise_at_start};
    result.inner_estimates = dual_gaps(run, request.outer_paths, workers, gaps.data());
    PathSums gap_sums;
    for (std::uint64_t o = 0; o < request.outer_paths; ++o) gap_sums.add(gaps[o]);
    const EuropeanCallResult gap = sample_estimate(gap_sums, request.outer_paths);
    result.gap = gap.price;
    result.gap_stderr = gap.std_error;
    result.upper = result.lower + result.gap;
    result.upper_stderr =
        block_math::sqrt(result.lower_stderr * result.lower_stderr + result.gap_stderr * result.gap_stderr);
    return result;
}

template <class Result>
void copy_fit(const Result& fit, PutBoundsResult& result) {
    result.in_sample = fit.price;
    result.in_sample_stderr = fit.std_error;
    result.regression_steps = fit.regression_steps;
    result.warnings = fit.warnings;
}

}  // namespace

namespace {

// Checks the put and the request, claims the gaps' storage, fits the rule and
// bounds the price with it: the same for both puts but for their fit.
template <class Config, class Fit>
PutBoundsResult bounds_of(const Config& c, const PutBoundsRequest& request, Fit&& fit) {
    check_request(request, request.lower_paths == 0 ? c.n_paths : request.lower_paths);
    const std::uint64_t workers = std::min(resolve_worker_count(request.threads), request.outer_paths);
    Buffer<double> gaps = claim_bounds_storage(request);
    lsm::ExerciseRule rule;
    const auto fitted = fit(c, fit_plan(workers), rule);
    PutBoundsResult result = put_bounds(c, request, workers, rule, std::move(gaps));
    copy_fit(fitted, result);
    return result;
}

}  // namespace

PutBoundsResult american_put_bounds_cpu(const AmericanPutConfig& c, const PutBoundsRequest& request) {
    validate_american_put_config(c);
    return bounds_of(c, request, lsm::american_put_fit);
}

PutBoundsResult bermudan_put_bounds_cpu(const BermudanPutConfig& c, const PutBoundsRequest& request) {
    validate_bermudan_put_config(c);
    return bounds_of(c, request, lsm::bermudan_put_fit);
}

}  // namespace mc_core::runtime::cpu
