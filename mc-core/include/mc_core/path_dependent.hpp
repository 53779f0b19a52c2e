// Path-dependent calls under geometric Brownian motion: the arithmetic-average
// Asian, the fixed-strike lookback and the discretely monitored down-and-out.
//
// Contract
//  * All three run on the stepwise engine (stepwise.hpp) and differ only in
//    their path functional: a running sum of S_1..S_n (the spot excluded), a
//    running maximum that starts at the spot and ignores NaN prices, and a
//    knock-out flag set when the spot or any monitored price is at or below
//    the barrier (a NaN price does not knock out; a knocked path pays 0).
//  * Every technique and sampling method is offered; pseudorandom runs,
//    antithetic pairs included, go through the parallel path runner.
//  * Validation runs first, in a fixed order; the first failure is a
//    FatalError with its fixed message.
//  * The named kernels are the runner's units of work for each product and
//    technique: (stream seed, unit count, n_steps, s0, k[, barrier], drift, vol,
//    disc) -> partial sums, units being pairs for the antithetic kernels.
#pragma once

#include <cstdint>

#include "mc_core/block_math.hpp"
#include "mc_core/european.hpp"
#include "mc_core/simd.hpp"
#include "mc_core/stepwise.hpp"

namespace mc_core {

// Same fields, defaults and JSON form as the European call.
using ArithmeticAsianCallConfig = EuropeanCallConfig;
using LookbackCallConfig = EuropeanCallConfig;

struct DownAndOutCallConfig : GbmMarket {
    double barrier = 80.0;
    std::uint64_t n_paths = 100000;
    std::uint64_t n_steps = 252;
    std::uint64_t seed = 42;
    std::uint64_t n_threads = 0;
    MonteCarloTechnique technique = MonteCarloTechnique::standard;
    SamplingMethod sampling = SamplingMethod::pseudorandom;
    SobolLength sobol_length = SobolLength::blocks_of_65536;  // as for the European call
};

// ---- Path functionals ---------------------------------------------------------

struct ArithmeticAverage {
    static constexpr bool kObservesEveryPrice = true;
    template <class V>
    struct State {
        V sum;
    };
    double k;
    double n;  // the number of averaging dates

    template <class V>
    MC_LANE_INLINE State<V> start() const {
        return {V{}};
    }
    template <class V>
    MC_LANE_INLINE void observe(State<V>& s, V price) const {
        s.sum = s.sum + price;
    }
    template <class V>
    MC_LANE_INLINE V value(const State<V>& s, V, double disc) const {
        return disc * simd::positive_part(s.sum / n - k);
    }
};

struct RunningMaximum {
    static constexpr bool kObservesEveryPrice = true;
    template <class V>
    struct State {
        V maximum;
    };
    double s0;
    double k;

    template <class V>
    MC_LANE_INLINE State<V> start() const {
        return {simd::broadcast<V>(s0)};
    }
    template <class V>
    MC_LANE_INLINE void observe(State<V>& s, V price) const {
        // The maximum starts at the spot (validated > 0) and only ever takes a
        // larger price, so it is never NaN: the one comparison is C's fmax.
        s.maximum = simd::select(price > s.maximum, price, s.maximum);
    }
    template <class V>
    MC_LANE_INLINE V value(const State<V>& s, V, double disc) const {
        return disc * simd::positive_part(s.maximum - k);
    }
};

struct KnockOut {
    static constexpr bool kObservesEveryPrice = true;
    template <class V>
    struct State {
        simd::mask_of<V> knocked;  // all ones once knocked out
    };
    double s0;
    double k;
    double barrier;

    template <class V>
    MC_LANE_INLINE State<V> start() const {
        return {simd::broadcast<V>(s0) <= barrier};
    }
    template <class V>
    MC_LANE_INLINE void observe(State<V>& s, V price) const {
        s.knocked = s.knocked | (price <= barrier);
    }
    template <class V>
    MC_LANE_INLINE V value(const State<V>& s, V last, double disc) const {
        return simd::select(s.knocked != 0, V{}, disc * simd::positive_part(last - k));
    }
};

// ---- Entry points -------------------------------------------------------------

// The checks of the lookback and the down-and-out, in order (the Asian has
// only the path and step counts).
void check_lookback_call_config(const LookbackCallConfig& config);
void check_down_and_out_call_config(const DownAndOutCallConfig& config);

EuropeanCallResult arithmetic_asian_call_price_mc_cpu(const ArithmeticAsianCallConfig& config);
// The same with the caller's block plan (runner.hpp), or as above without one.
EuropeanCallResult arithmetic_asian_call_price_mc_cpu_planned(const ArithmeticAsianCallConfig& config,
                                                              const std::optional<BlockPlan>& plan);
EuropeanCallResult lookback_call_price_mc_cpu(const LookbackCallConfig& config);
// The same with the caller's block plan (runner.hpp), or as above without one.
EuropeanCallResult lookback_call_price_mc_cpu_planned(const LookbackCallConfig& config,
                                                      const std::optional<BlockPlan>& plan);
EuropeanCallResult down_and_out_call_price_mc_cpu(const DownAndOutCallConfig& config);
// The same with the caller's block plan (runner.hpp), or as above without one.
EuropeanCallResult down_and_out_call_price_mc_cpu_planned(const DownAndOutCallConfig& config,
                                                          const std::optional<BlockPlan>& plan);

// ---- Kernels ------------------------------------------------------------------

PathSums simulate_asian_stepwise_chunk(std::uint64_t stream_seed, std::uint64_t paths, std::uint64_t n_steps,
                                       double s0, double k, double drift, double vol, double disc);
PathSums simulate_asian_stepwise_antithetic_chunk(std::uint64_t stream_seed, std::uint64_t pairs,
                                                  std::uint64_t n_steps, double s0, double k, double drift,
                                                  double vol, double disc);
ControlVariateMoments simulate_asian_stepwise_control_variate_chunk(std::uint64_t stream_seed, std::uint64_t paths,
                                                                    std::uint64_t n_steps, double s0, double k,
                                                                    double drift, double vol, double disc);

PathSums simulate_lookback_stepwise_chunk(std::uint64_t stream_seed, std::uint64_t paths, std::uint64_t n_steps,
                                          double s0, double k, double drift, double vol, double disc);
PathSums simulate_lookback_stepwise_antithetic_chunk(std::uint64_t stream_seed, std::uint64_t pairs,
                                                     std::uint64_t n_steps, double s0, double k, double drift,
                                                     double vol, double disc);
ControlVariateMoments simulate_lookback_stepwise_control_variate_chunk(std::uint64_t stream_seed,
                                                                       std::uint64_t paths, std::uint64_t n_steps,
                                                                       double s0, double k, double drift, double vol,
                                                                       double disc);

PathSums simulate_down_and_out_stepwise_chunk(std::uint64_t stream_seed, std::uint64_t paths, std::uint64_t n_steps,
                                              double s0, double k, double barrier, double drift, double vol,
                                              double disc);
PathSums simulate_down_and_out_stepwise_antithetic_chunk(std::uint64_t stream_seed, std::uint64_t pairs,
                                                         std::uint64_t n_steps, double s0, double k, double barrier,
                                                         double drift, double vol, double disc);
ControlVariateMoments simulate_down_and_out_stepwise_control_variate_chunk(std::uint64_t stream_seed,
                                                                           std::uint64_t paths, std::uint64_t n_steps,
                                                                           double s0, double k, double barrier,
                                                                           double drift, double vol, double disc);

}  // namespace mc_core
