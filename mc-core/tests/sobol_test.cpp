// Scrambled Sobol sampler: direction table, reference samples, the net
// property, seeding and the grouped fill.
#include <algorithm>
#include <array>

#include "test_support.hpp"
#include "mc_core/random.hpp"

namespace mc_core {
namespace {

using namespace test_support;
using sobol_burley::kDirections;
using sobol_burley::sample;
using U32 = std::uint32_t;

TEST(SobolDirections, MatchesReferenceRowsAndAreReversedOddIntegers) {
    const std::pair<U32, std::array<std::uint16_t, 16>> rows[] = {
        {0, {0x1, 0x2, 0x4, 0x8, 0x10, 0x20, 0x40, 0x80, 0x100, 0x200, 0x400, 0x800, 0x1000, 0x2000, 0x4000, 0x8000}},
        {1, {0x1, 0x3, 0x5, 0xF, 0x11, 0x33, 0x55, 0xFF, 0x101, 0x303, 0x505, 0xF0F, 0x1111, 0x3333, 0x5555, 0xFFFF}},
        {2, {0x1, 0x3, 0x6, 0x9, 0x17, 0x3A, 0x71, 0xA3, 0x116, 0x339, 0x677, 0x9AA, 0x1601, 0x3903, 0x7706, 0xAA09}},
        {3, {0x1, 0x3, 0x4, 0xA, 0x1F, 0x2E, 0x45, 0xC9, 0x11B, 0x2A4, 0x79A, 0xB67, 0x101E, 0x302D, 0x4041, 0xA0C3}},
        {4, {0x1, 0x2, 0x4, 0xD, 0x1F, 0x3B, 0x5E, 0xB9, 0x15A, 0x3F4, 0x685, 0xD0F, 0x115B, 0x23F6, 0x4681, 0xDD02}},
        {255, {0x1, 0x2, 0x4, 0xA, 0x19, 0x30, 0x56, 0xA1, 0x10C, 0x3EB, 0x75E, 0xF39, 0x1FCC, 0x3E65, 0x6C88, 0xA024}},
    };
    for (const auto& [dimension, entries] : rows)
        for (int i = 0; i < 16; ++i) EXPECT_EQ(kDirections[dimension][i], entries[i]) << dimension << " bit " << i;
    // Each entry is an odd m_k < 2^k reversed over k bits: bit k-1 set, nothing above.
    for (U32 d = 0; d < sobol_burley::kDimensions; ++d)
        for (U32 i = 0; i < sobol_burley::kIndexBits; ++i)
            ASSERT_EQ(kDirections[d][i] >> i, 1u) << "dimension " << d << " bit " << i;
}

TEST(SobolSample, ReferenceValuesAndSeedDependence) {
    // index, dimension, seed, value, and t: the reversed scrambled word before the 23-bit conversion
    const std::tuple<U32, U32, U32, double, U32> rows[] = {{0, 0, 0, 0.26215362548828125, 0x431C8142u},
                                                           {5, 7, 123, 0.5385340452194214, 0x89DD5F4Cu},
                                                           {65535, 255, 0xDEADBEEFu, 0.5600141286849976, 0x8F5D162Du}};
    for (const auto& [index, dimension, seed, value, t] : rows) {
        const float u = sample(index, dimension, seed);
        EXPECT_EQ(static_cast<double>(u), value) << "index " << index;
        EXPECT_EQ(static_cast<U32>(u * 8388608.0f), t >> 9) << "index " << index;
    }
    for (const auto& [a, b] : {std::pair<U32, U32>{0, 1}, {7, 7u ^ 0x80000000u}, {5, 0x9E3779B9u}})
        for (U32 index : {0u, 1u, 3u, 65535u})
            for (U32 dim : {0u, 1u, 4u, 255u})
                EXPECT_NE(sample(index, dim, a), sample(index, dim, b)) << a << "/" << b << " " << index << " " << dim;
}

// Each of the first 2^q points falls in its own interval of width 2^-q.
TEST(SobolSample, FirstPowerOfTwoSamplesStratify) {
    std::vector<std::uint8_t> hit(1u << 16);
    for (const auto& [seed, dim] : {std::pair<U32, U32>{0, 0}, {7, 3}, {0xDEADBEEFu, 130}, {42, 255}})
        for (unsigned q = 0; q <= 16; ++q) {
            std::fill(hit.begin(), hit.begin() + (1u << q), std::uint8_t{0});
            for (U32 i = 0; i < (1u << q); ++i) {
                const float u = sample(i, dim, seed);
                ASSERT_TRUE(u >= 0.0f && u < 1.0f) << u;
                const auto k = static_cast<U32>(static_cast<double>(u) * (1u << q));
                ASSERT_FALSE(hit[k]) << "seed " << seed << " dimension " << dim << " q " << q << " index " << i;
                hit[k] = 1;
            }
        }
}

// Point block p >> 16 is the sequence of seed + block * 0x9E3779B9, dimension
// group d >> 8 adds d >> 8 to that seed; the fill appends.
TEST(SobolFill, MatchesOneAtATime) {
    const std::tuple<U32, U64, U64> rows[] = {  // seed, point, count
        {0, 0, 1},       {123, 77, 7},          {9, 65535, 256},
        {9, 65536, 263}, {0xFFFFFFFFu, 1, 514}, {42, (U64{3} << 32) + 12345, 600}};
    std::vector<double> out;
    for (const auto& [seed, point, count] : rows) {
        out.assign(2, -99.0);
        fill_scrambled_sobol_point_standard_normals(seed, point, count, out);
        ASSERT_EQ(out.size(), count + 2);
        EXPECT_EQ(out[0] + out[1], -198.0);
        const U32 block_seed = seed + static_cast<U32>(point >> 16) * 0x9E3779B9u;
        for (U64 d = 0; d < count; ++d)
            ASSERT_EQ(out[d + 2], inverse_standard_normal(sample(static_cast<U32>(point & 0xFFFF), d % 256,
                                                                 block_seed + static_cast<U32>(d >> 8))))
                << "seed " << seed << " point " << point << " dimension " << d;
    }
}

}  // namespace
}  // namespace mc_core
