// The building blocks of least-squares Monte Carlo (early_exercise.hpp), in
// the order a pricing call uses them. Not part of the library's interface:
// the core's own sources, its tests and its benchmarks reach in here to check
// and time each stage apart, and to force pack widths a machine lacks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "mc_core/buffer.hpp"
#include "mc_core/early_exercise.hpp"
#include "mc_core/runner.hpp"

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

// Maturity payoffs, then the backward induction over the dates before the
// last one of `schedule` (whose last step is maturity).
ExercisePolicy longstaff_schwartz_policy(const ExerciseDatePrices& prices, const std::vector<std::uint64_t>& schedule,
                                         double k, double discount, int degree, std::size_t lanes = 0);

}  // namespace lsm

}  // namespace mc_core::runtime::cpu
