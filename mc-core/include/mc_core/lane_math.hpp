// Elementary functions over lane packs: exp, log, sqrt, sincos and the inverse
// normal CDF of every kernel.
//
// PROVISIONAL: lane by lane through the platform libm, which reproduces the
// results of the element-by-element loops it replaces. To be replaced by the
// project's own vectorised algorithms.
#pragma once

#include <cmath>

#include "mc_core/simd.hpp"

namespace mc_core {
double inverse_standard_normal(double p);
}

namespace mc_core::lane_math {

using simd::lanes_of;

template <class V>
MC_LANE_INLINE V exp(V x) {
    V r;
    for (std::size_t i = 0; i < lanes_of<V>; ++i) r[i] = std::exp(x[i]);
    return r;
}

template <class V>
MC_LANE_INLINE V log(V x) {
    V r;
    for (std::size_t i = 0; i < lanes_of<V>; ++i) r[i] = std::log(x[i]);
    return r;
}

template <class V>
MC_LANE_INLINE V sqrt(V x) {
    return simd::sqrt(x);
}

template <class V>
MC_LANE_INLINE void sincos(V x, V& s, V& c) {
    for (std::size_t i = 0; i < lanes_of<V>; ++i) ::sincos(x[i], &s[i], &c[i]);
}

template <class V>
MC_LANE_INLINE V inverse_standard_normal(V p) {
    V r;
    for (std::size_t i = 0; i < lanes_of<V>; ++i) r[i] = mc_core::inverse_standard_normal(p[i]);
    return r;
}

}  // namespace mc_core::lane_math
