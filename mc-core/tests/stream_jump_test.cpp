// Jumping the xorshift64* stream ahead: known answers far along the stream,
// the identity and composition of jumps, the full period, and the lane form.
#include <gtest/gtest.h>

#include <array>

#include <cstddef>
#include <cstdint>

#include "mc_core/random.hpp"
#include "mc_core/simd.hpp"
#include "mc_core/stream_jump.hpp"

namespace {

using namespace mc_core;
using U64 = std::uint64_t;

// The rows of mc-core/data/xorshift64-jump-ahead.txt: n, the state n updates
// after state 42, and that state times the xorshift64* multiplier.
constexpr U64 kFromState42[][3] = {
    {1ULL, 0x0000000054000020ULL, 0x56ce4ab7719ba3a0ULL},
    {2ULL, 0x00a80a8001041022ULL, 0xc841eb53ebbb2ddaULL},
    {3ULL, 0x01fa08005045006eULL, 0xca466be0c9980276ULL},
    {252ULL, 0x9c0a926472376eb9ULL, 0xaafda15197e93ff5ULL},
    {1000ULL, 0x916325ecafb471a0ULL, 0x5bac4a4efd07ff20ULL},
    {100000ULL, 0x42d8efbecf161815ULL, 0xc112b8092c26db61ULL},
    {1000000ULL, 0xf67f5e19caa62938ULL, 0xe4936a6712080358ULL},
    {1000000000ULL, 0xd7d66aa862825c10ULL, 0xaeb2a09578fe3dd0ULL},
    {4294967296ULL, 0x92b146a8d34452dfULL, 0xea4a7236b15be643ULL},
    {1000000000000ULL, 0xec95b75fddee0cf1ULL, 0xe851a75f79cf844dULL},
    {9223372036854775808ULL, 0x964caa5e51f54aedULL, 0xdb125347c97415d9ULL},
    {18446744073709551614ULL, 0x00a80a80fc0fc0d6ULL, 0x10b3ee938b89963eULL},
};

constexpr U64 kAllOnes = ~U64{0};
constexpr U64 kStates[] = {42, 1, 0x8000000000000000ULL, kGoldenGamma, kAllOnes, 0x0123456789ABCDEFULL, 0, 7};

TEST(StreamJump, KnownAnswersFromState42) {
    NormalRng rng(42);  // the first rows are the stream's first outputs
    for (const auto& [n, state, output] : kFromState42) {
        const JumpAhead j = jump_ahead(n);
        EXPECT_EQ(j.steps, n);
        EXPECT_EQ(jump(42, j), state) << "n = " << n;
        EXPECT_EQ(state * kXorshift64StarMultiplier, output) << "n = " << n;
        if (n <= 3) EXPECT_EQ(rng.next_u64(), output) << "n = " << n;
    }
}

TEST(StreamJump, ZeroStepsIsTheIdentityAndZeroStaysZero) {
    EXPECT_EQ(jump_ahead(0), (JumpAhead{1, 0}));
    for (U64 s : kStates) EXPECT_EQ(jump(s, jump_ahead(0)), s);
    for (U64 n : {U64{1}, U64{1000003}, kAllOnes - 1}) EXPECT_EQ(jump(0, jump_ahead(n)), 0U);
}

TEST(StreamJump, FullPeriodAndPrimitivePolynomial) {
    // 2^64 - 1 = 3 * 5 * 17 * 257 * 641 * 65537 * 6700417 (Fermat numbers F0..F5);
    // x has order 2^64 - 1 modulo p exactly when no x^((2^64 - 1) / q) is 1.
    constexpr U64 kPrimeFactors[] = {3, 5, 17, 257, 641, 65537, 6700417};
    U64 product = 1;
    for (U64 q : kPrimeFactors) product *= q;
    ASSERT_EQ(product, kXorshift64Period);
    EXPECT_EQ(jump_ahead(kXorshift64Period), jump_ahead(0));
    for (U64 q : kPrimeFactors) EXPECT_NE(jump_ahead(kXorshift64Period / q).coefficients, 1U) << "q = " << q;

    for (U64 n = 0; n < 64; ++n) EXPECT_EQ(jump_ahead(n).coefficients, U64{1} << n) << "n = " << n;
    EXPECT_EQ(jump_ahead(64).coefficients, xorshift64_characteristic_polynomial());
    EXPECT_EQ(xorshift64_characteristic_polynomial() & 1U, 1U) << "T is invertible";
}

TEST(StreamJump, JumpsCompose) {
    // {a, b, a + b modulo 2^64 - 1}; 2^64 is congruent to 1.
    constexpr U64 kHalf = 0x8000000000000000ULL;
    constexpr U64 kSums[][3] = {
        {1, 1, 2},
        {1000, 999999, 1000999},
        {0x123456789ULL, 0xFEDCBA987654321ULL, 0xFEDCBA987654321ULL + 0x123456789ULL},
        {kHalf, kHalf, 1},
        {kAllOnes - 1, 5, 4},
        {kAllOnes - 1, 1, 0},
        {0xFFFFFFFF00000000ULL, 0x1FFFFFFFFULL, 0x100000000ULL},
        {kAllOnes, 7, 7},
    };
    for (const auto& [a, b, sum] : kSums)
        for (U64 s : kStates) {
            EXPECT_EQ(jump(jump(s, jump_ahead(a)), jump_ahead(b)), jump(s, jump_ahead(sum))) << a << " + " << b;
            EXPECT_EQ(jump(jump(s, jump_ahead(b)), jump_ahead(a)), jump(s, jump_ahead(sum))) << b << " + " << a;
        }
}

TEST(StreamJump, MatchesDirectStepping) {
    for (U64 n : {U64{63}, U64{64}, U64{65}, U64{4096}, U64{123457}, U64{1000000}})
        for (U64 s : {U64{42}, kGoldenGamma, kAllOnes}) {
            U64 stepped = s;
            for (U64 i = 0; i < n; ++i) stepped = xorshift64_step(stepped);
            EXPECT_EQ(jump(s, jump_ahead(n)), stepped) << "n = " << n << ", state = " << s;
        }
}

template <std::size_t N>
void expect_lanes_match_scalar() {
    for (U64 n : {U64{0}, U64{1}, U64{64}, U64{1000000}, kGoldenGamma, kAllOnes - 1}) {
        const JumpAhead j = jump_ahead(n);
        typename simd::Pack<N>::u64 states;
        for (std::size_t i = 0; i < N; ++i) states[i] = kStates[i % std::size(kStates)];
        // Lanes come back as plain words: a wide vector returned from the
        // target's code to this baseline-compiled test would change the ABI.
        const auto got = simd::on_active_target([&] {
            const auto lanes = jump_lanes(states, j);
            std::array<U64, N> words{};
            for (std::size_t i = 0; i < N; ++i) words[i] = lanes[i];
            return words;
        });
        for (std::size_t i = 0; i < N; ++i) EXPECT_EQ(got[i], jump(states[i], j)) << "n = " << n << ", lane " << i;
    }
}

TEST(StreamJump, LanesMatchScalarOnEveryTarget) {
    const simd::Target before = simd::active_target();
    for (simd::Target t : {simd::Target::scalar, simd::Target::avx2, simd::Target::avx512}) {
        if (!simd::set_active_target(t)) continue;
        SCOPED_TRACE(simd::target_name(t));
        expect_lanes_match_scalar<8>();
        expect_lanes_match_scalar<1>();
    }
    simd::set_active_target(before);
}

}  // namespace
