// Scrambled Sobol sampler: direction table, reference samples, net property,
// block seeding and the grouped fill.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "mc_core/random.hpp"

namespace {

using mc_core::sobol_burley::kDirections;
using mc_core::sobol_burley::owen_scramble_rev;
using mc_core::sobol_burley::sample;
using mc_core::sobol_burley::sobol_hash;

constexpr std::uint32_t kBlockStep = 0x9E3779B9u;

std::uint32_t reverse32(std::uint32_t x) {
    std::uint32_t r = 0;
    for (int i = 0; i < 32; ++i, x >>= 1) r = (r << 1) | (x & 1u);
    return r;
}

struct TableRow {
    std::uint32_t dimension;
    std::array<std::uint16_t, 16> entries;
};

TEST(SobolDirections, MatchesReferenceRows) {
    const TableRow rows[] = {
        {0, {0x1, 0x2, 0x4, 0x8, 0x10, 0x20, 0x40, 0x80, 0x100, 0x200, 0x400, 0x800, 0x1000,
             0x2000, 0x4000, 0x8000}},
        {1, {0x1, 0x3, 0x5, 0xF, 0x11, 0x33, 0x55, 0xFF, 0x101, 0x303, 0x505, 0xF0F, 0x1111,
             0x3333, 0x5555, 0xFFFF}},
        {2, {0x1, 0x3, 0x6, 0x9, 0x17, 0x3A, 0x71, 0xA3, 0x116, 0x339, 0x677, 0x9AA, 0x1601,
             0x3903, 0x7706, 0xAA09}},
        {3, {0x1, 0x3, 0x4, 0xA, 0x1F, 0x2E, 0x45, 0xC9, 0x11B, 0x2A4, 0x79A, 0xB67, 0x101E,
             0x302D, 0x4041, 0xA0C3}},
        {4, {0x1, 0x2, 0x4, 0xD, 0x1F, 0x3B, 0x5E, 0xB9, 0x15A, 0x3F4, 0x685, 0xD0F, 0x115B,
             0x23F6, 0x4681, 0xDD02}},
        {255, {0x1, 0x2, 0x4, 0xA, 0x19, 0x30, 0x56, 0xA1, 0x10C, 0x3EB, 0x75E, 0xF39, 0x1FCC,
               0x3E65, 0x6C88, 0xA024}},
    };
    for (const TableRow& row : rows)
        for (int i = 0; i < 16; ++i)
            EXPECT_EQ(kDirections[row.dimension][i], row.entries[i])
                << "dimension " << row.dimension << " bit " << i;
}

// Every stored entry is an odd m_k < 2^k reversed over k bits: bit k-1 set, nothing above.
TEST(SobolDirections, EntriesAreReversedOddIntegers) {
    for (std::uint32_t d = 0; d < mc_core::sobol_burley::kDimensions; ++d)
        for (std::uint32_t i = 0; i < mc_core::sobol_burley::kIndexBits; ++i)
            ASSERT_EQ(kDirections[d][i] >> i, 1u) << "dimension " << d << " bit " << i;
}

struct ReferenceSample {
    std::uint32_t index, dimension, seed;
    double value;  // the f32 result, widened
    std::uint32_t t;  // reversed scrambled word before the 23-bit conversion
    std::uint32_t v;  // reversed Sobol value of the shuffled index
};

// v and t recomputed from the public building blocks, so that a mismatch points
// at the stage that differs.
std::uint32_t reversed_sobol_value(const ReferenceSample& r) {
    const std::uint32_t s = owen_scramble_rev(reverse32(r.index), sobol_hash(r.seed ^ 0x9F38B5A1u));
    std::uint32_t v = 0;
    for (int bit = 0; bit < 16; ++bit)
        if (s & (0x80000000u >> bit)) v ^= kDirections[r.dimension][bit];
    return v;
}

TEST(SobolSample, ReferenceValues) {
    constexpr std::uint32_t kLaneMixers[4] = {0x912F69BA, 0x174F18AB, 0x691E72CA, 0xB40CC1B8};
    const ReferenceSample refs[] = {
        {0, 0, 0, 0.26215362548828125, 0x431C8142u, 0xD1EBu},
        {5, 7, 123, 0.5385340452194214, 0x89DD5F4Cu, 0x60EEu},
        {65535, 255, 0xDEADBEEFu, 0.5600141286849976, 0x8F5D162Du, 0x42BDu},
    };
    for (const ReferenceSample& r : refs) {
        SCOPED_TRACE(testing::Message() << "index " << r.index << " dimension " << r.dimension
                                        << " seed " << r.seed);
        const std::uint32_t v = reversed_sobol_value(r);
        EXPECT_EQ(v, r.v);
        const std::uint32_t k2 = sobol_hash((r.seed * 0x9C8F2D3Bu) ^ (r.dimension >> 2) ^
                                            0xE6FE3BEBu ^ kLaneMixers[r.dimension & 3]);
        EXPECT_EQ(reverse32(owen_scramble_rev(r.v, k2)), r.t);
        const float u = sample(r.index, r.dimension, r.seed);
        EXPECT_EQ(static_cast<double>(u), r.value);
        EXPECT_EQ(static_cast<std::uint32_t>(u * 8388608.0f), r.t >> 9);
    }
}

TEST(SobolSample, FirstPowerOfTwoSamplesStratify) {
    const std::pair<std::uint32_t, std::uint32_t> cases[] = {
        {0, 0}, {0, 1}, {7, 3}, {123, 4}, {0xDEADBEEFu, 130}, {42, 255}};
    std::vector<std::uint8_t> hit(1u << 16);
    for (const auto& [seed, dim] : cases) {
        for (unsigned q = 0; q <= 16; ++q) {
            const std::uint32_t n = 1u << q;
            std::fill(hit.begin(), hit.begin() + n, std::uint8_t{0});
            for (std::uint32_t i = 0; i < n; ++i) {
                const float u = sample(i, dim, seed);
                ASSERT_GE(u, 0.0f);
                ASSERT_LT(u, 1.0f);
                const auto k = static_cast<std::uint32_t>(static_cast<double>(u) * n);
                ASSERT_FALSE(hit[k]) << "seed " << seed << " dimension " << dim << " q " << q
                                     << " index " << i << " interval " << k;
                hit[k] = 1;
            }
        }
    }
}

TEST(SobolSample, SeedChangesEveryValue) {
    const std::uint32_t seeds[][2] = {{0, 1}, {123, 124}, {7, 7u ^ 0x80000000u}, {5, 0x9E3779B9u}};
    for (const auto& pair : seeds)
        for (std::uint32_t index : {0u, 1u, 2u, 3u, 1000u, 65535u})
            for (std::uint32_t dim : {0u, 1u, 2u, 3u, 4u, 100u, 255u}) {
                const float a = sample(index, dim, pair[0]);
                EXPECT_EQ(a, sample(index, dim, pair[0]));
                EXPECT_NE(a, sample(index, dim, pair[1]))
                    << "seeds " << pair[0] << "/" << pair[1] << " index " << index << " dimension "
                    << dim;
            }
}

// The grouped fill equals the per-sample definition, appends without clearing,
// and seeds point blocks and dimension passes separately.
TEST(SobolFill, MatchesOneAtATime) {
    struct Case {
        std::uint32_t seed;
        std::uint64_t point;
        std::uint64_t count;
    };
    const Case cases[] = {{0, 0, 1},           {0, 0, 3},
                          {0, 5, 4},           {123, 77, 7},
                          {9, 65535, 256},     {9, 65536, 263},
                          {0xFFFFFFFFu, 1, 514}, {42, (std::uint64_t{3} << 32) + 12345, 600}};
    std::vector<double> out;
    for (const Case& c : cases) {
        out.assign(2, -99.0);
        mc_core::fill_scrambled_sobol_point_standard_normals(c.seed, c.point, c.count, out);
        ASSERT_EQ(out.size(), c.count + 2);
        EXPECT_EQ(out[0], -99.0);
        EXPECT_EQ(out[1], -99.0);
        const std::uint32_t block_seed =
            c.seed + static_cast<std::uint32_t>(c.point >> 16) * kBlockStep;
        for (std::uint64_t d = 0; d < c.count; ++d) {
            const float u = sample(static_cast<std::uint32_t>(c.point & 0xFFFF),
                                   static_cast<std::uint32_t>(d % 256),
                                   block_seed + static_cast<std::uint32_t>(d >> 8));
            ASSERT_EQ(out[d + 2], mc_core::inverse_standard_normal(static_cast<double>(u)))
                << "seed " << c.seed << " point " << c.point << " count " << c.count
                << " dimension " << d;
        }
    }
}

TEST(SobolFill, BlocksAndDimensionPassesAreSeededApart) {
    std::vector<double> a, b;
    for (std::uint64_t i : {0u, 1u, 4097u, 65535u}) {
        a.clear();
        b.clear();
        mc_core::fill_scrambled_sobol_point_standard_normals(11, i, 512, a);
        mc_core::fill_scrambled_sobol_point_standard_normals(11, i + 65536, 512, b);
        for (std::size_t d = 0; d < 256; ++d) {
            EXPECT_NE(a[d], b[d]) << "point " << i << " vs +65536, dimension " << d;
            EXPECT_NE(a[d], a[d + 256]) << "point " << i << ", dimension " << d << " vs +256";
        }
        // Block k of points is the sequence of seed + k * 0x9E3779B9.
        EXPECT_EQ(b[0], mc_core::inverse_standard_normal(sample(
                            static_cast<std::uint32_t>(i), 0, 11 + kBlockStep)));
    }
}

}  // namespace
