#include "mc_core/block_math.hpp"

// Element-by-element libm loops. A vectorised build replaces these bodies; the
// kernels only ever see the signatures in the header.
namespace mc_core::block_math {

void exp_block(double* values, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) values[i] = exp(values[i]);
}

void log_block(double* values, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) values[i] = log(values[i]);
}

void sqrt_block(double* values, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) values[i] = sqrt(values[i]);
}

void sincos_block(const double* angles, double* sines, double* cosines, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) sincos(angles[i], &sines[i], &cosines[i]);
}

}  // namespace mc_core::block_math
