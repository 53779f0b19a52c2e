// Owen-scrambled, index-shuffled Sobol points after Burley, "Practical
// Hash-based Owen Scrambling" (JCGT 2020), eight dimensions at a time with the
// integer steps of a single coordinate. Direction numbers: Joe and Kuo,
// new-joe-kuo-6.21201 (see tools/generate_sobol_directions.py).
//
// All values live in bit-reversed form between the index shuffle and the final
// reversal, so that the nested (Owen) scrambling can be done with carries that
// run from low to high bit positions: multiplication and addition.
//
// Both sequence lengths (random.hpp, SobolLength) run the same code, a
// template over the index bits: 16 reads blocks of 2^16 points, each under its
// own seed, with 23-bit values; 32 reads one sequence of 2^32 points with
// 32-bit values. Everything else (the shuffle, the keys, the seed of each
// group of 256 dimensions) is shared.
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "mc_core/error.hpp"
#include "mc_core/random.hpp"
#include "mc_core/simd.hpp"

namespace mc_core {
namespace sobol_burley {

const std::uint16_t kDirections[kDimensions][kIndexBits] = {
#include "sobol_directions.inc"
};
const std::uint32_t kFullDirections[kDimensions][kFullIndexBits] = {
#include "sobol_directions_32.inc"
};

namespace {

constexpr std::uint32_t kLaneMixers[4] = {0x912F69BAu, 0x174F18ABu, 0x691E72CAu, 0xB40CC1B8u};

// The integer steps below are templates over a 32-bit word or a pack of eight:
// one definition serves single coordinates and eight dimensions at a time.
typedef std::uint32_t U32x8 __attribute__((vector_size(32)));
typedef std::int32_t I32x8 __attribute__((vector_size(32)));
typedef double F64x8 __attribute__((vector_size(64)));
// Sixteen dimensions at a time: one register with AVX-512, two below.
typedef std::uint32_t U32x16 __attribute__((vector_size(64)));
// One dimension of four points (an AVX2 row).
typedef std::uint32_t U32x4 __attribute__((vector_size(16)));
typedef std::int32_t I32x4 __attribute__((vector_size(16)));
typedef double F64x4 __attribute__((vector_size(32)));

template <class U>
MC_LANE_INLINE U reverse_bits32(U x) {
    x = ((x >> 1) & 0x55555555u) | ((x & 0x55555555u) << 1);
    x = ((x >> 2) & 0x33333333u) | ((x & 0x33333333u) << 2);
    x = ((x >> 4) & 0x0F0F0F0Fu) | ((x & 0x0F0F0F0Fu) << 4);
    x = ((x >> 8) & 0x00FF00FFu) | ((x & 0x00FF00FFu) << 8);
    return (x >> 16) | (x << 16);
}

template <class U>
MC_LANE_INLINE U hash(U x) {
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x;
}

template <class U>
MC_LANE_INLINE U scramble_rev(U n, U key) {
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
    return hash((seed * 0x9C8F2D3Bu) ^ (dimension >> 2) ^ 0xE6FE3BEBu ^ kLaneMixers[dimension & 3u]);
}

template <unsigned Bits>
const auto& direction_table() {
    static_assert(Bits == kIndexBits || Bits == kFullIndexBits);
    if constexpr (Bits == kIndexBits)
        return kDirections;
    else
        return kFullDirections;
}

// A point's index in its sequence, and the seed of that sequence: with 16 bits
// each block of 2^16 points is a sequence under block_seed; at full length the
// callers keep points below 2^32, so there is one block, under the seed itself.
template <unsigned Bits>
constexpr std::uint32_t sequence_index(std::uint64_t point) {
    return static_cast<std::uint32_t>(point & ((std::uint64_t{1} << Bits) - 1));
}
template <unsigned Bits>
constexpr std::uint32_t sequence_seed(std::uint32_t seed, std::uint64_t point) {
    return seed + static_cast<std::uint32_t>(point >> Bits) * 0x9E3779B9u;
}
static_assert(sequence_seed<kIndexBits>(7, 3 * 65536 + 5) == block_seed(7, 3 * 65536 + 5));

// Sobol value of the reversed index `s` (top Bits bits used), in reversed form:
// one XOR per set bit, with bit i of the index at word bit 31 - i.
template <unsigned Bits, class Entry>
inline std::uint32_t sobol_rev(std::uint32_t s, const Entry* directions) {
    std::uint32_t v = 0;
    std::uint32_t b = s & static_cast<std::uint32_t>(~(std::uint64_t{0xFFFFFFFFu} >> Bits));
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

// The scrambled word t of one coordinate: the final scramble and reversal of
// its Sobol value. Its value is (t >> 9) 2^-23 for 16 bits, t 2^-32 at full length.
template <unsigned Bits>
inline std::uint32_t scrambled_word(std::uint32_t index, std::uint32_t dimension, std::uint32_t seed) {
    const std::uint32_t s = shuffled_index_rev(index, seed);
    const std::uint32_t v = sobol_rev<Bits>(s, direction_table<Bits>()[dimension]);
    return reverse_bits32(scramble_rev(v, dimension_key(dimension, seed)));
}

// The direction numbers by index bit, then dimension, so that one set bit of
// the index XORs a row into eight dimensions at once.
template <unsigned Bits>
struct DirectionRows {
    alignas(64) std::uint32_t row[Bits][kDimensions];
};

template <unsigned Bits>
const DirectionRows<Bits>& direction_rows() {
    static const DirectionRows<Bits> rows = [] {
        DirectionRows<Bits> r{};
        for (std::uint32_t d = 0; d < kDimensions; ++d)
            for (std::uint32_t p = 0; p < Bits; ++p) r.row[p][d] = direction_table<Bits>()[d][p];
        return r;
    }();
    return rows;
}

MC_LANE_INLINE U32x16 load16(const std::uint32_t* p) {
    U32x16 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The output scramble's keys of one pass of 256 dimensions, eight at a time.
// They depend on the pass's seed alone, which the points of a block share:
// computed once, they serve every point of the block.
struct PassKeys {
    static constexpr std::size_t kSlots = 4;  // passes kept, by pass number modulo kSlots
    struct Slot {
        bool valid = false;
        std::uint32_t pass_seed = 0;
        U32x16 keys[kDimensions / 16];
    };
    Slot slots[kSlots];

    MC_LANE_INLINE const U32x16* for_pass(std::uint64_t pass_number, std::uint32_t pass_seed) {
        Slot& slot = slots[pass_number % kSlots];
        if (!slot.valid || slot.pass_seed != pass_seed) {
            const U32x8 quarter = {0, 0, 0, 0, 1, 1, 1, 1};
            const U32x8 mixers = {kLaneMixers[0], kLaneMixers[1], kLaneMixers[2], kLaneMixers[3],
                                  kLaneMixers[0], kLaneMixers[1], kLaneMixers[2], kLaneMixers[3]};
            const std::uint32_t key_base = (pass_seed * 0x9C8F2D3Bu) ^ 0xE6FE3BEBu;
            for (std::uint32_t group = 0; group < kDimensions; group += 16) {
                const U32x8 low = hash((key_base ^ ((group >> 2) + quarter)) ^ mixers);
                const U32x8 high = hash((key_base ^ (((group + 8) >> 2) + quarter)) ^ mixers);
                slot.keys[group / 16] = __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
                                                                13, 14, 15);
            }
            slot.valid = true;
            slot.pass_seed = pass_seed;
        }
        return slot.keys;
    }
};

// The set bits of the reversed index `s` in order, without a branch per bit:
// about half of them are set, at random, which no branch predictor follows.
template <unsigned Bits>
MC_LANE_INLINE unsigned set_bits_of(std::uint32_t s, unsigned* set_bits) {
    unsigned n_set = 0;
    for (unsigned p = 0; p < Bits; ++p) {
        set_bits[n_set] = p;
        n_set += (s >> (31 - p)) & 1u;
    }
    return n_set;
}

MC_LANE_INLINE U32x8 low_half(U32x16 w) { return __builtin_shufflevector(w, w, 0, 1, 2, 3, 4, 5, 6, 7); }
MC_LANE_INLINE U32x8 high_half(U32x16 w) { return __builtin_shufflevector(w, w, 8, 9, 10, 11, 12, 13, 14, 15); }

// The scrambled words t of dimensions group .. group + 15 of one point. The
// sum over set bits runs in one 16-word register (Whole) or in two 8-word
// halves: below AVX-512 GCC keeps a 16-word accumulator on the stack and
// reads it back in pieces, which stalls every iteration.
template <unsigned Bits, bool Whole = false>
MC_LANE_INLINE U32x16 scrambled_words(const DirectionRows<Bits>& rows, const unsigned* set_bits, unsigned n_set,
                                      std::uint32_t group, U32x16 key) {
    U32x16 v = {};
    if constexpr (Whole) {
        for (unsigned b = 0; b < n_set; ++b) v ^= load16(&rows.row[set_bits[b]][group]);
    } else {
        U32x8 low = {}, high = {};
        for (unsigned b = 0; b < n_set; ++b) {
            const U32x16 row = load16(&rows.row[set_bits[b]][group]);
            low ^= low_half(row);
            high ^= high_half(row);
        }
        v = __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    }
    return reverse_bits32(scramble_rev(v, key));
}

// The signed and double packs of as many lanes as a pack of words.
template <class U>
struct LanesOf;
template <>
struct LanesOf<U32x8> {
    using Signed = I32x8;
    using Double = F64x8;
};
template <>
struct LanesOf<U32x4> {
    using Signed = I32x4;
    using Double = F64x4;
};

// The values of a pack of words (eight or four), exactly (both conversions
// are exact).
template <unsigned Bits, class U>
MC_LANE_INLINE typename LanesOf<U>::Double unit_values(U t) {
    using F = typename LanesOf<U>::Double;
    if constexpr (Bits == kIndexBits)
        return __builtin_convertvector(__builtin_bit_cast(typename LanesOf<U>::Signed, t >> 9), F) * 0x1p-23;
    else
        return __builtin_convertvector(t, F) * 0x1p-32;
}

// Dimensions 0 .. count-1 of one point, eight at a time: out[d * stride].
// Each block of 2^Bits points is its own sequence; each run of 256 dimensions
// reuses the table under a seed raised by one. The value of a dimension is
// the one scrambled_word() gives, exactly.
template <unsigned Bits>
MC_LANE_INLINE void sobol_point(const DirectionRows<Bits>& rows, std::uint32_t seed, std::uint64_t point_index,
                                std::uint64_t count, double* out, std::size_t stride, PassKeys& pass_keys) {
    const std::uint32_t index = sequence_index<Bits>(point_index);
    const std::uint32_t point_block_seed = sequence_seed<Bits>(seed, point_index);
    for (std::uint64_t first = 0; first < count; first += kDimensions) {
        const std::uint32_t pass_seed = point_block_seed + static_cast<std::uint32_t>(first >> 8);
        unsigned set_bits[Bits];
        const unsigned n_set = set_bits_of<Bits>(shuffled_index_rev(index, pass_seed), set_bits);
        const U32x16* keys = pass_keys.for_pass(first / kDimensions, pass_seed);
        const std::uint64_t pass = count - first < kDimensions ? count - first : kDimensions;
        // The last group of a pass may reach past `count`, never past the table.
        for (std::uint32_t group = 0; group < pass; group += 16) {
            const U32x16 words = scrambled_words(rows, set_bits, n_set, group, keys[group / 16]);
            const F64x8 halves[2] = {unit_values<Bits>(low_half(words)), unit_values<Bits>(high_half(words))};
            const std::uint64_t here = pass - group < 16 ? pass - group : 16;
            double* const dst = out + (first + group) * stride;
            for (std::uint64_t j = 0; j < here; ++j) dst[j * stride] = halves[j / 8][j % 8];
        }
    }
}

// Rows of points by dimension into dimensions by point: w[l] holds point l's
// words of eight dimensions; afterwards w[j] holds dimension j's word of
// every point.
MC_LANE_INLINE void transpose8(U32x8* w) {
    U32x8 t[8], s[8];
    for (int i = 0; i < 8; i += 2) {
        t[i] = __builtin_shufflevector(w[i], w[i + 1], 0, 8, 1, 9, 4, 12, 5, 13);
        t[i + 1] = __builtin_shufflevector(w[i], w[i + 1], 2, 10, 3, 11, 6, 14, 7, 15);
    }
    for (int i = 0; i < 8; i += 4) {
        s[i] = __builtin_shufflevector(t[i], t[i + 2], 0, 1, 8, 9, 4, 5, 12, 13);
        s[i + 1] = __builtin_shufflevector(t[i], t[i + 2], 2, 3, 10, 11, 6, 7, 14, 15);
        s[i + 2] = __builtin_shufflevector(t[i + 1], t[i + 3], 0, 1, 8, 9, 4, 5, 12, 13);
        s[i + 3] = __builtin_shufflevector(t[i + 1], t[i + 3], 2, 3, 10, 11, 6, 7, 14, 15);
    }
    for (int j = 0; j < 4; ++j) {
        w[j] = __builtin_shufflevector(s[j], s[j + 4], 0, 1, 2, 3, 8, 9, 10, 11);
        w[j + 4] = __builtin_shufflevector(s[j], s[j + 4], 4, 5, 6, 7, 12, 13, 14, 15);
    }
}

// Four points' words of eight dimensions, w[l] point l's, as dimensions:
// d[j] holds dimension j's word of every point.
MC_LANE_INLINE void transpose4(const U32x8* w, U32x4* d) {
    // t0 = w0[0] w1[0] w0[1] w1[1] w0[4] w1[4] w0[5] w1[5]; t1 the same of
    // dimensions 2, 3, 6, 7; t2 and t3 those of points 2 and 3.
    const U32x8 t0 = __builtin_shufflevector(w[0], w[1], 0, 8, 1, 9, 4, 12, 5, 13);
    const U32x8 t1 = __builtin_shufflevector(w[0], w[1], 2, 10, 3, 11, 6, 14, 7, 15);
    const U32x8 t2 = __builtin_shufflevector(w[2], w[3], 0, 8, 1, 9, 4, 12, 5, 13);
    const U32x8 t3 = __builtin_shufflevector(w[2], w[3], 2, 10, 3, 11, 6, 14, 7, 15);
    d[0] = __builtin_shufflevector(t0, t2, 0, 1, 8, 9);
    d[1] = __builtin_shufflevector(t0, t2, 2, 3, 10, 11);
    d[4] = __builtin_shufflevector(t0, t2, 4, 5, 12, 13);
    d[5] = __builtin_shufflevector(t0, t2, 6, 7, 14, 15);
    d[2] = __builtin_shufflevector(t1, t3, 0, 1, 8, 9);
    d[3] = __builtin_shufflevector(t1, t3, 2, 3, 10, 11);
    d[6] = __builtin_shufflevector(t1, t3, 4, 5, 12, 13);
    d[7] = __builtin_shufflevector(t1, t3, 6, 7, 14, 15);
}

// N = 8 (or 4) points of one sequence block at once, as rows out[d * N + l]:
// each group of dimensions is transposed in registers and stored a whole row
// at a time. The same words as sobol_point's, so the same values.
template <unsigned Bits, unsigned N>
MC_LANE_INLINE void sobol_point_group(const DirectionRows<Bits>& rows, std::uint32_t seed, std::uint64_t first_point,
                                      std::uint64_t count, double* out, PassKeys& pass_keys) {
    static_assert(N == 8 || N == 4);
    const std::uint32_t block_seed_of_points = sequence_seed<Bits>(seed, first_point);
    for (std::uint64_t first = 0; first < count; first += kDimensions) {
        const std::uint32_t pass_seed = block_seed_of_points + static_cast<std::uint32_t>(first >> 8);
        unsigned set_bits[N][Bits];
        unsigned n_set[N];
        for (unsigned l = 0; l < N; ++l)
            n_set[l] = set_bits_of<Bits>(shuffled_index_rev(sequence_index<Bits>(first_point + l), pass_seed),
                                         set_bits[l]);
        const U32x16* keys = pass_keys.for_pass(first / kDimensions, pass_seed);
        const std::uint64_t pass = count - first < kDimensions ? count - first : kDimensions;
        for (std::uint32_t group = 0; group < pass; group += 16) {
            U32x8 words[2 * N];  // dimensions group .. group + 7 of each point, then the next eight
            for (unsigned l = 0; l < N; ++l) {
                const U32x16 w = scrambled_words<Bits, N == 8>(rows, set_bits[l], n_set[l], group, keys[group / 16]);
                words[l] = low_half(w);
                words[N + l] = high_half(w);
            }
            const std::uint64_t here = pass - group < 16 ? pass - group : 16;
            double* const dst = out + (first + group) * N;
            // dimension_words[j]: dimension group + j's word of every point.
            const auto store_rows = [&](const auto* dimension_words) MC_PACK_LAMBDA {
                for (std::uint64_t j = 0; j < here; ++j) {
                    const auto u = unit_values<Bits>(dimension_words[j]);
                    std::memcpy(dst + j * N, &u, sizeof u);
                }
            };
            if constexpr (N == 8) {
                transpose8(words);
                transpose8(words + 8);
                store_rows(words);
            } else {
                U32x4 dimensions[16];
                transpose4(words, dimensions);
                transpose4(words + 4, dimensions + 8);
                store_rows(dimensions);
            }
        }
    }
}

template <unsigned Bits>
void fill_rows(std::uint32_t seed, std::uint64_t first_point, std::size_t points, std::uint64_t count,
               double* rows) {
    const DirectionRows<Bits>& table = direction_rows<Bits>();
    PassKeys pass_keys;
    // Eight (or four) points in one sequence block go together; others one
    // at a time.
    const bool one_block = (points == 8 || points == 4) &&
                           sequence_seed<Bits>(seed, first_point) ==
                               sequence_seed<Bits>(seed, first_point + points - 1);
    simd::on_active_target([&] {
        if (one_block && points == 8)
            return sobol_point_group<Bits, 8>(table, seed, first_point, count, rows, pass_keys);
        if (one_block) return sobol_point_group<Bits, 4>(table, seed, first_point, count, rows, pass_keys);
        for (std::size_t l = 0; l < points; ++l)
            sobol_point<Bits>(table, seed, first_point + l, count, rows + l, points, pass_keys);
    });
}

}  // namespace

float sample(std::uint32_t index, std::uint32_t dimension, std::uint32_t seed) {
    const std::uint32_t bits = 0x3F800000u | (scrambled_word<kIndexBits>(index, dimension, seed) >> 9);
    return std::bit_cast<float>(bits) - 1.0f;  // exact
}

double sample_full_length(std::uint32_t index, std::uint32_t dimension, std::uint32_t seed) {
    return static_cast<double>(scrambled_word<kFullIndexBits>(index, dimension, seed)) * 0x1p-32;
}

void check_full_length_points(std::uint64_t first, std::uint64_t count) {
    if (count != 0 && (first >= kFullLengthPoints || count > kFullLengthPoints - first))
        fail("the full-length scrambled Sobol sequence has 2^32 points; point " +
             std::to_string(first >= kFullLengthPoints ? first : kFullLengthPoints) + " is past its end");
}

}  // namespace sobol_burley

void fill_scrambled_sobol_point_uniforms(std::uint32_t seed, std::uint64_t point_index, std::uint64_t count,
                                         double* dst, SobolLength length) {
    fill_scrambled_sobol_rows(seed, point_index, 1, count, dst, length);
}

void fill_scrambled_sobol_rows(std::uint32_t seed, std::uint64_t first_point, std::size_t points,
                               std::uint64_t count, double* rows, SobolLength length) {
    if (length == SobolLength::blocks_of_65536)
        return sobol_burley::fill_rows<sobol_burley::kIndexBits>(seed, first_point, points, count, rows);
    sobol_burley::check_full_length_points(first_point, points);
    sobol_burley::fill_rows<sobol_burley::kFullIndexBits>(seed, first_point, points, count, rows);
}

void fill_scrambled_sobol_point_standard_normals(std::uint32_t seed, std::uint64_t point_index,
                                                 std::uint64_t count, std::vector<double>& out, SobolLength length) {
    if (count == 0) return;
    const std::size_t base = out.size();
    out.resize(base + count);
    double* dst = out.data() + base;
    fill_scrambled_sobol_point_uniforms(seed, point_index, count, dst, length);
    // The inverse CDF's clamp turns a 0 into DBL_MIN.
    for (std::uint64_t d = 0; d < count; ++d) dst[d] = inverse_standard_normal(dst[d]);
}

}  // namespace mc_core
