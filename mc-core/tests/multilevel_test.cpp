#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mc_core/multilevel.hpp"
#include "mc_core/path_dependent.hpp"

namespace mc_core {
namespace {

using Config = ArithmeticAsianMlmcConfig;

template <class Fn>
std::string fatal_message(Fn&& fn) {
    try {
        fn();
    } catch (const FatalError& e) {
        return e.what();
    }
    return "no error";
}

Config small_config(SamplingMethod sampling = SamplingMethod::pseudorandom) {
    Config c;
    c.base_steps = 4;
    c.levels = 3;
    c.refinement_factor = 2;
    c.paths_per_level = {400, 200, 100};
    c.sampling = sampling;
    return c;
}

// ---- Reference: the level estimator written as the plain scalar loop ----------

// Y of one sample on level `level`, its normals taken from `next()` in fine-step
// order.
template <class Next>
double reference_sample(const Config& c, std::uint64_t level, std::uint64_t n_f, Next&& next) {
    const double disc = std::exp(-(c.r * c.t));
    auto grid = [&c](std::uint64_t n, double& drift, double& vol) {
        const double dt = c.t / static_cast<double>(n);
        drift = dt * (c.r + c.sigma * (c.sigma * -0.5));
        vol = c.sigma * std::sqrt(dt);
    };
    double fine_drift, fine_vol;
    grid(n_f, fine_drift, fine_vol);
    if (level == 0) {
        double x = std::log(c.s0), sum = 0.0;
        for (std::uint64_t j = 0; j < n_f; ++j) {
            x = x + (fine_drift + fine_vol * next());
            sum = sum + std::exp(x);
        }
        return disc * std::fmax(sum / static_cast<double>(n_f) - c.k, 0.0);
    }
    const std::uint64_t m = c.refinement_factor, n_c = n_f / m;
    double coarse_drift, coarse_vol;
    grid(n_c, coarse_drift, coarse_vol);
    double xf = std::log(c.s0), xc = xf, af = 0.0, ac = 0.0;
    for (std::uint64_t j = 0; j < n_c; ++j) {
        double z_sum = 0.0;
        for (std::uint64_t i = 0; i < m; ++i) {
            const double z = next();
            xf = xf + (fine_drift + fine_vol * z);
            af = af + std::exp(xf);
            z_sum = z_sum + z;
        }
        xc = xc + (coarse_drift + coarse_vol * (z_sum / std::sqrt(static_cast<double>(m))));
        ac = ac + std::exp(xc);
    }
    return disc * std::fmax(af / static_cast<double>(n_c * m) - c.k, 0.0) -
           disc * std::fmax(ac / static_cast<double>(n_c) - c.k, 0.0);
}

PathSums reference_level(const Config& c, std::uint64_t level, std::uint64_t paths, std::uint64_t n_f) {
    const std::uint64_t seed = derive_worker_seed(c.seed, level);
    PathSums sums;
    if (c.sampling == SamplingMethod::pseudorandom) {
        NormalRng rng(seed);
        for (std::uint64_t p = 0; p < paths; ++p)
            sums.add(reference_sample(c, level, n_f, [&rng] { return rng.next_standard_normal(); }));
        return sums;
    }
    const StructuredNormalSampler sampler(c.sampling, seed, paths, n_f);
    std::vector<double> z;
    for (std::uint64_t p = 0; p < paths; ++p) {
        sampler.fill_standard_normals(p, n_f, z);
        std::size_t at = 0;
        sums.add(reference_sample(c, level, n_f, [&] { return z[at++]; }));
    }
    return sums;
}

// ---- Validation ----------------------------------------------------------------

TEST(MlmcValidation, MessagesInCheckOrder) {
    struct Row {
        const char* name;
        void (*edit)(Config&);
        std::string expected;
    };
    const Row rows[] = {
        {"base_steps", [](Config& c) { c.base_steps = 0; c.levels = 0; }, "base_steps must be > 0"},
        {"levels", [](Config& c) { c.levels = 0; c.refinement_factor = 1; }, "levels must be > 0"},
        {"refinement 1", [](Config& c) { c.refinement_factor = 1; c.paths_per_level = {1}; },
         "refinement_factor must be >= 2"},
        {"refinement 0", [](Config& c) { c.refinement_factor = 0; }, "refinement_factor must be >= 2"},
        {"length", [](Config& c) { c.paths_per_level = {1, 2, 0}; c.scramble_replicates = 0; },
         "assertion `left == right` failed: paths_per_level must contain one positive path count per level\n"
         "  left: 3\n right: 4"},
        {"zero paths", [](Config& c) { c.paths_per_level = {1, 0, 3, 4}; c.scramble_replicates = 0; },
         "paths_per_level values must be > 0"},
        {"replicates", [](Config& c) { c.scramble_replicates = 0; }, "scramble_replicates must be > 0"},
    };
    for (const Row& row : rows) {
        Config c;
        row.edit(c);
        EXPECT_EQ(fatal_message([&] { arithmetic_asian_call_price_mlmc_cpu(c); }), row.expected) << row.name;
        EXPECT_EQ(fatal_message([&] { arithmetic_asian_call_price_mlmc_single_cpu(c); }), row.expected) << row.name;
    }
}

TEST(MlmcValidation, FineStepCounts) {
    Config c;
    EXPECT_EQ(mlmc_fine_step_counts(c), (std::vector<std::uint64_t>{16, 32, 64, 128}));
    c.refinement_factor = 4;
    EXPECT_EQ(mlmc_fine_step_counts(c), (std::vector<std::uint64_t>{16, 64, 256, 1024}));
    c.base_steps = std::uint64_t{1} << 62;
    c.levels = 2;
    c.refinement_factor = 2;
    EXPECT_EQ(mlmc_fine_step_counts(c), (std::vector<std::uint64_t>{std::uint64_t{1} << 62, std::uint64_t{1} << 63}));
    c.levels = 3;
    EXPECT_EQ(fatal_message([&] { mlmc_fine_step_counts(c); }), "MLMC fine step count overflowed usize");
}

TEST(MlmcValidation, FineStepOverflowFailsBeforeAnyLevelRuns) {
    // Levels 0 and 1 would take 2^62 and 2^63 steps per path: the call can only
    // return because the overflow of level 2 is found first.
    Config c;
    c.base_steps = std::uint64_t{1} << 62;
    c.levels = 3;
    c.paths_per_level = {1, 1, 1};
    for (SamplingMethod sampling : {SamplingMethod::pseudorandom, SamplingMethod::scrambled_sobol}) {
        c.sampling = sampling;
        EXPECT_EQ(fatal_message([&] { arithmetic_asian_call_price_mlmc_cpu(c); }),
                  "MLMC fine step count overflowed usize");
        EXPECT_EQ(fatal_message([&] { arithmetic_asian_call_price_mlmc_single_cpu(c); }),
                  "MLMC fine step count overflowed usize");
    }
}

TEST(MlmcValidation, StructuredBufferThatCannotExistIsAnAllocationFailure) {
    Config c;
    c.base_steps = std::uint64_t{1} << 61;  // 2^61 doubles: beyond any vector
    c.levels = 1;
    c.paths_per_level = {1};
    c.sampling = SamplingMethod::scrambled_sobol;
    try {
        arithmetic_asian_call_price_mlmc_cpu(c);
        FAIL() << "no error";
    } catch (const AllocationFailure& e) {
        EXPECT_EQ(std::string(e.what()), "cannot allocate MLMC normal buffer: 2305843009213693952 values");
    }
}

TEST(MlmcValidation, ReplicateBuffersThatCannotExistAreAllocationFailures) {
    Config c = small_config(SamplingMethod::scrambled_sobol);
    c.scramble_replicates = std::uint64_t{1} << 62;
    try {
        arithmetic_asian_call_price_mlmc_cpu(c);
        FAIL() << "no error";
    } catch (const AllocationFailure& e) {
        EXPECT_EQ(std::string(e.what()), "cannot allocate MLMC replicate estimates: 4611686018427387904 values");
    }
}

TEST(MlmcValidation, ALevelKernelNeedsARefinementFactor) {
    // Called directly, without the entry's validation: no division by zero.
    Config c = small_config();
    c.refinement_factor = 0;
    EXPECT_EQ(fatal_message([&] { simulate_asian_mlmc_level(c, 1, 10, 8); }), "refinement_factor must be >= 2");
    EXPECT_NO_THROW(simulate_asian_mlmc_level(c, 0, 10, 8));
}

// ---- The level kernels -----------------------------------------------------------

TEST(MlmcLevels, LevelZeroIsThePlainAsianKernel) {
    const Config c = small_config();
    const auto model = make_stepwise_model(ArithmeticAverage{c.k, 16.0}, 16, c.s0, c.r, c.sigma, c.t);
    const PathSums level = simulate_asian_mlmc_level(c, 0, 300, 16);
    const PathSums plain = simulate_asian_stepwise_chunk(derive_worker_seed(c.seed, 0), 300, 16, c.s0, c.k,
                                                         model.drift, model.vol, model.disc);
    EXPECT_EQ(level.sum, plain.sum);
    EXPECT_EQ(level.sum_sq, plain.sum_sq);
}

TEST(MlmcLevels, MatchTheScalarReference) {
    struct Row {
        SamplingMethod sampling;
        std::uint64_t refinement, level, n_f, paths;
    };
    const Row rows[] = {
        {SamplingMethod::pseudorandom, 2, 0, 5, 31},      {SamplingMethod::pseudorandom, 2, 1, 8, 33},
        {SamplingMethod::pseudorandom, 3, 2, 27, 17},     {SamplingMethod::pseudorandom, 2, 3, 320, 9},
        {SamplingMethod::randomized_halton, 2, 1, 8, 40}, {SamplingMethod::latin_hypercube, 4, 1, 16, 25},
        {SamplingMethod::scrambled_sobol, 2, 2, 300, 12}, {SamplingMethod::scrambled_sobol_brownian_bridge, 5, 1, 10, 8},
        // A grid that M does not divide: the pair uses the first n_c * M normals.
        {SamplingMethod::pseudorandom, 3, 1, 10, 5},      {SamplingMethod::latin_hypercube, 3, 1, 10, 6},
    };
    for (const Row& row : rows) {
        Config c = small_config(row.sampling);
        c.refinement_factor = row.refinement;
        c.seed = 7;
        const PathSums got = simulate_asian_mlmc_level(c, row.level, row.paths, row.n_f);
        const PathSums want = reference_level(c, row.level, row.paths, row.n_f);
        EXPECT_EQ(got.sum, want.sum) << "level " << row.level << " n_f " << row.n_f;
        EXPECT_EQ(got.sum_sq, want.sum_sq) << "level " << row.level << " n_f " << row.n_f;
    }
}

TEST(MlmcLevels, BridgeVariantUsesThePlainSobolPoints) {
    Config sobol = small_config(SamplingMethod::scrambled_sobol);
    Config bridge = small_config(SamplingMethod::scrambled_sobol_brownian_bridge);
    const auto a = arithmetic_asian_call_price_mlmc_cpu(sobol);
    const auto b = arithmetic_asian_call_price_mlmc_cpu(bridge);
    EXPECT_EQ(a.price, b.price);
    EXPECT_EQ(a.std_error, b.std_error);
}

TEST(MlmcLevels, ConstantSamplesHaveZeroVariance) {
    Config c = small_config();
    c.k = 1e9;  // no reachable average: every Y is 0
    const auto result = arithmetic_asian_call_price_mlmc_cpu(c);
    for (const auto& level : result.levels) {
        EXPECT_EQ(level.mean, 0.0);
        EXPECT_EQ(level.variance, 0.0);
        EXPECT_EQ(level.std_error, 0.0);
    }
    EXPECT_EQ(result.std_error, 0.0);
}

// ---- One run ---------------------------------------------------------------------

TEST(MlmcSingleRun, DefaultConfiguration) {
    const Config c;
    const auto result = arithmetic_asian_call_price_mlmc_cpu(c);
    ASSERT_EQ(result.levels.size(), 4u);
    const std::uint64_t fine[] = {16, 32, 64, 128};
    const std::uint64_t cost[] = {800000, 1200000, 1200000, 1200000};
    double price = 0.0, variance = 0.0;
    for (std::uint64_t l = 0; l < 4; ++l) {
        const auto& level = result.levels[l];
        EXPECT_EQ(level.level, l);
        EXPECT_EQ(level.paths, c.paths_per_level[l]);
        EXPECT_EQ(level.fine_steps, fine[l]);
        if (l == 0)
            EXPECT_FALSE(level.coarse_steps.has_value());
        else
            EXPECT_EQ(level.coarse_steps, fine[l] / 2);
        EXPECT_EQ(level.cost_step_updates, cost[l]);
        const PathSums sums = simulate_asian_mlmc_level(c, l, c.paths_per_level[l], fine[l]);
        const double n = static_cast<double>(c.paths_per_level[l]);
        EXPECT_EQ(level.mean, sums.sum / n);
        EXPECT_EQ(level.variance, std::fmax(sums.sum_sq / n - level.mean * level.mean, 0.0));
        EXPECT_EQ(level.std_error, std::sqrt(level.variance / n));
        price = price + level.mean;
        variance = variance + level.variance / n;
    }
    EXPECT_EQ(result.price, price);
    EXPECT_EQ(result.std_error, std::sqrt(variance));
    EXPECT_EQ(result.total_paths, 93750u);
    EXPECT_EQ(result.total_step_updates, 4400000u);
    EXPECT_EQ(result.scramble_replicates, 1u);
    EXPECT_EQ(result.replicate_estimates, std::vector<double>{result.price});
    // The level corrections shrink as the grids refine.
    EXPECT_GT(result.levels[0].variance, 10.0 * result.levels[1].variance);
    EXPECT_GT(result.levels[1].variance, result.levels[3].variance);
}

TEST(MlmcSingleRun, OneLevelIsPlainMonteCarloOnTheBaseGrid) {
    Config c = small_config(SamplingMethod::latin_hypercube);
    c.levels = 1;
    c.paths_per_level = {500};
    const auto result = arithmetic_asian_call_price_mlmc_cpu(c);
    ArithmeticAsianCallConfig plain;
    plain.n_paths = 500;
    plain.n_steps = c.base_steps;
    plain.seed = derive_worker_seed(c.seed, 0);
    plain.sampling = c.sampling;
    EXPECT_EQ(result.price, arithmetic_asian_call_price_mc_cpu(plain).price);
    EXPECT_EQ(result.price, result.levels[0].mean);
    EXPECT_EQ(result.std_error, result.levels[0].std_error);
    EXPECT_FALSE(result.levels[0].coarse_steps.has_value());
}

TEST(MlmcSingleRun, PseudorandomNeverReplicates) {
    Config c = small_config();
    const auto once = arithmetic_asian_call_price_mlmc_cpu(c);
    c.scramble_replicates = 5;
    const auto asked_five = arithmetic_asian_call_price_mlmc_cpu(c);
    EXPECT_EQ(asked_five.scramble_replicates, 1u);
    EXPECT_EQ(asked_five.price, once.price);
    EXPECT_EQ(asked_five.total_paths, 700u);
}

// ---- Replicates ------------------------------------------------------------------

TEST(MlmcReplicates, TwoReplicates) {
    Config c = small_config(SamplingMethod::scrambled_sobol);
    c.scramble_replicates = 2;
    const auto result = arithmetic_asian_call_price_mlmc_cpu(c);
    Config first = c, second = c;
    first.seed = derive_worker_seed(c.seed, 0);
    second.seed = derive_worker_seed(c.seed, 1);
    const auto a = arithmetic_asian_call_price_mlmc_single_cpu(first);
    const auto b = arithmetic_asian_call_price_mlmc_single_cpu(second);

    EXPECT_EQ(result.scramble_replicates, 2u);
    EXPECT_EQ(result.replicate_estimates, (std::vector<double>{a.price, b.price}));
    EXPECT_EQ(result.price, (a.price + b.price) / 2.0);
    EXPECT_DOUBLE_EQ(result.std_error, std::fabs(a.price - b.price) / 2.0);
    EXPECT_EQ(result.total_paths, 1400u);
    EXPECT_EQ(result.total_step_updates, 2 * a.total_step_updates);
    for (std::size_t l = 0; l < 3; ++l) {
        const auto& level = result.levels[l];
        EXPECT_EQ(level.paths, 2 * c.paths_per_level[l]);
        EXPECT_EQ(level.cost_step_updates, 2 * a.levels[l].cost_step_updates);
        EXPECT_EQ(level.fine_steps, a.levels[l].fine_steps);
        EXPECT_EQ(level.coarse_steps, a.levels[l].coarse_steps);
        EXPECT_EQ(level.mean, (a.levels[l].mean + b.levels[l].mean) / 2.0);
        const double d = a.levels[l].mean - level.mean, e = b.levels[l].mean - level.mean;
        EXPECT_EQ(level.variance, (d * d + e * e) / 1.0);
        EXPECT_EQ(level.std_error, std::sqrt(level.variance / 2.0));
    }
}

TEST(MlmcReplicates, OneReplicateSeedsLevelsFromTheConfigurationSeed) {
    Config c = small_config(SamplingMethod::randomized_halton);
    const auto result = arithmetic_asian_call_price_mlmc_cpu(c);
    EXPECT_EQ(result.scramble_replicates, 1u);
    const PathSums level1 = simulate_asian_mlmc_level(c, 1, 200, 8);
    EXPECT_EQ(result.levels[1].mean, level1.sum / 200.0);
}

TEST(MlmcReplicates, ManyReplicatesAgreeWithOneLongerRun) {
    Config c = small_config(SamplingMethod::scrambled_sobol);
    c.paths_per_level = {256, 128, 64};
    c.scramble_replicates = 8;
    const auto replicated = arithmetic_asian_call_price_mlmc_cpu(c);
    Config pseudo;
    pseudo.base_steps = 4;
    pseudo.levels = 3;
    pseudo.paths_per_level = {200000, 50000, 20000};
    const auto reference = arithmetic_asian_call_price_mlmc_cpu(pseudo);
    const double combined = std::hypot(replicated.std_error, reference.std_error);
    EXPECT_LT(std::fabs(replicated.price - reference.price), 4.0 * combined);
    EXPECT_GT(replicated.std_error, 0.0);
}

// ---- Counting ------------------------------------------------------------------

TEST(SaturatingCounts, StopAtTheTop) {
    EXPECT_EQ(saturating_add(1, 2), 3u);
    EXPECT_EQ(saturating_add(UINT64_MAX, 1), UINT64_MAX);
    EXPECT_EQ(saturating_add(UINT64_MAX - 1, 1), UINT64_MAX);
    EXPECT_EQ(saturating_mul(1u << 31, 1u << 31), std::uint64_t{1} << 62);
    EXPECT_EQ(saturating_mul(std::uint64_t{1} << 32, std::uint64_t{1} << 32), UINT64_MAX);
    EXPECT_EQ(saturating_mul(0, UINT64_MAX), 0u);
}

}  // namespace
}  // namespace mc_core
