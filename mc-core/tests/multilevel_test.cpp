// Multilevel Monte Carlo for the arithmetic Asian call: the level kernels and
// saturating counts.
#include <cmath>
#include <cstdint>
#include <string>
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

// The entry's validation, the fine-step overflow, known level estimates (level 0
// being the plain Asian kernel), the combined estimate and the replicates are
// pinned in tests/python/test_multilevel.py.
TEST(MlmcLevels, ALevelCalledDirectlyChecksItsRefinement) {
    EXPECT_EQ(fatal_message([] { simulate_asian_mlmc_level({.refinement_factor = 0}, 1, 10, 8); }),
              "refinement_factor must be >= 2");  // no division by zero
    EXPECT_EQ(mlmc_fine_step_counts({.refinement_factor = 4}), (Steps{16, 64, 256, 1024}));
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
            Config c;
            c.k = 0.0;
            c.r = 0.2;
            c.sigma = sigma;
            c.refinement_factor = row.refinement;
            c.sampling = row.sampling;
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
