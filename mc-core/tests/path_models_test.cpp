// Path models and functionals on hand-made inputs: the Heston full-truncation
// step, the Merton Poisson draw by inversion, the Asian, lookback and
// knock-out functionals, and the multilevel Asian's level kernels and
// saturating counts. Whole runs, their stream order, validation and failures
// are pinned in tests/python/test_dynamics.py, test_path_dependent.py and
// test_multilevel.py.
#include "test_support.hpp"
#include "mc_core/dynamics.hpp"
#include "mc_core/multilevel.hpp"
#include "mc_core/path_dependent.hpp"

namespace mc_core {
namespace {

using namespace test_support;
using S = SamplingMethod;

TEST(HestonStep, FullTruncationByHand) {
    // dt = 0.25, sqrt(dt) = 0.5, rho_bar = 0.8.
    const HestonPathParams p =
        HestonPathParams::from({.kappa = 2.0, .theta = 0.04, .vol_of_vol = 0.5, .rho = 0.6, .t = 2.0, .n_steps = 8});
    for (const auto& [v, z1, z2, dx, v_next] : std::vector<std::tuple<double, double, double, double, double>>{
             {0.04, 1.0, 0.5, 0.1025, 0.09},
             {0.0, 1.7, -0.4, 0.0075, 0.02},    // zero variance: the drift alone
             {-0.01, 1.7, -0.4, 0.0075, 0.01},  // v+ in the drift and the root, v itself carried
             {0.04, -3.0, 0.0, -0.1775, 0.0}}) {  // truncated to +0
        HestonState s{4.6, v};
        heston_step(s, z1, z2, p);
        EXPECT_NEAR(s.x - 4.6, dx, 1e-15) << v << " " << z1;
        EXPECT_NEAR(s.v, v_next, 1e-16) << v << " " << z1;
        EXPECT_FALSE(std::signbit(s.v));
    }
}

TEST(MertonPoisson, InversionCountsAndItsBound) {
    const double p0 = std::exp(-1.0);  // mean 1: F(0) = 0.3679, F(1) = 0.7358, F(2) = 0.9197, F(3) = 0.9810
    for (const auto& [u, count] : {std::pair<double, U64>{1e-300, 0}, {p0, 0}, {0.37, 1}, {0.73, 1},
                                   {0.74, 2}, {0.95, 3}, {0.99, 4}})
        EXPECT_EQ(poisson_by_inversion(u, 1.0, p0), count) << u;
    EXPECT_NEAR(static_cast<double>(poisson_by_inversion(0.5, 700.0, std::exp(-700.0))), 700.0, 2.0);
    // exp(-800) underflows to 0; weights summing to about 1.5e-298 never reach u: both stop at the 4096th term.
    EXPECT_EQ(fatal_message([] { poisson_by_inversion(1e-300, 800.0, std::exp(-800.0)); }),
              "Poisson sampler did not converge");
    EXPECT_EQ(fatal_message([] { poisson_by_inversion(0.5, 5.0, 1e-300); }), "Poisson sampler did not converge");
}

// Feeds a hand-made price path to a functional and returns its value (disc 1).
template <class Functional>
double value_on(const Functional& f, const std::vector<double>& prices) {
    using V = simd::f64x1;
    auto state = f.template start<V>();
    for (double price : prices) f.observe(state, V{price});
    return f.value(state, V{prices.back()}, 1.0)[0];
}

TEST(PathFunctionals, AverageMaximumAndKnockOut) {
    const ArithmeticAverage average{100.0, 3.0};
    EXPECT_DOUBLE_EQ(value_on(average, {110.0, 120.0, 130.0}), 20.0);  // the spot is not averaged
    EXPECT_EQ(value_on(average, {90.0, 95.0, 99.0}), 0.0);
    EXPECT_EQ(value_on(average, {kNaN, 120.0, 130.0}), 0.0);
    EXPECT_DOUBLE_EQ(value_on(RunningMaximum{120.0, 100.0}, {90.0, 95.0}), 20.0);  // the spot is the maximum
    EXPECT_DOUBLE_EQ(value_on(RunningMaximum{100.0, 100.0}, {90.0, 130.0, 95.0}), 30.0);
    EXPECT_DOUBLE_EQ(value_on(RunningMaximum{100.0, 90.0}, {kNaN, 105.0, kNaN}), 15.0);
    const std::tuple<const char*, double, std::vector<double>, double> rows[] = {  // name, s0, path, payoff
        {"alive", 100.0, {90.0, 85.0, 110.0}, 10.0},
        {"touches the barrier exactly", 100.0, {90.0, 80.0, 110.0}, 0.0},
        {"crosses and recovers", 100.0, {79.0, 120.0}, 0.0},
        {"spot at the barrier", 80.0, {120.0}, 0.0},
        {"NaN price does not knock out", 100.0, {kNaN, 110.0}, 10.0},
    };
    for (const auto& [name, s0, prices, expected] : rows)
        EXPECT_DOUBLE_EQ(value_on(KnockOut{s0, 100.0, 80.0}, prices), expected) << name;  // k 100, barrier 80
}

// The entry's validation, the fine-step overflow, known level estimates (level 0
// being the plain Asian kernel), the combined estimate and the replicates are
// pinned in tests/python/test_multilevel.py.
TEST(MlmcLevels, ALevelCalledDirectlyChecksItsRefinement) {
    EXPECT_EQ(fatal_message([] { simulate_asian_mlmc_level({.refinement_factor = 0}, 1, 10, 8); }),
              "refinement_factor must be >= 2");  // no division by zero
    EXPECT_EQ(mlmc_fine_step_counts({.refinement_factor = 4}), (std::vector<U64>{16, 64, 256, 1024}));
}

TEST(MlmcLevels, ZeroStrikeLevelsEstimateTheForwardAverages) {
    // With k = 0 the payoff is the discounted average, whose mean is that of the forwards s0 e^(r t_j): the fine
    // grid averages n_c * M steps of t / n_f, the coarse one n_c steps of t / n_c. Exact when sigma = 0.
    using Config = ArithmeticAsianMlmcConfig;
    const auto average = [](const Config& c, U64 steps, U64 n) {  // the first `steps` of n
        const double q = std::exp(c.r * c.t / static_cast<double>(n)), m = static_cast<double>(steps);
        return std::exp(-c.r * c.t) * c.s0 * q * (std::pow(q, m) - 1.0) / (m * (q - 1.0));
    };
    const std::tuple<S, U64, U64, U64> rows[] = {  // sampling, refinement M, level, n_f
        {S::pseudorandom, 2, 0, 5}, {S::pseudorandom, 2, 1, 8}, {S::latin_hypercube, 3, 2, 27},
        {S::scrambled_sobol, 4, 1, 16}, {S::pseudorandom, 3, 1, 10}};  // the last: M does not divide n_f
    for (const double sigma : {0.0, 0.2})
        for (const auto& [sampling, refinement, level, n_f] : rows) {
            Config c;
            c.k = 0.0, c.r = 0.2, c.sigma = sigma, c.refinement_factor = refinement, c.sampling = sampling;
            const U64 n_c = n_f / refinement;
            const double y = level == 0 ? average(c, n_f, n_f) : average(c, n_c * refinement, n_f) - average(c, n_c, n_c);
            const PathSums sums = simulate_asian_mlmc_level(c, level, 4000, n_f);
            const double mean = sums.sum / 4000.0, variance = std::fmax(sums.sum_sq / 4000.0 - mean * mean, 0.0);
            EXPECT_NEAR(mean, y, 4.0 * std::sqrt(variance / 4000.0) + 1e-11)
                << "sigma " << sigma << " level " << level << " n_f " << n_f;
        }
}

TEST(SaturatingCounts, StopAtTheTop) {
    EXPECT_EQ(saturating_add(1, 2), 3u);
    EXPECT_EQ(saturating_add(UINT64_MAX - 1, 1), UINT64_MAX);
    EXPECT_EQ(saturating_add(UINT64_MAX, 1), UINT64_MAX);
    EXPECT_EQ(saturating_mul(U64{1} << 31, U64{1} << 31), U64{1} << 62);
    EXPECT_EQ(saturating_mul(U64{1} << 32, U64{1} << 32), UINT64_MAX);
    EXPECT_EQ(saturating_mul(0, UINT64_MAX), 0u);
}

}  // namespace
}  // namespace mc_core
