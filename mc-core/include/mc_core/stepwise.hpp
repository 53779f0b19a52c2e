// The stepwise path engine for geometric Brownian motion, shared by every
// product that looks at the price along the path.
//
// Contract
//  * A path starts at x = ln(s0) and takes n steps x <- x + (drift + vol z_j),
//    S_j = exp(x); the increment is formed before it is added. An antithetic
//    pair runs the plus path (drift + vol z_j) and the minus path
//    (drift - vol z_j) on the same normals and is worth the mean of the two.
//  * Products differ only in a path functional: what they track along the path
//    and how that becomes a discounted payoff. A functional provides
//        State start() const;                   // before the first step
//        void observe(State&, double price) const;  // after every step
//        double value(const State&, double last_price, double disc) const;
//    and `kObservesEveryPrice` (false when only the last price matters, so the
//    engine exponentiates once per path instead of once per step).
//  * Techniques: standard (one path per unit, plain estimator), control variate
//    (control: discounted last price, whose mean is s0) and antithetic (one pair
//    per unit, plain estimator over pairs).
//  * Normal sources: a pseudorandom kernel draws every normal of its units from
//    one stream, in unit and step order, through the parallel path runner;
//    structured sampling takes unit i's normals from point i of the sampler (or
//    its Brownian bridge) on the calling thread.
//  * Steps run in blocks: normals are drawn a block at a time, the log-prices of
//    the block formed in order, then exponentiated together through block_math.
//    The order of every floating-point operation is that of the scalar loop.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>

#include "mc_core/block_math.hpp"
#include "mc_core/european.hpp"
#include "mc_core/random.hpp"

namespace mc_core {

inline constexpr std::size_t kStepBlock = 128;

template <class Functional>
struct StepwiseModel {
    Functional functional;
    std::uint64_t n_steps;
    double s0;
    double drift;
    double vol;
    double disc;
};

// The per-call constants of a uniform grid of n steps over [0, t].
template <class Functional>
StepwiseModel<Functional> make_stepwise_model(Functional functional, std::uint64_t n_steps, double s0, double r,
                                              double sigma, double t) {
    const double dt = t / static_cast<double>(n_steps);
    return {functional, n_steps, s0, dt * (r + sigma * (sigma * -0.5)), sigma * block_math::sqrt(dt),
            block_math::exp(-(r * t))};
}

// ---- Paths ------------------------------------------------------------------

struct PathOutcome {
    double discounted_payoff;
    double last_price;
};

// `draw(count)` returns a pointer to the path's next `count` normals.
template <class Functional, class Draw>
PathOutcome simulate_path(const StepwiseModel<Functional>& m, Draw& draw) {
    auto state = m.functional.start();
    double x = block_math::log(m.s0);
    double last = m.s0;
    double prices[kStepBlock];
    for (std::uint64_t done = 0; done < m.n_steps;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kStepBlock, m.n_steps - done));
        const double* z = draw(n);
        for (std::size_t j = 0; j < n; ++j) {
            x = x + (m.drift + m.vol * z[j]);
            prices[j] = x;
        }
        if constexpr (Functional::kObservesEveryPrice) {
            block_math::exp_block(prices, n);
            for (std::size_t j = 0; j < n; ++j) m.functional.observe(state, prices[j]);
            last = prices[n - 1];
        }
        done += n;
    }
    if constexpr (!Functional::kObservesEveryPrice) last = block_math::exp(x);
    return {m.functional.value(state, last, m.disc), last};
}

// The pair value (y_plus + y_minus) / 2 of one antithetic pair.
template <class Functional, class Draw>
double simulate_antithetic_pair(const StepwiseModel<Functional>& m, Draw& draw) {
    auto plus_state = m.functional.start();
    auto minus_state = m.functional.start();
    double plus_x = block_math::log(m.s0);
    double minus_x = plus_x;
    double plus_last = m.s0, minus_last = m.s0;
    double plus[kStepBlock], minus[kStepBlock];
    for (std::uint64_t done = 0; done < m.n_steps;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kStepBlock, m.n_steps - done));
        const double* z = draw(n);
        for (std::size_t j = 0; j < n; ++j) {
            plus_x = plus_x + (m.drift + m.vol * z[j]);
            minus_x = minus_x + (m.drift - m.vol * z[j]);
            plus[j] = plus_x;
            minus[j] = minus_x;
        }
        if constexpr (Functional::kObservesEveryPrice) {
            block_math::exp_block(plus, n);
            block_math::exp_block(minus, n);
            for (std::size_t j = 0; j < n; ++j) {
                m.functional.observe(plus_state, plus[j]);
                m.functional.observe(minus_state, minus[j]);
            }
            plus_last = plus[n - 1];
            minus_last = minus[n - 1];
        }
        done += n;
    }
    if constexpr (!Functional::kObservesEveryPrice) {
        plus_last = block_math::exp(plus_x);
        minus_last = block_math::exp(minus_x);
    }
    return (m.functional.value(minus_state, minus_last, m.disc) + m.functional.value(plus_state, plus_last, m.disc)) *
           0.5;
}

// ---- Techniques -------------------------------------------------------------

template <MonteCarloTechnique T>
struct StepwiseTechnique;

template <>
struct StepwiseTechnique<MonteCarloTechnique::standard> {
    using Partial = PathSums;
    template <class F, class Draw>
    static void unit(const StepwiseModel<F>& m, Draw& draw, Partial& acc) {
        acc.add(simulate_path(m, draw).discounted_payoff);
    }
};

template <>
struct StepwiseTechnique<MonteCarloTechnique::control_variate> {
    using Partial = ControlVariateMoments;
    template <class F, class Draw>
    static void unit(const StepwiseModel<F>& m, Draw& draw, Partial& acc) {
        const PathOutcome path = simulate_path(m, draw);
        acc.add(path.discounted_payoff, m.disc * path.last_price);
    }
};

template <>
struct StepwiseTechnique<MonteCarloTechnique::antithetic> {
    using Partial = PathSums;
    template <class F, class Draw>
    static void unit(const StepwiseModel<F>& m, Draw& draw, Partial& acc) {
        acc.add(simulate_antithetic_pair(m, draw));
    }
};

// ---- Normal sources ---------------------------------------------------------

// The `draw(n)` of a path: its next n (<= kStepBlock) normals, from one
// stream continuing across paths ...
class StreamNormals {
public:
    explicit StreamNormals(std::uint64_t stream_seed) : rng_(stream_seed) {}
    const double* operator()(std::size_t n) {
        rng_.fill_standard_normals(block_, n);
        return block_;
    }

private:
    NormalRng rng_;
    double block_[kStepBlock];
};

// ... or from the coordinates of one structured point, in step order.
class PointNormals {
public:
    explicit PointNormals(const double* coordinates) : next_(coordinates) {}
    const double* operator()(std::size_t n) {
        const double* block = next_;
        next_ += n;
        return block;
    }

private:
    const double* next_;
};

// A path kernel: `units` units drawing from one stream seeded `stream_seed`.
template <MonteCarloTechnique T, class Functional>
typename StepwiseTechnique<T>::Partial stepwise_chunk(std::uint64_t stream_seed, std::uint64_t units,
                                                      const StepwiseModel<Functional>& m) {
    StreamNormals draw(stream_seed);
    typename StepwiseTechnique<T>::Partial acc{};
    for (std::uint64_t u = 0; u < units; ++u) StepwiseTechnique<T>::unit(m, draw, acc);
    return acc;
}

struct StepwiseRun {
    std::uint64_t n_paths;
    std::uint64_t seed;
    std::uint64_t n_threads;
    SamplingMethod sampling;
    double t;  // maturity, for the Brownian bridge
    // Pseudorandom antithetic pairs go through the runner (path-dependent
    // products) or stay on the calling thread with the raw seed (European).
    bool antithetic_on_workers;
};

template <MonteCarloTechnique T, class Functional>
EuropeanCallResult price_stepwise_with(const StepwiseModel<Functional>& m, const StepwiseRun& run) {
    using Technique = StepwiseTechnique<T>;
    using Partial = typename Technique::Partial;
    const std::uint64_t units = T == MonteCarloTechnique::antithetic ? antithetic_pairs(run.n_paths) : run.n_paths;

    if (run.sampling == SamplingMethod::pseudorandom) {
        const auto kernel = [m](std::uint64_t stream_seed, std::uint64_t count) {
            return stepwise_chunk<T>(stream_seed, count, m);
        };
        const bool serial = T == MonteCarloTechnique::antithetic && !run.antithetic_on_workers;
        const auto blocks = serial ? std::vector<WorkerBlock>{{run.seed, units}}
                                   : plan_worker_blocks(units, run.n_threads, run.seed);
        return estimate(run_blocks(blocks, kernel), units, m.s0);
    }

    const StructuredNormalSampler sampler(run.sampling, run.seed, run.n_paths, m.n_steps);
    BrownianBridgeWorkspace bridge(run.sampling, m.n_steps, run.t);
    const Partial total =
        run_structured<Partial>(sampler, bridge, units, m.n_steps, [&m](const double* normals, Partial& acc) {
            PointNormals draw(normals);
            Technique::unit(m, draw, acc);
        });
    return estimate(total, units, m.s0);
}

// Chooses the technique once per call; no per-step branching follows.
template <class Functional>
EuropeanCallResult price_stepwise(const StepwiseModel<Functional>& m, MonteCarloTechnique technique,
                                  const StepwiseRun& run) {
    switch (technique) {
        case MonteCarloTechnique::standard:
            return price_stepwise_with<MonteCarloTechnique::standard>(m, run);
        case MonteCarloTechnique::antithetic:
            return price_stepwise_with<MonteCarloTechnique::antithetic>(m, run);
        case MonteCarloTechnique::control_variate:
            return price_stepwise_with<MonteCarloTechnique::control_variate>(m, run);
    }
    fail("internal error: unknown Monte Carlo technique");
}

// ---- The European call, step by step ------------------------------------------

// Only the last price matters.
struct TerminalPayoff {
    static constexpr bool kObservesEveryPrice = false;
    struct State {};
    double k;

    State start() const { return {}; }
    void observe(State&, double) const {}
    double value(const State&, double last, double disc) const { return disc * block_math::positive_part(last - k); }
};

// Prices the call on a grid of n_steps steps (the record is assumed valid).
EuropeanCallResult european_call_price_mc_cpu_stepwise(const EuropeanCallConfig& config);

PathSums simulate_stepwise_chunk(std::uint64_t stream_seed, std::uint64_t paths, std::uint64_t n_steps, double s0,
                                 double k, double drift, double vol, double disc);
ControlVariateMoments simulate_stepwise_control_variate_chunk(std::uint64_t stream_seed, std::uint64_t paths,
                                                              std::uint64_t n_steps, double s0, double k, double drift,
                                                              double vol, double disc);

}  // namespace mc_core
