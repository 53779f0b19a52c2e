// Early exercise: least-squares Monte Carlo (Longstaff and Schwartz 2001) for a
// put on one asset under geometric Brownian motion, and the American and
// Bermudan put entry points built on it.
//
// Contract
//  * `price_put_lsm_cpu` values a put that may be exercised at the grid steps of
//    its schedule (strictly ascending, each in 1..n_steps, the last one n_steps).
//    It does no validation: the two entry points check the record first and
//    build the schedule.
//  * Paths: one `NormalRng` seeded with `seed` serves every path, paths in index
//    order, steps in order, S_j = S_{j-1} * exp(drift + vol * z_j); the stream,
//    including a cached Box-Muller value, runs on across path boundaries. The
//    run never leaves the calling thread, so `n_threads` changes no number; it
//    only adds a warning when it is 2 or more.
//  * Storage: the regression reads a path only at the exercise dates, so only
//    those prices are kept (n_paths x dates doubles, one column per date), plus
//    one cash flow and one exercise step per path. The prices kept are exactly
//    those a whole n_paths x (n_steps + 1) matrix would hold. All three are
//    uninitialised `Buffer`s (huge-page aligned when large), written once.
//  * Paths are simulated one lane per path on the engine's lane streams
//    (engine.hpp): each lane runs its own contiguous range of paths from the
//    jumped-ahead state of the one stream and multiplies its own factors in
//    step order, so every path holds exactly the scalar product.
//  * Backward induction over the dates before maturity, latest first. At each
//    date the discounted realised cash flows of the in-the-money paths are
//    regressed on unweighted Laguerre polynomials of the moneyness S / K, degree
//    1 to 3 (requests above 3 are clamped); the normal equations are solved by
//    Gauss-Jordan elimination with partial pivoting. A date with at most d
//    in-the-money paths, or whose pivot falls to 1e-12 or below, is skipped.
//    A path exercises when its intrinsic value strictly exceeds the fitted
//    continuation value (floored at 0).
//  * The normal equations are sums over the in-the-money paths in path order:
//    each entry of the upper triangle of A (and of b) adds phi_p * phi_q (and
//    phi_p * y) path after path, starting from +0.0; out-of-the-money paths add
//    nothing. The products of 8 paths are formed at once, one lane per path;
//    an out-of-the-money lane contributes +0.0, which leaves every such sum's
//    bits unchanged (a sum that starts at +0.0 is never -0.0, and s + 0.0 is s
//    for every other s, NaN and infinities included), whatever its own product
//    was. A[0][0], a sum of 1.0 over the in-the-money paths, is their count.
//    Exercise decisions are made 8 paths at a time. Every lane computes what
//    one path at a time computes, so no SIMD target changes a bit.
//  * Estimate: the mean of the discounted cash flows with the population
//    standard error. With immediate exercise allowed (the American put) a
//    larger intrinsic value at time 0 replaces the mean, with standard error 0.
//  * Discounting to a later step uses the one-step factor raised to the integer
//    step count by repeated squaring, so equal step counts give equal bits;
//    the powers 0..n_steps are tabulated once by that same function when the
//    table is small next to the prices kept, and computed per path otherwise.
//  * Failures: an invalid record is a `FatalError` with a fixed message, checked
//    in a fixed order; storage whose size overflows or cannot be obtained is an
//    `AllocationFailure` naming the buffer. Nothing is left behind either way.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mc_core/buffer.hpp"
#include "mc_core/european.hpp"

namespace mc_core::runtime::cpu {

// ---------------------------------------------------------------------------
// The regression core.

struct PutLsmCoreConfig {
    std::vector<std::uint64_t> exercise_schedule;  // ascending, distinct, ends with n_steps
    std::optional<std::string> extra_warning;      // appended last when present
    std::string product_note;                      // always the second warning
    double s0 = 0.0;
    double k = 0.0;
    double r = 0.0;
    double sigma = 0.0;
    double t = 0.0;
    std::uint64_t n_paths = 0;
    std::uint64_t n_steps = 0;
    std::uint64_t seed = 0;
    std::uint64_t n_threads = 0;     // warned about, never used
    std::uint64_t basis_degree = 0;  // as requested, before clamping
    bool allow_immediate_exercise = false;
};

struct PutLsmCoreResult {
    std::vector<std::uint64_t> exercise_schedule;  // the input schedule, handed back
    std::string regression_basis;                  // "laguerre_lsm_degree_<d>"
    std::vector<std::string> warnings;
    double price = 0.0;
    double std_error = 0.0;
    std::uint64_t early_exercise_count = 0;     // exercised before maturity
    std::uint64_t maturity_exercise_count = 0;  // held to maturity, paying there
    std::uint64_t regression_steps = 0;         // dates at which a regression was solved
};

PutLsmCoreResult price_put_lsm_cpu(PutLsmCoreConfig config);

// Fixed texts of the warnings list.
inline constexpr const char* kLsmEstimatorWarning =
    "Longstaff-Schwartz estimate uses Laguerre basis regression on simulated GBM paths; it is a lower-biased "
    "Monte Carlo estimator and should be benchmarked against external references before broad product claims.";
inline constexpr const char* kBasisClampWarning = "basis_degree was clamped to the supported range [1, 3].";
inline constexpr const char* kThreadsWarning =
    "n_threads is accepted for API symmetry, but the v1 LSM regression path is single-thread deterministic.";

// ---------------------------------------------------------------------------
// American and Bermudan puts.

struct AmericanPutConfig {
    double s0 = 100.0;
    double k = 100.0;
    double r = 0.03;
    double sigma = 0.2;
    double t = 1.0;
    std::uint64_t n_paths = 100000;
    std::uint64_t n_steps = 64;
    std::uint64_t seed = 42;
    std::uint64_t n_threads = 0;
    std::uint64_t basis_degree = 2;
};

// The American fields and defaults, plus the exercise steps exactly as the
// caller gave them (unsorted, repeats kept); maturity is always added.
struct BermudanPutConfig : AmericanPutConfig {
    std::vector<std::uint64_t> exercise_steps{16, 32, 48, 64};
};

struct AmericanPutResult {
    PricingWorkloadFamily workload = PricingWorkloadFamily::american_put;
    double price = 0.0;
    double std_error = 0.0;
    std::uint64_t paths = 0;
    std::uint64_t steps = 0;
    std::uint64_t seed = 0;
    std::uint64_t early_exercise_count = 0;
    std::uint64_t maturity_exercise_count = 0;
    std::uint64_t regression_steps = 0;
    std::string regression_basis;
    std::vector<std::string> warnings;
};

struct BermudanPutResult {
    PricingWorkloadFamily workload = PricingWorkloadFamily::bermudan_put;
    double price = 0.0;
    double std_error = 0.0;
    std::uint64_t paths = 0;
    std::uint64_t steps = 0;
    std::uint64_t seed = 0;
    std::vector<std::uint64_t> exercise_schedule;  // the normalised schedule used
    std::uint64_t exercise_date_count = 0;         // its length, maturity included
    std::uint64_t early_exercise_count = 0;
    std::uint64_t maturity_exercise_count = 0;
    std::uint64_t regression_steps = 0;
    std::string regression_basis;
    std::vector<std::string> warnings;
};

inline constexpr const char* kAmericanPutNote =
    "American-put support is CPU reference only; native GPU, Greeks, dividends, stochastic rates, and "
    "multi-asset exercise policies are not implemented yet.";
inline constexpr const char* kBermudanPutNote =
    "Bermudan-put support is CPU reference only; native GPU, Greeks, dividends, stochastic rates, and "
    "multi-asset exercise policies are not implemented yet.";

// In order, first failure wins: n_paths, n_steps (>= 2), s0, k, sigma (>= 0),
// t, basis_degree; the Bermudan check adds an empty schedule, then any step
// that is 0 or beyond n_steps (in the caller's order). NaN fails every test.
void validate_american_put_config(const AmericanPutConfig& config);
void validate_bermudan_put_config(const BermudanPutConfig& config);

struct BermudanSchedule {
    std::vector<std::uint64_t> steps;  // ascending, distinct, ending with n_steps
    std::optional<std::string> note;   // what was repaired, if anything
};

// Sorts and deduplicates the caller's steps (noting it when that changed the
// list) and appends maturity when it is missing (noting that too). The steps
// must already be within 1..n_steps.
BermudanSchedule normalize_bermudan_exercise_schedule(const std::vector<std::uint64_t>& exercise_steps,
                                                      std::uint64_t n_steps);

// Exercise at every grid step and at time 0.
AmericanPutResult american_put_price_lsm_cpu(const AmericanPutConfig& config);
// Exercise at the normalised schedule only; none at time 0.
BermudanPutResult bermudan_put_price_lsm_cpu(const BermudanPutConfig& config);

// ---------------------------------------------------------------------------
// Building blocks of the core, in the order a pricing call uses them.

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
ExerciseDatePrices simulate_exercise_date_prices(const LsmGrid& grid, double s0, std::uint64_t n_paths,
                                                 std::uint64_t n_steps, std::uint64_t seed,
                                                 const std::vector<std::uint64_t>& schedule, std::size_t lanes = 0);

// Each path's planned payoff and the step at which it is received.
struct ExercisePolicy {
    Buffer<double> cash_flow;
    Buffer<std::uint64_t> exercise_step;
    std::uint64_t regression_steps = 0;
};

// Maturity payoffs, then the backward induction over the dates before the
// last one of `schedule` (whose last step is maturity).
ExercisePolicy longstaff_schwartz_policy(const ExerciseDatePrices& prices, const std::vector<std::uint64_t>& schedule,
                                         double k, double discount, int degree, std::size_t lanes = 0);

}  // namespace lsm

}  // namespace mc_core::runtime::cpu
