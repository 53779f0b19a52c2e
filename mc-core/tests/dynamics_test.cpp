// Heston and Merton jump-diffusion calls: the step and the Poisson draw, the
// stream each kernel consumes, the runner split, validation and failures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "mc_core/dynamics.hpp"
#include "mc_core/error.hpp"
#include "mc_core/european.hpp"
#include "mc_core/random.hpp"

namespace {

using mc_core::ControlVariateMoments;
using mc_core::EuropeanCallResult;
using mc_core::FatalError;
using mc_core::HestonEuropeanCallConfig;
using mc_core::HestonPathParams;
using mc_core::HestonState;
using mc_core::MertonJumpDiffusionCallConfig;
using mc_core::MertonPathParams;
using mc_core::MonteCarloTechnique;
using mc_core::NormalRng;
using mc_core::PathSums;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::string fatal_message(const std::function<void()>& f) {
    try {
        f();
    } catch (const FatalError& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("<not a FatalError: ") + e.what() + ">";
    }
    return "<no error>";
}

void expect_same(const EuropeanCallResult& a, const EuropeanCallResult& b) {
    EXPECT_EQ(a.price, b.price);
    EXPECT_EQ(a.std_error, b.std_error);
}

// ---------------------------------------------------------------------------
// Heston: the step.

HestonPathParams heston_params(HestonEuropeanCallConfig c = {}) { return HestonPathParams::from(c); }

TEST(HestonStep, FollowsTheFullTruncationRecurrence) {
    const HestonPathParams p = heston_params();
    struct Row {
        double x, v, z1, z2;
    };
    for (const Row row : {Row{4.6, 0.04, 0.3, -1.2}, Row{4.5, 0.0, -2.0, 0.5}, Row{4.7, -0.01, 1.0, 1.0},
                          Row{4.6, 0.2, -3.5, 2.5}}) {
        SCOPED_TRACE(testing::PrintToString(std::vector<double>{row.x, row.v, row.z1, row.z2}));
        HestonState s{row.x, row.v};
        mc_core::heston_step(s, row.z1, row.z2, p);
        const double vp = row.v > 0.0 ? row.v : 0.0;
        const double x = row.x + p.dt * (p.r - 0.5 * vp) + p.sqrt_dt * std::sqrt(vp) * (p.rho * row.z1 + p.rho_bar * row.z2);
        double v = row.v + p.dt * (p.kappa * (p.theta - vp)) + p.sqrt_dt * (p.vol_of_vol * std::sqrt(vp)) * row.z1;
        v = v > 0.0 ? v : 0.0;
        EXPECT_EQ(s.x, x);
        EXPECT_EQ(s.v, v);
    }
}

TEST(HestonStep, VarianceIsNeverNegative) {
    HestonEuropeanCallConfig c;
    c.vol_of_vol = 5.0;  // violent variance moves: many steps would go below 0
    c.kappa = 0.1;
    c.n_steps = 4;
    const HestonPathParams p = heston_params(c);
    NormalRng rng(7);
    int truncated = 0;
    for (int path = 0; path < 2000; ++path) {
        HestonState s{p.x0, p.v0};
        for (std::uint64_t step = 0; step < p.n_steps; ++step) {
            const double z1 = rng.next_standard_normal();
            const double z2 = rng.next_standard_normal();
            mc_core::heston_step(s, z1, z2, p);
            ASSERT_GE(s.v, 0.0);
            ASSERT_FALSE(std::signbit(s.v));  // exactly +0 when truncated, never -0
            if (s.v == 0.0) ++truncated;
        }
    }
    EXPECT_GT(truncated, 100);
}

TEST(HestonStep, ZeroInitialVarianceMovesOnlyByTheDrift) {
    HestonEuropeanCallConfig c;
    c.v0 = 0.0;
    const HestonPathParams p = heston_params(c);
    HestonState s{p.x0, 0.0};
    mc_core::heston_step(s, 1.7, -0.4, p);
    EXPECT_EQ(s.x, p.x0 + p.dt * p.r);
    EXPECT_EQ(s.v, p.dt * (p.kappa * p.theta));
}

TEST(HestonStep, ZeroVolOfVolKeepsTheVarianceAtTheta) {
    HestonEuropeanCallConfig c;
    c.vol_of_vol = 0.0;
    c.v0 = c.theta = 0.0625;
    const HestonPathParams p = heston_params(c);
    HestonState s{p.x0, p.v0};
    NormalRng rng(3);
    for (int step = 0; step < 500; ++step) {
        mc_core::heston_step(s, rng.next_standard_normal(), rng.next_standard_normal(), p);
        ASSERT_EQ(s.v, 0.0625);
    }
}

TEST(HestonParams, PerRunConstants) {
    HestonEuropeanCallConfig c;
    c.rho = 1.0;
    c.t = 2.0;
    c.n_steps = 8;
    const HestonPathParams p = heston_params(c);
    EXPECT_EQ(p.rho_bar, 0.0);
    EXPECT_EQ(p.dt, 0.25);
    EXPECT_EQ(p.sqrt_dt, 0.5);
    EXPECT_EQ(p.x0, std::log(100.0));
    EXPECT_EQ(p.discount, std::exp(-(0.03 * 2.0)));
    c.rho = -0.6;
    EXPECT_EQ(heston_params(c).rho_bar, std::sqrt(1.0 - 0.36));
}

// ---------------------------------------------------------------------------
// Heston: the stream each kernel consumes.

// One path drawn one normal at a time: the bulk draws must give the same bits.
mc_core::HestonPathValue scalar_path(const HestonPathParams& p, NormalRng& rng, double sign = 1.0) {
    HestonState s{p.x0, p.v0};
    for (std::uint64_t step = 0; step < p.n_steps; ++step) {
        const double z1 = rng.next_standard_normal();
        const double z2 = rng.next_standard_normal();
        mc_core::heston_step(s, sign * z1, sign * z2, p);
    }
    const double terminal = std::exp(s.x);
    return {p.discount * std::fmax(terminal - p.k, 0.0), p.discount * terminal};
}

TEST(HestonKernel, PathTakesTwoStreamNormalsPerStep) {
    for (const std::uint64_t steps : {1ULL, 3ULL, 128ULL, 129ULL, 300ULL}) {
        SCOPED_TRACE(steps);
        HestonEuropeanCallConfig c;
        c.n_steps = steps;
        const HestonPathParams p = heston_params(c);
        NormalRng bulk(11), scalar(11);
        for (int path = 0; path < 5; ++path) {
            const auto a = mc_core::heston_discounted_payoff(p, bulk);
            const auto b = scalar_path(p, scalar);
            EXPECT_EQ(a.y, b.y);
            EXPECT_EQ(a.c, b.c);
        }
        EXPECT_EQ(bulk.state, scalar.state);
        EXPECT_EQ(bulk.has_spare, scalar.has_spare);
    }
}

TEST(HestonKernel, PendingSpareIsTheFirstNormalOfThePath) {
    const HestonPathParams p = heston_params();
    NormalRng bulk(5), scalar(5);
    bulk.next_standard_normal();
    scalar.next_standard_normal();
    const auto a = mc_core::heston_discounted_payoff(p, bulk);
    const auto b = scalar_path(p, scalar);
    EXPECT_EQ(a.y, b.y);
    EXPECT_EQ(a.c, b.c);
}

TEST(HestonKernel, ChunksAccumulatePathsInOrder) {
    // Groups of paths stepped together, a ragged tail, and step counts on both
    // sides of the lockstep limit all give the path-by-path bits.
    for (const std::uint64_t steps : {1ULL, 20ULL, 512ULL, 513ULL}) {
        for (const std::uint64_t paths : {1ULL, 4ULL, 11ULL}) {
            SCOPED_TRACE(std::to_string(steps) + " steps, " + std::to_string(paths) + " paths");
            HestonEuropeanCallConfig c;
            c.n_steps = steps;
            const HestonPathParams p = heston_params(c);
            NormalRng rng(99);
            PathSums sums;
            ControlVariateMoments moments;
            for (std::uint64_t i = 0; i < paths; ++i) {
                const auto path = scalar_path(p, rng);
                sums.add(path.y);
                moments.add(path.y, path.c);
            }
            const PathSums got = mc_core::simulate_heston_chunk(99, paths, p);
            EXPECT_EQ(got.sum, sums.sum);
            EXPECT_EQ(got.sum_sq, sums.sum_sq);
            const ControlVariateMoments m = mc_core::simulate_heston_control_variate_chunk(99, paths, p);
            EXPECT_EQ(m.count, paths);
            EXPECT_EQ(m.sum_y, moments.sum_y);
            EXPECT_EQ(m.sum_y2, moments.sum_y2);
            EXPECT_EQ(m.sum_c, moments.sum_c);
            EXPECT_EQ(m.sum_c2, moments.sum_c2);
            EXPECT_EQ(m.sum_cy, moments.sum_cy);
        }
    }
}

TEST(HestonKernel, AntitheticPairsMirrorEachStepPair) {
    HestonEuropeanCallConfig c;
    c.n_steps = 30;
    const HestonPathParams p = heston_params(c);
    PathSums expected;
    NormalRng rng(21);
    for (int pair = 0; pair < 9; ++pair) {
        NormalRng mirror = rng;  // the same normals, negated
        const auto up = scalar_path(p, rng);
        const auto down = scalar_path(p, mirror, -1.0);
        expected.add(0.5 * (up.y + down.y));
    }
    const PathSums got = mc_core::simulate_heston_antithetic_chunk(21, 9, p);
    EXPECT_EQ(got.sum, expected.sum);
    EXPECT_EQ(got.sum_sq, expected.sum_sq);
}

// ---------------------------------------------------------------------------
// Heston: entry.

HestonEuropeanCallConfig small_heston(std::uint64_t n_paths, MonteCarloTechnique technique, std::uint64_t n_threads) {
    HestonEuropeanCallConfig c;
    c.n_paths = n_paths;
    c.n_steps = 6;
    c.technique = technique;
    c.n_threads = n_threads;
    return c;
}

TEST(HestonEntry, SerialRunUsesTheRawSeed) {
    for (const std::uint64_t threads : {1ULL, 4ULL}) {
        const auto c = small_heston(7999, MonteCarloTechnique::standard, threads);
        const HestonPathParams p = heston_params(c);
        expect_same(mc_core::heston_european_call_price_mc_cpu(c),
                    mc_core::plain_estimate(mc_core::simulate_heston_chunk(42, 7999, p), 7999));
    }
}

TEST(HestonEntry, ParallelRunMergesDerivedSeedBlocksInOrder) {
    const HestonEuropeanCallConfig c = small_heston(8001, MonteCarloTechnique::control_variate, 2);
    const HestonPathParams p = heston_params(c);
    ControlVariateMoments total = mc_core::simulate_heston_control_variate_chunk(mc_core::derive_worker_seed(42, 0), 4001, p);
    total += mc_core::simulate_heston_control_variate_chunk(mc_core::derive_worker_seed(42, 1), 4000, p);
    expect_same(mc_core::heston_european_call_price_mc_cpu(c), mc_core::control_variate_estimate(total, c.s0));
}

TEST(HestonEntry, AntitheticUnitsArePairsOnTheRunner) {
    // 5 paths are 3 pairs; 7997 paths are 3999 pairs, too few for two workers.
    for (const std::uint64_t n : {5ULL, 7997ULL}) {
        const auto c = small_heston(n, MonteCarloTechnique::antithetic, 2);
        const std::uint64_t pairs = n - n / 2;
        expect_same(mc_core::heston_european_call_price_mc_cpu(c),
                    mc_core::plain_estimate(mc_core::simulate_heston_antithetic_chunk(42, pairs, heston_params(c)), pairs));
    }
    const auto c = small_heston(8000, MonteCarloTechnique::antithetic, 2);  // 4000 pairs: two workers
    const HestonPathParams p = heston_params(c);
    PathSums total = mc_core::simulate_heston_antithetic_chunk(mc_core::derive_worker_seed(42, 0), 2000, p);
    total += mc_core::simulate_heston_antithetic_chunk(mc_core::derive_worker_seed(42, 1), 2000, p);
    expect_same(mc_core::heston_european_call_price_mc_cpu(c), mc_core::plain_estimate(total, 4000));
}

TEST(HestonEntry, ZeroStrikeControlVariateIsTheSpot) {
    auto c = small_heston(3000, MonteCarloTechnique::control_variate, 1);
    c.k = 0.0;
    const EuropeanCallResult result = mc_core::heston_european_call_price_mc_cpu(c);
    EXPECT_NEAR(result.price, 100.0, 1e-9);
    EXPECT_LT(result.std_error, 1e-9);
}

TEST(HestonEntry, ValidationOrder) {
    struct Row {
        const char* name;
        std::function<void(HestonEuropeanCallConfig&)> change;
        const char* message;
    };
    const std::vector<Row> rows = {
        {"n_paths 0", [](auto& c) { c.n_paths = 0; c.n_steps = 0; c.s0 = kNaN; }, "n_paths must be > 0"},
        {"n_steps 0", [](auto& c) { c.n_steps = 0; c.s0 = -1.0; }, "n_steps must be > 0"},
        {"s0 0", [](auto& c) { c.s0 = 0.0; c.k = -1.0; }, "s0 must be > 0"},
        {"s0 NaN", [](auto& c) { c.s0 = kNaN; }, "s0 must be > 0"},
        {"k -1", [](auto& c) { c.k = -1.0; c.v0 = -1.0; }, "k must be >= 0"},
        {"k NaN", [](auto& c) { c.k = kNaN; }, "k must be >= 0"},
        {"v0 NaN", [](auto& c) { c.v0 = kNaN; c.kappa = -1.0; }, "v0 must be >= 0"},
        {"kappa -0.1", [](auto& c) { c.kappa = -0.1; c.theta = kNaN; }, "kappa must be >= 0"},
        {"theta NaN", [](auto& c) { c.theta = kNaN; c.vol_of_vol = -1.0; }, "theta must be >= 0"},
        {"vol_of_vol NaN", [](auto& c) { c.vol_of_vol = kNaN; c.rho = 2.0; }, "vol_of_vol must be >= 0"},
        {"rho 1.5", [](auto& c) { c.rho = 1.5; c.t = 0.0; }, "rho must be in [-1, 1]"},
        {"rho NaN", [](auto& c) { c.rho = kNaN; }, "rho must be in [-1, 1]"},
        {"rho -inf", [](auto& c) { c.rho = -kInf; }, "rho must be in [-1, 1]"},
        {"t 0", [](auto& c) { c.t = 0.0; }, "t must be > 0"},
        {"t NaN", [](auto& c) { c.t = kNaN; }, "t must be > 0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        HestonEuropeanCallConfig c;
        c.n_paths = 10;
        row.change(c);
        EXPECT_EQ(fatal_message([&] { mc_core::heston_european_call_price_mc_cpu(c); }), row.message);
    }
    for (const double rho : {-1.0, 1.0}) {
        HestonEuropeanCallConfig c;
        c.n_paths = 10;
        c.n_steps = 4;
        c.rho = rho;
        c.v0 = 0.0;
        c.k = 0.0;
        EXPECT_EQ(fatal_message([&] { mc_core::heston_european_call_price_mc_cpu(c); }), "<no error>");
    }
}

// ---------------------------------------------------------------------------
// Merton: the Poisson draw.

TEST(PoissonInversion, KnownCounts) {
    const double mean = 1.0;
    const double p0 = std::exp(-mean);  // F(0) = 0.3679, F(1) = 0.7358, F(2) = 0.9197, F(3) = 0.9810
    struct Row {
        double u;
        std::uint64_t count;
    };
    for (const Row row : {Row{1e-300, 0}, Row{0.36, 0}, Row{p0, 0}, Row{0.37, 1}, Row{0.73, 1}, Row{0.74, 2},
                          Row{0.95, 3}, Row{0.99, 4}}) {
        SCOPED_TRACE(row.u);
        EXPECT_EQ(mc_core::poisson_by_inversion(row.u, mean, p0), row.count);
    }
}

TEST(PoissonInversion, LargeMeanStillConverges) {
    const double mean = 700.0;  // exp(-700) is still a normal double
    const std::uint64_t median = mc_core::poisson_by_inversion(0.5, mean, std::exp(-mean));
    EXPECT_NEAR(static_cast<double>(median), 700.0, 2.0);
}

TEST(PoissonInversion, FailsWhenTheFirstTermUnderflows) {
    // exp(-800) is 0: F never grows and the search stops at the 4096th term.
    EXPECT_EQ(fatal_message([] { mc_core::poisson_by_inversion(1e-300, 800.0, std::exp(-800.0)); }),
              "Poisson sampler did not converge");
}

TEST(PoissonInversion, GivesUpAfter4096Terms) {
    // Weights that sum to about 1.5e-298 never reach u: the search stops at
    // the bound instead of running on.
    EXPECT_EQ(fatal_message([] { mc_core::poisson_by_inversion(0.5, 5.0, 1e-300); }),
              "Poisson sampler did not converge");
}

// ---------------------------------------------------------------------------
// Merton: the stream.

// One path, one stream draw at a time, in the order diffusion normal, Poisson
// uniform (when the mean count is not 0), jump normal (when there are jumps).
double merton_scalar_path(const MertonPathParams& p, NormalRng& rng, std::uint64_t* count_out = nullptr) {
    const double z = rng.next_standard_normal();
    double jump = 0.0;
    std::uint64_t count = 0;
    if (p.jump_mean_count != 0.0) {
        count = mc_core::poisson_by_inversion(rng.next_uniform(), p.jump_mean_count, std::exp(-p.jump_mean_count));
        if (count != 0) {
            const double n = static_cast<double>(count);
            jump = p.jump_mean * n + p.jump_volatility * std::sqrt(n) * rng.next_standard_normal();
        }
    }
    if (count_out != nullptr) *count_out = count;
    return p.discount * std::fmax(std::exp(p.log_s0 + p.drift + p.diffusion * z + jump) - p.k, 0.0);
}

TEST(MertonKernel, StreamOrderPerPath) {
    for (const double intensity : {0.0, 0.4, 3.0}) {
        SCOPED_TRACE(intensity);
        MertonJumpDiffusionCallConfig c;
        c.jump_intensity = intensity;
        const MertonPathParams p = MertonPathParams::from(c);
        NormalRng rng(17);
        PathSums expected;
        std::uint64_t jumps = 0;
        for (int i = 0; i < 1000; ++i) {
            std::uint64_t count = 0;
            expected.add(merton_scalar_path(p, rng, &count));
            jumps += count;
        }
        const PathSums got = mc_core::simulate_merton_jump_diffusion_chunk(17, 1000, p);
        EXPECT_EQ(got.sum, expected.sum);
        EXPECT_EQ(got.sum_sq, expected.sum_sq);
        if (intensity > 0.0) EXPECT_NEAR(static_cast<double>(jumps) / 1000.0, intensity, 0.25 * intensity);
    }
}

TEST(MertonKernel, ZeroIntensityDrawsOnlyNormals) {
    MertonJumpDiffusionCallConfig c;
    c.jump_intensity = 0.0;
    const MertonPathParams p = MertonPathParams::from(c);
    NormalRng rng(23);
    PathSums expected;
    for (int i = 0; i < 513; ++i) {
        const double z = rng.next_standard_normal();
        expected.add(p.discount * std::fmax(std::exp(p.log_s0 + p.drift + p.diffusion * z) - p.k, 0.0));
    }
    const PathSums got = mc_core::simulate_merton_jump_diffusion_chunk(23, 513, p);
    EXPECT_EQ(got.sum, expected.sum);
    EXPECT_EQ(got.sum_sq, expected.sum_sq);
    EXPECT_EQ(p.drift, 1.0 * ((0.03 - 0.0) - 0.5 * (0.2 * 0.2)));
}

TEST(MertonParams, CompensatedDrift) {
    MertonJumpDiffusionCallConfig c;
    c.t = 2.0;
    const MertonPathParams p = MertonPathParams::from(c);
    const double mean_jump = std::exp(-0.08 + 0.5 * (0.25 * 0.25)) - 1.0;
    EXPECT_EQ(p.drift, 2.0 * ((0.03 - 0.4 * mean_jump) - 0.5 * (0.2 * 0.2)));
    EXPECT_EQ(p.diffusion, 0.2 * std::sqrt(2.0));
    EXPECT_EQ(p.jump_mean_count, 0.8);
    EXPECT_EQ(p.discount, std::exp(-(0.03 * 2.0)));
}

// ---------------------------------------------------------------------------
// Merton: entry.

TEST(MertonEntry, SerialAndParallelRuns) {
    MertonJumpDiffusionCallConfig c;
    c.n_paths = 7999;
    c.n_threads = 4;  // below 2000 paths per worker: serial, raw seed
    const MertonPathParams p = MertonPathParams::from(c);
    expect_same(mc_core::merton_jump_diffusion_call_price_mc_cpu(c),
                mc_core::plain_estimate(mc_core::simulate_merton_jump_diffusion_chunk(42, 7999, p), 7999));
    c.n_paths = 10001;
    c.n_threads = 2;
    PathSums total = mc_core::simulate_merton_jump_diffusion_chunk(mc_core::derive_worker_seed(42, 0), 5001, p);
    total += mc_core::simulate_merton_jump_diffusion_chunk(mc_core::derive_worker_seed(42, 1), 5000, p);
    expect_same(mc_core::merton_jump_diffusion_call_price_mc_cpu(c), mc_core::plain_estimate(total, 10001));
}

TEST(MertonEntry, PoissonFailureOnTheCallingThreadIsThePlainMessage) {
    MertonJumpDiffusionCallConfig c;
    c.jump_intensity = 800.0;
    c.n_paths = 10;
    c.n_threads = 2;
    EXPECT_EQ(fatal_message([&] { mc_core::merton_jump_diffusion_call_price_mc_cpu(c); }),
              "Poisson sampler did not converge");
}

TEST(MertonEntry, PoissonFailureInAWorkerCarriesTheMertonRunnerText) {
    MertonJumpDiffusionCallConfig c;
    c.jump_intensity = 400.0;
    c.t = 2.0;  // lambda t = 800
    c.n_paths = 4000;
    c.n_threads = 2;
    EXPECT_EQ(fatal_message([&] { mc_core::merton_jump_diffusion_call_price_mc_cpu(c); }),
              "CPU Merton jump-diffusion worker thread panicked: Poisson sampler did not converge");
}

TEST(MertonEntry, ValidationOrder) {
    struct Row {
        const char* name;
        std::function<void(MertonJumpDiffusionCallConfig&)> change;
        const char* message;
    };
    const std::vector<Row> rows = {
        {"n_paths 0", [](auto& c) { c.n_paths = 0; c.s0 = kNaN; }, "n_paths must be > 0"},
        {"s0 NaN", [](auto& c) { c.s0 = kNaN; c.k = 0.0; }, "s0 must be > 0"},
        {"k 0", [](auto& c) { c.k = 0.0; c.sigma = -1.0; }, "k must be > 0"},
        {"k NaN", [](auto& c) { c.k = kNaN; }, "k must be > 0"},
        {"sigma NaN", [](auto& c) { c.sigma = kNaN; c.jump_intensity = -1.0; }, "sigma must be >= 0"},
        {"jump_intensity -1", [](auto& c) { c.jump_intensity = -1.0; c.jump_volatility = kNaN; },
         "jump_intensity must be >= 0"},
        {"jump_intensity NaN", [](auto& c) { c.jump_intensity = kNaN; }, "jump_intensity must be >= 0"},
        {"jump_volatility NaN", [](auto& c) { c.jump_volatility = kNaN; c.t = 0.0; }, "jump_volatility must be >= 0"},
        {"t -1", [](auto& c) { c.t = -1.0; }, "t must be > 0"},
        {"t NaN", [](auto& c) { c.t = kNaN; }, "t must be > 0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MertonJumpDiffusionCallConfig c;
        c.n_paths = 10;
        row.change(c);
        EXPECT_EQ(fatal_message([&] { mc_core::merton_jump_diffusion_call_price_mc_cpu(c); }), row.message);
    }
    MertonJumpDiffusionCallConfig c;
    c.n_paths = 10;
    c.r = kNaN;
    c.jump_mean = kNaN;  // neither is validated
    EXPECT_EQ(fatal_message([&] { mc_core::merton_jump_diffusion_call_price_mc_cpu(c); }), "<no error>");
}

}  // namespace
