// Elementary functions for the code outside the lane kernels.
//
// The scalar wrappers are the lane math (lane_math.hpp) on a single lane, and
// the block transforms run it over arrays a pack at a time on the process's
// SIMD target, the tail padded into one more pack. Either way element i gets
// exactly the bits the lane kernels compute for the same argument, whatever
// the array's length, the element's position or the target.
#pragma once

#include <cstddef>

#include "mc_core/lane_math.hpp"
#include "mc_core/simd.hpp"

namespace mc_core::block_math {

inline double exp(double x) { return lane_math::exp(simd::f64x1{x})[0]; }
inline double log(double x) { return lane_math::log(simd::f64x1{x})[0]; }
inline double sqrt(double x) { return __builtin_sqrt(x); }
inline void sincos(double x, double* s, double* c) {
    simd::f64x1 sv, cv;
    lane_math::sincos(simd::f64x1{x}, sv, cv);
    *s = sv[0];
    *c = cv[0];
}

// In place: values[i] <- exp(values[i]).
void exp_block(double* values, std::size_t n);
// In place: values[i] <- log(values[i]).
void log_block(double* values, std::size_t n);
// In place: values[i] <- sqrt(values[i]).
void sqrt_block(double* values, std::size_t n);
// sines[i], cosines[i] <- sin(angles[i]), cos(angles[i]).
void sincos_block(const double* angles, double* sines, double* cosines, std::size_t n);

// max(x, 0) ignoring a NaN operand, like C's fmax: positive_part(NaN) = 0.
inline double positive_part(double x) { return x > 0.0 ? x : 0.0; }

}  // namespace mc_core::block_math
