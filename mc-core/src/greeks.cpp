#include "mc_core/greeks.hpp"

#include "mc_core/error.hpp"

namespace mc_core {

namespace {

template <class Config>
void check_greek_inputs(const Config& c) {
    if (!(c.sigma > 0.0)) fail("greeks need sigma > 0");
}

// The runs of a stepwise product's pricing (path_dependent.cpp), the bridge
// building the steps of Sobol points.
template <class Tracker, class Config>
GreeksResult stepwise_greeks(Tracker tracker, const Config& c, const std::optional<BlockPlan>& plan) {
    check_greek_inputs(c);
    const auto model = make_greek_model(tracker, c.n_steps, c.s0, c.k, c.r, c.sigma, c.t);
    return price_greeks(model, c.technique == MonteCarloTechnique::antithetic,
                        {c.n_paths, c.seed, c.n_threads, c.sampling, c.t, true, true, true, plan, c.sobol_length});
}

}  // namespace

GreeksResult european_call_greeks_mc_cpu_planned(const EuropeanCallConfig& c, const std::optional<BlockPlan>& plan) {
    check_rows(c, kPathCountChecks<EuropeanCallConfig>);
    check_greek_inputs(c);
    const auto model = make_greek_model(LastPriceTracker{}, 1, c.s0, c.k, c.r, c.sigma, c.t);
    // Antithetic pairs stay on the calling thread with the raw seed, as the price's do.
    return price_greeks(model, c.technique == MonteCarloTechnique::antithetic,
                        {c.n_paths, c.seed, c.n_threads, c.sampling, c.t, false, true, false, plan, c.sobol_length});
}

GreeksResult arithmetic_asian_call_greeks_mc_cpu_planned(const ArithmeticAsianCallConfig& c,
                                                         const std::optional<BlockPlan>& plan) {
    check_rows(c, kPathCountChecks<ArithmeticAsianCallConfig>);
    return stepwise_greeks(AverageTracker{}, c, plan);
}

GreeksResult lookback_call_greeks_mc_cpu_planned(const LookbackCallConfig& c, const std::optional<BlockPlan>& plan) {
    check_lookback_call_config(c);
    return stepwise_greeks(MaximumTracker{}, c, plan);
}

GreeksResult down_and_out_call_greeks_mc_cpu_planned(const DownAndOutCallConfig& c,
                                                     const std::optional<BlockPlan>& plan) {
    check_down_and_out_call_config(c);
    return stepwise_greeks(KnockOutTracker{c.barrier}, c, plan);
}

}  // namespace mc_core
