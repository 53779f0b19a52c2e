// The studies: Black-Scholes, the normal matrix of the Gaussian study, the
// European parameter sweep, and white-space trimming.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "mc_core/stepwise.hpp"
#include "mc_core/studies.hpp"
#include "mc_core/text.hpp"

namespace mc_core {
namespace {

using mc_core::test_support::fatal_message;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(BlackScholes, KnownValuesLimitsAndChecks) {
    struct Row {
        double s0, k, r, sigma, t, expected, tolerance;
    };
    for (const Row& row : std::vector<Row>{
             {100, 100, 0.0, 0.2, 1, 7.96558, 5e-6}, {100, 100, 0.03, 0.2, 1, 9.41339, 5e-6},
             {90, 100, 0.03, 0.2, 1, 4.44794, 5e-6}, {100, 100, 0.03, 0.35, 1, 15.21421, 5e-6},
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

using namespace runtime::cpu;
using Sweep = EuropeanCallParameterSweepConfig;

Sweep small_sweep(const std::vector<std::string>& ids = {}) {
    Sweep s{.base_config = {.n_paths = 4000, .n_steps = 16, .n_threads = 1}};
    if (!ids.empty()) s.scenarios.clear();
    for (const std::string& id : ids) s.scenarios.emplace_back().scenario_id = id;
    return s;
}

TEST(Sweep, EffectiveConfiguration) {
    for (std::uint64_t i = 0; i < 3; ++i) EXPECT_EQ(sweep_effective_config(Sweep{}, i).seed, 42u + 10000u * i);
    Sweep s = small_sweep({"a", "b", "c"});
    s.base_config.seed = UINT64_MAX;
    s.base_config.n_threads = 3;
    s.seed_stride = 5;
    s.scenarios[0].seed = 7;
    s.scenarios[1].k = 120.0;
    s.scenarios[2].n_paths = 10;
    const auto a = sweep_effective_config(s, 0), b = sweep_effective_config(s, 1), c = sweep_effective_config(s, 2);
    EXPECT_EQ(a.seed, 7u);
    EXPECT_EQ(b.seed, UINT64_MAX + 5);  // wraps; not shifted by scenario 0's own seed
    EXPECT_EQ(c.seed, UINT64_MAX + 10);
    EXPECT_EQ(std::make_pair(b.k, b.n_paths), std::make_pair(120.0, std::uint64_t{4000}));
    EXPECT_EQ(std::make_pair(c.k, c.n_paths), std::make_pair(100.0, std::uint64_t{10}));
    for (const auto& e : {a, b, c}) EXPECT_EQ(e.n_threads, 3u);
}

TEST(Sweep, ValidationBeforeAnyPricing) {
    struct Row {
        void (*edit)(Sweep&);
        const char* expected;
    };
    const Row rows[] = {
        {[](Sweep& s) { s.base_config.sigma = 0.0; s.scenarios.clear(); }, "sigma must be > 0"},
        {[](Sweep& s) { s.base_config.n_paths = 0; s.base_config.t = 0.0; }, "n_paths must be > 0"},
        {[](Sweep& s) { s.scenarios.clear(); }, "parameter sweep must contain at least one scenario"},
        {[](Sweep& s) { s.scenarios.emplace_back().scenario_id = " \t\u3000 "; }, "scenario_id must not be empty"},
        {[](Sweep& s) { s.scenarios.emplace_back().scenario_id = "high_vol"; }, "scenario_id values must be unique"},
        {[](Sweep& s) {
             s.scenarios[0].n_steps = std::uint64_t{1} << 62;  // valid, never priced: its buffers cannot exist
             s.scenarios[0].sampling = SamplingMethod::latin_hypercube;
             s.scenarios[0].method = EuropeanCallMethod::stepwise_paths;
             s.scenarios.emplace_back().scenario_id = "flat";
             s.scenarios.back().sigma = 0.0;
         },
         "sigma must be > 0"},
        {[](Sweep& s) { s.scenarios[1].n_steps = 0; s.scenarios[1].s0 = -1.0; }, "n_steps must be > 0"},
        {[](Sweep& s) { s.scenarios[2].k = kNaN; }, "k must be > 0"},
    };
    for (const Row& row : rows) {
        Sweep s = small_sweep();
        row.edit(s);
        EXPECT_EQ(fatal_message([&] { price_european_call_parameter_sweep_cpu(s); }), row.expected);
    }
    const auto untrimmed = price_european_call_parameter_sweep_cpu(small_sweep({" a", "a"}));  // ids compare untrimmed
    EXPECT_EQ(untrimmed.rows[0].scenario_id, " a");
}

TEST(Sweep, DistantRowsWarnWithThreeDecimalsOrInf) {
    // One path: stderr 0, infinitely far. Two paths per scenario make finite distances beyond 4 stderr common.
    Sweep s = small_sweep({"one path"});
    s.scenarios[0].n_paths = 1;
    s.scenarios[0].method = EuropeanCallMethod::automatic;  // reported as asked, priced by the terminal method
    for (int i = 0; i < 200; ++i) s.scenarios.push_back({.scenario_id = "s" + std::to_string(i), .n_paths = 2});
    const auto r = price_european_call_parameter_sweep_cpu(s);
    EXPECT_EQ(r.rows[0].method, EuropeanCallMethod::automatic);
    EXPECT_EQ(r.rows[0].result.price, european_call_price_mc_cpu_terminal(r.rows[0].config).price);
    EXPECT_EQ(r.rows[0].abs_error_stderr_units, kInf);
    EXPECT_EQ(r.warnings.at(0), "scenario 'one path' is inf standard errors from Black-Scholes reference");
    EXPECT_EQ(r.total_paths, 401u);
    std::vector<std::string> expected;
    int finite_far = 0;
    for (const auto& row : r.rows) {
        const EuropeanCallConfig& c = row.config;
        EXPECT_EQ(row.abs_error_vs_black_scholes,
                  std::fabs(row.result.price - black_scholes_european_call_price(c.s0, c.k, c.r, c.sigma, c.t)));
        const double units = row.abs_error_stderr_units;
        EXPECT_EQ(units, row.result.std_error > 0.0 ? row.abs_error_vs_black_scholes / row.result.std_error : kInf);
        if (units > 4.0) {
            char text[128];
            std::snprintf(text, sizeof text, "scenario '%s' is %.3f standard errors from Black-Scholes reference",
                          row.scenario_id.c_str(), units);
            expected.emplace_back(text);
            finite_far += std::isfinite(units);
        }
    }
    EXPECT_EQ(r.warnings, expected);
    EXPECT_GT(finite_far, 0);
}

TEST(Text, TrimsUnicodeWhiteSpaceOnly) {
    EXPECT_EQ(trim_white_space("  a b\t\n"), "a b");
    EXPECT_EQ(trim_white_space("\u00a0\u2003x\u3000"), "x");
    EXPECT_EQ(trim_white_space("\u200bx"), "\u200bx");  // zero-width space is not White_Space
    EXPECT_EQ(trim_white_space(" \u2028 "), "");
}

}  // namespace
}  // namespace mc_core
