#include "mc_core/basket.hpp"

#include "mc_core/block_math.hpp"
#include "mc_core/error.hpp"

namespace mc_core {

namespace {

using block_math::positive_part;

// Per-call constants and the value of one path; the operation orders are part
// of the results.
struct BasketParams {
    double s01, s02, k, rho, weight1, weight2;
    double drift1, drift2;  // t (r - sigma^2 / 2) per asset
    double vol1, vol2;      // sigma sqrt(t) per asset
    double rho_c;           // sqrt(max(1 - rho^2, 0))
    double disc;

    static BasketParams from(const BasketCallConfig& c) {
        const double root_t = block_math::sqrt(c.t);
        return {c.s01,
                c.s02,
                c.k,
                c.rho,
                c.weight1,
                c.weight2,
                c.t * (c.r - c.sigma1 * (c.sigma1 * 0.5)),
                c.t * (c.r - c.sigma2 * (c.sigma2 * 0.5)),
                c.sigma1 * root_t,
                c.sigma2 * root_t,
                block_math::sqrt(positive_part(1.0 - c.rho * c.rho)),
                block_math::exp(-(c.r * c.t))};
    }

    // The basket value from asset 1's shock vol1 z1 (signed) and asset 2's
    // normal z2.
    double basket(double shock1, double z2) const {
        const double a1 = s01 * block_math::exp(drift1 + shock1);
        const double a2 = s02 * block_math::exp(drift2 + vol2 * z2);
        return weight1 * a1 + weight2 * a2;
    }
    double payoff(double basket_value) const { return disc * positive_part(basket_value - k); }

    double path_basket(double z1, double zb) const { return basket(vol1 * z1, rho * z1 + rho_c * zb); }
    // The path and its mirror on (-z1, -zb); the mirror's asset-2 normal is
    // written -(rho_c zb) - rho z1, which is exactly -z2.
    double pair_value(double z1, double zb) const {
        const double y = payoff(path_basket(z1, zb));
        const double y_mirror = payoff(basket(-(vol1 * z1), -(rho_c * zb) - rho * z1));
        return (y + y_mirror) * 0.5;
    }
};

// Runs `unit(z1, zb, accumulator)` over `units` units on the calling thread.
// Pseudorandom: one stream seeded with `seed`, one Box-Muller draw per unit.
// Structured: unit i reads the two coordinates of point i.
template <class Partial, class Unit>
Partial run_units(const BasketCallConfig& c, std::uint64_t units, Unit&& unit) {
    if (c.sampling == SamplingMethod::pseudorandom) {
        NormalRng rng(c.seed);
        Partial total{};
        for_each_normal_pair(rng, units, [&](double z1, double zb) { unit(z1, zb, total); });
        return total;
    }
    const StructuredNormalSampler sampler(c.sampling, c.seed, c.n_paths, 2);
    return run_structured<Partial>(sampler, units, 2,
                                   [&](const double* z, Partial& total) { unit(z[0], z[1], total); });
}

}  // namespace

void validate_basket_call_config(const BasketCallConfig& c) {
    if (c.n_paths == 0) fail("n_paths must be > 0");
    if (!(c.s01 > 0.0)) fail("s01 must be > 0");
    if (!(c.s02 > 0.0)) fail("s02 must be > 0");
    if (!(c.k >= 0.0)) fail("k must be >= 0");
    if (!(c.sigma1 >= 0.0)) fail("sigma1 must be >= 0");
    if (!(c.sigma2 >= 0.0)) fail("sigma2 must be >= 0");
    if (!(c.t > 0.0)) fail("t must be > 0");
    if (!(c.rho >= -1.0 && c.rho <= 1.0)) fail("rho must be in [-1, 1]");
}

EuropeanCallResult basket_call_price_mc_cpu(const BasketCallConfig& c) {
    validate_basket_call_config(c);
    const BasketParams p = BasketParams::from(c);
    switch (c.technique) {
        case MonteCarloTechnique::standard:
            return plain_estimate(run_units<PathSums>(c, c.n_paths,
                                                      [&p](double z1, double zb, PathSums& acc) {
                                                          acc.add(p.payoff(p.path_basket(z1, zb)));
                                                      }),
                                  c.n_paths);
        case MonteCarloTechnique::antithetic: {
            const std::uint64_t pairs = antithetic_pairs(c.n_paths);
            return plain_estimate(run_units<PathSums>(c, pairs,
                                                      [&p](double z1, double zb, PathSums& acc) {
                                                          acc.add(p.pair_value(z1, zb));
                                                      }),
                                  pairs);
        }
        case MonteCarloTechnique::control_variate: {
            // The discounted basket value has mean s01 weight1 + s02 weight2.
            const ControlVariateMoments moments =
                run_units<ControlVariateMoments>(c, c.n_paths, [&p](double z1, double zb, ControlVariateMoments& acc) {
                    const double basket = p.path_basket(z1, zb);
                    acc.add(p.payoff(basket), p.disc * basket);
                });
            return control_variate_estimate(moments, c.s01 * c.weight1 + c.s02 * c.weight2);
        }
    }
    fail("internal error: unknown Monte Carlo technique");
}

}  // namespace mc_core
