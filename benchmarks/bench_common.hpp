// Timing helpers shared by the benchmark programs: best-of-N wall time.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>
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

// The stream's arithmetic written out plainly, for the bare loops: xorshift64*
// uniforms and Box-Muller normals with the second value cached.
struct BareStream {
    std::uint64_t state;
    bool has_spare = false;
    double spare = 0.0;

    double uniform() {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return static_cast<double>((state * 0x2545F4914F6CDD1DULL) >> 11) * 0x1.0p-53;
    }
    double normal() {
        if (has_spare) {
            has_spare = false;
            return spare;
        }
        const double radius = std::sqrt(-2.0 * std::log(uniform()));
        double s, c;
        ::sincos(6.283185307179586 * uniform(), &s, &c);
        spare = radius * s;
        has_spare = true;
        return radius * c;
    }
};

inline void row(const char* name, double ns, double baseline_ns) {
    std::printf("%-44s %9.2f ns  %6.3fx\n", name, ns, ns / baseline_ns);
}

}  // namespace bench
