// The European call, and the records every single-price product shares.
//
// Contract
//  * The terminal method: one normal per path, S_T = s0 exp(drift_t + vol_t z),
//    payoff disc max(S_T - k, 0) (NaN gives 0). Techniques: standard and
//    control variate (control: the discounted terminal price, whose mean is s0)
//    through the parallel runner; antithetic pairs (z and -z) always on the
//    calling thread with the raw seed. Structured sampling gives path i the
//    first coordinate of point i (no bridge: both Sobol variants coincide).
//  * The stepwise method lives with the stepwise engine (stepwise.hpp).
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "mc_core/estimators.hpp"
#include "mc_core/lane_math.hpp"
#include "mc_core/random.hpp"
#include "mc_core/runner.hpp"
#include "mc_core/simd.hpp"

namespace mc_core {

enum class EuropeanCallMethod : std::uint8_t { automatic = 0, terminal_distribution = 1, stepwise_paths = 2 };
// The workload a result record belongs to; written out, never read.
enum class PricingWorkloadFamily : std::uint8_t {
    european_call = 0,
    merton_jump_diffusion_call = 1,
    heston_european_call = 2,
    arithmetic_asian_call = 3,
    down_and_out_call = 4,
    basket_call = 5,
    lookback_call = 6,
    american_put = 7,
    bermudan_put = 8,
};

// The market of an option on one asset under geometric Brownian motion, with
// the defaults every such product starts from.
struct GbmMarket {
    double s0 = 100.0;
    double k = 100.0;
    double r = 0.03;
    double sigma = 0.2;
    double t = 1.0;
};

// The checks every product with a path and a step count starts with, in this
// order.
template <class Record>
inline constexpr std::array<Check<Record>, 2> kPathCountChecks{{
    above<Record>(&Record::n_paths, 0, "n_paths must be > 0"),
    above<Record>(&Record::n_steps, 0, "n_steps must be > 0"),
}};

struct EuropeanCallConfig : GbmMarket {
    std::uint64_t n_paths = 100000;
    std::uint64_t n_steps = 252;
    std::uint64_t seed = 42;
    std::uint64_t n_threads = 0;
    MonteCarloTechnique technique = MonteCarloTechnique::standard;
    SamplingMethod sampling = SamplingMethod::pseudorandom;
    // Not a config field: the block-plan entries set full_length (random.hpp).
    SobolLength sobol_length = SobolLength::blocks_of_65536;
};

// The terminal method as a model of the engine (engine.hpp): one normal a path.
struct TerminalModel {
    double s0, k, drift_t, vol_t, disc;

    static TerminalModel from(const EuropeanCallConfig& c);

    std::uint64_t normals_per_unit() const { return 1; }
    double control_mean() const { return s0; }

    template <class V>
    MC_LANE_INLINE V terminal_price(V z) const {
        return s0 * lane_math::exp(drift_t + vol_t * z);
    }
    template <class V>
    MC_LANE_INLINE V payoff(V terminal) const {
        return disc * simd::positive_part(terminal - k);
    }
    template <class Draw>
    MC_LANE_INLINE auto discounted_payoff(Draw& draw) const {
        return payoff(terminal_price(draw(1)[0]));
    }
    template <class Draw>
    MC_LANE_INLINE auto payoff_and_control(Draw& draw) const {
        using V = typename Draw::Pack;
        const V terminal = terminal_price(draw(1)[0]);
        return Valued<V>{payoff(terminal), disc * terminal};
    }
    template <class Draw>
    MC_LANE_INLINE auto antithetic_pair(Draw& draw) const {
        const auto z = draw(1)[0];
        return (payoff(terminal_price(z)) + payoff(s0 * lane_math::exp(drift_t - vol_t * z))) * 0.5;
    }
};

// Checks n_paths and n_steps, then prices by the terminal method.
EuropeanCallResult european_call_price_mc_cpu(const EuropeanCallConfig& config);
// The same with the caller's block plan (runner.hpp), or as above without one.
EuropeanCallResult european_call_price_mc_cpu_planned(const EuropeanCallConfig& config,
                                                      const std::optional<BlockPlan>& plan);
// Every positivity check, for callers that need a fully valid record.
void validate_european_call_config(const EuropeanCallConfig& config);
EuropeanCallResult european_call_price_mc_cpu_terminal(const EuropeanCallConfig& config,
                                                      const std::optional<BlockPlan>& plan = std::nullopt);

// Path kernels of the terminal method (one stream per call, paths in order).
PathSums simulate_terminal_chunk(std::uint64_t stream_seed, std::uint64_t paths, const TerminalModel& m);
ControlVariateMoments simulate_terminal_control_variate_chunk(std::uint64_t stream_seed, std::uint64_t paths,
                                                              const TerminalModel& m);

}  // namespace mc_core
