// Lane packs and SIMD targets: the one portable vector type every vectorised
// kernel is written in, and the run-time choice of the instructions it runs on.
//
// Contract
//  * `Pack<N>` names the vector types of N doubles and of N 64-bit integers
//    (GCC/Clang vector extensions). A kernel is written once over a pack type;
//    the compiler maps a pack onto whatever registers the target offers (one
//    zmm, two ymm, four xmm on the baseline, NEON pairs on aarch64).
//  * Every operation on a pack is lane-wise IEEE arithmetic in a fixed order;
//    nothing reads across lanes. A lane therefore computes the same bits at
//    any width and on any target: one path per lane gives exactly the results
//    of one path at a time. Sources are built with -ffp-contract=off, so the
//    compiler fuses no multiply-add anywhere: the only fused ones are the
//    explicit `mul_add` calls, one rounding on every target (an instruction
//    on the SIMD targets and aarch64, libm's correctly rounded fma on the
//    x86-64 baseline).
//  * Functions that take or return packs are always inlined: packs never cross
//    a call boundary, whose calling convention differs between targets.
//  * A kernel runs on the native width of its target (2, 4 or 8 doubles):
//    wider packs than the registers are lowered poorly by compilers.
//  * Targets: `scalar` (the portable baseline, always built), `avx2` (with
//    FMA) and `avx512` (x86-64 only). `on_active_target(body)` runs `body`
//    compiled for the process's target: the body and everything it can
//    inline is compiled once per target (GCC/Clang `target` + `flatten`), so
//    dispatch happens once per call of the body, never per path or per math
//    call. The process starts
//    on the best target the CPU and OS support; `set_active_target` forces
//    another (for tests and benchmarks). Nothing is read from the environment.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <type_traits>

#define MC_LANE_INLINE [[gnu::always_inline]] inline
// The same for a lambda that takes or returns packs by value inside a target's
// code: a lambda does not inherit its enclosing function's target, and out of
// line a baseline function passes 256- and 512-bit vectors differently.
#define MC_PACK_LAMBDA __attribute__((always_inline))

namespace mc_core::simd {

template <std::size_t N>
struct Pack {
    typedef double f64 __attribute__((vector_size(8 * N)));
    typedef std::int64_t i64 __attribute__((vector_size(8 * N)));
    typedef std::uint64_t u64 __attribute__((vector_size(8 * N)));
};

// The widest pack of any target (buffers sized for it fit every target). A
// single-lane pack serves scalar calls.
inline constexpr std::size_t kLanes = 8;
using f64x8 = Pack<kLanes>::f64;
using f64x1 = Pack<1>::f64;

template <class V>
inline constexpr std::size_t lanes_of = sizeof(V) / sizeof(double);
// Comparisons of double packs give signed masks: all ones (true) or zero.
template <class V>
using mask_of = typename Pack<lanes_of<V>>::i64;
template <class V>
using u64_of = typename Pack<lanes_of<V>>::u64;
template <class V>
using i64_of = typename Pack<lanes_of<V>>::i64;
template <class V>
using f64_of = typename Pack<lanes_of<V>>::f64;

template <class V>
MC_LANE_INLINE V broadcast(double x) {
    V v;
    for (std::size_t i = 0; i < lanes_of<V>; ++i) v[i] = x;
    return v;
}

template <class V>
MC_LANE_INLINE V load(const double* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class V>
MC_LANE_INLINE void store(double* p, V v) {
    std::memcpy(p, &v, sizeof v);
}

// mask ? a : b, lane by lane.
template <class M, class V>
MC_LANE_INLINE V select(M mask, V a, V b) {
    return mask ? a : b;
}

template <class V>
MC_LANE_INLINE u64_of<V> bits_of(V x) {
    return __builtin_bit_cast(u64_of<V>, x);
}
template <class U>
MC_LANE_INLINE f64_of<U> double_of_bits(U bits) {
    return __builtin_bit_cast(f64_of<U>, bits);
}

// Correctly rounded square root (IEEE), lane by lane.
template <class V>
MC_LANE_INLINE V sqrt(V x) {
    V r;
    for (std::size_t i = 0; i < lanes_of<V>; ++i) r[i] = __builtin_sqrt(x[i]);
    return r;
}

// a * b + c with one rounding, lane by lane.
template <class V>
MC_LANE_INLINE V mul_add(V a, V b, V c) {
    V r;
    // Kept a loop for the vectoriser: unrolled early into scalar calls, it is
    // not always put back together into one vector instruction.
#pragma GCC unroll 1
    for (std::size_t i = 0; i < lanes_of<V>; ++i) r[i] = __builtin_fma(a[i], b[i], c[i]);
    return r;
}
template <class V>
MC_LANE_INLINE V mul_add(V a, double b, double c) {
    return mul_add(a, broadcast<V>(b), broadcast<V>(c));
}
template <class V>
MC_LANE_INLINE V mul_add(V a, V b, double c) {
    return mul_add(a, b, broadcast<V>(c));
}

// max(x, 0) ignoring a NaN operand, like C's fmax(x, 0).
template <class V>
MC_LANE_INLINE V positive_part(V x) {
    return select(x > 0.0, x, V{});
}

// Whether any lane of a mask is set: lets a kernel skip work that no lane of
// the pack needs, without changing any lane's result. Folded in halves: a
// lane-by-lane loop is lowered to one extract per lane.
template <class M>
MC_LANE_INLINE bool any(M mask) {
    constexpr std::size_t n = sizeof(M) / 8;
    if constexpr (n == 1) {
        return mask[0] != 0;
    } else {
        using Half = typename Pack<n / 2>::i64;
        Half low, high;
        std::memcpy(&low, &mask, sizeof low);
        std::memcpy(&high, reinterpret_cast<const char*>(&mask) + sizeof low, sizeof high);
        return any(low | high);
    }
}

// The numerics revision: bumped whenever the bits of any result move (a new
// math algorithm, a changed operation order), so stored results can tell
// which numerics made them. 1 was the platform libm element by element; 3
// gave the block-plan entries the full-length scrambled Sobol sequence; 4
// fused the transforms' polynomial steps and took the division out of exp.
inline constexpr int kNumericsRevision = 4;

// ---------------------------------------------------------------------------
// Targets.

enum class Target : std::uint8_t { scalar = 0, avx2 = 1, avx512 = 2 };

const char* target_name(Target target);
std::optional<Target> parse_target(std::string_view name);
// Built into this binary, and offered by this CPU and operating system.
bool target_supported(Target target);
Target best_target();
Target active_target();
// False, changing nothing, when the target is not supported.
bool set_active_target(Target target);

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define MC_SIMD_X86_TARGETS 1
#endif

// The pack type a kernel runs on for each target: the target's native
// register width (two lanes on the baseline, four with AVX2, eight with
// AVX-512). Results do not depend on it: lanes never interact.
template <class V>
struct PackTag {
    using type = V;
};
using ScalarPack = Pack<2>::f64;
using Avx2Pack = Pack<4>::f64;
using Avx512Pack = Pack<8>::f64;

namespace detail {
// Calls body(PackTag<V>{}) when the body takes the tag, otherwise body().
template <class V, class Body>
[[gnu::always_inline]] inline decltype(auto) call_with_pack(Body& body) {
    if constexpr (std::is_invocable_v<Body&, PackTag<V>>)
        return body(PackTag<V>{});
    else
        return body();
}
template <class Body>
[[gnu::flatten]] decltype(auto) run_scalar(Body& body) {
    return call_with_pack<ScalarPack>(body);
}
#if defined(MC_SIMD_X86_TARGETS)
template <class Body>
[[gnu::target("avx2,fma"), gnu::flatten]] decltype(auto) run_avx2(Body& body) {
    return call_with_pack<Avx2Pack>(body);
}
template <class Body>
[[gnu::target("avx512f,avx512dq,fma"), gnu::flatten]] decltype(auto) run_avx512(Body& body) {
    return call_with_pack<Avx512Pack>(body);
}
#endif
}  // namespace detail

// Runs `body` compiled for the active target; a body that takes a PackTag
// argument receives the target's native pack type.
template <class Body>
decltype(auto) on_active_target(Body&& body) {
#if defined(MC_SIMD_X86_TARGETS)
    switch (active_target()) {
        case Target::avx512:
            return detail::run_avx512(body);
        case Target::avx2:
            return detail::run_avx2(body);
        case Target::scalar:
            break;
    }
#endif
    return detail::run_scalar(body);
}

}  // namespace mc_core::simd
