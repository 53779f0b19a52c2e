// Heston European call (pseudorandom standard, Euler steps) and Merton
// jump-diffusion call (terminal, one Poisson draw per path).
//
// Each product is compared against a bare loop that does only what one path
// must, with the generator inlined and nothing else:
//  * Heston, per step: two xorshift64* steps, one Box-Muller pair (log, sqrt,
//    sincos), one sqrt of the variance and the two updates; one exp per path.
//  * Merton, per path: half a Box-Muller pair, one uniform, the Poisson
//    search, a jump normal when there are jumps, one exp, one max, two adds.
// Usage: bench_dynamics [heston_paths [heston_steps [merton_paths]]]
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "bench_common.hpp"
#include "mc_core/dynamics.hpp"

namespace {

struct Xorshift {
    std::uint64_t state;
    double uniform() {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        const double u = static_cast<double>((state * 0x2545F4914F6CDD1DULL) >> 11) * 0x1.0p-53;
        return u < 2.2250738585072014e-308 ? 2.2250738585072014e-308 : u;
    }
};

double heston_bare_loop(std::uint64_t paths, std::uint64_t seed, const mc_core::HestonPathParams& p) {
    Xorshift rng{seed};
    double sum = 0.0, sum_sq = 0.0;
    for (std::uint64_t i = 0; i < paths; ++i) {
        double x = p.x0, v = p.v0;
        for (std::uint64_t j = 0; j < p.n_steps; ++j) {
            const double radius = std::sqrt(-2.0 * std::log(rng.uniform()));
            double s, c;
            ::sincos(6.283185307179586 * rng.uniform(), &s, &c);
            const double z1 = radius * c, z2 = radius * s;
            const double vp = std::fmax(v, 0.0);
            const double root = std::sqrt(vp);
            x = x + p.dt * (p.r - 0.5 * vp) + p.sqrt_dt * root * (p.rho * z1 + p.rho_bar * z2);
            v = std::fmax(v + p.dt * (p.kappa * (p.theta - vp)) + p.sqrt_dt * (p.vol_of_vol * root) * z1, 0.0);
        }
        const double y = p.discount * std::fmax(std::exp(x) - p.k, 0.0);
        sum += y;
        sum_sq += y * y;
    }
    return sum / static_cast<double>(paths) + sum_sq * 0.0;
}

double merton_bare_loop(std::uint64_t paths, std::uint64_t seed, const mc_core::MertonPathParams& p) {
    Xorshift rng{seed};
    const double p0 = std::exp(-p.jump_mean_count);
    double sum = 0.0, sum_sq = 0.0;
    bool has_spare = false;
    double spare = 0.0;
    auto normal = [&] {
        if (has_spare) {
            has_spare = false;
            return spare;
        }
        const double radius = std::sqrt(-2.0 * std::log(rng.uniform()));
        double s, c;
        ::sincos(6.283185307179586 * rng.uniform(), &s, &c);
        spare = radius * s;
        has_spare = true;
        return radius * c;
    };
    for (std::uint64_t i = 0; i < paths; ++i) {
        const double z = normal();
        const double u = rng.uniform();
        double term = p0, cdf = p0;
        std::uint64_t n = 0;
        while (u > cdf) {
            ++n;
            term = term * p.jump_mean_count / static_cast<double>(n);
            cdf += term;
        }
        double jump = 0.0;
        if (n != 0) {
            const double count = static_cast<double>(n);
            jump = p.jump_mean * count + p.jump_volatility * std::sqrt(count) * normal();
        }
        const double y = p.discount * std::fmax(std::exp(p.log_s0 + p.drift + p.diffusion * z + jump) - p.k, 0.0);
        sum += y;
        sum_sq += y * y;
    }
    return sum / static_cast<double>(paths) + sum_sq * 0.0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t heston_paths = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100'000;
    const std::uint64_t heston_steps = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 252;
    const std::uint64_t merton_paths = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 10'000'000;
    const int repeats = 3;

    // Heston: nanoseconds per path-step.
    mc_core::HestonEuropeanCallConfig heston;
    heston.n_paths = heston_paths;
    heston.n_steps = heston_steps;
    const auto hp = mc_core::HestonPathParams::from(heston);
    const double path_steps = static_cast<double>(heston_paths) * static_cast<double>(heston_steps);
    const double heston_bare = bench::best_seconds(repeats, [&] {
        bench::keep(heston_bare_loop(heston_paths, heston.seed, hp));
    }) / path_steps * 1e9;
    auto heston_ns = [&](std::uint64_t threads) {
        heston.n_threads = threads;
        return bench::best_seconds(repeats, [&] {
                   bench::keep(mc_core::heston_european_call_price_mc_cpu(heston).price);
               }) / path_steps * 1e9;
    };
    const double heston_one = heston_ns(1);
    const double heston_two = heston_ns(2);

    std::printf("Heston European call, pseudorandom standard, %llu paths x %llu steps (best of %d)\n",
                static_cast<unsigned long long>(heston_paths), static_cast<unsigned long long>(heston_steps),
                repeats);
    std::printf("%-44s %12s  %7s\n", "", "per step", "vs bare");
    bench::row("bare loop (one thread)", heston_bare, heston_bare);
    bench::row("engine, n_threads=1", heston_one, heston_bare);
    bench::row("engine, n_threads=2", heston_two, heston_bare);
    std::printf("per path: bare %.1f ns, 1 thread %.1f ns, 2 threads %.1f ns; speed-up of 2 threads: %.2fx\n\n",
                heston_bare * static_cast<double>(heston_steps), heston_one * static_cast<double>(heston_steps),
                heston_two * static_cast<double>(heston_steps), heston_one / heston_two);

    // Merton: nanoseconds per path.
    mc_core::MertonJumpDiffusionCallConfig merton;
    merton.n_paths = merton_paths;
    const auto mp = mc_core::MertonPathParams::from(merton);
    const double n = static_cast<double>(merton_paths);
    const double merton_bare = bench::best_seconds(repeats, [&] {
        bench::keep(merton_bare_loop(merton_paths, merton.seed, mp));
    }) / n * 1e9;
    auto merton_ns = [&](std::uint64_t threads) {
        merton.n_threads = threads;
        return bench::best_seconds(repeats, [&] {
                   bench::keep(mc_core::merton_jump_diffusion_call_price_mc_cpu(merton).price);
               }) / n * 1e9;
    };
    const double merton_one = merton_ns(1);
    const double merton_two = merton_ns(2);

    std::printf("Merton jump-diffusion call, %llu paths (best of %d)\n", static_cast<unsigned long long>(merton_paths),
                repeats);
    std::printf("%-44s %12s  %7s\n", "", "per path", "vs bare");
    bench::row("bare loop (one thread)", merton_bare, merton_bare);
    bench::row("engine, n_threads=1", merton_one, merton_bare);
    bench::row("engine, n_threads=2", merton_two, merton_bare);
    std::printf("speed-up of 2 threads over 1: %.2fx\n", merton_one / merton_two);
    return 0;
}
