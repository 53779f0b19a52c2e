#include "mc_core/stream_jump.hpp"

#include <array>
#include <cstdint>

#include "mc_core/error.hpp"

namespace mc_core {
namespace {

constexpr int kDegree = 64;

// Berlekamp-Massey over GF(2) (Massey 1969) on bit 0 of the states reached
// from state 1. That sequence satisfies the recurrence of p(T) = 0, and since p
// is irreducible (the period is full) its minimal polynomial is p itself, so
// 2 * 64 terms determine it. Returns the low 64 coefficients of p.
std::uint64_t characteristic_polynomial_by_berlekamp_massey() {
    constexpr int kTerms = 2 * kDegree;
    std::array<std::uint8_t, kTerms> bits{};
    std::uint64_t x = 1;
    for (int i = 0; i < kTerms; ++i) {
        bits[i] = static_cast<std::uint8_t>(x & 1U);
        x = xorshift64_step(x);
    }

    // Connection polynomials C(z) = 1 + c_1 z + ... + c_L z^L, one byte per
    // coefficient: this runs once per process, clarity beats packing.
    std::array<std::uint8_t, kTerms + 1> c{}, b{}, previous{};
    c[0] = b[0] = 1;
    int length = 0, shift = 1;
    for (int i = 0; i < kTerms; ++i) {
        std::uint8_t discrepancy = bits[i];
        for (int j = 1; j <= length; ++j) discrepancy ^= c[j] & bits[i - j];
        if (discrepancy == 0) {
            ++shift;
            continue;
        }
        const bool grow = 2 * length <= i;
        if (grow) previous = c;
        for (int j = 0; j + shift <= kTerms; ++j) c[j + shift] ^= b[j];
        if (grow) {
            length = i + 1 - length;
            b = previous;
            shift = 1;
        } else {
            ++shift;
        }
    }
    // A shorter recurrence would mean a reducible p and a shorter period; the
    // constant term c_64 = det T must be 1 because T is invertible.
    if (length != kDegree || c[kDegree] != 1) fail("xorshift64 characteristic polynomial is not of degree 64");

    // p(x) = x^64 C(1/x): the coefficient of x^(64 - j) is c_j.
    std::uint64_t low = 0;
    for (int j = 1; j <= kDegree; ++j) low |= std::uint64_t{c[j]} << (kDegree - j);
    return low;
}

// Everything x^n mod p needs, derived once from p.
struct Modulus {
    std::uint64_t low;  // p(x) - x^64
    // reduce[j][v] = v(x) * x^(64 + 4j) mod p for a 4-bit v: folds the high
    // word of a 128-bit product back four coefficients at a time.
    std::array<std::array<std::uint64_t, 16>, 16> reduce;
};

constexpr std::uint64_t times_x(std::uint64_t r, std::uint64_t low) {
    return (r << 1) ^ (low & (std::uint64_t{0} - (r >> 63)));
}

Modulus build_modulus() {
    Modulus m{};
    m.low = characteristic_polynomial_by_berlekamp_massey();
    std::array<std::uint64_t, kDegree> high_power{};  // x^(64 + i) mod p
    high_power[0] = m.low;
    for (int i = 1; i < kDegree; ++i) high_power[i] = times_x(high_power[i - 1], m.low);
    for (int j = 0; j < 16; ++j)
        for (unsigned v = 0; v < 16; ++v) {
            std::uint64_t r = 0;
            for (int bit = 0; bit < 4; ++bit)
                if ((v >> bit) & 1U) r ^= high_power[4 * j + bit];
            m.reduce[j][v] = r;
        }
    return m;
}

const Modulus& modulus() {
    static const Modulus m = build_modulus();  // thread-safe initialisation
    return m;
}

// Spreads the 32 bits of `half` to the even bit positions: the carry-less
// square of a polynomial, since (sum a_i x^i)^2 = sum a_i x^(2i) over GF(2).
constexpr std::uint64_t spread_to_even_bits(std::uint64_t half) {
    half = (half | (half << 16)) & 0x0000FFFF0000FFFFULL;
    half = (half | (half << 8)) & 0x00FF00FF00FF00FFULL;
    half = (half | (half << 4)) & 0x0F0F0F0F0F0F0F0FULL;
    half = (half | (half << 2)) & 0x3333333333333333ULL;
    half = (half | (half << 1)) & 0x5555555555555555ULL;
    return half;
}

std::uint64_t square_mod(std::uint64_t r, const Modulus& m) {
    const std::uint64_t low_word = spread_to_even_bits(r & 0xFFFFFFFFULL);
    const std::uint64_t high_word = spread_to_even_bits(r >> 32);
    std::uint64_t folded = low_word;
    for (int j = 0; j < 16; ++j) folded ^= m.reduce[j][(high_word >> (4 * j)) & 15U];
    return folded;
}

}  // namespace

std::uint64_t xorshift64_characteristic_polynomial() { return modulus().low; }

JumpAhead jump_ahead(std::uint64_t n) {
    const std::uint64_t steps = n == kXorshift64Period ? 0 : n;
    // Below the degree, x^n is already reduced.
    if (steps < kDegree) return JumpAhead{std::uint64_t{1} << steps, steps};
    const Modulus& m = modulus();
    // Left-to-right square-and-multiply: the only multiplier is x, a shift and
    // a conditional xor, so the cost is one modular squaring per bit of n.
    std::uint64_t r = 1;
    for (int bit = 63 - __builtin_clzll(steps); bit >= 0; --bit) {
        r = square_mod(r, m);
        if ((steps >> bit) & 1U) r = times_x(r, m.low);
    }
    return JumpAhead{r, steps};
}

std::uint64_t jump(std::uint64_t state, const JumpAhead& j) {
    // Only the terms up to the highest set coefficient contribute.
    std::uint64_t acc = 0;
    for (std::uint64_t c = j.coefficients; c != 0; c >>= 1) {
        acc ^= state & (std::uint64_t{0} - (c & 1U));
        state = xorshift64_step(state);
    }
    return acc;
}

}  // namespace mc_core
