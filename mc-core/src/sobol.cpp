// Owen-scrambled, index-shuffled Sobol points computed one coordinate at a time,
// after Burley, "Practical Hash-based Owen Scrambling" (JCGT 2020). Direction
// numbers: Joe and Kuo, new-joe-kuo-6.21201 (see tools/generate_sobol_directions.py).
//
// All values live in bit-reversed form between the index shuffle and the final
// reversal, so that the nested (Owen) scrambling can be done with carries that
// run from low to high bit positions: multiplication and addition.
#include <bit>
#include <cstdint>
#include <vector>

#include "mc_core/random.hpp"

namespace mc_core {
namespace sobol_burley {

const std::uint16_t kDirections[kDimensions][kIndexBits] = {
#include "sobol_directions.inc"
};

namespace {

constexpr std::uint32_t kLaneMixers[4] = {0x912F69BAu, 0x174F18ABu, 0x691E72CAu, 0xB40CC1B8u};

inline std::uint32_t reverse_bits32(std::uint32_t x) {
    x = ((x >> 1) & 0x55555555u) | ((x & 0x55555555u) << 1);
    x = ((x >> 2) & 0x33333333u) | ((x & 0x33333333u) << 2);
    x = ((x >> 4) & 0x0F0F0F0Fu) | ((x & 0x0F0F0F0Fu) << 4);
    return __builtin_bswap32(x);
}

inline std::uint32_t hash(std::uint32_t x) {
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x;
}

inline std::uint32_t scramble_rev(std::uint32_t n, std::uint32_t key) {
    n ^= n * 0x3D20ADEAu;
    n += key;
    n *= (key >> 16) | 1u;
    n ^= n * 0x05526C56u;
    n ^= n * 0x53A22864u;
    return n;
}

// The shuffled sample index, bit-reversed; the same for every dimension of a seed.
inline std::uint32_t shuffled_index_rev(std::uint32_t index, std::uint32_t seed) {
    return scramble_rev(reverse_bits32(index), hash(seed ^ 0x9F38B5A1u));
}

// Key of the output scramble; dimensions 4g .. 4g+3 differ only in the lane mixer.
inline std::uint32_t dimension_key(std::uint32_t dimension, std::uint32_t seed) {
    return hash((seed * 0x9C8F2D3Bu) ^ (dimension >> 2) ^ 0xE6FE3BEBu ^
                kLaneMixers[dimension & 3u]);
}

// Sobol value of the reversed index `s` (top 16 bits used), in reversed form:
// one XOR per set bit, with bit i of the index at word bit 31 - i.
inline std::uint32_t sobol_rev(std::uint32_t s, const std::uint16_t* directions) {
    std::uint32_t v = 0;
    std::uint32_t b = s & 0xFFFF0000u;
    unsigned p = 0;
    while (b != 0) {
        const unsigned j = static_cast<unsigned>(std::countl_zero(b));
        p += j;
        v ^= directions[p];
        ++p;
        b = (b << j) << 1;  // j + 1 may be 32
    }
    return v;
}

// Final scramble, reversal and conversion to a 23-bit fraction in [0, 1 - 2^-23].
inline float finish(std::uint32_t v, std::uint32_t key) {
    const std::uint32_t t = reverse_bits32(scramble_rev(v, key));
    const std::uint32_t bits = 0x3F800000u | (t >> 9);
    return std::bit_cast<float>(bits) - 1.0f;  // exact
}

}  // namespace

std::uint32_t sobol_hash(std::uint32_t x) { return hash(x); }

std::uint32_t owen_scramble_rev(std::uint32_t n, std::uint32_t key) { return scramble_rev(n, key); }

float sample(std::uint32_t index, std::uint32_t dimension, std::uint32_t seed) {
    const std::uint32_t s = shuffled_index_rev(index, seed);
    const std::uint32_t v = sobol_rev(s, kDirections[dimension]);
    return finish(v, dimension_key(dimension, seed));
}

}  // namespace sobol_burley

void fill_scrambled_sobol_point_uniforms(std::uint32_t seed, std::uint64_t point_index, std::uint64_t count,
                                         double* dst) {
    using namespace sobol_burley;
    // Each block of 2^16 points is its own sequence; each run of 256 dimensions
    // reuses the table under a seed raised by one.
    const std::uint32_t index16 = static_cast<std::uint32_t>(point_index & 0xFFFFu);
    const std::uint32_t block_seed =
        seed + static_cast<std::uint32_t>(point_index >> 16) * 0x9E3779B9u;

    // The sample is exact in f64.
    const auto uniform = [](std::uint32_t v, std::uint32_t dim, std::uint32_t dim_seed) {
        return static_cast<double>(finish(v, dimension_key(dim, dim_seed)));
    };

    std::uint64_t d = 0;
    while (d < count) {
        // One table pass: dimensions d .. min(d + 256, count) - 1 share a seed.
        const std::uint32_t pass_seed = block_seed + static_cast<std::uint32_t>(d >> 8);
        const std::uint32_t s = shuffled_index_rev(index16, pass_seed);
        const std::uint64_t pass_end = (d | 0xFFu) + 1 < count ? (d | 0xFFu) + 1 : count;

        // Groups of four dimensions sharing the index loop. d is a multiple of 4
        // here, as a pass starts at a multiple of 256.
        for (; d + 4 <= pass_end; d += 4) {
            const std::uint32_t dim = static_cast<std::uint32_t>(d & 0xFFu);
            const std::uint16_t* r0 = kDirections[dim];
            const std::uint16_t* r1 = kDirections[dim + 1];
            const std::uint16_t* r2 = kDirections[dim + 2];
            const std::uint16_t* r3 = kDirections[dim + 3];
            std::uint32_t v0 = 0, v1 = 0, v2 = 0, v3 = 0;
            std::uint32_t b = s & 0xFFFF0000u;
            unsigned p = 0;
            while (b != 0) {
                const unsigned j = static_cast<unsigned>(std::countl_zero(b));
                p += j;
                v0 ^= r0[p];
                v1 ^= r1[p];
                v2 ^= r2[p];
                v3 ^= r3[p];
                ++p;
                b = (b << j) << 1;
            }
            dst[d] = uniform(v0, dim, pass_seed);
            dst[d + 1] = uniform(v1, dim + 1, pass_seed);
            dst[d + 2] = uniform(v2, dim + 2, pass_seed);
            dst[d + 3] = uniform(v3, dim + 3, pass_seed);
        }
        // Tail of fewer than four dimensions (only in the last pass).
        for (; d < pass_end; ++d) {
            const std::uint32_t dim = static_cast<std::uint32_t>(d & 0xFFu);
            dst[d] = uniform(sobol_rev(s, kDirections[dim]), dim, pass_seed);
        }
    }
}

void fill_scrambled_sobol_point_standard_normals(std::uint32_t seed, std::uint64_t point_index,
                                                 std::uint64_t count, std::vector<double>& out) {
    if (count == 0) return;
    const std::size_t base = out.size();
    out.resize(base + count);
    double* dst = out.data() + base;
    fill_scrambled_sobol_point_uniforms(seed, point_index, count, dst);
    // The inverse CDF's clamp turns a 0 into DBL_MIN.
    for (std::uint64_t d = 0; d < count; ++d) dst[d] = inverse_standard_normal(dst[d]);
}

}  // namespace mc_core
