// Alternative dynamics: European calls under Heston stochastic volatility and
// under Merton jump diffusion.
//
// Contract
//  * Both pricers validate their record first (fixed messages, checked in a
//    fixed order, every comparison failing for NaN), then draw every normal
//    from the seeded `NormalRng` stream and spread paths over worker threads
//    with the shared runner (`run_parallel`): serial with the raw seed below
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
//  * No allocation per path; kernels keep their state in scalars.
#pragma once

#include <cstdint>

#include "mc_core/block_math.hpp"
#include "mc_core/european.hpp"
#include "mc_core/random.hpp"

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

// Read-only per-run constants, shared by every worker.
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

    static HestonPathParams from(const HestonEuropeanCallConfig& c);
};

// Log-price and variance of one path.
struct HestonState {
    double x;
    double v;
};

// One full-truncation Euler step; both updates use the variance at the start
// of the step, v+ = max(v, 0):
//   x <- x + dt (r - v+/2) + sqrt(dt) sqrt(v+) (rho z1 + rho_bar z2)
//   v <- max(v + dt kappa (theta - v+) + sqrt(dt) vol_of_vol sqrt(v+) z1, 0)
// (maxima ignore NaN). The operation order is part of the results.
inline void heston_step(HestonState& s, double z1, double z2, const HestonPathParams& p) {
    const double v_pos = block_math::positive_part(s.v);
    const double root_v = block_math::sqrt(v_pos);
    s.x = s.x + p.dt * (p.r - 0.5 * v_pos) + p.sqrt_dt * root_v * (p.rho * z1 + p.rho_bar * z2);
    s.v = block_math::positive_part(s.v + p.dt * (p.kappa * (p.theta - v_pos)) + p.sqrt_dt * (p.vol_of_vol * root_v) * z1);
}

// The discounted payoff y = discount max(S_T - k, 0) and the control
// c = discount S_T of one path.
struct HestonPathValue {
    double y;
    double c;
};

// Simulates one path from (ln s0, v0), taking 2 n_steps normals from `rng`.
HestonPathValue heston_discounted_payoff(const HestonPathParams& p, NormalRng& rng);

// Path kernels: one stream seeded `stream_seed`, units in order.
PathSums simulate_heston_chunk(std::uint64_t stream_seed, std::uint64_t paths, const HestonPathParams& p);
PathSums simulate_heston_antithetic_chunk(std::uint64_t stream_seed, std::uint64_t pairs, const HestonPathParams& p);
ControlVariateMoments simulate_heston_control_variate_chunk(std::uint64_t stream_seed, std::uint64_t paths,
                                                            const HestonPathParams& p);

void validate_heston_european_call_config(const HestonEuropeanCallConfig& config);
EuropeanCallResult heston_european_call_price_mc_cpu(const HestonEuropeanCallConfig& config);

// ---------------------------------------------------------------------------
// Merton jump-diffusion call.

struct MertonJumpDiffusionCallConfig {
    double s0 = 100.0;
    double k = 100.0;
    double r = 0.03;
    double sigma = 0.2;
    double jump_intensity = 0.4;    // Poisson rate lambda per year
    double jump_mean = -0.08;       // mean of one log-jump
    double jump_volatility = 0.25;  // standard deviation of one log-jump
    double t = 1.0;
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

}  // namespace mc_core
