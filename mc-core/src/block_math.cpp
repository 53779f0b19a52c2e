#include "mc_core/block_math.hpp"

#include <cstring>

namespace mc_core::block_math {

namespace {

// Applies `f` (pack -> pack) to n values a pack at a time on the active
// target; the last partial pack is padded with a harmless argument.
template <class F>
void transform(const double* in, double* out, std::size_t n, double pad, F f) {
    simd::on_active_target([&](auto tag) {
        using V = typename decltype(tag)::type;
        constexpr std::size_t kLanes = simd::lanes_of<V>;
        std::size_t i = 0;
        for (; i + kLanes <= n; i += kLanes) simd::store(out + i, f(simd::load<V>(in + i)));
        if (i < n) {
            double padded[kLanes];
            for (std::size_t l = 0; l < kLanes; ++l) padded[l] = i + l < n ? in[i + l] : pad;
            const V result = f(simd::load<V>(padded));
            for (std::size_t l = 0; i + l < n; ++l) out[i + l] = result[l];
        }
    });
}

}  // namespace

void exp_block(double* values, std::size_t n) {
    transform(values, values, n, 0.0, [](auto x) { return lane_math::exp(x); });
}

void log_block(double* values, std::size_t n) {
    transform(values, values, n, 1.0, [](auto x) { return lane_math::log(x); });
}

void sqrt_block(double* values, std::size_t n) {
    transform(values, values, n, 1.0, [](auto x) { return lane_math::sqrt(x); });
}

void sincos_block(const double* angles, double* sines, double* cosines, std::size_t n) {
    transform(angles, sines, n, 0.0, [](auto x) {
        decltype(x) s, c;
        lane_math::sincos(x, s, c);
        return s;
    });
    transform(angles, cosines, n, 0.0, [](auto x) {
        decltype(x) s, c;
        lane_math::sincos(x, s, c);
        return c;
    });
}

}  // namespace mc_core::block_math
