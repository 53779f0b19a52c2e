#include "mc_core/dynamics.hpp"

#include "mc_core/error.hpp"
#include "mc_core/greeks.hpp"
#include "mc_core/interrupt.hpp"

namespace mc_core {

using block_math::positive_part;

// ---------------------------------------------------------------------------
// Heston European call.

HestonPathParams HestonPathParams::from(const HestonEuropeanCallConfig& c) {
    const double dt = c.t / static_cast<double>(c.n_steps);
    return {block_math::log(c.s0),
            c.k,
            c.v0,
            c.kappa,
            c.theta,
            c.vol_of_vol,
            c.rho,
            block_math::sqrt(positive_part(1.0 - c.rho * c.rho)),
            dt,
            block_math::sqrt(dt),
            c.n_steps,
            c.r,
            block_math::exp(-(c.r * c.t)),
            c.s0};
}

PathSums simulate_heston_chunk(std::uint64_t stream_seed, std::uint64_t paths, const HestonPathParams& p) {
    return stream_chunk<MonteCarloTechnique::standard>(stream_seed, paths, p);
}

ControlVariateMoments simulate_heston_control_variate_chunk(std::uint64_t stream_seed, std::uint64_t paths,
                                                            const HestonPathParams& p) {
    return stream_chunk<MonteCarloTechnique::control_variate>(stream_seed, paths, p);
}

PathSums simulate_heston_antithetic_chunk(std::uint64_t stream_seed, std::uint64_t pairs, const HestonPathParams& p) {
    return stream_chunk<MonteCarloTechnique::antithetic>(stream_seed, pairs, p);
}

void validate_heston_european_call_config(const HestonEuropeanCallConfig& c) {
    using R = HestonEuropeanCallConfig;
    static constexpr std::array<Check<R>, 8> kChecks{{
        above<R>(&R::s0, 0.0, "s0 must be > 0"),
        at_least<R>(&R::k, 0.0, "k must be >= 0"),
        at_least<R>(&R::v0, 0.0, "v0 must be >= 0"),
        at_least<R>(&R::kappa, 0.0, "kappa must be >= 0"),
        at_least<R>(&R::theta, 0.0, "theta must be >= 0"),
        at_least<R>(&R::vol_of_vol, 0.0, "vol_of_vol must be >= 0"),
        within<R>(&R::rho, -1.0, 1.0, "rho must be in [-1, 1]"),
        above<R>(&R::t, 0.0, "t must be > 0"),
    }};
    check_rows(c, kPathCountChecks<R>);
    check_rows(c, kChecks);
}

EuropeanCallResult heston_european_call_price_mc_cpu(const HestonEuropeanCallConfig& c) {
    return heston_european_call_price_mc_cpu_planned(c, std::nullopt);
}

EuropeanCallResult heston_european_call_price_mc_cpu_planned(const HestonEuropeanCallConfig& c,
                                                             const std::optional<BlockPlan>& plan) {
    validate_heston_european_call_config(c);
    return price_model(HestonPathParams::from(c), c.technique,
                       {c.n_paths, c.seed, c.n_threads, SamplingMethod::pseudorandom, c.t, false, true, true, plan});
}

namespace {

// The Heston Greeks (greeks.hpp), a model of the engine on the pricing's own
// steps. Each step also carries the tangents of (x, v) with respect to v0 and
// to t, differentiating the full-truncation update as written: max(v, 0) passes
// a tangent only where v > 0, sqrt(v+) scales it by 1 / (2 sqrt(v+)), and the
// floor of the new variance stops it where the floor holds. t moves every step
// through dt = t / n (d dt/dt = dt / t) and sqrt(dt) (d sqrt(dt)/dt = sqrt(dt) / (2 t)).
//   delta = h / s0 with h = disc 1{S_T > k} S_T (S_T scales with s0);
//   gamma mixed: s0 moves only the law of the first log-price, normal given
//     the first variance shock z1 with standard deviation sqrt(dt v0) rho_bar,
//     so the score is z2 / (s0 sqrt(dt v0) rho_bar) (z2 of the first step);
//   vega = dV/dv0 = h dx_T/dv0;  rho = t h - t V (dx_T/dr = n dt);
//   theta = -dV/dt = r V - h dx_T/dt.
struct HestonGreekModel {
    HestonPathParams p;
    double t;
    double first_spread;  // s0 sqrt(dt) sqrt(v0) rho_bar
    double dt_per_t;      // d dt / dt
    double root_per_t;    // d sqrt(dt) / dt

    static HestonGreekModel from(const HestonEuropeanCallConfig& c) {
        const HestonPathParams p = HestonPathParams::from(c);
        return {p, c.t, c.s0 * p.sqrt_dt * block_math::sqrt(c.v0) * p.rho_bar, p.dt / c.t, 0.5 * p.sqrt_dt / c.t};
    }

    std::uint64_t normals_per_unit() const { return p.normals_per_unit(); }
    double control_mean() const { return p.control_mean(); }

    template <class V>
    struct Path {
        V x, v;
        V x_v0, v_v0;  // tangents with respect to v0
        V x_t, v_t;    // and to t
        V first_z2;
        bool started;
    };

    template <class V>
    MC_LANE_INLINE Path<V> start() const {
        return {simd::broadcast<V>(p.x0), simd::broadcast<V>(p.v0), V{}, simd::broadcast<V>(1.0), V{}, V{}, V{},
                false};
    }

    template <class V>
    MC_LANE_INLINE void step(Path<V>& s, V z1, V z2) const {
        if (!s.started) {
            s.first_z2 = z2;
            s.started = true;
        }
        const auto live = s.v > 0.0;
        const V v_pos = simd::positive_part(s.v);
        const V root_v = lane_math::sqrt(v_pos);
        const V shock = p.rho * z1 + p.rho_bar * z2;
        const V slope = simd::select(live, 0.5 / root_v, V{});  // d sqrt(v+) / dv
        const V pos_v0 = simd::select(live, s.v_v0, V{});
        const V root_v0 = slope * s.v_v0;
        const V x_v0 = s.x_v0 - (0.5 * p.dt) * pos_v0 + p.sqrt_dt * root_v0 * shock;
        const V v_v0 = s.v_v0 - (p.dt * p.kappa) * pos_v0 + (p.sqrt_dt * p.vol_of_vol) * root_v0 * z1;
        const V pos_t = simd::select(live, s.v_t, V{});
        const V root_t = slope * s.v_t;
        const V x_t = s.x_t + dt_per_t * (p.r - 0.5 * v_pos) - (0.5 * p.dt) * pos_t +
                      root_per_t * root_v * shock + p.sqrt_dt * root_t * shock;
        const V v_t = s.v_t + dt_per_t * (p.kappa * (p.theta - v_pos)) - (p.dt * p.kappa) * pos_t +
                      (root_per_t * p.vol_of_vol) * root_v * z1 + (p.sqrt_dt * p.vol_of_vol) * root_t * z1;
        p.step(s.x, s.v, z1, z2);
        const auto kept = s.v > 0.0;
        s.x_v0 = x_v0, s.x_t = x_t;
        s.v_v0 = simd::select(kept, v_v0, V{});
        s.v_t = simd::select(kept, v_t, V{});
    }

    template <class V>
    MC_LANE_INLINE GreekSample<V> sample(const Path<V>& s) const {
        const V y = p.value(s.x).y;
        const V terminal = lane_math::exp(s.x);
        const V h = simd::select(terminal > p.k, simd::broadcast<V>(p.discount), V{}) * terminal;
        const V gamma = (h * (s.first_z2 / first_spread) - h / p.s0) / p.s0;
        return {{y, h / p.s0, gamma, h * s.x_v0, t * h - t * y, p.r * y - h * s.x_t}};
    }

    template <class Draw>
    MC_LANE_INLINE auto sensitivities(Draw& draw) const {
        using V = typename Draw::Pack;
        Path<V> s = start<V>();
        p.for_each_step(draw, [&](V z1, V z2) MC_PACK_LAMBDA { step(s, z1, z2); });
        return sample(s);
    }
    // The pair's second path on (-z1, -z2), as the pricing's antithetic_pair runs it.
    template <class Draw>
    MC_LANE_INLINE auto antithetic_sensitivities(Draw& draw) const {
        using V = typename Draw::Pack;
        Path<V> up = start<V>(), down = start<V>();
        p.for_each_step(draw, [&](V z1, V z2) MC_PACK_LAMBDA {
            step(up, z1, z2);
            step(down, -z1, -z2);
        });
        return mean_of_pair(sample(up), sample(down));
    }
};

}  // namespace

GreeksResult heston_european_call_greeks_mc_cpu_planned(const HestonEuropeanCallConfig& c,
                                                        const std::optional<BlockPlan>& plan) {
    validate_heston_european_call_config(c);
    // Gamma's score divides by the first price shock's spread.
    if (!(c.v0 > 0.0)) fail("greeks need v0 > 0");
    if (!(c.rho > -1.0 && c.rho < 1.0)) fail("greeks need |rho| < 1");
    return price_greeks(HestonGreekModel::from(c), c.technique == MonteCarloTechnique::antithetic,
                        {c.n_paths, c.seed, c.n_threads, SamplingMethod::pseudorandom, c.t, false, true, true, plan});
}

// ---------------------------------------------------------------------------
// Merton jump-diffusion call.

MertonPathParams MertonPathParams::from(const MertonJumpDiffusionCallConfig& c) {
    const double lambda = c.jump_intensity;
    const double mu = c.jump_mean;
    const double delta = c.jump_volatility;
    // Expected relative jump size E[e^J - 1]; compensating the drift by
    // lambda times it makes the discounted price a martingale.
    const double mean_jump = block_math::exp(mu + 0.5 * (delta * delta)) - 1.0;
    return {block_math::log(c.s0),
            c.t * ((c.r - lambda * mean_jump) - 0.5 * (c.sigma * c.sigma)),
            c.sigma * block_math::sqrt(c.t),
            lambda * c.t,
            mu,
            delta,
            block_math::exp(-(c.r * c.t)),
            c.k};
}

std::uint64_t poisson_by_inversion(double u, double mean, double p0) {
    double term = p0;
    double cdf = p0;
    std::uint64_t n = 0;
    while (u > cdf) {
        ++n;
        term = term * mean / static_cast<double>(n);
        cdf += term;
        if (n >= kPoissonTermLimit) fail("Poisson sampler did not converge");
    }
    return n;
}

namespace {

// Paths run in blocks: the log terminal prices of a block are collected and
// exponentiated together, then `visit(terminal, z, count)` sees each path's
// terminal price, diffusion normal and jump count in path order. The price and
// the Greeks walk the same paths.
template <class Visit>
void for_each_merton_path(std::uint64_t stream_seed, std::uint64_t paths, const MertonPathParams& p, Visit&& visit) {
    NormalRng rng(stream_seed);
    const bool jumps = p.jump_mean_count != 0.0;
    const double p0 = block_math::exp(-p.jump_mean_count);
    const double start = p.log_s0 + p.drift;
    constexpr std::uint64_t kBlock = 256;
    double terminal[kBlock];
    double normal[kBlock];
    std::uint64_t counts[kBlock];
    // On the active target: the one-at-a-time normals and jumps then run the
    // math's fused steps as instructions, not as calls.
    simd::on_active_target([&] {
        while (paths > 0) {
            check_stop();
            const std::size_t n = static_cast<std::size_t>(paths < kBlock ? paths : kBlock);
            for (std::size_t i = 0; i < n; ++i) {
                const double z = rng.next_standard_normal();
                double jump = 0.0;
                std::uint64_t count = 0;
                if (jumps) {
                    // One raw uniform: the cached Box-Muller value stays pending.
                    count = poisson_by_inversion(rng.next_uniform(), p.jump_mean_count, p0);
                    if (count != 0) {
                        // The sum of `count` independent N(mu, delta^2) log-jumps, as one normal.
                        const double jumps_n = static_cast<double>(count);
                        jump = p.jump_mean * jumps_n + p.jump_volatility * block_math::sqrt(jumps_n) * rng.next_standard_normal();
                    }
                }
                terminal[i] = start + p.diffusion * z + jump;
                normal[i] = z;
                counts[i] = count;
            }
            block_math::exp_block(terminal, n);
            for (std::size_t i = 0; i < n; ++i) visit(terminal[i], normal[i], counts[i]);
            paths -= n;
        }
    });
}

}  // namespace

PathSums simulate_merton_jump_diffusion_chunk(std::uint64_t stream_seed, std::uint64_t paths,
                                              const MertonPathParams& p) {
    PathSums sums;
    for_each_merton_path(stream_seed, paths, p, [&](double terminal, double, std::uint64_t) {
        sums.add(p.discount * positive_part(terminal - p.k));
    });
    return sums;
}

void validate_merton_jump_diffusion_call_config(const MertonJumpDiffusionCallConfig& c) {
    using R = MertonJumpDiffusionCallConfig;
    static constexpr std::array<Check<R>, 7> kChecks{{
        above<R>(&R::n_paths, 0, "n_paths must be > 0"),
        above<R>(&R::s0, 0.0, "s0 must be > 0"),
        above<R>(&R::k, 0.0, "k must be > 0"),
        at_least<R>(&R::sigma, 0.0, "sigma must be >= 0"),
        at_least<R>(&R::jump_intensity, 0.0, "jump_intensity must be >= 0"),
        at_least<R>(&R::jump_volatility, 0.0, "jump_volatility must be >= 0"),
        above<R>(&R::t, 0.0, "t must be > 0"),
    }};
    check_rows(c, kChecks);
}

EuropeanCallResult merton_jump_diffusion_call_price_mc_cpu(const MertonJumpDiffusionCallConfig& c) {
    return merton_jump_diffusion_call_price_mc_cpu_planned(c, std::nullopt);
}

EuropeanCallResult merton_jump_diffusion_call_price_mc_cpu_planned(const MertonJumpDiffusionCallConfig& c,
                                                                   const std::optional<BlockPlan>& plan) {
    validate_merton_jump_diffusion_call_config(c);
    const MertonPathParams p = MertonPathParams::from(c);
    const auto kernel = [p](std::uint64_t s, std::uint64_t n) { return simulate_merton_jump_diffusion_chunk(s, n, p); };
    // Jumps make the draws per path vary, so a plan's blocks are always those
    // of a parallel run of as many workers.
    const PathSums sums = run_plan_blocks(worker_blocks(c.n_paths, c.n_threads, c.seed, plan), kernel,
                                          kMertonWorkerFailureText, plan);
    return plain_estimate(sums, c.n_paths);
}

// The Merton Greeks (greeks.hpp) on the pricing's paths. With h = disc
// 1{S_T > k} S_T and ln S_T = ln s0 + drift + sigma sqrt(t) z + J(N):
//   delta = h / s0;  gamma mixed: given the jumps, s0 moves only the law of z,
//     whose score is z / (s0 sigma sqrt(t)), so gamma = (h z / (s0 sigma sqrt(t)) - h / s0) / s0;
//   vega = h (sqrt(t) z - sigma t);  rho = t h - t V;
//   theta = -dV/dt: the diffusion pathwise, d ln S_T/dt = (drift + sigma sqrt(t) z / 2) / t,
//     and the count N ~ Poisson(lambda t) by its likelihood ratio, d/dt log P(N) = N / t - lambda,
//     so theta = r V - h (drift + sigma sqrt(t) z / 2) / t - V (N / t - lambda).
GreeksResult merton_jump_diffusion_call_greeks_mc_cpu_planned(const MertonJumpDiffusionCallConfig& c,
                                                              const std::optional<BlockPlan>& plan) {
    validate_merton_jump_diffusion_call_config(c);
    if (!(c.sigma > 0.0)) fail("greeks need sigma > 0");
    const MertonPathParams p = MertonPathParams::from(c);
    const double root_t = block_math::sqrt(c.t);
    const double spread = c.s0 * p.diffusion;
    const auto kernel = [&](std::uint64_t seed, std::uint64_t n) {
        GreekSums<> sums{};
        for_each_merton_path(seed, n, p, [&](double terminal, double z, std::uint64_t count) {
            using V = simd::f64x1;
            const double y = p.discount * positive_part(terminal - p.k);
            const double h = terminal > p.k ? p.discount * terminal : 0.0;
            const double moves = (p.drift + 0.5 * (p.diffusion * z)) / c.t;
            const double count_score = static_cast<double>(count) / c.t - c.jump_intensity;
            const GreekSample<V> sample{{V{y}, V{h / c.s0}, V{(h * (z / spread) - h / c.s0) / c.s0},
                                         V{h * (root_t * z - c.sigma * c.t)}, V{c.t * h - c.t * y},
                                         V{c.r * y - h * moves - y * count_score}}};
            sums.add(sample, 0);
        });
        return sums;
    };
    const GreekSums<> sums = run_plan_blocks(worker_blocks(c.n_paths, c.n_threads, c.seed, plan), kernel,
                                             kMertonWorkerFailureText, plan);
    return estimate(sums, c.n_paths, 0.0);
}

}  // namespace mc_core
