#include "mc_core/block_math.hpp"

#include <array>

namespace mc_core::block_math {

namespace {

// Applies `f` (pack -> K packs) to n values a pack at a time on the active
// target, writing its k-th result to outs[k]. `f` takes and returns packs by
// value, so it must be inlined into the target's code: out of line it would be
// compiled for the baseline, which passes wide vectors another way
// (MC_PACK_LAMBDA makes a failed inlining a compile error). The last partial pack is padded
// with a harmless argument; lanes never interact, so element i's result does
// not depend on n or on its position. Each pack is loaded before any output
// is stored, so an output may be the input itself.
template <std::size_t K, class F>
void transform(const double* in, const std::array<double*, K>& outs, std::size_t n, double pad, F f) {
    simd::on_active_target([&](auto tag) {
        using V = typename decltype(tag)::type;
        constexpr std::size_t kLanes = simd::lanes_of<V>;
        std::size_t i = 0;
        for (; i + kLanes <= n; i += kLanes) {
            const std::array<V, K> results = f(simd::load<V>(in + i));
            for (std::size_t k = 0; k < K; ++k) simd::store(outs[k] + i, results[k]);
        }
        if (i < n) {
            double padded[kLanes];
            for (std::size_t l = 0; l < kLanes; ++l) padded[l] = i + l < n ? in[i + l] : pad;
            const std::array<V, K> results = f(simd::load<V>(padded));
            for (std::size_t k = 0; k < K; ++k)
                for (std::size_t l = 0; i + l < n; ++l) outs[k][i + l] = results[k][l];
        }
    });
}

}  // namespace

void exp_block(double* values, std::size_t n) {
    transform<1>(values, {values}, n, 0.0, [](auto x) MC_PACK_LAMBDA { return std::array{lane_math::exp(x)}; });
}

void log_block(double* values, std::size_t n) {
    transform<1>(values, {values}, n, 1.0, [](auto x) MC_PACK_LAMBDA { return std::array{lane_math::log(x)}; });
}

void sqrt_block(double* values, std::size_t n) {
    transform<1>(values, {values}, n, 1.0, [](auto x) MC_PACK_LAMBDA { return std::array{lane_math::sqrt(x)}; });
}

// One reduction per angle serves both outputs.
void sincos_block(const double* angles, double* sines, double* cosines, std::size_t n) {
    transform<2>(angles, {sines, cosines}, n, 0.0, [](auto x) MC_PACK_LAMBDA {
        decltype(x) s, c;
        lane_math::sincos(x, s, c);
        return std::array{s, c};
    });
}

}  // namespace mc_core::block_math
