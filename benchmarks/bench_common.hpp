// Timing helpers shared by the benchmark programs: best-of-N wall time.
#pragma once

#include <chrono>
#include <cstdio>

namespace bench {

template <class Fn>
double best_seconds(int repeats, Fn&& fn) {
    double best = 1e300;
    for (int i = 0; i < repeats; ++i) {
        const auto start = std::chrono::steady_clock::now();
        fn();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        if (elapsed.count() < best) best = elapsed.count();
    }
    return best;
}

// Keeps a result alive so the optimiser cannot drop the work that made it.
inline void keep(double value) {
    static volatile double sink;
    sink = value;
}

inline void row(const char* name, double ns, double baseline_ns) {
    std::printf("%-44s %9.2f ns  %6.3fx\n", name, ns, ns / baseline_ns);
}

}  // namespace bench
