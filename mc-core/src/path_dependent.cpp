#include "mc_core/path_dependent.hpp"

#include "mc_core/error.hpp"

namespace mc_core {

namespace {

using T = MonteCarloTechnique;

template <class Functional, class Config>
EuropeanCallResult price(Functional functional, const Config& c, const std::optional<BlockPlan>& plan) {
    const auto model = make_stepwise_model(functional, c.n_steps, c.s0, c.r, c.sigma, c.t);
    return price_stepwise(model, c.technique,
                          {c.n_paths, c.seed, c.n_threads, c.sampling, c.t, true, plan, c.sobol_length});
}

template <class Functional>
StepwiseModel<Functional> model_of(Functional functional, std::uint64_t n_steps, double s0, double drift, double vol,
                                   double disc) {
    return stepwise_model_of(functional, n_steps, s0, drift, vol, disc);
}

ArithmeticAverage average(std::uint64_t n_steps, double k) { return {k, static_cast<double>(n_steps)}; }

}  // namespace

EuropeanCallResult arithmetic_asian_call_price_mc_cpu(const ArithmeticAsianCallConfig& c) {
    return arithmetic_asian_call_price_mc_cpu_planned(c, std::nullopt);
}

EuropeanCallResult arithmetic_asian_call_price_mc_cpu_planned(const ArithmeticAsianCallConfig& c,
                                                              const std::optional<BlockPlan>& plan) {
    check_rows(c, kPathCountChecks<ArithmeticAsianCallConfig>);
    return price(average(c.n_steps, c.k), c, plan);
}

EuropeanCallResult lookback_call_price_mc_cpu(const LookbackCallConfig& c) {
    return lookback_call_price_mc_cpu_planned(c, std::nullopt);
}

void check_lookback_call_config(const LookbackCallConfig& c) {
    using R = LookbackCallConfig;
    static constexpr std::array<Check<R>, 4> kChecks{{
        above<R>(&R::s0, 0.0, "s0 must be > 0"),
        at_least<R>(&R::k, 0.0, "k must be >= 0"),
        at_least<R>(&R::sigma, 0.0, "sigma must be >= 0"),
        above<R>(&R::t, 0.0, "t must be > 0"),
    }};
    check_rows(c, kPathCountChecks<R>);
    check_rows(c, kChecks);
}

EuropeanCallResult lookback_call_price_mc_cpu_planned(const LookbackCallConfig& c,
                                                      const std::optional<BlockPlan>& plan) {
    check_lookback_call_config(c);
    return price(RunningMaximum{c.s0, c.k}, c, plan);
}

void check_down_and_out_call_config(const DownAndOutCallConfig& c) {
    check_rows(c, kPathCountChecks<DownAndOutCallConfig>);
    if (!(c.barrier > 0.0)) fail("barrier must be > 0");
}

EuropeanCallResult down_and_out_call_price_mc_cpu(const DownAndOutCallConfig& c) {
    return down_and_out_call_price_mc_cpu_planned(c, std::nullopt);
}

EuropeanCallResult down_and_out_call_price_mc_cpu_planned(const DownAndOutCallConfig& c,
                                                          const std::optional<BlockPlan>& plan) {
    check_down_and_out_call_config(c);
    return price(KnockOut{c.s0, c.k, c.barrier}, c, plan);
}

// ---- Named kernels: one engine, one functional each ---------------------------

PathSums simulate_asian_stepwise_chunk(std::uint64_t seed, std::uint64_t paths, std::uint64_t n_steps, double s0,
                                       double k, double drift, double vol, double disc) {
    return stream_chunk<T::standard>(seed, paths, model_of(average(n_steps, k), n_steps, s0, drift, vol, disc));
}
PathSums simulate_asian_stepwise_antithetic_chunk(std::uint64_t seed, std::uint64_t pairs, std::uint64_t n_steps,
                                                  double s0, double k, double drift, double vol, double disc) {
    return stream_chunk<T::antithetic>(seed, pairs,
                                                 model_of(average(n_steps, k), n_steps, s0, drift, vol, disc));
}
ControlVariateMoments simulate_asian_stepwise_control_variate_chunk(std::uint64_t seed, std::uint64_t paths,
                                                                    std::uint64_t n_steps, double s0, double k,
                                                                    double drift, double vol, double disc) {
    return stream_chunk<T::control_variate>(seed, paths,
                                                      model_of(average(n_steps, k), n_steps, s0, drift, vol, disc));
}

PathSums simulate_lookback_stepwise_chunk(std::uint64_t seed, std::uint64_t paths, std::uint64_t n_steps, double s0,
                                          double k, double drift, double vol, double disc) {
    return stream_chunk<T::standard>(seed, paths,
                                               model_of(RunningMaximum{s0, k}, n_steps, s0, drift, vol, disc));
}
PathSums simulate_lookback_stepwise_antithetic_chunk(std::uint64_t seed, std::uint64_t pairs, std::uint64_t n_steps,
                                                     double s0, double k, double drift, double vol, double disc) {
    return stream_chunk<T::antithetic>(seed, pairs,
                                                 model_of(RunningMaximum{s0, k}, n_steps, s0, drift, vol, disc));
}
ControlVariateMoments simulate_lookback_stepwise_control_variate_chunk(std::uint64_t seed, std::uint64_t paths,
                                                                       std::uint64_t n_steps, double s0, double k,
                                                                       double drift, double vol, double disc) {
    return stream_chunk<T::control_variate>(seed, paths,
                                                      model_of(RunningMaximum{s0, k}, n_steps, s0, drift, vol, disc));
}

PathSums simulate_down_and_out_stepwise_chunk(std::uint64_t seed, std::uint64_t paths, std::uint64_t n_steps,
                                              double s0, double k, double barrier, double drift, double vol,
                                              double disc) {
    return stream_chunk<T::standard>(seed, paths,
                                               model_of(KnockOut{s0, k, barrier}, n_steps, s0, drift, vol, disc));
}
PathSums simulate_down_and_out_stepwise_antithetic_chunk(std::uint64_t seed, std::uint64_t pairs,
                                                         std::uint64_t n_steps, double s0, double k, double barrier,
                                                         double drift, double vol, double disc) {
    return stream_chunk<T::antithetic>(seed, pairs,
                                                 model_of(KnockOut{s0, k, barrier}, n_steps, s0, drift, vol, disc));
}
ControlVariateMoments simulate_down_and_out_stepwise_control_variate_chunk(std::uint64_t seed, std::uint64_t paths,
                                                                           std::uint64_t n_steps, double s0, double k,
                                                                           double barrier, double drift, double vol,
                                                                           double disc) {
    return stream_chunk<T::control_variate>(
        seed, paths, model_of(KnockOut{s0, k, barrier}, n_steps, s0, drift, vol, disc));
}

}  // namespace mc_core
