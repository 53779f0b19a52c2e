#include "mc_core/dynamics.hpp"

#include "mc_core/error.hpp"
#include "mc_core/interrupt.hpp"

namespace mc_core {

using block_math::positive_part;

// ---------------------------------------------------------------------------
// Heston European call.

HestonPathParams HestonPathParams::from(const HestonEuropeanCallConfig& c) {
    const double dt = c.t / static_cast<double>(c.n_steps);
    return {block_math::log(c.s0),
            c.k,
            c.v0,
            c.kappa,
            c.theta,
            c.vol_of_vol,
            c.rho,
            block_math::sqrt(positive_part(1.0 - c.rho * c.rho)),
            dt,
            block_math::sqrt(dt),
            c.n_steps,
            c.r,
            block_math::exp(-(c.r * c.t)),
            c.s0};
}

PathSums simulate_heston_chunk(std::uint64_t stream_seed, std::uint64_t paths, const HestonPathParams& p) {
    return stream_chunk<MonteCarloTechnique::standard>(stream_seed, paths, p);
}

ControlVariateMoments simulate_heston_control_variate_chunk(std::uint64_t stream_seed, std::uint64_t paths,
                                                            const HestonPathParams& p) {
    return stream_chunk<MonteCarloTechnique::control_variate>(stream_seed, paths, p);
}

PathSums simulate_heston_antithetic_chunk(std::uint64_t stream_seed, std::uint64_t pairs, const HestonPathParams& p) {
    return stream_chunk<MonteCarloTechnique::antithetic>(stream_seed, pairs, p);
}

void validate_heston_european_call_config(const HestonEuropeanCallConfig& c) {
    using R = HestonEuropeanCallConfig;
    static constexpr std::array<Check<R>, 8> kChecks{{
        above<R>(&R::s0, 0.0, "s0 must be > 0"),
        at_least<R>(&R::k, 0.0, "k must be >= 0"),
        at_least<R>(&R::v0, 0.0, "v0 must be >= 0"),
        at_least<R>(&R::kappa, 0.0, "kappa must be >= 0"),
        at_least<R>(&R::theta, 0.0, "theta must be >= 0"),
        at_least<R>(&R::vol_of_vol, 0.0, "vol_of_vol must be >= 0"),
        within<R>(&R::rho, -1.0, 1.0, "rho must be in [-1, 1]"),
        above<R>(&R::t, 0.0, "t must be > 0"),
    }};
    check_rows(c, kPathCountChecks<R>);
    check_rows(c, kChecks);
}

EuropeanCallResult heston_european_call_price_mc_cpu(const HestonEuropeanCallConfig& c) {
    return heston_european_call_price_mc_cpu_planned(c, std::nullopt);
}

EuropeanCallResult heston_european_call_price_mc_cpu_planned(const HestonEuropeanCallConfig& c,
                                                             const std::optional<BlockPlan>& plan) {
    validate_heston_european_call_config(c);
    return price_model(HestonPathParams::from(c), c.technique,
                       {c.n_paths, c.seed, c.n_threads, SamplingMethod::pseudorandom, c.t, false, true, true, plan});
}

// ---------------------------------------------------------------------------
// Merton jump-diffusion call.

MertonPathParams MertonPathParams::from(const MertonJumpDiffusionCallConfig& c) {
    const double lambda = c.jump_intensity;
    const double mu = c.jump_mean;
    const double delta = c.jump_volatility;
    // Expected relative jump size E[e^J - 1]; compensating the drift by
    // lambda times it makes the discounted price a martingale.
    const double mean_jump = block_math::exp(mu + 0.5 * (delta * delta)) - 1.0;
    return {block_math::log(c.s0),
            c.t * ((c.r - lambda * mean_jump) - 0.5 * (c.sigma * c.sigma)),
            c.sigma * block_math::sqrt(c.t),
            lambda * c.t,
            mu,
            delta,
            block_math::exp(-(c.r * c.t)),
            c.k};
}

std::uint64_t poisson_by_inversion(double u, double mean, double p0) {
    double term = p0;
    double cdf = p0;
    std::uint64_t n = 0;
    while (u > cdf) {
        ++n;
        term = term * mean / static_cast<double>(n);
        cdf += term;
        if (n >= kPoissonTermLimit) fail("Poisson sampler did not converge");
    }
    return n;
}

// Paths run in blocks: the log terminal prices of a block are collected and
// exponentiated together, then summed in path order.
PathSums simulate_merton_jump_diffusion_chunk(std::uint64_t stream_seed, std::uint64_t paths,
                                              const MertonPathParams& p) {
    NormalRng rng(stream_seed);
    const bool jumps = p.jump_mean_count != 0.0;
    const double p0 = block_math::exp(-p.jump_mean_count);
    const double start = p.log_s0 + p.drift;
    constexpr std::uint64_t kBlock = 256;
    double terminal[kBlock];
    PathSums sums;
    while (paths > 0) {
        check_stop();
        const std::size_t n = static_cast<std::size_t>(paths < kBlock ? paths : kBlock);
        for (std::size_t i = 0; i < n; ++i) {
            const double z = rng.next_standard_normal();
            double jump = 0.0;
            if (jumps) {
                // One raw uniform: the cached Box-Muller value stays pending.
                const std::uint64_t count = poisson_by_inversion(rng.next_uniform(), p.jump_mean_count, p0);
                if (count != 0) {
                    // The sum of `count` independent N(mu, delta^2) log-jumps, as one normal.
                    const double jumps_n = static_cast<double>(count);
                    jump = p.jump_mean * jumps_n + p.jump_volatility * block_math::sqrt(jumps_n) * rng.next_standard_normal();
                }
            }
            terminal[i] = start + p.diffusion * z + jump;
        }
        block_math::exp_block(terminal, n);
        for (std::size_t i = 0; i < n; ++i) sums.add(p.discount * positive_part(terminal[i] - p.k));
        paths -= n;
    }
    return sums;
}

void validate_merton_jump_diffusion_call_config(const MertonJumpDiffusionCallConfig& c) {
    using R = MertonJumpDiffusionCallConfig;
    static constexpr std::array<Check<R>, 7> kChecks{{
        above<R>(&R::n_paths, 0, "n_paths must be > 0"),
        above<R>(&R::s0, 0.0, "s0 must be > 0"),
        above<R>(&R::k, 0.0, "k must be > 0"),
        at_least<R>(&R::sigma, 0.0, "sigma must be >= 0"),
        at_least<R>(&R::jump_intensity, 0.0, "jump_intensity must be >= 0"),
        at_least<R>(&R::jump_volatility, 0.0, "jump_volatility must be >= 0"),
        above<R>(&R::t, 0.0, "t must be > 0"),
    }};
    check_rows(c, kChecks);
}

EuropeanCallResult merton_jump_diffusion_call_price_mc_cpu(const MertonJumpDiffusionCallConfig& c) {
    return merton_jump_diffusion_call_price_mc_cpu_planned(c, std::nullopt);
}

EuropeanCallResult merton_jump_diffusion_call_price_mc_cpu_planned(const MertonJumpDiffusionCallConfig& c,
                                                                   const std::optional<BlockPlan>& plan) {
    validate_merton_jump_diffusion_call_config(c);
    const MertonPathParams p = MertonPathParams::from(c);
    const auto kernel = [p](std::uint64_t s, std::uint64_t n) { return simulate_merton_jump_diffusion_chunk(s, n, p); };
    // Jumps make the draws per path vary, so a plan's blocks are always those
    // of a parallel run of as many workers.
    const PathSums sums = run_plan_blocks(worker_blocks(c.n_paths, c.n_threads, c.seed, plan), kernel,
                                          kMertonWorkerFailureText, plan);
    return plain_estimate(sums, c.n_paths);
}

}  // namespace mc_core
