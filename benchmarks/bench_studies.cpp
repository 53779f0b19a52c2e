// The multilevel Asian call and the studies at their default configurations.
//
// Work is counted in step updates: one advance of one simulated price (for the
// multilevel estimator the fine and the coarse path each count; a terminal-method
// path is one update). The multilevel run is also set against the cost a single
// level on the finest grid would need for the same standard error.
#include <cstdint>
#include <cstdio>

#include "bench_common.hpp"
#include "mc_core/multilevel.hpp"
#include "mc_core/studies.hpp"

namespace {

namespace sweep_cpu = mc_core::runtime::cpu;

void rate_row(const char* name, double seconds, double updates) {
    std::printf("%-48s %9.2f ms  %8.1f M updates/s  %6.2f ns/update\n", name, seconds * 1e3, updates / seconds * 1e-6,
                seconds / updates * 1e9);
}

}  // namespace

int main() {
    using mc_core::SamplingMethod;
    const int repeats = 5;

    std::printf("Arithmetic Asian call by multilevel Monte Carlo, default configuration (best of %d)\n", repeats);
    std::printf("  16 to 128 steps, 4 levels, paths 50000/25000/12500/6250\n");
    const struct {
        const char* name;
        SamplingMethod sampling;
        std::uint64_t replicates;
    } runs[] = {
        {"pseudorandom", SamplingMethod::pseudorandom, 1},
        {"scrambled_sobol", SamplingMethod::scrambled_sobol, 1},
        {"latin_hypercube", SamplingMethod::latin_hypercube, 1},
        {"scrambled_sobol, 8 replicates", SamplingMethod::scrambled_sobol, 8},
    };
    for (const auto& run : runs) {
        mc_core::ArithmeticAsianMlmcConfig config;
        config.sampling = run.sampling;
        config.scramble_replicates = run.replicates;
        mc_core::ArithmeticAsianMlmcResult result;
        const double seconds =
            bench::best_seconds(repeats, [&] { result = mc_core::arithmetic_asian_call_price_mlmc_cpu(config); });
        bench::keep(result.price);
        rate_row(run.name, seconds, static_cast<double>(result.total_step_updates));
        std::printf("  price %.6f  stderr %.6f  step updates %llu", result.price, result.std_error,
                    static_cast<unsigned long long>(result.total_step_updates));
        if (run.replicates == 1) {
            // One level on the 128-step grid reaching the same standard error
            // (the payoff variance taken from level 0).
            const double single_level_updates =
                result.levels[0].variance / (result.std_error * result.std_error) * 128.0;
            std::printf("; one level on 128 steps: %.3g updates (%.2fx)", single_level_updates,
                        single_level_updates / static_cast<double>(result.total_step_updates));
        }
        std::printf("\n");
    }

    std::printf("\nEuropean call parameter sweep, default configuration (3 scenarios x 100000 paths, terminal method)\n");
    for (std::uint64_t threads : {1, 2}) {
        sweep_cpu::EuropeanCallParameterSweepConfig sweep;
        sweep.base_config.n_threads = threads;
        sweep_cpu::EuropeanCallParameterSweepResult result;
        const double seconds =
            bench::best_seconds(repeats, [&] { result = sweep_cpu::price_european_call_parameter_sweep_cpu(sweep); });
        bench::keep(result.rows[0].result.price);
        char name[64];
        std::snprintf(name, sizeof name, "n_threads=%llu", static_cast<unsigned long long>(threads));
        rate_row(name, seconds, static_cast<double>(result.total_paths));
    }
    {
        sweep_cpu::EuropeanCallParameterSweepConfig sweep;
        sweep.method = mc_core::EuropeanCallMethod::stepwise_paths;
        sweep.base_config.n_threads = 2;
        sweep_cpu::EuropeanCallParameterSweepResult result;
        const double seconds =
            bench::best_seconds(2, [&] { result = sweep_cpu::price_european_call_parameter_sweep_cpu(sweep); });
        bench::keep(result.rows[0].result.price);
        rate_row("stepwise_paths (252 steps), n_threads=2", seconds,
                 static_cast<double>(result.total_paths) * static_cast<double>(sweep.base_config.n_steps));
    }

    std::printf("\nGaussian uncertainty moments, 100000 samples x 3 dimensions\n");
    for (SamplingMethod sampling : {SamplingMethod::pseudorandom, SamplingMethod::scrambled_sobol}) {
        mc_core::GaussianUncertaintyConfig config;
        config.sampling = sampling;
        const double seconds = bench::best_seconds(repeats, [&] {
            bench::keep(mc_core::gaussian_uncertainty_moments_cpu(config).mean);
        });
        rate_row(sampling == SamplingMethod::pseudorandom ? "pseudorandom (normals drawn)" : "scrambled_sobol (normals drawn)",
                 seconds, 3.0 * static_cast<double>(config.n_samples));
    }
    return 0;
}
