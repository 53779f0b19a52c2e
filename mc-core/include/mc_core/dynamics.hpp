// Alternative dynamics: European calls under Heston stochastic volatility and
// under Merton jump diffusion.
//
// Contract
//  * Both pricers validate their record first (fixed messages, checked in a
//    fixed order, every comparison failing for NaN), then draw every normal
//    from the seeded `NormalRng` stream and spread paths over worker threads
//    with the shared runner (`worker_blocks`, `run_blocks`): serial with the raw seed below
//    2000 units per worker, otherwise contiguous blocks seeded
//    `derive_worker_seed(seed, w)` and merged in block order. Results depend
//    only on the record and the effective worker count.
//  * Heston (Heston 1993): log-price and variance on a uniform grid of
//    `n_steps` Euler steps with full truncation (Lord, Koekkoek and van Dijk
//    2010): the variance enters drift and diffusion as max(v, 0), and the
//    updated variance is floored at 0, so it is never negative. Every step
//    takes two stream normals (z1 drives the variance; the price shock is
//    rho z1 + sqrt(1 - rho^2) z2). Techniques: standard, antithetic (pairs of
//    paths on (z1, z2) and (-z1, -z2), the pairs being the runner's units) and
//    control variate (control: the discounted terminal price, mean s0).
//  * Merton (Merton 1976): one terminal step per path. The stream gives, in
//    this order, the diffusion normal, one uniform for the jump count (only
//    when jump_intensity * t is not 0; inversion of the Poisson distribution,
//    failing with "Poisson sampler did not converge" once 4096 terms are
//    needed) and one normal for the jump sum (only when the count is not 0).
//    A failure inside a worker reaches the caller, after every worker has been
//    joined, as "CPU Merton jump-diffusion worker thread panicked: <message>";
//    on the calling thread it is the message itself.
//  * Heston runs on the engine (engine.hpp), one lane per path. Merton's
//    draws per path vary, so its paths run one at a time on one stream.
//  * No allocation per path; kernels keep their state in registers.
#pragma once

#include <algorithm>
#include <cstdint>

#include "mc_core/block_math.hpp"
#include "mc_core/engine.hpp"
#include "mc_core/european.hpp"
#include "mc_core/lane_math.hpp"
#include "mc_core/random.hpp"
#include "mc_core/simd.hpp"

namespace mc_core {

// ---------------------------------------------------------------------------
// Heston European call.

struct HestonEuropeanCallConfig {
    double s0 = 100.0;
    double k = 100.0;
    double r = 0.03;
    double v0 = 0.04;          // initial variance
    double kappa = 1.5;        // mean-reversion speed
    double theta = 0.04;       // long-run variance
    double vol_of_vol = 0.3;   // volatility of the variance
    double rho = -0.6;         // correlation of the price and variance shocks
    double t = 1.0;
    std::uint64_t n_paths = 100000;
    std::uint64_t n_steps = 252;
    std::uint64_t seed = 42;
    std::uint64_t n_threads = 0;
    MonteCarloTechnique technique = MonteCarloTechnique::standard;
};

// Read-only per-run constants, shared by every worker; the Heston model of the
// engine (engine.hpp), 2 n_steps normals a path.
struct HestonPathParams {
    double x0;  // ln s0
    double k;
    double v0;
    double kappa;
    double theta;
    double vol_of_vol;
    double rho;
    double rho_bar;  // sqrt(max(1 - rho^2, 0))
    double dt;
    double sqrt_dt;
    std::uint64_t n_steps;
    double r;
    double discount;  // exp(-r t)
    double s0;

    static HestonPathParams from(const HestonEuropeanCallConfig& c);

    // One full-truncation Euler step; both updates use the variance at the
    // start of the step, v+ = max(v, 0):
    //   x <- x + dt (r - v+/2) + sqrt(dt) sqrt(v+) (rho z1 + rho_bar z2)
    //   v <- max(v + dt kappa (theta - v+) + sqrt(dt) vol_of_vol sqrt(v+) z1, 0)
    // (maxima ignore NaN). The operation order is part of the results.
    template <class V>
    MC_LANE_INLINE void step(V& x, V& v, V z1, V z2) const {
        const V v_pos = simd::positive_part(v);
        const V root_v = lane_math::sqrt(v_pos);
        x = x + dt * (r - 0.5 * v_pos) + sqrt_dt * root_v * (rho * z1 + rho_bar * z2);
        v = simd::positive_part(v + dt * (kappa * (theta - v_pos)) + sqrt_dt * (vol_of_vol * root_v) * z1);
    }

    // The discounted payoff y = discount max(S_T - k, 0) and the control
    // c = discount S_T of the path ending at log-price x.
    template <class V>
    MC_LANE_INLINE Valued<V> value(V x) const {
        const V terminal = lane_math::exp(x);
        return {discount * simd::positive_part(terminal - k), discount * terminal};
    }

    // Runs `step_all(z1, z2)` over the path's n_steps pairs of normals.
    template <class Draw, class StepAll>
    MC_LANE_INLINE void for_each_step(Draw& draw, StepAll&& step_all) const {
        // One pair drawn at a time: the variance recursion is a chain of
        // dependent operations (a square root among them), and the next
        // pair's transforms, independent of it, then run beside it rather
        // than after a whole block of steps.
        constexpr std::uint64_t kPairs = 1;
        for (std::uint64_t done = 0; done < n_steps;) {
            const std::uint64_t pairs = std::min<std::uint64_t>(kPairs, n_steps - done);
            const auto* z = draw(static_cast<std::size_t>(2 * pairs));
            for (std::uint64_t j = 0; j < pairs; ++j) step_all(z[2 * j], z[2 * j + 1]);
            done += pairs;
        }
    }

    std::uint64_t normals_per_unit() const { return n_steps > UINT64_MAX / 2 ? UINT64_MAX : 2 * n_steps; }
    double control_mean() const { return s0; }  // the discounted terminal price is a martingale

    template <class Draw>
    MC_LANE_INLINE auto payoff_and_control(Draw& draw) const {
        using V = typename Draw::Pack;
        V x = simd::broadcast<V>(x0), v = simd::broadcast<V>(v0);
        for_each_step(draw, [&](V z1, V z2) MC_PACK_LAMBDA { step(x, v, z1, z2); });
        return value(x);
    }
    template <class Draw>
    MC_LANE_INLINE auto discounted_payoff(Draw& draw) const {
        return payoff_and_control(draw).y;
    }
    // The two paths of a pair run side by side, each with its own variance, on
    // (z1, z2) and (-z1, -z2).
    template <class Draw>
    MC_LANE_INLINE auto antithetic_pair(Draw& draw) const {
        using V = typename Draw::Pack;
        V up_x = simd::broadcast<V>(x0), up_v = simd::broadcast<V>(v0);
        V down_x = up_x, down_v = up_v;
        for_each_step(draw, [&](V z1, V z2) MC_PACK_LAMBDA {
            step(up_x, up_v, z1, z2);
            step(down_x, down_v, -z1, -z2);
        });
        return 0.5 * (value(up_x).y + value(down_x).y);
    }
};

// Log-price and variance of one path.
struct HestonState {
    double x;
    double v;
};

// The step above on one path.
inline void heston_step(HestonState& s, double z1, double z2, const HestonPathParams& p) {
    simd::f64x1 x{s.x}, v{s.v};
    p.step(x, v, simd::f64x1{z1}, simd::f64x1{z2});
    s = {x[0], v[0]};
}

// Path kernels: one stream seeded `stream_seed`, units in order.
PathSums simulate_heston_chunk(std::uint64_t stream_seed, std::uint64_t paths, const HestonPathParams& p);
PathSums simulate_heston_antithetic_chunk(std::uint64_t stream_seed, std::uint64_t pairs, const HestonPathParams& p);
ControlVariateMoments simulate_heston_control_variate_chunk(std::uint64_t stream_seed, std::uint64_t paths,
                                                            const HestonPathParams& p);

void validate_heston_european_call_config(const HestonEuropeanCallConfig& config);
EuropeanCallResult heston_european_call_price_mc_cpu(const HestonEuropeanCallConfig& config);
// The same with the caller's block plan (runner.hpp), or as above without one.
EuropeanCallResult heston_european_call_price_mc_cpu_planned(const HestonEuropeanCallConfig& config,
                                                             const std::optional<BlockPlan>& plan);

// ---------------------------------------------------------------------------
// Merton jump-diffusion call.

struct MertonJumpDiffusionCallConfig : GbmMarket {
    double jump_intensity = 0.4;    // Poisson rate lambda per year
    double jump_mean = -0.08;       // mean of one log-jump
    double jump_volatility = 0.25;  // standard deviation of one log-jump
    std::uint64_t n_paths = 100000;
    std::uint64_t seed = 42;
    std::uint64_t n_threads = 0;
};

inline constexpr const char* kMertonWorkerFailureText = "CPU Merton jump-diffusion worker thread panicked";
// A jump count that reaches this bound ends the run.
inline constexpr std::uint64_t kPoissonTermLimit = 4096;

// Per-run constants.
struct MertonPathParams {
    double log_s0;
    double drift;            // t ((r - lambda kappa) - sigma^2 / 2), kappa = exp(mu_J + sigma_J^2 / 2) - 1
    double diffusion;        // sigma sqrt(t)
    double jump_mean_count;  // lambda t
    double jump_mean;
    double jump_volatility;
    double discount;  // exp(-r t)
    double k;

    static MertonPathParams from(const MertonJumpDiffusionCallConfig& c);
};

// Poisson(mean) count by sequential-search inversion of the distribution
// function (Devroye 1986, "Non-Uniform Random Variate Generation", ch. X):
// the least n with u <= F(n), where p(0) = exp(-mean)
// (passed in as `p0`, computed once per run) and p(n) = p(n-1) mean / n.
// Fails with "Poisson sampler did not converge" when n reaches 4096, so the
// largest count returned is 4095; when p0 underflows to 0 every draw fails.
std::uint64_t poisson_by_inversion(double u, double mean, double p0);

PathSums simulate_merton_jump_diffusion_chunk(std::uint64_t stream_seed, std::uint64_t paths,
                                              const MertonPathParams& p);

void validate_merton_jump_diffusion_call_config(const MertonJumpDiffusionCallConfig& config);
EuropeanCallResult merton_jump_diffusion_call_price_mc_cpu(const MertonJumpDiffusionCallConfig& config);
// The same with the caller's block plan (runner.hpp), or as above without one.
EuropeanCallResult merton_jump_diffusion_call_price_mc_cpu_planned(const MertonJumpDiffusionCallConfig& config,
                                                                   const std::optional<BlockPlan>& plan);

}  // namespace mc_core
