// The stepwise model of geometric Brownian motion, shared by every product
// that looks at the price along the path.
//
// Contract
//  * A path starts at x = ln(s0) and takes n steps x <- x + (drift + vol z_j),
//    S_j = exp(x); the increment is formed before it is added. An antithetic
//    pair runs the plus path (drift + vol z_j) and the minus path
//    (drift - vol z_j) on the same normals and is worth
//    (value(minus) + value(plus)) / 2.
//  * Products differ only in a path functional: what they track along the path
//    and how that becomes a discounted payoff. Over a lane pack V it provides
//        State<V> start<V>() const;                     // before the first step
//        void observe(State<V>&, V price) const;        // after every step
//        V value(const State<V>&, V last_price, double disc) const;
//    and `kObservesEveryPrice` (false when only the last price matters, so the
//    model exponentiates once per path instead of once per step).
//  * The model runs on the engine (engine.hpp): every technique and sampling
//    method, the control being the discounted last price (mean s0), the
//    Brownian bridge building the steps of scrambled Sobol points.
#pragma once

#include <algorithm>
#include <cstdint>

#include "mc_core/block_math.hpp"
#include "mc_core/engine.hpp"
#include "mc_core/european.hpp"
#include "mc_core/lane_math.hpp"
#include "mc_core/simd.hpp"

namespace mc_core {

template <class Functional>
struct StepwiseModel {
    Functional functional;
    std::uint64_t n_steps;
    double s0;
    double drift;
    double vol;
    double disc;
    double log_s0;

    std::uint64_t normals_per_unit() const { return n_steps; }
    double control_mean() const { return s0; }

    template <class V>
    struct Outcome {
        V discounted_payoff;
        V last_price;
    };

    template <class Draw>
    MC_LANE_INLINE auto path(Draw& draw) const {
        using V = typename Draw::Pack;
        auto state = functional.template start<V>();
        V x = simd::broadcast<V>(log_s0);
        V last = simd::broadcast<V>(s0);
        for_each_step_normal(draw, n_steps, [&](V z) MC_PACK_LAMBDA {
            x = x + (drift + vol * z);
            if constexpr (Functional::kObservesEveryPrice) {
                last = lane_math::exp(x);
                functional.observe(state, last);
            }
        });
        if constexpr (!Functional::kObservesEveryPrice) last = lane_math::exp(x);
        return Outcome<V>{functional.value(state, last, disc), last};
    }

    template <class Draw>
    MC_LANE_INLINE auto discounted_payoff(Draw& draw) const {
        return path(draw).discounted_payoff;
    }
    template <class Draw>
    MC_LANE_INLINE auto payoff_and_control(Draw& draw) const {
        const auto outcome = path(draw);
        return Valued<typename Draw::Pack>{outcome.discounted_payoff, disc * outcome.last_price};
    }
    template <class Draw>
    MC_LANE_INLINE auto antithetic_pair(Draw& draw) const {
        using V = typename Draw::Pack;
        auto plus_state = functional.template start<V>();
        auto minus_state = functional.template start<V>();
        V plus_x = simd::broadcast<V>(log_s0);
        V minus_x = plus_x;
        V plus_last = simd::broadcast<V>(s0);
        V minus_last = plus_last;
        for_each_step_normal(draw, n_steps, [&](V z) MC_PACK_LAMBDA {
            plus_x = plus_x + (drift + vol * z);
            minus_x = minus_x + (drift - vol * z);
            if constexpr (Functional::kObservesEveryPrice) {
                plus_last = lane_math::exp(plus_x);
                minus_last = lane_math::exp(minus_x);
                functional.observe(plus_state, plus_last);
                functional.observe(minus_state, minus_last);
            }
        });
        if constexpr (!Functional::kObservesEveryPrice) {
            plus_last = lane_math::exp(plus_x);
            minus_last = lane_math::exp(minus_x);
        }
        return (functional.value(minus_state, minus_last, disc) + functional.value(plus_state, plus_last, disc)) *
               0.5;
    }
};

// The model from per-step constants.
template <class Functional>
StepwiseModel<Functional> stepwise_model_of(Functional functional, std::uint64_t n_steps, double s0, double drift,
                                            double vol, double disc) {
    return {functional, n_steps, s0, drift, vol, disc, block_math::log(s0)};
}

// The per-call constants of a uniform grid of n steps over [0, t].
template <class Functional>
StepwiseModel<Functional> make_stepwise_model(Functional functional, std::uint64_t n_steps, double s0, double r,
                                              double sigma, double t) {
    const double dt = t / static_cast<double>(n_steps);
    return stepwise_model_of(functional, n_steps, s0, dt * (r + sigma * (sigma * -0.5)),
                             sigma * block_math::sqrt(dt), block_math::exp(-(r * t)));
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
    std::optional<BlockPlan> plan = std::nullopt;
    SobolLength sobol_length = SobolLength::blocks_of_65536;
};

template <class Functional>
EuropeanCallResult price_stepwise(const StepwiseModel<Functional>& m, MonteCarloTechnique technique,
                                  const StepwiseRun& run) {
    return price_model(m, technique,
                       {run.n_paths, run.seed, run.n_threads, run.sampling, run.t, true, true,
                        run.antithetic_on_workers, run.plan, run.sobol_length});
}

// ---- The European call, step by step ------------------------------------------

// Only the last price matters.
struct TerminalPayoff {
    static constexpr bool kObservesEveryPrice = false;
    template <class V>
    struct State {};
    double k;

    template <class V>
    MC_LANE_INLINE State<V> start() const {
        return {};
    }
    template <class V>
    MC_LANE_INLINE void observe(State<V>&, V) const {}
    template <class V>
    MC_LANE_INLINE V value(const State<V>&, V last, double disc) const {
        return disc * simd::positive_part(last - k);
    }
};

// Prices the call on a grid of n_steps steps (the record is assumed valid).
EuropeanCallResult european_call_price_mc_cpu_stepwise(const EuropeanCallConfig& config);

PathSums simulate_stepwise_chunk(std::uint64_t stream_seed, std::uint64_t paths, std::uint64_t n_steps, double s0,
                                 double k, double drift, double vol, double disc);
ControlVariateMoments simulate_stepwise_control_variate_chunk(std::uint64_t stream_seed, std::uint64_t paths,
                                                              std::uint64_t n_steps, double s0, double k, double drift,
                                                              double vol, double disc);

}  // namespace mc_core
