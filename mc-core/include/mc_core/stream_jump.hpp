// Jumping the xorshift64* stream ahead: the state n steps later in O(64) work,
// so that SIMD lanes (or workers) can each run a disjoint segment of one stream.
//
// Contract
//  * `xorshift64_step` is exactly the state update of `NormalRng::next_u64`;
//    `jump(state, jump_ahead(n))` is bit for bit the state that n successive
//    updates reach, for every n in [0, 2^64 - 1] and every state. The period of
//    a nonzero state is 2^64 - 1, so n is taken modulo 2^64 - 1 (a jump by
//    2^64 - 1 is the identity); the zero state is fixed by every jump.
//  * Jumps are exact, not approximate: the update is a linear map T over GF(2)
//    (shifts and xors of bits), and by Cayley-Hamilton p(T) = 0 for its
//    characteristic polynomial p, of degree 64. Hence T^n = r(T) with
//    r(x) = x^n mod p(x), and T^n s = sum of T^k s over the set coefficients k
//    of r: 64 updates and at most 64 xors (Haramoto et al. 2008, "Efficient
//    jump ahead for F2-linear random number generators", the Horner-free
//    form). The generator has full period, so p is primitive and equals the
//    minimal polynomial of any nonzero output bit sequence; it is recovered
//    once per process by Berlekamp-Massey over 128 bits of such a sequence.
//  * `jump_ahead(n)` costs at most 64 modular squarings in GF(2)[x]/p(x) on
//    64-bit words (about a microsecond; the first call in a process also
//    derives p, some microseconds more); `jump` costs up to 64 updates (about
//    150 ns, one dependent chain). A `JumpAhead` is a small value: compute it
//    once, apply it to any number of states, from any thread.
//  * `jump_lanes` applies one jump to every lane of a pack of states without
//    branches; each lane gets exactly what `jump` gives its state.
#pragma once

#include <cstdint>

#include "mc_core/simd.hpp"

namespace mc_core {

inline constexpr std::uint64_t kXorshift64StarMultiplier = 0x2545F4914F6CDD1DULL;
// The period of every nonzero state.
inline constexpr std::uint64_t kXorshift64Period = 0xFFFFFFFFFFFFFFFFULL;

namespace detail {
// Written once for a scalar word and for a pack of words, so the two cannot
// drift apart.
template <class W>
MC_LANE_INLINE constexpr W xorshift64_update(W x) {
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    return x;
}
}  // namespace detail

// The xorshift64 state update alone (the output multiplier is not applied).
constexpr std::uint64_t xorshift64_step(std::uint64_t x) { return detail::xorshift64_update(x); }

// The low 64 coefficients of the characteristic polynomial p(x) of the state
// update (bit k is the coefficient of x^k; the x^64 term is implied).
std::uint64_t xorshift64_characteristic_polynomial();

// A jump by `steps` (already reduced modulo the period): bit k of
// `coefficients` is the coefficient of x^k in x^steps mod p(x).
struct JumpAhead {
    std::uint64_t coefficients = 1;
    std::uint64_t steps = 0;

    friend constexpr bool operator==(const JumpAhead&, const JumpAhead&) = default;
};

// Any n in [0, 2^64 - 1]; n = 2^64 - 1 gives the identity, like n = 0.
JumpAhead jump_ahead(std::uint64_t n);

// The state `j.steps` updates after `state`.
std::uint64_t jump(std::uint64_t state, const JumpAhead& j);

// `jump` for every lane of `states` (U = simd::Pack<N>::u64). The coefficient
// bit becomes an all-ones or zero mask, so no lane ever branches.
template <class U>
MC_LANE_INLINE U jump_lanes(U states, const JumpAhead& j) {
    U acc = U{};
    U s = states;
    for (int k = 0; k < 64; ++k) {
        const std::uint64_t mask = std::uint64_t{0} - ((j.coefficients >> k) & 1U);
        acc ^= s & mask;
        s = detail::xorshift64_update(s);
    }
    return acc;
}

}  // namespace mc_core
