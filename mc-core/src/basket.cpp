#include "mc_core/basket.hpp"

#include "mc_core/block_math.hpp"
#include "mc_core/engine.hpp"
#include "mc_core/error.hpp"
#include "mc_core/lane_math.hpp"
#include "mc_core/simd.hpp"

namespace mc_core {

namespace {

using block_math::positive_part;

// Per-call constants and the value of one path, a model of the engine
// (engine.hpp) with two normals a path; the operation orders are part of the
// results.
struct BasketModel {
    double s01, s02, k, rho, weight1, weight2;
    double drift1, drift2;  // t (r - sigma^2 / 2) per asset
    double vol1, vol2;      // sigma sqrt(t) per asset
    double rho_c;           // sqrt(max(1 - rho^2, 0))
    double disc;

    static BasketModel from(const BasketCallConfig& c) {
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

    std::uint64_t normals_per_unit() const { return 2; }
    // The discounted basket value has mean s01 weight1 + s02 weight2.
    double control_mean() const { return s01 * weight1 + s02 * weight2; }

    // The basket value from asset 1's shock vol1 z1 (signed) and asset 2's
    // normal z2.
    template <class V>
    MC_LANE_INLINE V basket(V shock1, V z2) const {
        const V a1 = s01 * lane_math::exp(drift1 + shock1);
        const V a2 = s02 * lane_math::exp(drift2 + vol2 * z2);
        return weight1 * a1 + weight2 * a2;
    }
    template <class V>
    MC_LANE_INLINE V payoff(V basket_value) const {
        return disc * simd::positive_part(basket_value - k);
    }
    // z2 = rho z1 + sqrt(1 - rho^2) zb.
    template <class V>
    MC_LANE_INLINE V path_basket(V z1, V zb) const {
        return basket(vol1 * z1, rho * z1 + rho_c * zb);
    }

    template <class Draw>
    MC_LANE_INLINE auto discounted_payoff(Draw& draw) const {
        const auto* z = draw(2);
        return payoff(path_basket(z[0], z[1]));
    }
    template <class Draw>
    MC_LANE_INLINE auto payoff_and_control(Draw& draw) const {
        const auto* z = draw(2);
        const auto value = path_basket(z[0], z[1]);
        return Valued<typename Draw::Pack>{payoff(value), disc * value};
    }
    // The path and its mirror on (-z1, -zb); the mirror's asset-2 normal is
    // written -(rho_c zb) - rho z1, which is exactly -z2.
    template <class Draw>
    MC_LANE_INLINE auto antithetic_pair(Draw& draw) const {
        const auto* z = draw(2);
        const auto y = payoff(path_basket(z[0], z[1]));
        const auto y_mirror = payoff(basket(-(vol1 * z[0]), -(rho_c * z[1]) - rho * z[0]));
        return (y + y_mirror) * 0.5;
    }
};

}  // namespace

void validate_basket_call_config(const BasketCallConfig& c) {
    using R = BasketCallConfig;
    static constexpr std::array<Check<R>, 8> kChecks{{
        above<R>(&R::n_paths, 0, "n_paths must be > 0"),
        above<R>(&R::s01, 0.0, "s01 must be > 0"),
        above<R>(&R::s02, 0.0, "s02 must be > 0"),
        at_least<R>(&R::k, 0.0, "k must be >= 0"),
        at_least<R>(&R::sigma1, 0.0, "sigma1 must be >= 0"),
        at_least<R>(&R::sigma2, 0.0, "sigma2 must be >= 0"),
        above<R>(&R::t, 0.0, "t must be > 0"),
        within<R>(&R::rho, -1.0, 1.0, "rho must be in [-1, 1]"),
    }};
    check_rows(c, kChecks);
}

EuropeanCallResult basket_call_price_mc_cpu(const BasketCallConfig& c) {
    return basket_call_price_mc_cpu_planned(c, std::nullopt);
}

EuropeanCallResult basket_call_price_mc_cpu_planned(const BasketCallConfig& c, const std::optional<BlockPlan>& plan) {
    validate_basket_call_config(c);
    // Always on the calling thread; no Brownian bridge over the two coordinates.
    return price_model(BasketModel::from(c), c.technique,
                       {c.n_paths, c.seed, c.n_threads, c.sampling, c.t, false, false, false, plan, c.sobol_length});
}

}  // namespace mc_core
