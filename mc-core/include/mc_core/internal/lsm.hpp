// The building blocks of least-squares Monte Carlo (early_exercise.hpp), in
// the order a pricing call uses them. Not part of the library's interface:
// the core's own sources, its tests and its benchmarks reach in here to check
// and time each stage apart, and to force pack widths a machine lacks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "mc_core/buffer.hpp"
#include "mc_core/early_exercise.hpp"
#include "mc_core/engine.hpp"
#include "mc_core/lane_math.hpp"
#include "mc_core/runner.hpp"
#include "mc_core/simd.hpp"

namespace mc_core::runtime::cpu {


namespace lsm {

inline constexpr std::uint64_t kMaxBasisDegree = 3;
inline constexpr double kSingularPivot = 1e-12;

// 0 gives 1, otherwise min(requested, 3).
int effective_basis_degree(std::uint64_t requested);

// base^exponent by repeated squaring: starting from 1, for each bit of |exponent|
// from the lowest up, multiply by the running power when the bit is set, then
// square the running power. A negative exponent gives the reciprocal.
double integer_power(double base, std::int32_t exponent);

// The Laguerre polynomial L_p (p = 0..3) of x without the exponential weight,
// in the operation order the regression relies on:
//   L0 = 1, L1 = 1 - x, L2 = (1 - 2x) + x^2/2, L3 = ((1 - 3x) + 3x^2/2) - x^3/6.
// `laguerre_term<P>` takes a double or a lane pack (P >= 1), so the per-path
// and the lane-parallel code evaluate one expression.
template <int P, class T>
constexpr T laguerre_term(T x) {
    static_assert(P >= 1 && P <= 3);
    if constexpr (P == 1) return 1.0 - x;
    else if constexpr (P == 2) return (1.0 - 2.0 * x) + 0.5 * (x * x);
    else return ((1.0 - 3.0 * x) + 1.5 * (x * x)) - (x * x) * x / 6.0;
}

constexpr double laguerre(int p, double x) {
    switch (p) {
        case 0: return 1.0;
        case 1: return laguerre_term<1>(x);
        case 2: return laguerre_term<2>(x);
        default: return laguerre_term<3>(x);
    }
}

// A (degree + 1)-square system A beta = b in a fixed 4 x 4 frame.
struct NormalEquations {
    double a[4][4] = {};
    double b[4] = {};
};

// Row holding the largest |A[row][column]| among rows column..degree, scanned
// downward and replaced only on a strictly larger magnitude (the upper row wins
// a tie).
int pivot_row(const NormalEquations& system, int column, int degree);

// Gauss-Jordan elimination with partial pivoting over the leading
// (degree + 1)-square block, in place. Returns false, leaving the system
// partly reduced, as soon as a pivot's magnitude is at most 1e-12; otherwise
// true with the coefficients in b[0..degree].
bool solve_normal_equations(NormalEquations& system, int degree);

// Per-step constants of the uniform grid.
struct LsmGrid {
    double dt;
    double discount;  // exp(-r dt)
    double drift;     // dt (r - sigma^2 / 2)
    double vol;       // sigma sqrt(dt)

    static LsmGrid from(double r, double sigma, double t, std::uint64_t n_steps);
};

// One path per lane from `draw`: S_j = S_{j-1} * exp(drift + vol z_j) in step
// order, handing store(date, prices) the pack's prices at each exercise date.
// The fit and the out-of-sample pass of the bounds (put_bounds.hpp) share it,
// so a path's prices are the same bits in both.
template <class V, class Draw, class Store>
MC_LANE_INLINE void simulate_lane_paths(Draw& draw, const LsmGrid& grid, double s0, std::uint64_t n_steps,
                                        const std::vector<std::uint64_t>& schedule, Store&& store) {
    const V drift = simd::broadcast<V>(grid.drift);
    const V vol = simd::broadcast<V>(grid.vol);
    const std::uint64_t dates = schedule.size();
    const std::uint64_t* const date_steps = schedule.data();
    V s = simd::broadcast<V>(s0);
    std::uint64_t date = 0;
    std::uint64_t next_date = dates > 0 ? date_steps[0] : 0;  // step 0 is never reached
    for (std::uint64_t step0 = 0; step0 < n_steps; step0 += kDrawBlock) {
        const std::size_t steps = static_cast<std::size_t>(std::min<std::uint64_t>(kDrawBlock, n_steps - step0));
        const V* z = draw(steps);
        for (std::size_t j = 0; j < steps; ++j) {
            s = s * lane_math::exp(drift + vol * z[j]);
            if (step0 + 1 + j == next_date) {
                store(date, s);
                next_date = ++date < dates ? date_steps[date] : 0;
            }
        }
    }
}

// Path prices at the exercise dates, one column per date: path i at date c is
// values[c * n_paths + i].
struct ExerciseDatePrices {
    std::uint64_t n_paths = 0;
    std::uint64_t dates = 0;
    Buffer<double> values;  // n_paths x dates

    const double* column(std::uint64_t date) const { return values.data() + date * n_paths; }
};

// Simulates every path over all n_steps steps from one stream seeded with
// `seed` and keeps the prices at the schedule's steps.
//
// `lanes` 0 runs on the active SIMD target's own packs. 2, 4 or 8 force packs
// of that many paths, compiled for the baseline: every width and every target
// give the same bits, and this lets a test check the widest packs on a machine
// that lacks their target. Likewise for `longstaff_schwartz_policy`.
// The prices land in `storage` when it is given (n_paths x dates values).
ExerciseDatePrices simulate_exercise_date_prices(const LsmGrid& grid, double s0, std::uint64_t n_paths,
                                                 std::uint64_t n_steps, std::uint64_t seed,
                                                 const std::vector<std::uint64_t>& schedule, std::size_t lanes = 0,
                                                 const std::optional<BlockPlan>& plan = std::nullopt,
                                                 Buffer<double> storage = {});
// Room for the path prices of `dates` exercise dates: the one allocation that
// grows with n_paths x n_steps, so it is claimed before anything is filled.
Buffer<double> exercise_date_storage(std::uint64_t n_paths, std::uint64_t dates);

// Each path's planned payoff and the step at which it is received.
struct ExercisePolicy {
    Buffer<double> cash_flow;
    Buffer<std::uint64_t> exercise_step;
    std::uint64_t regression_steps = 0;
};

// The exercise rule a fit leaves behind: per date before maturity, whether a
// regression was solved there and its coefficients. A path following it
// exercises at the first date whose test below passes, else at maturity; on
// the fit's own paths that is exactly the fit's policy.
struct ExerciseRule {
    std::vector<std::uint64_t> steps;         // the schedule, maturity last
    std::vector<std::array<double, 4>> beta;  // per date; read only where fitted
    std::vector<std::uint8_t> fitted;         // per date; maturity's entry is 0
    double k = 0.0;
    double strike_floor = 0.0;  // fmax(k, DBL_MIN), the moneyness divisor
    int degree = 1;
    // The in-sample estimate, the rule's value of holding at time 0: the
    // American put exercises at once when its intrinsic value beats it.
    double start_continuation = 0.0;
    bool immediate_exercise_allowed = false;
};

// The rule's test at a fitted date, lane by lane: the intrinsic value strictly
// beats the floored fitted continuation value, in the operation order of the
// fit's own decisions (the same bits, so the same choices).
template <class V>
MC_LANE_INLINE simd::mask_of<V> rule_exercises(const ExerciseRule& rule, std::size_t date, V s) {
    const std::array<double, 4>& b = rule.beta[date];
    const V x = s / rule.strike_floor;
    V continuation = simd::broadcast<V>(b[0]);
    continuation = continuation + b[1] * laguerre_term<1>(x);
    if (rule.degree >= 2) continuation = continuation + b[2] * laguerre_term<2>(x);
    if (rule.degree >= 3) continuation = continuation + b[3] * laguerre_term<3>(x);
    return simd::positive_part(rule.k - s) > simd::positive_part(continuation);
}

// Maturity payoffs, then the backward induction over the dates before the
// last one of `schedule` (whose last step is maturity). With `rule`, the
// coefficients of every solved date are kept there too.
ExercisePolicy longstaff_schwartz_policy(const ExerciseDatePrices& prices, const std::vector<std::uint64_t>& schedule,
                                         double k, double discount, int degree, std::size_t lanes = 0,
                                         ExerciseRule* rule = nullptr);

// The discounted cash flows of `paths` paths following `rule`, drawn from the
// stream `seed` exactly as the fit draws its paths, summed in path order. The
// paths are streamed (put_bounds.hpp): nothing per path or per date is kept,
// so the memory is the same for any path and step count. With the fit's own
// seed and path count this is the fit's estimate, bit for bit.
PathSums rule_value_sums(const ExerciseRule& rule, const LsmGrid& grid, double s0, std::uint64_t n_steps,
                         std::uint64_t seed, std::uint64_t paths);

// The American and Bermudan pricings of early_exercise.hpp, bit for bit,
// handing out the fitted rule as well.
AmericanPutResult american_put_fit(const AmericanPutConfig& config, const std::optional<BlockPlan>& plan,
                                   ExerciseRule& rule);
BermudanPutResult bermudan_put_fit(const BermudanPutConfig& config, const std::optional<BlockPlan>& plan,
                                   ExerciseRule& rule);

}  // namespace lsm

}  // namespace mc_core::runtime::cpu
