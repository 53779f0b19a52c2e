// American and Bermudan puts by Longstaff-Schwartz, default configurations
// (100,000 paths x 64 steps, degree 2; Bermudan dates 16, 32, 48, 64).
//
// Per SIMD target the machine offers: the wall time of a whole pricing call
// and of its two phases (path generation; the backward regression pass with
// the final estimate's inputs) in ns per path, best of a few short runs.
// Then the peak memory of one pricing call on the best target, against the
// exercise-date price storage it needs: the growth of the maximum resident set
// of a forked child over that of an idle child.
//
//   bench_early_exercise [n_paths] [repeats]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <numeric>
#include <vector>

#include "bench_common.hpp"
#include "mc_core/early_exercise.hpp"
#include "mc_core/internal/lsm.hpp"
#include "mc_core/simd.hpp"

namespace {

using namespace mc_core;
using namespace mc_core::runtime::cpu;

// Maximum resident set (bytes) of a child that runs `work`.
long child_peak_bytes(const std::function<void()>& work) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        work();
        _exit(0);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "peak memory measurement failed\n");
        std::exit(1);
    }
    return usage.ru_maxrss * 1024L;  // Linux reports kilobytes
}

struct Case {
    const char* name;
    std::uint64_t n_paths;
    std::uint64_t n_steps;
    std::vector<std::uint64_t> schedule;
    std::function<double()> price;  // one whole pricing call
};

void run(const Case& c, int repeats) {
    const double paths = static_cast<double>(c.n_paths);
    std::printf("== %s: %llu paths x %llu steps, %zu exercise dates\n", c.name,
                static_cast<unsigned long long>(c.n_paths), static_cast<unsigned long long>(c.n_steps),
                c.schedule.size());

    const lsm::LsmGrid grid = lsm::LsmGrid::from(0.03, 0.2, 1.0, c.n_steps);
    std::printf("  %-8s %14s %14s %14s   (ns per path, best of %d)\n", "target", "pricing call", "generation",
                "regression", repeats);
    for (const simd::Target t : {simd::Target::avx512, simd::Target::avx2, simd::Target::scalar}) {
        if (!simd::set_active_target(t)) continue;
        const double wall = bench::best_seconds(repeats, [&] { bench::keep(c.price()); });
        const double generation = bench::best_seconds(repeats, [&] {
            const auto prices = lsm::simulate_exercise_date_prices(grid, 100.0, c.n_paths, c.n_steps, 42, c.schedule);
            bench::keep(prices.values[0]);
        });
        const auto prices = lsm::simulate_exercise_date_prices(grid, 100.0, c.n_paths, c.n_steps, 42, c.schedule);
        const double regression = bench::best_seconds(repeats, [&] {
            const auto policy = lsm::longstaff_schwartz_policy(prices, c.schedule, 100.0, grid.discount, 2);
            bench::keep(static_cast<double>(policy.regression_steps));
        });
        std::printf("  %-8s %14.1f %14.1f %14.1f\n", simd::target_name(t), wall / paths * 1e9,
                    generation / paths * 1e9, regression / paths * 1e9);
    }
    simd::set_active_target(simd::best_target());

    const long idle = child_peak_bytes([] {});
    const long peak = child_peak_bytes([&] { bench::keep(c.price()); }) - idle;
    const double storage = 8.0 * paths * static_cast<double>(c.schedule.size());
    std::printf("  peak resident growth of a pricing call %.1f MB; exercise-date prices %.1f MB (%+.1f%%)\n",
                static_cast<double>(peak) / 1e6, storage / 1e6, (static_cast<double>(peak) / storage - 1.0) * 100.0);
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t n_paths = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100'000;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;

    AmericanPutConfig american;
    american.n_paths = n_paths;
    std::vector<std::uint64_t> every_step(american.n_steps);
    std::iota(every_step.begin(), every_step.end(), std::uint64_t{1});

    BermudanPutConfig bermudan;
    bermudan.n_paths = n_paths;

    run({"American put (default)", n_paths, american.n_steps, every_step,
         [&] { return american_put_price_lsm_cpu(american).price; }},
        repeats);
    std::printf("\n");
    run({"Bermudan put (default)", n_paths, bermudan.n_steps, bermudan.exercise_steps,
         [&] { return bermudan_put_price_lsm_cpu(bermudan).price; }},
        repeats);
    return 0;
}
