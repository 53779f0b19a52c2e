// The studies: Black-Scholes, the normal matrix of the Gaussian study and
// white-space trimming. The parameter sweep is pinned in tests/python/test_studies.py.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "mc_core/random.hpp"
#include "mc_core/studies.hpp"
#include "mc_core/text.hpp"

namespace mc_core {
namespace {

using mc_core::test_support::fatal_message;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(BlackScholes, KnownValuesLimitsAndChecks) {
    struct Row {
        double s0, k, r, sigma, t, expected, tolerance;
    };
    for (const Row& row : std::vector<Row>{
             // The sweep's rows pin values inside the domain (tests/python/test_studies.py); its limits:
             {100, 0, 0.03, 0.2, 1, 100, 0}, {100, 90, 0.03, 0.2, 0, 10, 0}, {80, 90, 0.03, 0.2, 0, 0, 0},
             {90, 100, 0.05, 0, 1, 0, 0}, {100, 100, 0.05, 0, 1, 100 - 100 * std::exp(-0.05), 0}})
        EXPECT_NEAR(black_scholes_european_call_price(row.s0, row.k, row.r, row.sigma, row.t), row.expected,
                    row.tolerance)
            << row.s0 << " " << row.k << " " << row.r << " " << row.sigma << " " << row.t;
    struct Check {
        double s0, k, sigma, t;
        const char* expected;
    };
    for (const Check& row : std::vector<Check>{
             {0, -1, -1, -1, "s0 must be > 0"}, {kNaN, 1, 0.2, 1, "s0 must be > 0"},
             {100, -1, -1, -1, "k must be >= 0"}, {100, kNaN, 0.2, 1, "k must be >= 0"},
             {100, 1, -0.1, -1, "sigma must be >= 0"}, {100, 1, kNaN, 1, "sigma must be >= 0"},
             {100, 1, 0.2, -1, "t must be >= 0"}, {100, 1, 0.2, kNaN, "t must be >= 0"}})
        EXPECT_EQ(fatal_message([&] { black_scholes_european_call_price(row.s0, row.k, 0.03, row.sigma, row.t); }),
                  row.expected);
    EXPECT_NEAR(standard_normal_cdf(0.0), 0.5, 1e-9);
    for (double x = -8.0; x <= 8.0; x += 0.01) {
        EXPECT_NEAR(standard_normal_cdf(x), 0.5 * std::erfc(-x / std::sqrt(2.0)), 1.5e-7) << x;
        EXPECT_NEAR(standard_normal_cdf(x) + standard_normal_cdf(-x), 1.0, 1e-15) << x;
    }
}

TEST(GenerateNormals, PointMajorMatrixOfTheSamplers) {
    const auto z = generate_standard_normals_cpu(SamplingMethod::pseudorandom, 7, 3, 42);
    ASSERT_EQ(z.size(), 21u);
    NormalRng rng(42);
    for (double value : z) EXPECT_EQ(value, rng.next_standard_normal());
    const std::uint64_t seed = 0x1234'5678'9ABC'DEF0ULL, points = 70, dims = 5;
    for (SamplingMethod sampling : {SamplingMethod::randomized_halton, SamplingMethod::latin_hypercube,
                                    SamplingMethod::scrambled_sobol, SamplingMethod::scrambled_sobol_brownian_bridge}) {
        const auto m = generate_standard_normals_cpu(sampling, points, dims, seed);
        ASSERT_EQ(m.size(), points * dims);
        const StructuredNormalSampler sampler(sampling, seed, points, dims);
        std::vector<double> point;
        for (std::uint64_t p = 0; p < points; ++p) {
            sampler.fill_standard_normals(p, dims, point);
            for (std::uint64_t d = 0; d < dims; ++d) ASSERT_EQ(m[p * dims + d], point[d]) << static_cast<int>(sampling);
        }
    }
    EXPECT_EQ(fatal_message([] { generate_standard_normals_cpu(SamplingMethod::pseudorandom, 0, 0, 1); }),
              "n_points must be > 0");
    EXPECT_EQ(fatal_message([] { generate_standard_normals_cpu(SamplingMethod::pseudorandom, 1, 0, 1); }),
              "dimensions must be > 0");
}

TEST(Text, TrimsUnicodeWhiteSpaceOnly) {
    EXPECT_EQ(trim_white_space("  a b\t\n"), "a b");
    EXPECT_EQ(trim_white_space("\u00a0\u2003x\u3000"), "x");
    EXPECT_EQ(trim_white_space("\u200bx"), "\u200bx");  // zero-width space is not White_Space
    EXPECT_EQ(trim_white_space(" \u2028 "), "");
}

}  // namespace
}  // namespace mc_core
