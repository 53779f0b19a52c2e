// Multilevel Monte Carlo for the arithmetic Asian call: the level kernels,
// replicates, saturating counts.
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "mc_core/multilevel.hpp"
#include "mc_core/path_dependent.hpp"

namespace mc_core {
namespace {

using mc_core::test_support::fatal_message;

using Config = ArithmeticAsianMlmcConfig;
using Steps = std::vector<std::uint64_t>;

// The entry's validation, the fine-step overflow and the combined estimate are
// pinned in tests/python/test_multilevel.py.
TEST(MlmcLevels, ALevelCalledDirectlyChecksItsRefinement) {
    EXPECT_EQ(fatal_message([] { simulate_asian_mlmc_level({.refinement_factor = 0}, 1, 10, 8); }),
              "refinement_factor must be >= 2");  // no division by zero
    EXPECT_EQ(mlmc_fine_step_counts({.refinement_factor = 4}), (Steps{16, 64, 256, 1024}));
}

TEST(MlmcLevels, LevelZeroIsThePlainAsianKernelAndLevelOneByHand) {
    const Config c;
    const auto model = make_stepwise_model(ArithmeticAverage{c.k, 16.0}, 16, c.s0, c.r, c.sigma, c.t);
    const PathSums level = simulate_asian_mlmc_level(c, 0, 300, 16);
    const PathSums plain = simulate_asian_stepwise_chunk(derive_worker_seed(c.seed, 0), 300, 16, c.s0, c.k,
                                                         model.drift, model.vol, model.disc);
    EXPECT_EQ(std::tie(level.sum, level.sum_sq), std::tie(plain.sum, plain.sum_sq));
    // One level-1 sample with k = 0 from the level's own stream: two fine steps, and one coarse step driven by
    // their sum / sqrt(2).
    NormalRng rng(derive_worker_seed(c.seed, 1));
    const double z1 = rng.next_standard_normal(), z2 = rng.next_standard_normal();
    auto growth = [&c](double dt, double z) {
        return std::exp(dt * (c.r - 0.5 * c.sigma * c.sigma) + c.sigma * std::sqrt(dt) * z);
    };
    const double f1 = c.s0 * growth(0.5, z1), f2 = f1 * growth(0.5, z2);
    const double coarse = c.s0 * growth(1.0, (z1 + z2) / std::sqrt(2.0));
    EXPECT_NEAR(simulate_asian_mlmc_level({.k = 0.0}, 1, 1, 2).sum, std::exp(-c.r) * ((f1 + f2) / 2.0 - coarse), 1e-12);
}

TEST(MlmcLevels, ZeroStrikeLevelsEstimateTheForwardAverages) {
    // With k = 0 the payoff is the discounted average, whose mean is that of the forwards s0 e^(r t_j): the fine
    // grid averages n_c * M steps of t / n_f, the coarse one n_c steps of t / n_c. Exact when sigma = 0.
    auto average = [](const Config& c, std::uint64_t steps, std::uint64_t n) {  // the first `steps` of n
        const double q = std::exp(c.r * c.t / static_cast<double>(n)), m = static_cast<double>(steps);
        return std::exp(-c.r * c.t) * c.s0 * q * (std::pow(q, m) - 1.0) / (m * (q - 1.0));
    };
    struct Row {
        SamplingMethod sampling;
        std::uint64_t refinement, level, n_f;
    };
    for (const double sigma : {0.0, 0.2}) {
        for (const Row& row : {Row{SamplingMethod::pseudorandom, 2, 0, 5}, Row{SamplingMethod::pseudorandom, 2, 1, 8},
                               Row{SamplingMethod::latin_hypercube, 3, 2, 27},
                               Row{SamplingMethod::scrambled_sobol, 4, 1, 16},
                               Row{SamplingMethod::pseudorandom, 3, 1, 10}}) {  // M does not divide n_f
            const Config c{.k = 0.0, .r = 0.2, .sigma = sigma, .refinement_factor = row.refinement,
                           .sampling = row.sampling};
            const std::uint64_t n_c = row.n_f / row.refinement;
            const double y = row.level == 0 ? average(c, row.n_f, row.n_f)
                                            : average(c, n_c * row.refinement, row.n_f) - average(c, n_c, n_c);
            const PathSums sums = simulate_asian_mlmc_level(c, row.level, 4000, row.n_f);
            const double mean = sums.sum / 4000.0, variance = std::fmax(sums.sum_sq / 4000.0 - mean * mean, 0.0);
            EXPECT_NEAR(mean, y, 4.0 * std::sqrt(variance / 4000.0) + 1e-11)
                << "sigma " << sigma << " level " << row.level << " n_f " << row.n_f;
        }
    }
}

TEST(MlmcReplicates, TwoReplicatesAndTheBridgeVariant) {
    Config c{.base_steps = 4, .levels = 3, .paths_per_level = {400, 200, 100},
             .sampling = SamplingMethod::scrambled_sobol, .scramble_replicates = 2};
    const auto result = arithmetic_asian_call_price_mlmc_cpu(c);
    Config first = c, second = c;
    first.seed = derive_worker_seed(c.seed, 0);
    second.seed = derive_worker_seed(c.seed, 1);
    const auto a = arithmetic_asian_call_price_mlmc_single_cpu(first);
    const auto b = arithmetic_asian_call_price_mlmc_single_cpu(second);
    EXPECT_EQ(result.replicate_estimates, (std::vector<double>{a.price, b.price}));
    EXPECT_DOUBLE_EQ(result.std_error, std::fabs(a.price - b.price) / 2.0);
    for (std::size_t l = 0; l < 3; ++l) {  // per level: the sample variance of the replicate means
        const auto& level = result.levels[l];
        EXPECT_EQ(level.mean, (a.levels[l].mean + b.levels[l].mean) / 2.0);
        const double d = a.levels[l].mean - level.mean, e = b.levels[l].mean - level.mean;
        EXPECT_EQ(level.variance, d * d + e * e);
        EXPECT_EQ(level.std_error, std::sqrt(level.variance / 2.0));
    }
    c.sampling = SamplingMethod::scrambled_sobol_brownian_bridge;  // the plain Sobol points: no bridge
    EXPECT_EQ(arithmetic_asian_call_price_mlmc_cpu(c).price, result.price);
}

TEST(SaturatingCounts, StopAtTheTop) {
    EXPECT_EQ(saturating_add(1, 2), 3u);
    EXPECT_EQ(saturating_add(UINT64_MAX - 1, 1), UINT64_MAX);
    EXPECT_EQ(saturating_add(UINT64_MAX, 1), UINT64_MAX);
    EXPECT_EQ(saturating_mul(std::uint64_t{1} << 31, std::uint64_t{1} << 31), std::uint64_t{1} << 62);
    EXPECT_EQ(saturating_mul(std::uint64_t{1} << 32, std::uint64_t{1} << 32), UINT64_MAX);
    EXPECT_EQ(saturating_mul(0, UINT64_MAX), 0u);
}

}  // namespace
}  // namespace mc_core
