// Greeks: per path, the discounted payoff and the model's derivative
// estimators, from the very draws the price is made of. The products under
// geometric Brownian motion have theirs here; the basket, Heston and Merton
// beside their pricing (basket.cpp, dynamics.cpp), on the types below.
//
// Contract
//  * A sample holds the payoff and N estimators; a run's sums, result and
//    names are those of its model's estimators: kGreekNames (the five below)
//    for the products under geometric Brownian motion, Heston and Merton,
//    kBasketGreekNames for the basket's eight.
//  * A path of n steps of dt = t / n takes normals z_1 .. z_n (after the
//    Brownian bridge, for Sobol points) and moves x_i = x_(i-1) + (drift +
//    vol z_i), S_i = exp(x_i), with drift = (r - sigma^2 / 2) dt and vol =
//    sigma sqrt(dt), exactly as the pricing path. The European call is the
//    path of one step over t, S_T = s0 exp(drift + vol z) as its terminal
//    method has it.
//  * The estimators are of delta dV/ds0, gamma d2V/ds0^2, vega dV/dsigma, rho
//    dV/dr and theta -dV/dt (calendar time; the steps scale with t), in that
//    order after the payoff.
//  * Pathwise where the payoff is Lipschitz (the European, the Asian, the
//    lookback). With Z_i = z_1 + .. + z_i, each price moves with the inputs as
//        dS_i/ds0 = S_i / s0,   dS_i/dsigma = S_i (sqrt(dt) Z_i - sigma i dt),
//        dS_i/dr = S_i i dt,    dS_i/dt = S_i (i drift + vol Z_i / 2) / t,
//    so a tracker carries, for the price its payoff is a call on (the last
//    price, the average, the maximum), the sums S, S i and S Z_i it is made
//    of. The discount adds -t V to rho and r V to theta.
//  * Gamma is mixed: the pathwise delta is h / s0 with h a function of the
//    path alone, and s0 moves only the law of S_1, whose score is
//    z_1 / (s0 vol); so gamma = (h z_1 / (s0 vol) - h / s0 + dh/ds0) / s0,
//    where dh/ds0 is h's own dependence on s0 (the lookback's maximum when it
//    is still the spot).
//  * The down-and-out's payoff jumps at the barrier: every estimator is a
//    likelihood ratio, the payoff times the score of the n increments'
//    normal density (for s0: of the first one alone).
//  * The basket: delta, gamma and vega per asset (s0i, sigma_i), rho and
//    theta; pathwise, gamma_i mixed with the score of the correlated pair of
//    normals for s0i.
//  * Heston: vega is dV/dv0. Pathwise through the full-truncation Euler steps
//    (the truncations' indicators included; theta through dt = t / n in every
//    step); gamma mixed with the score of the first price shock given its
//    variance shock.
//  * Merton: pathwise, gamma mixed with the score of the diffusion normal
//    given the jumps; theta adds the jump count's likelihood ratio N / t - lambda.
//  * An antithetic pair's sample is the mean of its two paths' samples, the
//    second path on -z.
//  * Sums per estimator are added path by path in unit order like every other
//    partial result. A Greek run draws what its product's pricing run draws,
//    unit by unit, on the same blocks: with the standard technique (and the
//    antithetic, where the product has it) its payoff sums are the price's bits.
//  * The entry points check the record as the product's pricing does, then
//    what the scores divide by: sigma > 0; for the basket sigma1 > 0, sigma2 >
//    0 and |rho| < 1; for Heston v0 > 0 and |rho| < 1. The control variate has
//    no Greeks of its own: its runs take the plain estimators.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <vector>

#include "mc_core/basket.hpp"
#include "mc_core/block_math.hpp"
#include "mc_core/dynamics.hpp"
#include "mc_core/engine.hpp"
#include "mc_core/estimators.hpp"
#include "mc_core/european.hpp"
#include "mc_core/lane_math.hpp"
#include "mc_core/path_dependent.hpp"
#include "mc_core/simd.hpp"

namespace mc_core {

// The estimators of the products under geometric Brownian motion, named in
// their order after the payoff. Other models name their own (entry points below).
inline constexpr std::size_t kGreekCount = 5;
inline constexpr std::array<const char*, kGreekCount> kGreekNames = {"delta", "gamma", "vega", "rho", "theta"};

// One unit's discounted payoff ([0]) and N Greek estimators ([1 ..]), a lane per unit.
template <class V, std::size_t N = kGreekCount>
struct GreekSample {
    V value[N + 1];
};

// The partial result of a Greek run whose estimators are named `Names`: plain
// sums per estimator. Plain data, so that blocks run apart travel as bytes.
template <const auto& Names = kGreekNames>
struct GreekSums {
    static constexpr std::size_t kCount = std::size(Names);
    PathSums sums[kCount + 1];

    template <class V>
    void add(const GreekSample<V, kCount>& sample, std::size_t lane) {
        for (std::size_t g = 0; g <= kCount; ++g) sums[g].add(sample.value[g][lane]);
    }
    GreekSums& operator+=(const GreekSums& other) {
        for (std::size_t g = 0; g <= kCount; ++g) sums[g] += other.sums[g];
        return *this;
    }
};

// The price ([0]) and each Greek ([1 ..]) with its standard error, the Greeks
// named by `names` in that order (static storage).
struct GreeksResult {
    std::span<const char* const> names;
    std::vector<EuropeanCallResult> values;
};

template <const auto& Names>
GreeksResult estimate(const GreekSums<Names>& partial, std::uint64_t units, double /*control_mean*/) {
    GreeksResult out{Names, {}};
    for (const PathSums& sums : partial.sums) out.values.push_back(plain_estimate(sums, units));
    return out;
}

// The technique of a Greek run (engine.hpp), on the units of a plain or an antithetic run: the
// model's `sensitivities` per path, or `antithetic_sensitivities` per pair, each a
// GreekSample of the estimators `Names`.
template <bool Pairs, const auto& Names = kGreekNames>
struct Sensitivities {
    using Partial = GreekSums<Names>;
    template <class V>
    using Sample = GreekSample<V, Partial::kCount>;
    static constexpr bool kPairs = Pairs;
    static std::uint64_t units(std::uint64_t n_paths) { return Pairs ? antithetic_pairs(n_paths) : n_paths; }
    template <class Model, class Draw>
    MC_LANE_INLINE static auto value(const Model& m, Draw& draw) {
        if constexpr (Pairs)
            return m.antithetic_sensitivities(draw);
        else
            return m.sensitivities(draw);
    }
    template <class V>
    static void add(Partial& acc, const Sample<V>& sample, std::size_t lane) {
        acc.add(sample, lane);
    }
};

// The constants of one path grid, with the inputs the derivatives need.
struct GreekGrid {
    double s0, k, r, sigma, t;
    double n;      // steps
    double dt, sqrt_dt;
    double drift, vol, disc, log_s0;
};

// ---- Trackers: what a payoff follows along the path -------------------------------------

// The pathwise sums of the price a call is written on: S, S i and S Z_i
// (averaged for the Asian), and whether that price is still the spot.
template <class V>
struct Carrier {
    V price, price_steps, price_noise;
    simd::mask_of<V> at_spot;
};

// A call on the price at maturity, reached in one step as the terminal
// method reaches it: S_T = s0 exp(drift + vol z) (the European).
struct LastPriceTracker {
    static constexpr bool kPathwise = true;
    static constexpr bool kTerminal = true;
    template <class V>
    using State = Carrier<V>;
    template <class V>
    MC_LANE_INLINE static State<V> start(const GreekGrid& g) {
        return {simd::broadcast<V>(g.s0), V{}, V{}, V{} != V{}};
    }
    template <class V>
    MC_LANE_INLINE static void observe(State<V>& s, V price, V steps, V noise) {
        s.price = price;
        s.price_steps = price * steps;
        s.price_noise = price * noise;
    }
    template <class V>
    MC_LANE_INLINE static Carrier<V> carrier(const State<V>& s, const GreekGrid&) {
        return s;
    }
};

// A call on the average of S_1 .. S_n.
struct AverageTracker {
    static constexpr bool kPathwise = true;
    static constexpr bool kTerminal = false;
    template <class V>
    using State = Carrier<V>;
    template <class V>
    MC_LANE_INLINE static State<V> start(const GreekGrid&) {
        return {V{}, V{}, V{}, V{} != V{}};
    }
    template <class V>
    MC_LANE_INLINE static void observe(State<V>& s, V price, V steps, V noise) {
        s.price = s.price + price;
        s.price_steps = s.price_steps + price * steps;
        s.price_noise = s.price_noise + price * noise;
    }
    template <class V>
    MC_LANE_INLINE static Carrier<V> carrier(const State<V>& s, const GreekGrid& g) {
        return {s.price / g.n, s.price_steps / g.n, s.price_noise / g.n, s.at_spot};
    }
};

// A call on the maximum of the spot and S_1 .. S_n (a NaN price is ignored).
struct MaximumTracker {
    static constexpr bool kPathwise = true;
    static constexpr bool kTerminal = false;
    template <class V>
    using State = Carrier<V>;
    template <class V>
    MC_LANE_INLINE static State<V> start(const GreekGrid& g) {
        return {simd::broadcast<V>(g.s0), V{}, V{}, V{} == V{}};
    }
    template <class V>
    MC_LANE_INLINE static void observe(State<V>& s, V price, V steps, V noise) {
        const auto higher = price > s.price;
        s.price = simd::select(higher, price, s.price);
        s.price_steps = simd::select(higher, price * steps, s.price_steps);
        s.price_noise = simd::select(higher, price * noise, s.price_noise);
        s.at_spot = s.at_spot & ~higher;
    }
    template <class V>
    MC_LANE_INLINE static Carrier<V> carrier(const State<V>& s, const GreekGrid&) {
        return s;
    }
};

// A call on the last price that dies at or below the barrier (the spot included).
struct KnockOutTracker {
    static constexpr bool kPathwise = false;
    static constexpr bool kTerminal = false;
    double barrier;
    template <class V>
    struct State {
        V last;
        simd::mask_of<V> knocked;
    };
    template <class V>
    MC_LANE_INLINE State<V> start(const GreekGrid& g) const {
        return {simd::broadcast<V>(g.s0), simd::broadcast<V>(g.s0) <= barrier};
    }
    template <class V>
    MC_LANE_INLINE void observe(State<V>& s, V price, V, V) const {
        s.last = price;
        s.knocked = s.knocked | (price <= barrier);
    }
};

// ---- One path ---------------------------------------------------------------------

// A path as it moves, with the sums its scores need: z_1, Z_n and the sum of z^2.
template <class V, class Tracker>
class GreekPath {
public:
    MC_LANE_INLINE GreekPath(const GreekGrid& g, const Tracker& tracker)
        : g_(g), tracker_(tracker), state_(tracker.template start<V>(g)), x_(simd::broadcast<V>(g.log_s0)) {}

    MC_LANE_INLINE void step(V z) {
        if (steps_ == 0.0) first_ = z;
        steps_ += 1.0;
        noise_ = noise_ + z;
        squares_ = squares_ + z * z;
        V price;
        if constexpr (Tracker::kTerminal) {
            price = g_.s0 * lane_math::exp(g_.drift + g_.vol * z);
        } else {
            x_ = x_ + (g_.drift + g_.vol * z);
            price = lane_math::exp(x_);
        }
        tracker_.observe(state_, price, simd::broadcast<V>(steps_), noise_);
    }

    MC_LANE_INLINE GreekSample<V> sample() const {
        if constexpr (Tracker::kPathwise)
            return pathwise(Tracker::carrier(state_, g_));
        else
            return likelihood_ratio();
    }

private:
    MC_LANE_INLINE GreekSample<V> pathwise(const Carrier<V>& c) const {
        const V above = simd::select(c.price > g_.k, simd::broadcast<V>(g_.disc), V{});  // disc 1{A > k}
        const V payoff = g_.disc * simd::positive_part(c.price - g_.k);
        const V delta = above * c.price / g_.s0;
        const V h = above * c.price;
        const V score = first_ / (g_.s0 * g_.vol);
        const V own = simd::select(c.at_spot, above, V{});
        const V gamma = (h * score - h / g_.s0 + own) / g_.s0;
        const V vega = above * (g_.sqrt_dt * c.price_noise - (g_.sigma * g_.dt) * c.price_steps);
        const V rho = above * (g_.dt * c.price_steps) - g_.t * payoff;
        const V moves = above * (g_.drift * c.price_steps + 0.5 * g_.vol * c.price_noise) / g_.t;
        const V theta = g_.r * payoff - moves;
        return {{payoff, delta, gamma, vega, rho, theta}};
    }

    MC_LANE_INLINE GreekSample<V> likelihood_ratio() const {
        const V payoff = simd::select(state_.knocked != 0, V{}, g_.disc * simd::positive_part(state_.last - g_.k));
        const double s0_vol = g_.s0 * g_.vol;
        const V delta_score = first_ / s0_vol;
        const V gamma_score = (first_ * first_ - 1.0) / (s0_vol * s0_vol) - first_ / (g_.s0 * s0_vol);
        const V spread = squares_ - g_.n;  // sum of (z^2 - 1)
        const V vega_score = spread / g_.sigma - g_.sqrt_dt * noise_;
        const V rho_score = (g_.sqrt_dt / g_.sigma) * noise_ - g_.t;
        const V time_score = (g_.drift / (g_.vol * g_.t)) * noise_ + spread / (2.0 * g_.t) - g_.r;
        return {{payoff, payoff * delta_score, payoff * gamma_score, payoff * vega_score, payoff * rho_score,
                 -(payoff * time_score)}};
    }

    const GreekGrid& g_;
    const Tracker& tracker_;
    typename Tracker::template State<V> state_;
    V x_;
    V first_{}, noise_{}, squares_{};
    double steps_ = 0.0;
};

template <class V, std::size_t N>
MC_LANE_INLINE GreekSample<V, N> mean_of_pair(const GreekSample<V, N>& a, const GreekSample<V, N>& b) {
    GreekSample<V, N> out;
    for (std::size_t g = 0; g <= N; ++g) out.value[g] = (a.value[g] + b.value[g]) * 0.5;
    return out;
}

// The Greek model of the engine (engine.hpp): the pricing path's normals,
// one per step, into a GreekSample per path or antithetic pair.
template <class Tracker>
struct GreekModel {
    Tracker tracker;
    GreekGrid grid;
    std::uint64_t n_steps;

    std::uint64_t normals_per_unit() const { return n_steps; }
    double control_mean() const { return grid.s0; }

    template <class Draw>
    MC_LANE_INLINE auto sensitivities(Draw& draw) const {
        using V = typename Draw::Pack;
        GreekPath<V, Tracker> path(grid, tracker);
        for_each_step_normal(draw, n_steps, [&](V z) MC_PACK_LAMBDA { path.step(z); });
        return path.sample();
    }
    template <class Draw>
    MC_LANE_INLINE auto antithetic_sensitivities(Draw& draw) const {
        using V = typename Draw::Pack;
        GreekPath<V, Tracker> plus(grid, tracker), minus(grid, tracker);
        for_each_step_normal(draw, n_steps, [&](V z) MC_PACK_LAMBDA {
            plus.step(z);
            minus.step(-z);
        });
        return mean_of_pair(plus.sample(), minus.sample());
    }
};

// The grid of n steps over [0, t], with the pricing path's per-step constants.
template <class Tracker>
GreekModel<Tracker> make_greek_model(Tracker tracker, std::uint64_t n_steps, double s0, double k, double r,
                                     double sigma, double t) {
    const double n = static_cast<double>(n_steps);
    const double dt = t / n;
    const double sqrt_dt = block_math::sqrt(dt);
    const GreekGrid grid{s0,      k, r, sigma, t, n, dt, sqrt_dt, dt * (r + sigma * (sigma * -0.5)), sigma * sqrt_dt,
                         block_math::exp(-(r * t)), block_math::log(s0)};
    return {tracker, grid, n_steps};
}

// Prices a Greek model of the estimators `Names` on the engine: per path, or
// per antithetic pair when `pairs`; the runs go where the pricing's own runs go (`run`).
template <const auto& Names = kGreekNames, class Model>
GreeksResult price_greeks(const Model& m, bool pairs, const ModelRun& run) {
    return pairs ? price_model_by<Sensitivities<true, Names>>(m, run)
                 : price_model_by<Sensitivities<false, Names>>(m, run);
}

// Entry points: the price and its Greeks, with the caller's block plan (or the
// product's own runs without one).
GreeksResult european_call_greeks_mc_cpu_planned(const EuropeanCallConfig& config,
                                                 const std::optional<BlockPlan>& plan);
GreeksResult arithmetic_asian_call_greeks_mc_cpu_planned(const ArithmeticAsianCallConfig& config,
                                                         const std::optional<BlockPlan>& plan);
GreeksResult lookback_call_greeks_mc_cpu_planned(const LookbackCallConfig& config,
                                                 const std::optional<BlockPlan>& plan);
GreeksResult down_and_out_call_greeks_mc_cpu_planned(const DownAndOutCallConfig& config,
                                                     const std::optional<BlockPlan>& plan);

// The models whose estimators are their own, each beside its pricing: the
// basket (basket.cpp), Heston and Merton (dynamics.cpp).
inline constexpr std::array<const char*, 8> kBasketGreekNames = {"delta_1", "delta_2", "gamma_1", "gamma_2",
                                                                 "vega_1",  "vega_2",  "rho",     "theta"};
GreeksResult basket_call_greeks_mc_cpu_planned(const BasketCallConfig& config, const std::optional<BlockPlan>& plan);
GreeksResult heston_european_call_greeks_mc_cpu_planned(const HestonEuropeanCallConfig& config,
                                                        const std::optional<BlockPlan>& plan);
GreeksResult merton_jump_diffusion_call_greeks_mc_cpu_planned(const MertonJumpDiffusionCallConfig& config,
                                                              const std::optional<BlockPlan>& plan);

}  // namespace mc_core
