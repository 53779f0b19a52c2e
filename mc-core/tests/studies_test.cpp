#include <cmath>
#include <cstdio>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mc_core/stepwise.hpp"
#include "mc_core/studies.hpp"
#include "mc_core/text.hpp"

namespace mc_core {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

template <class Fn>
std::string fatal_message(Fn&& fn) {
    try {
        fn();
    } catch (const FatalError& e) {
        return e.what();
    }
    return "no error";
}

// ---- Black-Scholes ---------------------------------------------------------------

TEST(BlackScholes, KnownValuesToFiveDecimals) {
    struct Row {
        double s0, k, r, sigma, t, expected;
    };
    const Row rows[] = {
        {100.0, 100.0, 0.0, 0.2, 1.0, 7.96558},   // at the money, no rate
        {100.0, 100.0, 0.03, 0.2, 1.0, 9.41339},  // the sweep's base
        {90.0, 100.0, 0.03, 0.2, 1.0, 4.44794},   // "down_10pct"
        {100.0, 100.0, 0.03, 0.35, 1.0, 15.21421},  // "high_vol"
    };
    for (const Row& row : rows)
        EXPECT_NEAR(black_scholes_european_call_price(row.s0, row.k, row.r, row.sigma, row.t), row.expected, 5e-6)
            << row.s0 << " " << row.sigma << " " << row.r;
}

TEST(BlackScholes, Limits) {
    EXPECT_EQ(black_scholes_european_call_price(100.0, 0.0, 0.03, 0.2, 1.0), 100.0);
    EXPECT_EQ(black_scholes_european_call_price(100.0, 90.0, 0.03, 0.2, 0.0), 10.0);
    EXPECT_EQ(black_scholes_european_call_price(80.0, 90.0, 0.03, 0.2, 0.0), 0.0);
    EXPECT_EQ(black_scholes_european_call_price(100.0, 100.0, 0.05, 0.0, 1.0), 100.0 - 100.0 * std::exp(-0.05));
    EXPECT_EQ(black_scholes_european_call_price(90.0, 100.0, 0.05, 0.0, 1.0), 0.0);
}

TEST(BlackScholes, ChecksInOrderAndNaNFails) {
    struct Row {
        double s0, k, sigma, t;
        const char* expected;
    };
    const Row rows[] = {
        {0.0, -1.0, -1.0, -1.0, "s0 must be > 0"},  {kNaN, 1.0, 0.2, 1.0, "s0 must be > 0"},
        {100.0, -1.0, -1.0, -1.0, "k must be >= 0"}, {100.0, kNaN, 0.2, 1.0, "k must be >= 0"},
        {100.0, 1.0, -0.1, -1.0, "sigma must be >= 0"}, {100.0, 1.0, kNaN, 1.0, "sigma must be >= 0"},
        {100.0, 1.0, 0.2, -1.0, "t must be >= 0"},   {100.0, 1.0, 0.2, kNaN, "t must be >= 0"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(fatal_message([&] { black_scholes_european_call_price(row.s0, row.k, 0.03, row.sigma, row.t); }),
                  row.expected);
}

TEST(BlackScholes, NormalCdfWithinTheApproximationError) {
    EXPECT_NEAR(standard_normal_cdf(0.0), 0.5, 1e-9);  // the five coefficients sum to 1 - 1e-9
    for (double x = -8.0; x <= 8.0; x += 0.01) {
        EXPECT_NEAR(standard_normal_cdf(x), 0.5 * std::erfc(-x / std::sqrt(2.0)), 1.5e-7) << x;
        EXPECT_NEAR(standard_normal_cdf(x) + standard_normal_cdf(-x), 1.0, 1e-15) << x;
    }
}

// ---- Normal matrices -------------------------------------------------------------

TEST(GenerateNormals, PseudorandomIsOneStream) {
    const auto z = generate_standard_normals_cpu(SamplingMethod::pseudorandom, 7, 3, 42);
    ASSERT_EQ(z.size(), 21u);
    NormalRng rng(42);
    for (double value : z) EXPECT_EQ(value, rng.next_standard_normal());
    // A zero seed is the stream of the golden gamma.
    EXPECT_EQ(generate_standard_normals_cpu(SamplingMethod::pseudorandom, 2, 3, 0),
              generate_standard_normals_cpu(SamplingMethod::pseudorandom, 2, 3, kGoldenGamma));
}

TEST(GenerateNormals, StructuredPointsAreSamplerPoints) {
    const std::uint64_t seed = 0x1234'5678'9ABC'DEF0ULL;
    for (SamplingMethod sampling : {SamplingMethod::randomized_halton, SamplingMethod::latin_hypercube,
                                    SamplingMethod::scrambled_sobol, SamplingMethod::scrambled_sobol_brownian_bridge}) {
        const std::uint64_t points = 70, dims = 5;
        const auto z = generate_standard_normals_cpu(sampling, points, dims, seed);
        ASSERT_EQ(z.size(), points * dims);
        const StructuredNormalSampler sampler(sampling, seed, points, dims);
        std::vector<double> point;
        for (std::uint64_t p = 0; p < points; ++p) {
            sampler.fill_standard_normals(p, dims, point);
            for (std::uint64_t d = 0; d < dims; ++d)
                ASSERT_EQ(z[p * dims + d], point[d]) << static_cast<int>(sampling) << " " << p << " " << d;
        }
    }
}

TEST(GenerateNormals, SobolBeyondOneBlockAndOneTablePass) {
    // Points past 65,536 and dimensions past 256 come from their own seeds.
    struct Row {
        std::uint64_t points, dims;
    };
    for (const Row& row : {Row{65540, 2}, Row{3, 260}}) {
        const auto z = generate_standard_normals_cpu(SamplingMethod::scrambled_sobol, row.points, row.dims, 9);
        std::vector<double> point;
        for (std::uint64_t p : {std::uint64_t{0}, row.points / 2, row.points - 1}) {
            point.clear();
            fill_scrambled_sobol_point_standard_normals(9, p, row.dims, point);
            for (std::uint64_t d = 0; d < row.dims; ++d) ASSERT_EQ(z[p * row.dims + d], point[d]) << p << " " << d;
        }
    }
}

TEST(GenerateNormals, Failures) {
    EXPECT_EQ(fatal_message([] { generate_standard_normals_cpu(SamplingMethod::pseudorandom, 0, 0, 1); }),
              "n_points must be > 0");
    EXPECT_EQ(fatal_message([] { generate_standard_normals_cpu(SamplingMethod::pseudorandom, 1, 0, 1); }),
              "dimensions must be > 0");
    struct Row {
        std::uint64_t points, dims;
        std::string expected;
    };
    const Row rows[] = {
        {std::uint64_t{1} << 62, 8,
         "cannot allocate standard normal matrix: 4611686018427387904 x 8 values overflow 64 bits"},
        {std::uint64_t{1} << 40, std::uint64_t{1} << 21, "cannot allocate standard normal matrix: 2305843009213693952 values"},
    };
    for (const Row& row : rows) {
        try {
            generate_standard_normals_cpu(SamplingMethod::scrambled_sobol, row.points, row.dims, 1);
            ADD_FAILURE() << "no error";
        } catch (const AllocationFailure& e) {
            EXPECT_EQ(std::string(e.what()), row.expected);
        }
    }
}

// ---- Gaussian uncertainty moments ------------------------------------------------

GaussianUncertaintyMomentResult moments(std::uint64_t n, std::uint64_t dims, std::uint64_t seed,
                                        SamplingMethod sampling) {
    GaussianUncertaintyConfig c;
    c.n_samples = n;
    c.dimensions = dims;
    c.seed = seed;
    c.sampling = sampling;
    return gaussian_uncertainty_moments_cpu(c);
}

TEST(GaussianMoments, AnalyticValues) {
    EXPECT_DOUBLE_EQ(kGaussianAnalyticMean, 1.0 + std::exp(0.005));
    EXPECT_DOUBLE_EQ(kGaussianAnalyticVariance, 2.0 + 0.25 + std::exp(0.02) - std::exp(0.01));
}

TEST(GaussianMoments, AgreeWithTheMatrix) {
    for (SamplingMethod sampling : {SamplingMethod::pseudorandom, SamplingMethod::latin_hypercube,
                                    SamplingMethod::scrambled_sobol}) {
        const auto r = moments(5000, 4, 11, sampling);
        const auto z = generate_standard_normals_cpu(sampling, 5000, 4, 11);
        double s1 = 0.0, s2 = 0.0;
        for (std::size_t i = 0; i < 5000; ++i) {
            const double f = (z[4 * i] * z[4 * i] + z[4 * i + 1] * 0.5) + std::exp(z[4 * i + 2] * 0.1);
            s1 = s1 + f;
            s2 = s2 + f * f;
        }
        EXPECT_EQ(r.mean, s1 / 5000.0);
        EXPECT_EQ(r.variance, (s2 - s1 * s1 / 5000.0) / 4999.0);
        EXPECT_EQ(r.stderr_mean, std::sqrt(r.variance / 5000.0));
        EXPECT_EQ(r.mean_abs_error, std::fabs(r.mean - kGaussianAnalyticMean));
        EXPECT_EQ(r.variance_abs_error, std::fabs(r.variance - kGaussianAnalyticVariance));
        EXPECT_EQ(r.mean_ci_95_low, r.mean - r.stderr_mean * 1.96);
        EXPECT_EQ(r.mean_ci_95_high, r.mean + r.stderr_mean * 1.96);
        EXPECT_EQ(r.samples, 5000u);
        EXPECT_EQ(r.dimensions, 4u);
        EXPECT_EQ(r.sampling, sampling);
        EXPECT_TRUE(r.warnings.empty());
        EXPECT_LT(r.mean_abs_error, 4.0 * r.stderr_mean);
    }
}

TEST(GaussianMoments, SingleSample) {
    const auto r = moments(1, 3, 42, SamplingMethod::pseudorandom);
    EXPECT_EQ(r.variance, 0.0);
    EXPECT_EQ(r.stderr_mean, 0.0);
    EXPECT_EQ(r.mean_ci_95_low, r.mean);
    EXPECT_EQ(r.mean_ci_95_high, r.mean);
    EXPECT_EQ(r.warnings, std::vector<std::string>{kGaussianSmokeWarning});
}

TEST(GaussianMoments, SmokeWarningBelow1024Samples) {
    EXPECT_EQ(moments(1023, 3, 1, SamplingMethod::scrambled_sobol).warnings.size(), 1u);
    EXPECT_TRUE(moments(1024, 3, 1, SamplingMethod::scrambled_sobol).warnings.empty());
    EXPECT_EQ(std::string(kGaussianSmokeWarning),
              "moment estimates are noisy below roughly 1024 samples; use as smoke evidence only");
}

TEST(GaussianMoments, Validation) {
    EXPECT_EQ(fatal_message([] { moments(0, 2, 1, SamplingMethod::pseudorandom); }), "n_samples must be > 0");
    EXPECT_EQ(fatal_message([] { moments(10, 2, 1, SamplingMethod::pseudorandom); }), "dimensions must be >= 3");
    EXPECT_EQ(fatal_message([] { moments(10, 0, 1, SamplingMethod::pseudorandom); }), "dimensions must be >= 3");
}

TEST(GaussianMoments, DimensionsShiftTheStreamButNotTheSobolPoints) {
    EXPECT_NE(moments(2000, 3, 5, SamplingMethod::pseudorandom).mean,
              moments(2000, 4, 5, SamplingMethod::pseudorandom).mean);
    const auto three = moments(2000, 3, 5, SamplingMethod::scrambled_sobol);
    const auto eight = moments(2000, 8, 5, SamplingMethod::scrambled_sobol);
    EXPECT_EQ(three.mean, eight.mean);
    EXPECT_EQ(three.variance, eight.variance);
}

TEST(GaussianMoments, SobolIgnoresHighSeedBits) {
    const auto low = moments(3000, 3, 0x1234, SamplingMethod::scrambled_sobol);
    const auto high = moments(3000, 3, 0xABCD'0000'0000'1234ULL, SamplingMethod::scrambled_sobol);
    EXPECT_EQ(low.mean, high.mean);
    EXPECT_EQ(low.variance, high.variance);
    EXPECT_NE(low.mean, moments(3000, 3, 0x1235, SamplingMethod::scrambled_sobol).mean);
}

// ---- Parameter sweep -------------------------------------------------------------

using namespace runtime::cpu;

EuropeanCallParameterSweepConfig small_sweep() {
    EuropeanCallParameterSweepConfig s;
    s.base_config.n_paths = 4000;
    s.base_config.n_steps = 16;
    s.base_config.n_threads = 1;
    return s;
}

EuropeanCallSweepScenario scenario(const char* id) {
    EuropeanCallSweepScenario s;
    s.scenario_id = id;
    return s;
}

TEST(Sweep, DefaultConfiguration) {
    const EuropeanCallParameterSweepConfig s;
    ASSERT_EQ(s.scenarios.size(), 3u);
    EXPECT_EQ(s.method, EuropeanCallMethod::terminal_distribution);
    EXPECT_EQ(s.seed_stride, 10000u);
    const auto r = price_european_call_parameter_sweep_cpu(s);
    EXPECT_EQ(r.schema_version, "european-call-sweep.v1");
    EXPECT_EQ(r.workload, PricingWorkloadFamily::european_call);
    EXPECT_EQ(r.scenario_count, 3u);
    EXPECT_EQ(r.total_paths, 300000u);
    EXPECT_EQ(r.base_seed, 42u);
    const char* ids[] = {"atm_base", "down_10pct", "high_vol"};
    const std::uint64_t seeds[] = {42, 10042, 20042};
    const double analytic[] = {9.41339, 4.44794, 15.21421};
    for (std::size_t i = 0; i < 3; ++i) {
        const auto& row = r.rows[i];
        EXPECT_EQ(row.scenario_index, i);
        EXPECT_EQ(row.scenario_id, ids[i]);
        EXPECT_EQ(row.config.seed, seeds[i]);
        EXPECT_NEAR(row.analytic_price, analytic[i], 5e-6);
        EXPECT_EQ(row.result.price, european_call_price_mc_cpu_terminal(row.config).price);
        EXPECT_EQ(row.signed_error_vs_black_scholes, row.result.price - row.analytic_price);
        EXPECT_EQ(row.abs_error_vs_black_scholes, std::fabs(row.signed_error_vs_black_scholes));
        EXPECT_EQ(row.abs_error_stderr_units, row.abs_error_vs_black_scholes / row.result.std_error);
        EXPECT_LT(row.abs_error_stderr_units, 4.0);
    }
    EXPECT_EQ(r.rows[1].config.s0, 90.0);
    EXPECT_EQ(r.rows[2].config.sigma, 0.35);
    EXPECT_TRUE(r.warnings.empty());
}

TEST(Sweep, EffectiveConfiguration) {
    EuropeanCallParameterSweepConfig s = small_sweep();
    s.base_config.seed = UINT64_MAX;
    s.base_config.n_threads = 3;
    s.seed_stride = 5;
    s.scenarios = {scenario("a"), scenario("b"), scenario("c")};
    s.scenarios[0].seed = 7;
    s.scenarios[1].k = 120.0;
    s.scenarios[1].n_steps = 3;
    s.scenarios[1].technique = MonteCarloTechnique::antithetic;
    s.scenarios[2].sampling = SamplingMethod::latin_hypercube;
    s.scenarios[2].n_paths = 10;
    const auto a = sweep_effective_config(s, 0);
    const auto b = sweep_effective_config(s, 1);
    const auto c = sweep_effective_config(s, 2);
    EXPECT_EQ(a.seed, 7u);
    EXPECT_EQ(b.seed, UINT64_MAX + 5);  // wraps; not shifted by scenario 0's own seed
    EXPECT_EQ(c.seed, UINT64_MAX + 10);
    EXPECT_EQ(b.k, 120.0);
    EXPECT_EQ(b.n_steps, 3u);
    EXPECT_EQ(b.technique, MonteCarloTechnique::antithetic);
    EXPECT_EQ(b.n_paths, 4000u);
    EXPECT_EQ(c.sampling, SamplingMethod::latin_hypercube);
    EXPECT_EQ(c.n_paths, 10u);
    for (const auto& e : {a, b, c}) EXPECT_EQ(e.n_threads, 3u);
}

TEST(Sweep, ValidationBeforeAnyPricing) {
    struct Row {
        const char* name;
        void (*edit)(EuropeanCallParameterSweepConfig&);
        const char* expected;
    };
    const Row rows[] = {
        {"base", [](EuropeanCallParameterSweepConfig& s) { s.base_config.sigma = 0.0; s.scenarios.clear(); },
         "sigma must be > 0"},
        {"base first", [](EuropeanCallParameterSweepConfig& s) { s.base_config.n_paths = 0; s.base_config.t = 0.0; },
         "n_paths must be > 0"},
        {"empty", [](EuropeanCallParameterSweepConfig& s) { s.scenarios.clear(); },
         "parameter sweep must contain at least one scenario"},
        {"blank id", [](EuropeanCallParameterSweepConfig& s) { s.scenarios.push_back(scenario(" \t\u3000 ")); },
         "scenario_id must not be empty"},
        {"empty id", [](EuropeanCallParameterSweepConfig& s) { s.scenarios.push_back(scenario("")); },
         "scenario_id must not be empty"},
        {"duplicate", [](EuropeanCallParameterSweepConfig& s) { s.scenarios.push_back(scenario("high_vol")); },
         "scenario_id values must be unique"},
        {"two defaults",
         [](EuropeanCallParameterSweepConfig& s) { s.scenarios = {EuropeanCallSweepScenario{}, EuropeanCallSweepScenario{}}; },
         "scenario_id values must be unique"},
        {"last scenario invalid",
         [](EuropeanCallParameterSweepConfig& s) {
             s.scenarios[0].n_paths = std::uint64_t{1} << 50;  // never priced: the call would not return
             s.scenarios.push_back(scenario("flat"));
             s.scenarios.back().sigma = 0.0;
         },
         "sigma must be > 0"},
        {"scenario order", [](EuropeanCallParameterSweepConfig& s) { s.scenarios[1].n_steps = 0; s.scenarios[1].s0 = -1.0; },
         "n_steps must be > 0"},
        {"strike", [](EuropeanCallParameterSweepConfig& s) { s.scenarios[2].k = kNaN; }, "k must be > 0"},
    };
    for (const Row& row : rows) {
        EuropeanCallParameterSweepConfig s = small_sweep();
        row.edit(s);
        EXPECT_EQ(fatal_message([&] { price_european_call_parameter_sweep_cpu(s); }), row.expected) << row.name;
    }
}

TEST(Sweep, IdsCompareUntrimmed) {
    EuropeanCallParameterSweepConfig s = small_sweep();
    s.scenarios = {scenario(" a"), scenario("a")};
    const auto r = price_european_call_parameter_sweep_cpu(s);
    EXPECT_EQ(r.rows[0].scenario_id, " a");
    EXPECT_EQ(r.rows[1].scenario_id, "a");
}

TEST(Sweep, MethodsPerScenario) {
    EuropeanCallParameterSweepConfig s = small_sweep();
    s.scenarios = {scenario("terminal"), scenario("stepwise"), scenario("auto")};
    s.scenarios[1].method = EuropeanCallMethod::stepwise_paths;
    s.scenarios[2].method = EuropeanCallMethod::automatic;
    const auto r = price_european_call_parameter_sweep_cpu(s);
    EXPECT_EQ(r.method, EuropeanCallMethod::terminal_distribution);
    EXPECT_EQ(r.rows[0].method, EuropeanCallMethod::terminal_distribution);
    EXPECT_EQ(r.rows[1].method, EuropeanCallMethod::stepwise_paths);
    EXPECT_EQ(r.rows[2].method, EuropeanCallMethod::automatic);
    EXPECT_EQ(r.rows[0].result.price, european_call_price_mc_cpu_terminal(r.rows[0].config).price);
    EXPECT_EQ(r.rows[1].result.price, european_call_price_mc_cpu_stepwise(r.rows[1].config).price);
    EXPECT_NE(r.rows[1].result.price, european_call_price_mc_cpu_terminal(r.rows[1].config).price);
    EXPECT_EQ(r.rows[2].result.price, european_call_price_mc_cpu_terminal(r.rows[2].config).price);

    s.method = EuropeanCallMethod::automatic;  // the sweep's own method for scenarios without one
    const auto with_auto = price_european_call_parameter_sweep_cpu(s);
    EXPECT_EQ(with_auto.method, EuropeanCallMethod::automatic);
    EXPECT_EQ(with_auto.rows[0].method, EuropeanCallMethod::automatic);
    EXPECT_EQ(with_auto.rows[1].method, EuropeanCallMethod::stepwise_paths);
}

TEST(Sweep, SinglePathRowIsInfinitelyFarAndWarns) {
    EuropeanCallParameterSweepConfig s = small_sweep();
    s.scenarios = {scenario("one path"), scenario("fine")};
    s.scenarios[0].n_paths = 1;
    const auto r = price_european_call_parameter_sweep_cpu(s);
    EXPECT_EQ(r.rows[0].result.std_error, 0.0);
    EXPECT_EQ(r.rows[0].abs_error_stderr_units, kInf);
    ASSERT_EQ(r.warnings.size(), 1u);
    EXPECT_EQ(r.warnings[0], "scenario 'one path' is inf standard errors from Black-Scholes reference");
    EXPECT_EQ(r.total_paths, 4001u);
}

TEST(Sweep, FiniteDistancesPrintThreeDecimals) {
    // Two paths per scenario make distances beyond 4 standard errors common;
    // every row of a 200-scenario sweep is checked against the rule.
    EuropeanCallParameterSweepConfig s = small_sweep();
    s.scenarios.clear();
    for (int i = 0; i < 200; ++i) {
        s.scenarios.push_back(scenario(""));
        s.scenarios.back().scenario_id = "s" + std::to_string(i);
        s.scenarios.back().n_paths = 2;
    }
    const auto r = price_european_call_parameter_sweep_cpu(s);
    std::vector<std::string> expected;
    int finite_far = 0;
    for (const auto& row : r.rows) {
        const double units = row.abs_error_stderr_units;
        if (row.result.std_error > 0.0)
            EXPECT_EQ(units, row.abs_error_vs_black_scholes / row.result.std_error);
        else
            EXPECT_EQ(units, kInf);
        if (units > 4.0) {
            char text[128];
            std::snprintf(text, sizeof text, "scenario '%s' is %.3f standard errors from Black-Scholes reference",
                          row.scenario_id.c_str(), units);
            expected.emplace_back(text);
            if (std::isfinite(units)) ++finite_far;
        }
    }
    EXPECT_EQ(r.warnings, expected);
    EXPECT_GT(finite_far, 0);
    EXPECT_EQ(r.total_paths, 400u);
}

// ---- Text ------------------------------------------------------------------------

TEST(Text, TrimsUnicodeWhiteSpaceOnly) {
    EXPECT_EQ(trim_white_space("  a b\t\n"), "a b");
    EXPECT_EQ(trim_white_space("\u00a0\u2003x\u3000"), "x");
    EXPECT_EQ(trim_white_space("\u200bx"), "\u200bx");  // zero-width space is not White_Space
    EXPECT_EQ(trim_white_space(" \u2028 "), "");
    EXPECT_EQ(trim_white_space(""), "");
}

}  // namespace
}  // namespace mc_core
