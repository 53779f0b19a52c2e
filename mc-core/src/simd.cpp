#include "mc_core/simd.hpp"

namespace mc_core::simd {

namespace {

bool cpu_offers(Target target) {
    switch (target) {
        case Target::scalar:
            return true;
#if defined(MC_SIMD_X86_TARGETS)
        // libgcc's CPU model also checks that the OS saves the wider registers.
        case Target::avx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case Target::avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                   __builtin_cpu_supports("fma");
#else
        case Target::avx2:
        case Target::avx512:
            return false;
#endif
    }
    return false;
}

constexpr std::uint8_t kUnset = 0xFF;
std::atomic<std::uint8_t> active{kUnset};

}  // namespace

const char* target_name(Target target) {
    switch (target) {
        case Target::scalar: return "scalar";
        case Target::avx2: return "avx2";
        case Target::avx512: return "avx512";
    }
    return "scalar";
}

std::optional<Target> parse_target(std::string_view name) {
    for (Target t : {Target::scalar, Target::avx2, Target::avx512})
        if (name == target_name(t)) return t;
    return std::nullopt;
}

bool target_supported(Target target) { return cpu_offers(target); }

Target best_target() {
    for (Target t : {Target::avx512, Target::avx2})
        if (cpu_offers(t)) return t;
    return Target::scalar;
}

Target active_target() {
    std::uint8_t current = active.load(std::memory_order_relaxed);
    if (current == kUnset) {
        current = static_cast<std::uint8_t>(best_target());
        std::uint8_t expected = kUnset;
        if (!active.compare_exchange_strong(expected, current, std::memory_order_relaxed)) current = expected;
    }
    return static_cast<Target>(current);
}

bool set_active_target(Target target) {
    if (!cpu_offers(target)) return false;
    active.store(static_cast<std::uint8_t>(target), std::memory_order_relaxed);
    return true;
}

}  // namespace mc_core::simd
