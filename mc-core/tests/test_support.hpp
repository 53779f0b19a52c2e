// Helpers shared by the core's test files.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "mc_core/error.hpp"
#include "mc_core/simd.hpp"

namespace mc_core::test_support {

using U64 = std::uint64_t;
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();

// The message of the FatalError that `fn` raises, or "<no error>".
template <class Fn>
std::string fatal_message(Fn&& fn) {
    try {
        fn();
    } catch (const FatalError& e) {
        return e.what();
    }
    return "<no error>";
}

// Bit patterns, so that NaNs compare and -0.0 differs from +0.0.
inline U64 bits(double v) { return std::bit_cast<U64>(v); }
inline std::vector<U64> bits(const std::vector<double>& values) {
    std::vector<U64> out;
    for (const double v : values) out.push_back(bits(v));
    return out;
}

// Runs `body` on every SIMD target this machine offers, traced by name; the
// target active before is active again afterwards, whatever happens inside.
template <class Body>
void on_every_target(Body&& body) {
    struct Restore {
        simd::Target before = simd::active_target();
        ~Restore() { simd::set_active_target(before); }
    } restore;
    for (const simd::Target t : {simd::Target::scalar, simd::Target::avx2, simd::Target::avx512}) {
        if (!simd::set_active_target(t)) continue;
        SCOPED_TRACE(simd::target_name(t));
        body();
    }
}

}  // namespace mc_core::test_support
