// Arithmetic Asian call, 100,000 paths x 252 steps.
//
// The engine against a bare loop doing only what one step must: one normal from
// the stream (half a Box-Muller pair), one multiply-add, one exp, one add. The
// structured samplers are timed per path-step as well.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "bench_common.hpp"
#include "mc_core/path_dependent.hpp"

namespace {

double bare_loop(std::uint64_t paths, std::uint64_t steps, std::uint64_t seed, double s0, double k, double drift,
                 double vol, double disc) {
    bench::BareStream stream{seed};
    double sum = 0.0, sum_sq = 0.0;
    const double x0 = std::log(s0);
    for (std::uint64_t p = 0; p < paths; ++p) {
        double x = x0, average = 0.0;
        for (std::uint64_t j = 0; j < steps; ++j) {
            const double z = stream.normal();
            x += drift + vol * z;
            average += std::exp(x);
        }
        const double y = disc * std::fmax(average / static_cast<double>(steps) - k, 0.0);
        sum += y;
        sum_sq += y * y;
    }
    return sum / static_cast<double>(paths) + 0.0 * sum_sq;
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t paths = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100'000;
    const std::uint64_t steps = 252;
    const int repeats = 3;
    mc_core::ArithmeticAsianCallConfig config;
    config.n_paths = paths;
    config.n_steps = steps;
    const auto model = mc_core::make_stepwise_model(mc_core::ArithmeticAverage{config.k, double(steps)}, steps,
                                                    config.s0, config.r, config.sigma, config.t);
    const double path_steps = static_cast<double>(paths * steps);

    const double bare = bench::best_seconds(repeats, [&] {
        bench::keep(bare_loop(paths, steps, config.seed, config.s0, config.k, model.drift, model.vol, model.disc));
    }) / path_steps * 1e9;
    auto engine_ns = [&](mc_core::SamplingMethod sampling, std::uint64_t threads) {
        config.sampling = sampling;
        config.n_threads = threads;
        return bench::best_seconds(repeats, [&] {
                   bench::keep(mc_core::arithmetic_asian_call_price_mc_cpu(config).price);
               }) / path_steps * 1e9;
    };
    using mc_core::SamplingMethod;
    const double one = engine_ns(SamplingMethod::pseudorandom, 1);
    const double two = engine_ns(SamplingMethod::pseudorandom, 2);

    std::printf("Arithmetic Asian call, %llu paths x %llu steps, standard technique (best of %d)\n",
                static_cast<unsigned long long>(paths), static_cast<unsigned long long>(steps), repeats);
    std::printf("%-44s %12s  %7s\n", "", "per step", "vs bare");
    bench::row("bare loop (one thread)", bare, bare);
    bench::row("pseudorandom, n_threads=1", one, bare);
    bench::row("pseudorandom, n_threads=2", two, bare);
    std::printf("speed-up of 2 threads over 1: %.2fx\n", one / two);
    const struct {
        const char* name;
        SamplingMethod sampling;
    } structured[] = {
        {"randomized_halton (calling thread)", SamplingMethod::randomized_halton},
        {"latin_hypercube (calling thread)", SamplingMethod::latin_hypercube},
        {"scrambled_sobol (calling thread)", SamplingMethod::scrambled_sobol},
        {"scrambled_sobol_brownian_bridge (calling thread)", SamplingMethod::scrambled_sobol_brownian_bridge},
    };
    for (const auto& row : structured) bench::row(row.name, engine_ns(row.sampling, 1), bare);
    return 0;
}
