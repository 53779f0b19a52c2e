// Random variate sources: the seeded normal stream, seed derivation, the inverse
// normal CDF and the structured point-set samplers.
//
// Contract
//  * `NormalRng` is a xorshift64* generator feeding a Box-Muller transform that
//    caches the second value of each pair. The stream is one continuous sequence:
//    nothing resets the cached value between paths, and `fill_standard_normals`
//    yields exactly the values of successive `next_standard_normal` calls.
//  * A serial run seeds its single stream with the configuration seed itself; a
//    parallel run gives worker t the stream `derive_worker_seed(seed, t)`.
//  * `StructuredNormalSampler` is immutable after construction; every value is a
//    pure function of (construction arguments, point index, dimension), so it may
//    be read from any thread in any order.
//  * Uniforms never reach the inverse CDF outside [DBL_MIN, 1 - 2^-52]; the
//    normals are therefore bounded to about [-37.52, 8.13].
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "mc_core/block_math.hpp"
#include "mc_core/simd.hpp"

namespace mc_core {

enum class SamplingMethod : std::uint8_t {
    pseudorandom = 0,
    randomized_halton = 1,
    latin_hypercube = 2,
    scrambled_sobol = 3,
    scrambled_sobol_brownian_bridge = 4,
};

// How long one scrambled Sobol sequence runs. The module functions read blocks
// of 65,536 points, each block a sequence of its own under a seed of its own
// (a 16-bit index, 23-bit values): a fixed contract. The block-plan entries
// read one sequence of up to 2^32 points (a 32-bit index, 32-bit values), so
// the quasi-Monte Carlo rate carries on past 65,536 points.
enum class SobolLength : std::uint8_t {
    blocks_of_65536 = 0,
    full_length = 1,
};

inline constexpr std::uint64_t kGoldenGamma = 0x9E3779B97F4A7C15ULL;
inline constexpr double kDblMin = 2.2250738585072014e-308;
inline constexpr double kOneMinusUlp = 0.9999999999999998;  // 1 - 2^-52
inline constexpr double kTwoPi = 6.283185307179586;
inline constexpr double kTwoPow53Inv = 1.1102230246251565e-16;

// SplitMix64 finaliser (Steele, Lea and Flood 2014).
// A 64-bit word, or a pack of them lane by lane.
template <class U>
[[gnu::always_inline]] constexpr U splitmix64_mix(U z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Worker t's stream seed: the (t+1)-th output of a SplitMix64 generator started
// at `seed`. Worker 0 never shares the serial run's raw seed.
constexpr std::uint64_t derive_worker_seed(std::uint64_t seed, std::uint64_t worker) {
    return splitmix64_mix(seed + (worker + 1) * kGoldenGamma);
}

// A 53-bit fraction of the high bits of `w`, never below DBL_MIN.
constexpr double unit_from_bits(std::uint64_t w) {
    const double u = static_cast<double>(w >> 11) * kTwoPow53Inv;
    return u < kDblMin ? kDblMin : u;
}
// The same, lane by lane, for a pack of words. The 53-bit integer goes through
// two exactly representable halves: the baseline targets have no packed 64-bit
// conversion.
template <class U>
    requires(!std::is_integral_v<U>)
MC_LANE_INLINE simd::f64_of<U> unit_from_bits(U w) {
    using V = simd::f64_of<U>;
    constexpr std::uint64_t kMagic = 0x4330000000000000ULL;  // 2^52
    const U fraction = w >> 11;
    const V high = simd::double_of_bits((fraction >> 26) | kMagic) - 4503599627370496.0;
    const V low = simd::double_of_bits((fraction & 0x3FFFFFFULL) | kMagic) - 4503599627370496.0;
    const V u = (high * 67108864.0 + low) * kTwoPow53Inv;
    return simd::select(u < kDblMin, simd::broadcast<V>(kDblMin), u);
}

// Acklam's rational approximation of the standard normal quantile, without a
// refinement step; the argument is clamped to [DBL_MIN, 1 - 2^-52] first.
double inverse_standard_normal(double p);

// The seeded stream: xorshift64* (Vigna 2016) uniforms turned into normals by
// Box-Muller. Three plain fields, copied by value into each worker.
struct NormalRng {
    bool has_spare = false;
    double spare = 0.0;
    std::uint64_t state = kGoldenGamma;

    NormalRng() = default;
    explicit NormalRng(std::uint64_t seed) : state(seed == 0 ? kGoldenGamma : seed) {}

    std::uint64_t next_u64() {
        std::uint64_t x = state;
        x ^= x >> 12;
        x ^= x << 25;
        x ^= x >> 27;
        state = x;
        return x * 0x2545F4914F6CDD1DULL;
    }

    // In [DBL_MIN, 1 - 2^-53]; never 0, so its logarithm is finite.
    double next_uniform() { return unit_from_bits(next_u64()); }

    double next_standard_normal() {
        if (has_spare) {
            has_spare = false;
            return spare;
        }
        const double u1 = next_uniform();
        const double u2 = next_uniform();
        const double radius = block_math::sqrt(-2.0 * block_math::log(u1));
        double s, c;
        block_math::sincos(kTwoPi * u2, &s, &c);
        spare = radius * s;
        has_spare = true;
        return radius * c;
    }

    // Writes the next `n` values of the stream to `out`: exactly what `n` calls of
    // `next_standard_normal` would return, the cached value carried in and out.
    // Uniform pairs are drawn first and transformed block by block, so the
    // transcendental work runs through the batched block_math transforms.
    void fill_standard_normals(double* out, std::size_t n);
};

// Hands the next `count` normals of `rng` to `consume(values, n)` in blocks of
// at most 256, in stream order; the block lives on the stack.
template <class Consume>
void for_each_normal_block(NormalRng& rng, std::uint64_t count, Consume&& consume) {
    constexpr std::uint64_t kBlock = 256;
    double z[kBlock];
    while (count > 0) {
        const std::size_t n = static_cast<std::size_t>(count < kBlock ? count : kBlock);
        rng.fill_standard_normals(z, n);
        consume(static_cast<double*>(z), n);
        count -= n;
    }
}

// Hands `pairs` successive pairs of normals (z1, z2) of `rng` to
// `consume(z1, z2)`, drawn in stack blocks. A stream that holds no cached value
// gives each pair from one Box-Muller draw: z1 = R cos(angle), z2 = R sin(angle).
template <class Consume>
void for_each_normal_pair(NormalRng& rng, std::uint64_t pairs, Consume&& consume) {
    constexpr std::uint64_t kPairs = 128;
    double z[2 * kPairs];
    while (pairs > 0) {
        const std::uint64_t m = pairs < kPairs ? pairs : kPairs;
        rng.fill_standard_normals(z, static_cast<std::size_t>(2 * m));
        for (std::uint64_t j = 0; j < m; ++j) consume(z[2 * j], z[2 * j + 1]);
        pairs -= m;
    }
}

// ---------------------------------------------------------------------------
// Scrambled Sobol points (Owen scrambling by hashing, after Burley 2020), with
// direction numbers from Joe and Kuo's new-joe-kuo-6.21201 set.

namespace sobol_burley {
inline constexpr std::uint32_t kDimensions = 256;
inline constexpr std::uint32_t kIndexBits = 16;
inline constexpr std::uint32_t kFullIndexBits = 32;
// Points of the full-length sequence: point indices 0 .. 2^32 - 1.
inline constexpr std::uint64_t kFullLengthPoints = std::uint64_t{1} << kFullIndexBits;
// Bit-reversed direction numbers: [dimension][bit of the shuffled index]. The
// 16-bit table is the first 16 columns of the 32-bit one.
extern const std::uint16_t kDirections[kDimensions][kIndexBits];
extern const std::uint32_t kFullDirections[kDimensions][kFullIndexBits];

// The seed of the block of 2^16 points holding `point`: each block is a
// sequence of its own.
constexpr std::uint32_t block_seed(std::uint32_t seed, std::uint64_t point) {
    return seed + static_cast<std::uint32_t>(point >> 16) * 0x9E3779B9u;
}
// Coordinate `dimension` (< 256) of point `index` (< 2^16); in [0, 1 - 2^-23].
float sample(std::uint32_t index, std::uint32_t dimension, std::uint32_t seed);
// The same in the full-length sequence, point `index` (< 2^32): t 2^-32 for
// the 32-bit scrambled value t, in [0, 1 - 2^-32].
double sample_full_length(std::uint32_t index, std::uint32_t dimension, std::uint32_t seed);
// FatalError unless points first .. first + count - 1 are all in the
// full-length sequence.
void check_full_length_points(std::uint64_t first, std::uint64_t count);
}  // namespace sobol_burley

// The probabilities of dimensions 0 .. count-1 of point `point_index`, in
// [0, 1 - 2^-23] (full length: [0, 1 - 2^-32]); their inverse normal CDFs are
// the normals below. A full-length point past 2^32 - 1 is a FatalError.
void fill_scrambled_sobol_point_uniforms(std::uint32_t seed, std::uint64_t point_index, std::uint64_t count,
                                         double* out, SobolLength length = SobolLength::blocks_of_65536);
// The same for `points` consecutive points from `first_point`, as rows: the
// probability of dimension d of point first_point + l is rows[d * points + l].
void fill_scrambled_sobol_rows(std::uint32_t seed, std::uint64_t first_point, std::size_t points,
                               std::uint64_t count, double* rows, SobolLength length = SobolLength::blocks_of_65536);
// Appends the normals of dimensions 0 .. count-1 of point `point_index` to `out`.
// Each block of 65,536 points (full length: the whole sequence), and each group
// of 256 dimensions, is an independently seeded scrambled sequence.
void fill_scrambled_sobol_point_standard_normals(std::uint32_t seed, std::uint64_t point_index,
                                                 std::uint64_t count, std::vector<double>& out,
                                                 SobolLength length = SobolLength::blocks_of_65536);

// ---------------------------------------------------------------------------
// Structured samplers. A point is one path (or one antithetic pair), a dimension
// one coordinate of it.

struct LatinHypercubeDimension {
    std::uint64_t multiplier;  // odd and coprime with the point count, or 1
    std::uint64_t offset;
    std::uint64_t jitter_key;
};

class StructuredNormalSampler {
public:
    // Fails with an internal error for `pseudorandom`, which has no point set.
    // `length` matters to scrambled Sobol sampling only: a full-length sampler
    // of more than 2^32 points is a FatalError here, before any point is drawn.
    StructuredNormalSampler(SamplingMethod sampling, std::uint64_t seed, std::uint64_t n_points,
                            std::uint64_t dimensions, SobolLength length = SobolLength::blocks_of_65536);

    // Dimension 0 of point i.
    double standard_normal(std::uint64_t i) const;
    // Clears `out` and appends dimensions 0 .. m-1 of point i.
    void fill_standard_normals(std::uint64_t i, std::uint64_t m, std::vector<double>& out) const;
    // One coordinate; for Halton and Latin hypercube `d` must be below the
    // constructed dimension count.
    double normal(std::uint64_t i, std::uint64_t d) const;
    // The probabilities behind dimensions 0 .. m-1 of point i: normal(i, d) is
    // inverse_standard_normal(out[d]), bit for bit, so a caller may invert a
    // whole pack of points at once.
    void fill_uniforms(std::uint64_t i, std::uint64_t m, double* out) const;
    // The same for `points` consecutive points from `first`, as rows: dimension d
    // of point first + l at rows[d * points + l].
    void fill_uniform_rows(std::uint64_t first, std::size_t points, std::uint64_t m, double* rows) const;

    enum class Kind : std::uint8_t { randomized_halton, latin_hypercube, scrambled_sobol };
    Kind kind() const { return kind_; }
    const std::vector<std::uint32_t>& halton_bases() const { return bases_; }
    const std::vector<double>& halton_shifts() const { return shifts_; }
    const std::vector<LatinHypercubeDimension>& latin_dimensions() const { return latin_; }
    std::uint64_t latin_stratum(std::uint64_t i, std::uint64_t d) const {
        const LatinHypercubeDimension& dim = latin_[d];
        const std::uint64_t mixed = dim.multiplier * i + dim.offset;
        if (n_points_ == 0) return 0;
        // mixed % n_points_: the high word of (magic * mixed mod 2^128) * n_points_.
        const unsigned __int128 fraction = remainder_magic_ * mixed;
        const unsigned __int128 low = static_cast<unsigned __int128>(static_cast<std::uint64_t>(fraction)) * n_points_;
        const unsigned __int128 high = (fraction >> 64) * n_points_;
        return static_cast<std::uint64_t>(((low >> 64) + high) >> 64);
    }

private:
    double halton_uniform(std::uint64_t i, std::uint64_t d) const;
    double latin_uniform(std::uint64_t i, std::uint64_t d) const;
    template <class V>
    V latin_pack(simd::u64_of<V> index, std::uint64_t d) const;
    template <class V>
    V latin_consecutive_strata(std::uint64_t first, std::uint64_t d) const;
    template <class V>
    V latin_unit(simd::u64_of<V> index, V stratum, std::uint64_t d) const;
    double halton_normal(std::uint64_t i, std::uint64_t d) const;
    double latin_normal(std::uint64_t i, std::uint64_t d) const;

    Kind kind_;
    std::vector<std::uint32_t> bases_;
    std::vector<double> shifts_;
    std::vector<LatinHypercubeDimension> latin_;
    std::uint64_t n_points_ = 0;
    // ceil(2^128 / n_points): a remainder by n_points in three multiplications
    // (Lemire, Kaser and Kurz, "Faster remainder by direct computation", 2019).
    unsigned __int128 remainder_magic_ = 0;
    std::uint32_t sobol_seed_ = 0;
    SobolLength sobol_length_ = SobolLength::blocks_of_65536;
};

// ---------------------------------------------------------------------------
// Brownian bridge: n Sobol coordinates of a point drive a Wiener path on the
// uniform grid of n steps over [0, T], coarse scales first (coordinate 0 fixes
// W(T), the next ones fill in midpoints depth-first, left half first). The
// path's standardised increments replace the point's step normals, so the best
// distributed low coordinates carry most of the variance.

struct BridgeNode {
    std::uint64_t left;
    std::uint64_t mid;
    std::uint64_t right;
    double left_weight;   // (t_right - t_mid) / (t_right - t_left)
    double right_weight;  // (t_mid - t_left) / (t_right - t_left)
    double std_dev;       // sqrt((t_mid - t_left)(t_right - t_mid) / (t_right - t_left))
    std::uint64_t normal_index;
};

class BrownianBridgeWorkspace {
public:
    // Active only for `scrambled_sobol_brownian_bridge` (n >= 1 steps over
    // maturity T); inert, with no plan and no buffers, otherwise.
    BrownianBridgeWorkspace(SamplingMethod sampling, std::uint64_t n, double maturity);

    bool active() const { return plan_.has_value(); }
    const std::optional<std::vector<BridgeNode>>& plan() const { return plan_; }

    // The n increments of point i's bridged path divided by sqrt(dt), valid
    // until the next call; nothing when inert (the sampler is not touched).
    std::optional<std::span<const double>> step_normals(const StructuredNormalSampler& sampler, std::uint64_t i);

    // The same for a pack of points, one lane each: replaces their n
    // coordinate packs `z` by the bridged step normals; `w` has room for
    // n + 1 packs. Active workspaces only. Every lane computes exactly what
    // step_normals computes for its point.
    template <class V>
    MC_LANE_INLINE void build(V* z, V* w) const {
        w[0] = V{};
        w[n_steps_] = sqrt_t_ * z[0];
        for (const BridgeNode& node : *plan_)
            w[node.mid] = (node.left_weight * w[node.left] + node.right_weight * w[node.right]) +
                          node.std_dev * z[node.normal_index];
        for (std::uint64_t k = 1; k <= n_steps_; ++k) z[k - 1] = inv_sqrt_dt_ * (w[k] - w[k - 1]);
    }

private:
    std::vector<double> positions_;
    std::vector<double> increments_;
    std::vector<double> normals_;
    std::optional<std::vector<BridgeNode>> plan_;
    std::uint64_t n_steps_ = 0;
    double sqrt_t_ = 0.0;
    double inv_sqrt_dt_ = 0.0;
};

}  // namespace mc_core
