// European call, terminal method, pseudorandom standard sampling.
//
// Compares the engine against a bare loop that does only what one path must:
// one xorshift64* step, half a Box-Muller pair, one exp, one max, two adds.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "bench_common.hpp"
#include "mc_core/european.hpp"

namespace {

double bare_loop(std::uint64_t paths, std::uint64_t seed, double s0, double k, double drift, double vol,
                 double disc) {
    bench::BareStream stream{seed};
    double sum = 0.0, sum_sq = 0.0;
    for (std::uint64_t i = 0; i < paths; ++i) {
        const double y = disc * std::fmax(s0 * std::exp(drift + vol * stream.normal()) - k, 0.0);
        sum += y;
        sum_sq += y * y;
    }
    return sum / static_cast<double>(paths) + sum_sq * 0.0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t paths = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10'000'000;
    const int repeats = 5;
    mc_core::EuropeanCallConfig config;
    config.n_paths = paths;
    const auto p = mc_core::TerminalModel::from(config);
    const double n = static_cast<double>(paths);

    const double bare = bench::best_seconds(repeats, [&] {
        bench::keep(bare_loop(paths, config.seed, p.s0, p.k, p.drift_t, p.vol_t, p.disc));
    }) / n * 1e9;
    auto engine_ns = [&](std::uint64_t threads) {
        config.n_threads = threads;
        return bench::best_seconds(repeats, [&] {
                   bench::keep(mc_core::european_call_price_mc_cpu_terminal(config).price);
               }) / n * 1e9;
    };
    const double one = engine_ns(1);
    const double two = engine_ns(2);

    std::printf("European call, terminal method, pseudorandom standard, %llu paths (best of %d)\n",
                static_cast<unsigned long long>(paths), repeats);
    std::printf("%-44s %12s  %7s\n", "", "per path", "vs bare");
    bench::row("bare loop (one thread)", bare, bare);
    bench::row("engine, n_threads=1", one, bare);
    bench::row("engine, n_threads=2", two, bare);
    std::printf("speed-up of 2 threads over 1: %.2fx\n", one / two);
    return 0;
}
