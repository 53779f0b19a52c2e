// The full-length scrambled Sobol sequence (SobolLength::full_length): its
// 32-bit directions give the classic Sobol points, its scrambled points keep
// the 2^k balance of a (0, 1)-sequence in each dimension across 2^16 points and
// beyond, the same bits on every SIMD target, and an end at 2^32 points.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <tuple>
#include <vector>

#include "mc_core/error.hpp"
#include "mc_core/random.hpp"
#include "mc_core/simd.hpp"

namespace {

using mc_core::SobolLength;
using mc_core::sobol_burley::kFullDirections;
using U32 = std::uint32_t;
using U64 = std::uint64_t;
constexpr SobolLength kFull = SobolLength::full_length;

std::string fatal_message_of(void (*fn)()) {
    try {
        fn();
    } catch (const mc_core::FatalError& e) {
        return e.what();
    }
    return "<no error>";
}

U32 reversed(U32 x) {
    U32 r = 0;
    for (int i = 0; i < 32; ++i, x >>= 1) r = (r << 1) | (x & 1u);
    return r;
}

// Point n of the unscrambled sequence in dimension d, from the table alone:
// the XOR of the direction numbers v_i (as 32-bit fractions) of n's set bits.
double plain_sobol(U32 n, U32 d) {
    U32 x = 0;
    for (U32 i = 0; i < 32; ++i)
        if ((n >> i) & 1u) x ^= reversed(kFullDirections[d][i]);
    return x * 0x1p-32;
}

TEST(SobolFullLengthDirections, GiveTheClassicSobolPoints) {
    // Derived by hand from the definition: dimension 1 is van der Corput (n
    // reversed); dimension 2 is x + 1 (m_k = 1, 3, 5, 15, ...); dimension 3 is
    // x^2 + x + 1 with m = (1, 3), hence m_3 = 3.
    const double expected[3][8] = {{0, 0.5, 0.25, 0.75, 0.125, 0.625, 0.375, 0.875},
                                   {0, 0.5, 0.75, 0.25, 0.625, 0.125, 0.375, 0.875},
                                   {0, 0.5, 0.75, 0.25, 0.375, 0.875, 0.625, 0.125}};
    for (U32 d = 0; d < 3; ++d)
        for (U32 n = 0; n < 8; ++n)
            EXPECT_EQ(plain_sobol(n, d), expected[d][n]) << "dimension " << d + 1 << " point " << n;
    // Van der Corput over all 32 bits, and dimension 2's m_k, row k - 1 of
    // Pascal's triangle mod 2, at k = 17, 24 and 32.
    for (const U32 n : {0x80000000u, 0xFFFFFFFFu, 0x12345679u}) EXPECT_EQ(plain_sobol(n, 0), reversed(n) * 0x1p-32);
    EXPECT_EQ(kFullDirections[1][16], 0x00010001u);
    EXPECT_EQ(kFullDirections[1][23], 0x00FF00FFu);
    EXPECT_EQ(kFullDirections[1][31], 0xFFFFFFFFu);
    // Odd m_k < 2^k reversed over k bits; the 16-bit table is the first 16 columns.
    for (U32 d = 0; d < mc_core::sobol_burley::kDimensions; ++d)
        for (U32 i = 0; i < 32; ++i) {
            ASSERT_EQ(kFullDirections[d][i] >> i, 1u) << "dimension " << d << " bit " << i;
            if (i < 16) {
                ASSERT_EQ(kFullDirections[d][i], mc_core::sobol_burley::kDirections[d][i]);
            }
        }
}

TEST(SobolFullLengthSample, KnownValues) {
    // index, dimension, seed, value (t 2^-32: every value has 32 bits)
    const std::tuple<U32, U32, U32, double> rows[] = {
        {0, 0, 0, 0x1.0c7173bcp-2},           {5, 7, 123, 0x1.ae783164p-1},
        {65535, 255, 0xDEADBEEFu, 0x1.5879fef8p-1}, {65536, 1, 42, 0x1.2817958p-2},
        {1000000, 100, 42, 0x1.4dab082p-5},    {0xFFFFFFFFu, 3, 7, 0x1.53a149fcp-1}};
    for (const auto& [index, dimension, seed, value] : rows)
        EXPECT_EQ(mc_core::sobol_burley::sample_full_length(index, dimension, seed), value) << "index " << index;
}

// Whether points first .. first + 2^k - 1 of `length` put one point in each
// interval [j 2^-k, (j + 1) 2^-k) of each dimension of `dims`, for every k up
// to max_k.
testing::AssertionResult balanced(SobolLength length, U32 seed, U64 first, unsigned max_k,
                                  std::initializer_list<U32> dims) {
    const std::size_t n = std::size_t{1} << max_k;
    const U64 count = std::max(dims) + 1;
    constexpr std::size_t kChunk = 4096;
    std::vector<double> rows(kChunk * count), u(n * dims.size());
    for (std::size_t c = 0; c < n; c += kChunk) {
        const std::size_t m = std::min(kChunk, n - c);
        mc_core::fill_scrambled_sobol_rows(seed, first + c, m, count, rows.data(), length);
        std::size_t slot = 0;
        for (const U32 d : dims) std::copy_n(rows.data() + d * m, m, u.data() + slot++ * n + c);
    }
    std::vector<std::uint8_t> hit(n);
    std::size_t slot = 0;
    for (const U32 d : dims) {
        const double* x = u.data() + slot++ * n;
        for (unsigned k = 1; k <= max_k; ++k) {
            std::fill(hit.begin(), hit.begin() + (std::size_t{1} << k), std::uint8_t{0});
            for (std::size_t i = 0; i < (std::size_t{1} << k); ++i) {
                if (!(x[i] >= 0.0 && x[i] < 1.0)) return testing::AssertionFailure() << "value " << x[i];
                const auto j = static_cast<std::size_t>(x[i] * static_cast<double>(std::size_t{1} << k));
                if (hit[j]++)
                    return testing::AssertionFailure() << "dimension " << d << " k " << k << " point " << first + i;
            }
        }
    }
    return testing::AssertionSuccess();
}

TEST(SobolFullLengthSample, PowersOfTwoBalanceWithNoRestartAt65536Points) {
    for (const U32 seed : {0u, 42u, 0xDEADBEEFu}) {
        EXPECT_TRUE(balanced(kFull, seed, 0, 20, {0, 1, 2, 3, 7})) << "seed " << seed;
        EXPECT_TRUE(balanced(kFull, seed, 65536, 16, {0, 1, 2, 3, 7})) << "seed " << seed;
        EXPECT_TRUE(balanced(kFull, seed, 3u << 18, 18, {0, 1, 2, 3, 7})) << "seed " << seed;
    }
    // The second group of 256 dimensions runs under the seed raised by one.
    EXPECT_TRUE(balanced(kFull, 9, 0, 14, {255, 256, 300}));
    // Blocks of 65,536 points restart: their first 2^17 points are not balanced.
    EXPECT_TRUE(balanced(SobolLength::blocks_of_65536, 42, 0, 16, {1}));
    EXPECT_FALSE(balanced(SobolLength::blocks_of_65536, 42, 0, 17, {1}));
}

TEST(SobolFullLengthSample, SameBitsOnEveryTargetAndOneAtATime) {
    struct Restore {
        mc_core::simd::Target before = mc_core::simd::active_target();
        ~Restore() { mc_core::simd::set_active_target(before); }
    } restore;
    const U64 first = 65530;
    const std::size_t points = 37;
    const U64 dims = 300;
    std::vector<double> reference;
    for (const auto t : {mc_core::simd::Target::scalar, mc_core::simd::Target::avx2, mc_core::simd::Target::avx512}) {
        if (!mc_core::simd::set_active_target(t)) continue;
        std::vector<double> rows(points * dims);
        mc_core::fill_scrambled_sobol_rows(0xFFFFFFFFu, first, points, dims, rows.data(), kFull);
        if (reference.empty()) reference = rows;
        for (std::size_t i = 0; i < rows.size(); ++i)
            ASSERT_EQ(std::bit_cast<U64>(rows[i]), std::bit_cast<U64>(reference[i])) << mc_core::simd::target_name(t);
    }
    const mc_core::StructuredNormalSampler sampler(mc_core::SamplingMethod::scrambled_sobol, 0xFFFFFFFFu, 1 << 20,
                                                   dims, kFull);
    std::vector<double> normals;
    for (std::size_t l = 0; l < points; ++l) {
        sampler.fill_standard_normals(first + l, dims, normals);
        for (U64 d = 0; d < dims; ++d) {
            const double u = mc_core::sobol_burley::sample_full_length(static_cast<U32>(first + l), d % 256,
                                                                       0xFFFFFFFFu + static_cast<U32>(d >> 8));
            ASSERT_EQ(reference[d * points + l], u) << "point " << first + l << " dimension " << d;
            ASSERT_EQ(normals[d], mc_core::inverse_standard_normal(u));
            ASSERT_EQ(sampler.normal(first + l, d), normals[d]);
        }
    }
}

TEST(SobolFullLengthSample, EndsAt2To32Points) {
    double u = 0.0;
    mc_core::fill_scrambled_sobol_rows(1, 0xFFFFFFFFu, 1, 1, &u, kFull);  // the last point
    EXPECT_EQ(u, mc_core::sobol_burley::sample_full_length(0xFFFFFFFFu, 0, 1));
    EXPECT_EQ(fatal_message_of([] {
                  double v[2];
                  mc_core::fill_scrambled_sobol_rows(1, 0xFFFFFFFFu, 2, 1, v, kFull);
              }),
              "the full-length scrambled Sobol sequence has 2^32 points; point 4294967296 is past its end");
    EXPECT_EQ(fatal_message_of([] {
                  mc_core::StructuredNormalSampler(mc_core::SamplingMethod::scrambled_sobol_brownian_bridge, 1,
                                                   (U64{1} << 32) + 1, 4, kFull);
              }),
              "scrambled Sobol sampling takes at most 2^32 = 4294967296 paths, got 4294967297");
    EXPECT_EQ(fatal_message_of([] {
                  mc_core::StructuredNormalSampler(mc_core::SamplingMethod::scrambled_sobol, 1, 1, 1, kFull)
                      .normal(U64{5} << 32, 0);
              }),
              "the full-length scrambled Sobol sequence has 2^32 points; point 21474836480 is past its end");
}

// Eight or four points of one block are filled together (transposed in
// registers): the same values as one point at a time, across passes of 256
// dimensions and a partial last group, beside fills that straddle a block's end.
TEST(SobolFullLengthSample, PointGroupsTogetherAsOneAtATime) {
    const U64 dims = 300;
    for (const auto length : {mc_core::SobolLength::blocks_of_65536, kFull}) {
        for (const U64 points : {U64{8}, U64{4}}) {
            for (const U64 first : {U64{0}, U64{65520}, U64{65528}, U64{65533}}) {
                std::vector<double> together(points * dims), alone(dims);
                mc_core::fill_scrambled_sobol_rows(7, first, points, dims, together.data(), length);
                for (U64 l = 0; l < points; ++l) {
                    mc_core::fill_scrambled_sobol_rows(7, first + l, 1, dims, alone.data(), length);
                    for (U64 d = 0; d < dims; ++d)
                        ASSERT_EQ(std::bit_cast<U64>(together[d * points + l]), std::bit_cast<U64>(alone[d]))
                            << "first " << first << " points " << points << " point " << l << " dimension " << d;
                }
            }
        }
    }
}

}  // namespace
