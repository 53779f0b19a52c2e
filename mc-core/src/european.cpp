#include "mc_core/european.hpp"

#include <algorithm>
#include <cmath>

#include "mc_core/stepwise.hpp"

#if defined(__linux__)
#include <sched.h>
#endif

namespace mc_core {

using block_math::positive_part;

// ---------------------------------------------------------------------------
// Estimators.

SampleMoments population_moments(const PathSums& sums, std::uint64_t n) {
    const double count = static_cast<double>(n);
    const double mean = sums.sum / count;
    return {mean, positive_part(sums.sum_sq / count - mean * mean)};
}

EuropeanCallResult plain_estimate(const PathSums& sums, std::uint64_t n) {
    const SampleMoments moments = population_moments(sums, n);
    return {moments.mean, std::sqrt(moments.variance) / std::sqrt(static_cast<double>(n))};
}

EuropeanCallResult control_variate_estimate(const ControlVariateMoments& m, double control_mean) {
    constexpr double kDegenerateControlVariance = 2.220446049250313e-16;  // 2^-52
    const double n = static_cast<double>(m.count);
    const double mean_y = m.sum_y / n;
    const double mean_c = m.sum_c / n;
    const double mean_cc = m.sum_c2 / n;
    const double var_c = mean_cc - mean_c * mean_c;
    double price, mean_sq;
    if (var_c <= kDegenerateControlVariance) {
        price = mean_y;
        mean_sq = m.sum_y2 / n;
    } else {  // also taken for a NaN variance
        const double mean_cy = m.sum_cy / n;
        const double beta = (mean_cy - mean_y * mean_c) / var_c;
        price = mean_y - beta * (mean_c - control_mean);
        // Mean square of the adjusted samples y - beta (c - mu), expanded so that
        // it needs only the accumulated sums.
        mean_sq = m.sum_y2 / n - 2.0 * beta * (mean_cy - control_mean * mean_y) +
                  beta * beta * (control_mean * control_mean + (mean_cc - 2.0 * control_mean * mean_c));
    }
    return {price, std::sqrt(positive_part(mean_sq - price * price)) / std::sqrt(n)};
}

// ---------------------------------------------------------------------------
// Parallel path runner.

std::uint64_t resolve_worker_count(std::uint64_t n_threads) {
    if (n_threads != 0) return n_threads;
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::uint64_t>(count);
    }
#endif
    const unsigned count = std::thread::hardware_concurrency();
    return count == 0 ? 1 : count;
}

std::vector<WorkerBlock> plan_worker_blocks(std::uint64_t units, std::uint64_t n_threads, std::uint64_t seed) {
    const std::uint64_t workers = resolve_worker_count(n_threads);
    // units < workers * 2000, written so that it cannot overflow.
    if (workers < 2 || units / kMinUnitsPerWorker < workers) return {{seed, units}};
    const std::uint64_t base = units / workers;
    const std::uint64_t larger = units % workers;
    std::vector<WorkerBlock> blocks;
    blocks.reserve(workers);
    for (std::uint64_t w = 0; w < workers; ++w)
        blocks.push_back({derive_worker_seed(seed, w), base + (w < larger ? 1 : 0)});
    return blocks;
}

// ---------------------------------------------------------------------------
// European call, terminal method.

namespace {

// Replaces each normal by its terminal price: s0 * exp(drift_t + vol_t * z).
void terminal_prices(const TerminalParams& p, double* values, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) values[i] = p.drift_t + p.vol_t * values[i];
    block_math::exp_block(values, n);
    for (std::size_t i = 0; i < n; ++i) values[i] = p.s0 * values[i];
}

double antithetic_pair_value(const TerminalParams& p, double z) {
    return (p.discounted_payoff(p.terminal_price(z)) + p.discounted_payoff(p.s0 * block_math::exp(p.drift_t - p.vol_t * z))) *
           0.5;
}

PathSums simulate_terminal_antithetic_chunk(std::uint64_t stream_seed, std::uint64_t pairs, const TerminalParams& p) {
    NormalRng rng(stream_seed);
    PathSums sums;
    for_each_normal_block(rng, pairs, [&](double* z, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) sums.add(antithetic_pair_value(p, z[i]));
    });
    return sums;
}

}  // namespace

TerminalParams TerminalParams::from(const EuropeanCallConfig& c) {
    return {c.s0, c.k, c.t * (c.r + c.sigma * (c.sigma * -0.5)), c.sigma * std::sqrt(c.t), std::exp(-(c.r * c.t))};
}

PathSums simulate_terminal_chunk(std::uint64_t stream_seed, std::uint64_t paths, const TerminalParams& p) {
    NormalRng rng(stream_seed);
    PathSums sums;
    for_each_normal_block(rng, paths, [&](double* z, std::size_t n) {
        terminal_prices(p, z, n);
        for (std::size_t i = 0; i < n; ++i) sums.add(p.discounted_payoff(z[i]));
    });
    return sums;
}

ControlVariateMoments simulate_terminal_control_variate_chunk(std::uint64_t stream_seed, std::uint64_t paths,
                                                              const TerminalParams& p) {
    NormalRng rng(stream_seed);
    ControlVariateMoments moments;
    for_each_normal_block(rng, paths, [&](double* z, std::size_t n) {
        terminal_prices(p, z, n);
        for (std::size_t i = 0; i < n; ++i) moments.add(p.discounted_payoff(z[i]), p.disc * z[i]);
    });
    return moments;
}

EuropeanCallResult european_call_price_mc_cpu_terminal(const EuropeanCallConfig& c) {
    const TerminalParams p = TerminalParams::from(c);
    const std::uint64_t pairs = antithetic_pairs(c.n_paths);

    if (c.sampling == SamplingMethod::pseudorandom) {
        switch (c.technique) {
            case MonteCarloTechnique::standard:
                return plain_estimate(run_parallel(c.n_paths, c.n_threads, c.seed,
                                                   [p](std::uint64_t s, std::uint64_t n) {
                                                       return simulate_terminal_chunk(s, n, p);
                                                   }),
                                      c.n_paths);
            case MonteCarloTechnique::control_variate: {
                const ControlVariateMoments m = run_parallel(c.n_paths, c.n_threads, c.seed,
                                                             [p](std::uint64_t s, std::uint64_t n) {
                                                                 return simulate_terminal_control_variate_chunk(s, n, p);
                                                             });
                return control_variate_estimate(m, c.s0);
            }
            case MonteCarloTechnique::antithetic:
                return plain_estimate(simulate_terminal_antithetic_chunk(c.seed, pairs, p), pairs);
        }
    }

    // With one dimension there is no bridge, so both Sobol variants coincide.
    const StructuredNormalSampler sampler(c.sampling, c.seed, c.n_paths, 1);
    switch (c.technique) {
        case MonteCarloTechnique::standard:
            return plain_estimate(run_structured<PathSums>(sampler, c.n_paths, 1,
                                                           [&p](const double* z, PathSums& acc) {
                                                               acc.add(p.discounted_payoff(p.terminal_price(z[0])));
                                                           }),
                                  c.n_paths);
        case MonteCarloTechnique::control_variate:
            return control_variate_estimate(
                run_structured<ControlVariateMoments>(sampler, c.n_paths, 1,
                                                      [&p](const double* z, ControlVariateMoments& acc) {
                                                          const double terminal = p.terminal_price(z[0]);
                                                          acc.add(p.discounted_payoff(terminal), p.disc * terminal);
                                                      }),
                c.s0);
        case MonteCarloTechnique::antithetic:
            return plain_estimate(run_structured<PathSums>(sampler, pairs, 1,
                                                           [&p](const double* z, PathSums& acc) {
                                                               acc.add(antithetic_pair_value(p, z[0]));
                                                           }),
                                  pairs);
    }
    fail("internal error: unknown Monte Carlo technique");
}

EuropeanCallResult european_call_price_mc_cpu(const EuropeanCallConfig& c) {
    if (c.n_paths == 0) fail("n_paths must be > 0");
    if (c.n_steps == 0) fail("n_steps must be > 0");
    return european_call_price_mc_cpu_terminal(c);
}

void validate_european_call_config(const EuropeanCallConfig& c) {
    if (c.n_paths == 0) fail("n_paths must be > 0");
    if (c.n_steps == 0) fail("n_steps must be > 0");
    if (!(c.s0 > 0.0)) fail("s0 must be > 0");
    if (!(c.k > 0.0)) fail("k must be > 0");
    if (!(c.sigma > 0.0)) fail("sigma must be > 0");
    if (!(c.t > 0.0)) fail("t must be > 0");
}

}  // namespace mc_core

// ---------------------------------------------------------------------------
// European call, stepwise method.

namespace mc_core {

EuropeanCallResult european_call_price_mc_cpu_stepwise(const EuropeanCallConfig& c) {
    const auto model = make_stepwise_model(TerminalPayoff{c.k}, c.n_steps, c.s0, c.r, c.sigma, c.t);
    // Pseudorandom antithetic pairs stay on the calling thread with the raw seed.
    return price_stepwise(model, c.technique, {c.n_paths, c.seed, c.n_threads, c.sampling, c.t, false});
}

PathSums simulate_stepwise_chunk(std::uint64_t stream_seed, std::uint64_t paths, std::uint64_t n_steps, double s0,
                                 double k, double drift, double vol, double disc) {
    return stepwise_chunk<MonteCarloTechnique::standard>(
        stream_seed, paths, StepwiseModel<TerminalPayoff>{{k}, n_steps, s0, drift, vol, disc});
}

ControlVariateMoments simulate_stepwise_control_variate_chunk(std::uint64_t stream_seed, std::uint64_t paths,
                                                              std::uint64_t n_steps, double s0, double k, double drift,
                                                              double vol, double disc) {
    return stepwise_chunk<MonteCarloTechnique::control_variate>(
        stream_seed, paths, StepwiseModel<TerminalPayoff>{{k}, n_steps, s0, drift, vol, disc});
}

}  // namespace mc_core
