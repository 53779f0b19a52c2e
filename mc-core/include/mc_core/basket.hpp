// A European call on a weighted basket of two correlated assets.
//
// Contract
//  * Each asset follows geometric Brownian motion with its own spot and
//    volatility and the common rate r; the two Brownian drivers have
//    correlation rho. A path needs only the two terminal prices, drawn in one
//    step from independent normals (z1, zb): z2 = rho z1 + sqrt(1 - rho^2) zb.
//    The payoff is discount max(weight1 S1 + weight2 S2 - k, 0) (NaN gives 0);
//    weights may be negative and need not sum to 1.
//  * Validation, first failure wins, every comparison failing for NaN:
//    n_paths, s01, s02, k, sigma1, sigma2, t, then rho in [-1, 1].
//  * Always on the calling thread: `n_threads` is carried and echoed, never
//    used. Pseudorandom sampling runs one stream seeded with `seed` itself;
//    each unit takes one Box-Muller draw (z1 = R cos, zb = R sin). Structured
//    sampling gives unit i the two coordinates of point i; there is no
//    Brownian bridge, so both scrambled Sobol variants give the same result.
//  * Techniques: standard; antithetic (pairs, the mirror path on (-z1, -zb),
//    ceil(n_paths / 2) pairs); control variate on the discounted basket
//    value, whose mean is s01 weight1 + s02 weight2.
#pragma once

#include <cstdint>

#include "mc_core/european.hpp"
#include "mc_core/random.hpp"

namespace mc_core {

struct BasketCallConfig {
    double s01 = 100.0;
    double s02 = 95.0;
    double k = 100.0;
    double r = 0.03;
    double sigma1 = 0.2;
    double sigma2 = 0.25;
    double rho = 0.35;
    double weight1 = 0.5;
    double weight2 = 0.5;
    double t = 1.0;
    std::uint64_t n_paths = 100000;
    std::uint64_t seed = 42;
    std::uint64_t n_threads = 0;  // accepted and echoed; the pricer is serial
    MonteCarloTechnique technique = MonteCarloTechnique::standard;
    SamplingMethod sampling = SamplingMethod::pseudorandom;
    SobolLength sobol_length = SobolLength::blocks_of_65536;  // as for the European call
};

void validate_basket_call_config(const BasketCallConfig& config);
EuropeanCallResult basket_call_price_mc_cpu(const BasketCallConfig& config);
// The same with the caller's block plan (runner.hpp), or as above without one.
EuropeanCallResult basket_call_price_mc_cpu_planned(const BasketCallConfig& config,
                                                    const std::optional<BlockPlan>& plan);

}  // namespace mc_core
