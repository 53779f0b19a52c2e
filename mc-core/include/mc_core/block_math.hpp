// Batched elementary functions for the simulation kernels.
//
// Kernels never call <cmath> transcendentals directly: scalar calls go through
// the inline wrappers below and arrays through the block transforms, so the
// implementation behind them (today the platform libm, element by element) can
// be swapped for a vectorised one without touching any kernel. Every block
// transform gives, element for element, what the scalar wrapper gives.
#pragma once

#include <cmath>
#include <cstddef>

namespace mc_core::block_math {

inline double exp(double x) { return std::exp(x); }
inline double log(double x) { return std::log(x); }
inline double sqrt(double x) { return std::sqrt(x); }
inline void sincos(double x, double* s, double* c) { ::sincos(x, s, c); }

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

// C's fmax without the library call: a NaN operand is ignored.
inline double max_ignoring_nan(double a, double b) { return (b > a || a != a) ? b : a; }

}  // namespace mc_core::block_math
