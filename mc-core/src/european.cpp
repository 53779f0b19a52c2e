#include "mc_core/european.hpp"

#include "mc_core/engine.hpp"
#include "mc_core/error.hpp"
#include "mc_core/stepwise.hpp"

namespace mc_core {

TerminalModel TerminalModel::from(const EuropeanCallConfig& c) {
    return {c.s0, c.k, c.t * (c.r + c.sigma * (c.sigma * -0.5)), c.sigma * block_math::sqrt(c.t),
            block_math::exp(-(c.r * c.t))};
}

PathSums simulate_terminal_chunk(std::uint64_t stream_seed, std::uint64_t paths, const TerminalModel& m) {
    return stream_chunk<MonteCarloTechnique::standard>(stream_seed, paths, m);
}

ControlVariateMoments simulate_terminal_control_variate_chunk(std::uint64_t stream_seed, std::uint64_t paths,
                                                              const TerminalModel& m) {
    return stream_chunk<MonteCarloTechnique::control_variate>(stream_seed, paths, m);
}

EuropeanCallResult european_call_price_mc_cpu_terminal(const EuropeanCallConfig& c,
                                                      const std::optional<BlockPlan>& plan) {
    // Antithetic pairs stay on the calling thread with the raw seed.
    return price_model(TerminalModel::from(c), c.technique,
                       {c.n_paths, c.seed, c.n_threads, c.sampling, c.t, false, true, false, plan, c.sobol_length});
}

EuropeanCallResult european_call_price_mc_cpu(const EuropeanCallConfig& c) {
    return european_call_price_mc_cpu_planned(c, std::nullopt);
}

EuropeanCallResult european_call_price_mc_cpu_planned(const EuropeanCallConfig& c,
                                                      const std::optional<BlockPlan>& plan) {
    check_rows(c, kPathCountChecks<EuropeanCallConfig>);
    return european_call_price_mc_cpu_terminal(c, plan);
}

void validate_european_call_config(const EuropeanCallConfig& c) {
    using R = EuropeanCallConfig;
    static constexpr std::array<Check<R>, 4> kChecks{{
        above<R>(&R::s0, 0.0, "s0 must be > 0"),
        above<R>(&R::k, 0.0, "k must be > 0"),
        above<R>(&R::sigma, 0.0, "sigma must be > 0"),
        above<R>(&R::t, 0.0, "t must be > 0"),
    }};
    check_rows(c, kPathCountChecks<R>);
    check_rows(c, kChecks);
}

// ---------------------------------------------------------------------------
// European call, stepwise method.

EuropeanCallResult european_call_price_mc_cpu_stepwise(const EuropeanCallConfig& c) {
    const auto model = make_stepwise_model(TerminalPayoff{c.k}, c.n_steps, c.s0, c.r, c.sigma, c.t);
    // Pseudorandom antithetic pairs stay on the calling thread with the raw seed.
    return price_stepwise(model, c.technique,
                          {c.n_paths, c.seed, c.n_threads, c.sampling, c.t, false, std::nullopt, c.sobol_length});
}

PathSums simulate_stepwise_chunk(std::uint64_t stream_seed, std::uint64_t paths, std::uint64_t n_steps, double s0,
                                 double k, double drift, double vol, double disc) {
    return stream_chunk<MonteCarloTechnique::standard>(stream_seed, paths,
                                                       stepwise_model_of(TerminalPayoff{k}, n_steps, s0, drift, vol, disc));
}

ControlVariateMoments simulate_stepwise_control_variate_chunk(std::uint64_t stream_seed, std::uint64_t paths,
                                                              std::uint64_t n_steps, double s0, double k, double drift,
                                                              double vol, double disc) {
    return stream_chunk<MonteCarloTechnique::control_variate>(
        stream_seed, paths, stepwise_model_of(TerminalPayoff{k}, n_steps, s0, drift, vol, disc));
}

}  // namespace mc_core
