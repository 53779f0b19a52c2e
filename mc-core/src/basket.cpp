#include "mc_core/basket.hpp"

#include "mc_core/block_math.hpp"
#include "mc_core/engine.hpp"
#include "mc_core/error.hpp"
#include "mc_core/greeks.hpp"
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
    // What the Greeks add (greeks.hpp).
    double r, t, root_t, sigma1, sigma2;

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
                block_math::exp(-(c.r * c.t)),
                c.r,
                c.t,
                root_t,
                c.sigma1,
                c.sigma2};
    }

    std::uint64_t normals_per_unit() const { return 2; }
    // The discounted basket value has mean s01 weight1 + s02 weight2.
    double control_mean() const { return s01 * weight1 + s02 * weight2; }

    // The two terminal prices from asset 1's shock vol1 z1 (signed) and asset
    // 2's normal z2, and the basket value they make.
    template <class V>
    struct Assets {
        V a1, a2;
    };
    template <class V>
    MC_LANE_INLINE Assets<V> assets(V shock1, V z2) const {
        return {s01 * lane_math::exp(drift1 + shock1), s02 * lane_math::exp(drift2 + vol2 * z2)};
    }
    template <class V>
    MC_LANE_INLINE V basket(const Assets<V>& a) const {
        return weight1 * a.a1 + weight2 * a.a2;
    }
    template <class V>
    MC_LANE_INLINE V basket(V shock1, V z2) const {
        return basket(assets(shock1, z2));
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

    // ---- Greeks (greeks.hpp): the very prices above, from the path's normals z1, z2.
    //
    // The payoff is Lipschitz in the basket value B = w1 S1 + w2 S2, so delta_i,
    // vega_i, rho and theta are pathwise, with h_i = disc 1{B > k} w_i S_i:
    //     delta_i = h_i / s0i,  vega_i = h_i (sqrt(t) z_i - sigma_i t),
    //     rho = t (h1 + h2) - t V,  theta = r V - sum h_i (drift_i + vol_i z_i / 2) / t.
    // gamma_i is mixed: s0i moves only the mean of ln S_i, and the bivariate normal
    // density of (z1, z2) of correlation rho has the score
    //     d/ds0i log p = (z_i - rho z_j) / ((1 - rho^2) s0i vol_i),
    // so gamma_i = (h_i score_i - h_i / s0i) / s0i.
    template <class V>
    MC_LANE_INLINE GreekSample<V, kBasketGreekNames.size()> sensitivity(V shock1, V z1, V z2) const {
        const Assets<V> a = assets(shock1, z2);
        const V value = basket(a);
        const V y = payoff(value);
        const V above = simd::select(value > k, simd::broadcast<V>(disc), V{});
        const V h1 = above * (weight1 * a.a1);
        const V h2 = above * (weight2 * a.a2);
        const double spread = 1.0 - rho * rho;
        const V score1 = (z1 - rho * z2) / (spread * s01 * vol1);
        const V score2 = (z2 - rho * z1) / (spread * s02 * vol2);
        const V moves = h1 * (drift1 + 0.5 * (vol1 * z1)) + h2 * (drift2 + 0.5 * (vol2 * z2));
        return {{y, h1 / s01, h2 / s02, (h1 * score1 - h1 / s01) / s01, (h2 * score2 - h2 / s02) / s02,
                 h1 * (root_t * z1 - sigma1 * t), h2 * (root_t * z2 - sigma2 * t), t * (h1 + h2) - t * y,
                 r * y - moves / t}};
    }
    template <class Draw>
    MC_LANE_INLINE auto sensitivities(Draw& draw) const {
        const auto* z = draw(2);
        const auto z2 = rho * z[0] + rho_c * z[1];
        return sensitivity(vol1 * z[0], z[0], z2);
    }
    // The mirror's normals are written as antithetic_pair writes them.
    template <class Draw>
    MC_LANE_INLINE auto antithetic_sensitivities(Draw& draw) const {
        const auto* z = draw(2);
        const auto z2 = rho * z[0] + rho_c * z[1];
        const auto z2_mirror = -(rho_c * z[1]) - rho * z[0];
        return mean_of_pair(sensitivity(vol1 * z[0], z[0], z2), sensitivity(-(vol1 * z[0]), -z[0], z2_mirror));
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

GreeksResult basket_call_greeks_mc_cpu_planned(const BasketCallConfig& c, const std::optional<BlockPlan>& plan) {
    validate_basket_call_config(c);
    // The gammas' scores divide by each volatility and by 1 - rho^2.
    if (!(c.sigma1 > 0.0)) fail("greeks need sigma1 > 0");
    if (!(c.sigma2 > 0.0)) fail("greeks need sigma2 > 0");
    if (!(c.rho > -1.0 && c.rho < 1.0)) fail("greeks need |rho| < 1");
    return price_greeks<kBasketGreekNames>(
        BasketModel::from(c), c.technique == MonteCarloTechnique::antithetic,
        {c.n_paths, c.seed, c.n_threads, c.sampling, c.t, false, false, false, plan, c.sobol_length});
}

}  // namespace mc_core
