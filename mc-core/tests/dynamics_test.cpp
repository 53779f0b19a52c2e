// Heston and Merton jump-diffusion calls: the step and the Poisson draw, the
// stream each kernel consumes, serial and parallel runs, validation and failures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "test_support.hpp"
#include "mc_core/dynamics.hpp"
#include "mc_core/error.hpp"
#include "mc_core/european.hpp"
#include "mc_core/random.hpp"

namespace mc_core {
namespace {

using mc_core::test_support::fatal_message;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
using Heston = HestonEuropeanCallConfig;
using Merton = MertonJumpDiffusionCallConfig;
template <class C>
using Checks = std::vector<std::tuple<double C::*, double, const char*>>;

// The checks in order: each field fails with its message at an invalid value and at NaN, also when the next
// field is broken too (NaN fails every check).
template <class C, class Price>
void expect_checks_in_order(const Checks<C>& checks, Price price) {
    for (std::size_t i = 0; i < checks.size(); ++i) {
        const auto& [field, invalid, message] = checks[i];
        for (const double bad : {invalid, kNaN}) {
            C c;
            c.n_paths = 10;
            c.*field = bad;
            if (i + 1 < checks.size()) c.*std::get<0>(checks[i + 1]) = kNaN;
            EXPECT_EQ(fatal_message([&] { price(c); }), message) << bad;
        }
    }
}

void expect_same(const EuropeanCallResult& a, const EuropeanCallResult& b) {
    EXPECT_EQ(std::tie(a.price, a.std_error), std::tie(b.price, b.std_error));
}

TEST(HestonStep, FullTruncationByHand) {
    // dt = 0.25, sqrt(dt) = 0.5, rho_bar = 0.8.
    const HestonPathParams p =
        HestonPathParams::from({.kappa = 2.0, .theta = 0.04, .vol_of_vol = 0.5, .rho = 0.6, .t = 2.0, .n_steps = 8});
    for (const auto& [v, z1, z2, dx, v_next] : std::vector<std::tuple<double, double, double, double, double>>{
             {0.04, 1.0, 0.5, 0.1025, 0.09},
             {0.0, 1.7, -0.4, 0.0075, 0.02},    // zero variance: the drift alone
             {-0.01, 1.7, -0.4, 0.0075, 0.01},  // v+ in the drift and the root, v itself carried
             {0.04, -3.0, 0.0, -0.1775, 0.0}}) {
        HestonState s{4.6, v};
        heston_step(s, z1, z2, p);
        EXPECT_NEAR(s.x - 4.6, dx, 1e-15) << v << " " << z1;
        EXPECT_NEAR(s.v, v_next, 1e-16) << v << " " << z1;
        EXPECT_FALSE(std::signbit(s.v));
    }
    // Violent variance moves: truncation is frequent, and the variance is never below +0.
    const HestonPathParams wild = HestonPathParams::from({.kappa = 0.1, .vol_of_vol = 5.0, .n_steps = 4});
    NormalRng rng(7);
    int truncated = 0;
    for (int path = 0; path < 2000; ++path) {
        HestonState s{wild.x0, wild.v0};
        for (std::uint64_t step = 0; step < wild.n_steps; ++step) {
            const double z1 = rng.next_standard_normal();
            heston_step(s, z1, rng.next_standard_normal(), wild);
            ASSERT_FALSE(s.v < 0.0 || std::signbit(s.v));
            truncated += s.v == 0.0;
        }
    }
    EXPECT_GT(truncated, 100);
}

// One path drawn one normal at a time, z1 then z2 at each step: the stream order of every kernel.
struct PathValue {
    double y, c;
};
PathValue scalar_path(const HestonPathParams& p, NormalRng& rng, double sign = 1.0) {
    HestonState s{p.x0, p.v0};
    for (std::uint64_t step = 0; step < p.n_steps; ++step) {
        const double z1 = rng.next_standard_normal();
        heston_step(s, sign * z1, sign * rng.next_standard_normal(), p);
    }
    const double terminal = block_math::exp(s.x);
    return {p.discount * std::fmax(terminal - p.k, 0.0), p.discount * terminal};
}

TEST(HestonKernel, ChunksAccumulatePathsInOrderAndMirrorPairs) {
    // Paths stepped in groups, a ragged tail, both sides of the lockstep limit.
    for (const auto& [steps, paths] : {std::pair<std::uint64_t, std::uint64_t>{1, 11}, {20, 1}, {512, 4}, {513, 11}, {7, 37}, {64, 40}}) {
        SCOPED_TRACE(testing::Message() << steps << " steps, " << paths << " paths");
        const HestonPathParams p = HestonPathParams::from({.n_steps = steps});
        NormalRng rng(99), pair_rng(99);
        PathSums sums, pairs;
        ControlVariateMoments moments;
        for (std::uint64_t i = 0; i < paths; ++i) {
            const auto path = scalar_path(p, rng);
            sums.add(path.y);
            moments.add(path.y, path.c);
            NormalRng mirror = pair_rng;  // the same normals, negated
            const double up = scalar_path(p, pair_rng).y;
            pairs.add(0.5 * (up + scalar_path(p, mirror, -1.0).y));
        }
        const PathSums got = simulate_heston_chunk(99, paths, p);
        EXPECT_EQ(std::tie(got.sum, got.sum_sq), std::tie(sums.sum, sums.sum_sq));
        const PathSums got_pairs = simulate_heston_antithetic_chunk(99, paths, p);
        EXPECT_EQ(std::tie(got_pairs.sum, got_pairs.sum_sq), std::tie(pairs.sum, pairs.sum_sq));
        const ControlVariateMoments m = simulate_heston_control_variate_chunk(99, paths, p);
        const ControlVariateMoments& e = moments;
        EXPECT_EQ(std::tie(m.count, m.sum_y, m.sum_y2, m.sum_c, m.sum_c2, m.sum_cy),
                  std::tie(e.count, e.sum_y, e.sum_y2, e.sum_c, e.sum_c2, e.sum_cy));
    }
}

TEST(HestonEntry, SerialRawSeedOrParallelDerivedSeedBlocks) {
    // Below 2000 units (paths, or antithetic pairs) per worker the run is serial on the raw seed.
    using T = MonteCarloTechnique;
    for (const auto& [technique, n_paths, n_threads, blocks] :
         std::vector<std::tuple<T, std::uint64_t, std::uint64_t, std::vector<std::uint64_t>>>{
             {T::standard, 7999, 4, {}},
             {T::control_variate, 8001, 2, {4001, 4000}},
             {T::antithetic, 7997, 2, {}},  // 3999 pairs
             {T::antithetic, 8000, 2, {2000, 2000}}}) {
        const Heston c{.n_paths = n_paths, .n_steps = 6, .n_threads = n_threads, .technique = technique};
        const HestonPathParams p = HestonPathParams::from(c);
        const std::uint64_t units = technique == T::antithetic ? n_paths - n_paths / 2 : n_paths;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> seeded = {{42, units}};
        if (!blocks.empty()) seeded = {{derive_worker_seed(42, 0), blocks[0]}, {derive_worker_seed(42, 1), blocks[1]}};
        PathSums sums;
        ControlVariateMoments moments;
        for (const auto& [seed, n] : seeded) {
            if (technique == T::control_variate) moments += simulate_heston_control_variate_chunk(seed, n, p);
            if (technique == T::antithetic) sums += simulate_heston_antithetic_chunk(seed, n, p);
            if (technique == T::standard) sums += simulate_heston_chunk(seed, n, p);
        }
        expect_same(heston_european_call_price_mc_cpu(c), technique == T::control_variate
                                                              ? control_variate_estimate(moments, c.s0)
                                                              : plain_estimate(sums, units));
    }
}

TEST(HestonEntry, ValidationOrder) {
    EXPECT_EQ(fatal_message([] { heston_european_call_price_mc_cpu({.n_paths = 0, .n_steps = 0}); }),
              "n_paths must be > 0");
    EXPECT_EQ(fatal_message([] { heston_european_call_price_mc_cpu({.s0 = kNaN, .n_paths = 10, .n_steps = 0}); }),
              "n_steps must be > 0");
    expect_checks_in_order<Heston>({{&Heston::s0, 0.0, "s0 must be > 0"},
                                    {&Heston::k, -1.0, "k must be >= 0"},
                                    {&Heston::v0, -1.0, "v0 must be >= 0"},
                                    {&Heston::kappa, -0.1, "kappa must be >= 0"},
                                    {&Heston::theta, -1.0, "theta must be >= 0"},
                                    {&Heston::vol_of_vol, -1.0, "vol_of_vol must be >= 0"},
                                    {&Heston::rho, 1.5, "rho must be in [-1, 1]"},
                                    {&Heston::t, 0.0, "t must be > 0"}},
                                   heston_european_call_price_mc_cpu);
    for (const Heston& c : {Heston{.k = 0.0, .v0 = 0.0, .rho = -1.0, .n_paths = 10}, Heston{.rho = 1.0, .n_paths = 10}})
        EXPECT_EQ(fatal_message([&] { heston_european_call_price_mc_cpu(c); }), "<no error>");
}

TEST(MertonPoisson, InversionCountsAndItsBound) {
    const double p0 = std::exp(-1.0);  // mean 1: F(0) = 0.3679, F(1) = 0.7358, F(2) = 0.9197, F(3) = 0.9810
    for (const auto& [u, count] : {std::pair<double, std::uint64_t>{1e-300, 0}, {p0, 0}, {0.37, 1}, {0.73, 1},
                                   {0.74, 2}, {0.95, 3}, {0.99, 4}})
        EXPECT_EQ(poisson_by_inversion(u, 1.0, p0), count) << u;
    EXPECT_NEAR(static_cast<double>(poisson_by_inversion(0.5, 700.0, std::exp(-700.0))), 700.0, 2.0);
    // exp(-800) underflows to 0; weights summing to about 1.5e-298 never reach u: both stop at the 4096th term.
    EXPECT_EQ(fatal_message([] { poisson_by_inversion(1e-300, 800.0, std::exp(-800.0)); }),
              "Poisson sampler did not converge");
    EXPECT_EQ(fatal_message([] { poisson_by_inversion(0.5, 5.0, 1e-300); }), "Poisson sampler did not converge");
}

TEST(MertonKernel, StreamOrderPerPath) {
    // Diffusion normal; the Poisson uniform only when the mean count is not 0; the jump normal only with jumps.
    for (const double intensity : {0.0, 0.4, 3.0}) {
        const MertonPathParams p = MertonPathParams::from({.jump_intensity = intensity});
        NormalRng rng(17);
        PathSums expected;
        for (int i = 0; i < 1001; ++i) {
            const double z = rng.next_standard_normal();
            double jump = 0.0;
            if (intensity != 0.0) {
                const double u = rng.next_uniform();
                const std::uint64_t n = poisson_by_inversion(u, p.jump_mean_count, block_math::exp(-p.jump_mean_count));
                if (n != 0)
                    jump = p.jump_mean * static_cast<double>(n) +
                           p.jump_volatility * std::sqrt(static_cast<double>(n)) * rng.next_standard_normal();
            }
            expected.add(p.discount * std::fmax(block_math::exp(p.log_s0 + p.drift + p.diffusion * z + jump) - p.k, 0.0));
        }
        const PathSums got = simulate_merton_jump_diffusion_chunk(17, 1001, p);
        EXPECT_EQ(std::tie(got.sum, got.sum_sq), std::tie(expected.sum, expected.sum_sq)) << intensity;
    }
}

TEST(MertonEntry, SerialRawSeedOrParallelDerivedSeedBlocks) {
    const MertonPathParams p = MertonPathParams::from({});
    expect_same(merton_jump_diffusion_call_price_mc_cpu({.n_paths = 7999, .n_threads = 4}),  // serial
                plain_estimate(simulate_merton_jump_diffusion_chunk(42, 7999, p), 7999));
    PathSums total = simulate_merton_jump_diffusion_chunk(derive_worker_seed(42, 0), 5001, p);
    total += simulate_merton_jump_diffusion_chunk(derive_worker_seed(42, 1), 5000, p);
    expect_same(merton_jump_diffusion_call_price_mc_cpu({.n_paths = 10001, .n_threads = 2}),  // two workers
                plain_estimate(total, 10001));
}

TEST(MertonEntry, PoissonFailureOnTheCallingThreadOrInAWorker) {
    // lambda t = 800 both times: 10 paths stay on the calling thread, 4000 go to two workers.
    const Merton serial{.jump_intensity = 800.0, .n_paths = 10, .n_threads = 2};
    EXPECT_EQ(fatal_message([&] { merton_jump_diffusion_call_price_mc_cpu(serial); }),
              "Poisson sampler did not converge");
    const Merton parallel{.jump_intensity = 400.0, .t = 2.0, .n_paths = 4000, .n_threads = 2};
    EXPECT_EQ(fatal_message([&] { merton_jump_diffusion_call_price_mc_cpu(parallel); }),
              "CPU Merton jump-diffusion worker thread panicked: Poisson sampler did not converge");
}

TEST(MertonEntry, ValidationOrder) {
    EXPECT_EQ(fatal_message([] { merton_jump_diffusion_call_price_mc_cpu({.s0 = kNaN, .n_paths = 0}); }),
              "n_paths must be > 0");
    expect_checks_in_order<Merton>({{&Merton::s0, 0.0, "s0 must be > 0"},
                                    {&Merton::k, 0.0, "k must be > 0"},
                                    {&Merton::sigma, -1.0, "sigma must be >= 0"},
                                    {&Merton::jump_intensity, -1.0, "jump_intensity must be >= 0"},
                                    {&Merton::jump_volatility, -1.0, "jump_volatility must be >= 0"},
                                    {&Merton::t, 0.0, "t must be > 0"}},
                                   merton_jump_diffusion_call_price_mc_cpu);
    const Merton unchecked{.r = kNaN, .jump_mean = kNaN, .n_paths = 10};  // neither is validated
    EXPECT_EQ(fatal_message([&] { merton_jump_diffusion_call_price_mc_cpu(unchecked); }), "<no error>");
}

}  // namespace
}  // namespace mc_core
