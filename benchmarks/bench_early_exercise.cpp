// American and Bermudan puts by Longstaff-Schwartz, default configurations
// (100,000 paths x 64 steps; Bermudan dates 16, 32, 48, 64).
//
// Reports the wall time of a whole pricing call, the two phases separately
// (path generation and the backward regression pass) in ns per path-step, and
// the peak memory of a call. Peak memory is the growth of the maximum resident
// set of a forked child over an idle child: once for a real pricing call
// (exercise-date columns only) and once for a child that only allocates and
// fills the working storage a whole n_paths x (n_steps + 1) path matrix needs,
// the layout that stores every step.
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
#include "mc_core/error.hpp"

namespace {

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

double megabytes(double bytes) { return bytes / 1e6; }

struct Case {
    const char* name;
    std::uint64_t n_paths;
    std::uint64_t n_steps;
    std::vector<std::uint64_t> schedule;
    std::function<double()> price;  // one whole pricing call
};

void run(const Case& c, int repeats) {
    const double path_steps = static_cast<double>(c.n_paths) * static_cast<double>(c.n_steps);
    const double visited = static_cast<double>(c.n_paths) * static_cast<double>(c.schedule.size() - 1);
    std::printf("== %s: %llu paths x %llu steps, %zu exercise dates\n", c.name,
                static_cast<unsigned long long>(c.n_paths), static_cast<unsigned long long>(c.n_steps),
                c.schedule.size());

    // Memory first, while this process holds nothing large.
    const long idle = child_peak_bytes([] {});
    const long now = child_peak_bytes([&] { bench::keep(c.price()); }) - idle;
    const long whole = child_peak_bytes([&] {
                           auto matrix = mc_core::allocate_vector<double>(c.n_paths * (c.n_steps + 1), "matrix");
                           auto cash = mc_core::allocate_vector<double>(c.n_paths, "cash flows");
                           auto when = mc_core::allocate_vector<std::uint64_t>(c.n_paths, "exercise steps");
                           std::fill(matrix.begin(), matrix.end(), 1.0);
                           std::fill(cash.begin(), cash.end(), 1.0);
                           std::fill(when.begin(), when.end(), std::uint64_t{1});
                           bench::keep(matrix[c.n_paths] + cash[1] + static_cast<double>(when[2]));
                       }) - idle;
    const double columns_bytes = 8.0 * static_cast<double>(c.n_paths) * static_cast<double>(c.schedule.size());
    const double matrix_bytes = 8.0 * static_cast<double>(c.n_paths) * static_cast<double>(c.n_steps + 1);
    const double per_path_bytes = 16.0 * static_cast<double>(c.n_paths);

    const lsm::LsmGrid grid = lsm::LsmGrid::from(0.03, 0.2, 1.0, c.n_steps);
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

    std::printf("  wall time of a pricing call        %9.1f ms (best of %d)\n", wall * 1e3, repeats);
    std::printf("  path generation                    %9.2f ns per path-step  (%.1f ms)\n",
                generation / path_steps * 1e9, generation * 1e3);
    std::printf("  regression pass                    %9.2f ns per path-step  (%.1f ms; %.2f ns per path and visited date)\n",
                regression / path_steps * 1e9, regression * 1e3, regression / visited * 1e9);
    std::printf("  working storage, computed: whole matrix %.1f MB -> exercise-date columns %.1f MB (%.2fx less)\n",
                megabytes(matrix_bytes + per_path_bytes), megabytes(columns_bytes + per_path_bytes),
                (matrix_bytes + per_path_bytes) / (columns_bytes + per_path_bytes));
    std::printf("  peak resident growth, measured: whole-matrix storage %.1f MB, pricing call %.1f MB (%.2fx less)\n",
                megabytes(static_cast<double>(whole)), megabytes(static_cast<double>(now)),
                static_cast<double>(whole) / static_cast<double>(now));
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t n_paths = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100'000;
    const int repeats = 5;

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
