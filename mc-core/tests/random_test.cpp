// Normal variate sources: the seeded stream and its seeding, bulk draws, the
// inverse normal CDF, and the randomized Halton, Latin hypercube and scrambled
// Sobol samplers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include "mc_core/error.hpp"
#include "mc_core/random.hpp"

namespace {

using mc_core::inverse_standard_normal;
using mc_core::kDblMin;
using mc_core::kGoldenGamma;
using mc_core::kOneMinusUlp;
using mc_core::NormalRng;
using mc_core::SamplingMethod;
using mc_core::splitmix64_mix;
using mc_core::StructuredNormalSampler;
using mc_core::unit_from_bits;

constexpr double kTwoPi = 6.283185307179586;

// Box-Muller from two uniforms, written out with separate sine and cosine.
void box_muller(double u1, double u2, double& first, double& second) {
    const double r = std::sqrt(-2.0 * std::log(u1));
    first = r * std::cos(kTwoPi * u2);
    second = r * std::sin(kTwoPi * u2);
}

// ---------------------------------------------------------------------------
// Stream.

TEST(NormalRng, Seed42KnownOutputs) {
    NormalRng bits(42);
    EXPECT_EQ(bits.next_u64(), 0x56CE4AB7719BA3A0ULL);
    EXPECT_EQ(bits.next_u64(), 0xC841EB53EBBB2DDAULL);

    NormalRng uniforms(42);
    const double u1 = uniforms.next_uniform();
    const double u2 = uniforms.next_uniform();
    EXPECT_EQ(u1, 0.33908526400192196);
    EXPECT_EQ(u2, 0.7822558479199243);
    EXPECT_EQ(u1, static_cast<double>(0x56CE4AB7719BA3A0ULL >> 11) * 0x1p-53);
    EXPECT_EQ(u2, static_cast<double>(0xC841EB53EBBB2DDAULL >> 11) * 0x1p-53);

    double cos_value, sin_value;
    box_muller(0.33908526400192196, 0.7822558479199243, cos_value, sin_value);
    NormalRng normals(42);
    const double z1 = normals.next_standard_normal();
    EXPECT_TRUE(normals.has_spare);
    const std::uint64_t state_after_pair = normals.state;
    const double z2 = normals.next_standard_normal();
    EXPECT_FALSE(normals.has_spare);
    EXPECT_EQ(normals.state, state_after_pair) << "the cached value must not draw new uniforms";
    EXPECT_DOUBLE_EQ(z1, cos_value);
    EXPECT_DOUBLE_EQ(z2, sin_value);
    EXPECT_NEAR(z1, 0.29603, 5e-6);
    EXPECT_NEAR(z2, -1.44062, 5e-6);
}

TEST(NormalRng, ZeroSeedIsGoldenGamma) {
    NormalRng zero(0), golden(kGoldenGamma);
    EXPECT_EQ(zero.state, kGoldenGamma);
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(zero.next_u64(), golden.next_u64()) << "draw " << i;
        ASSERT_EQ(zero.next_standard_normal(), golden.next_standard_normal()) << "draw " << i;
    }
}

TEST(Seeding, DeriveWorkerSeedKnownValues) {
    struct Row {
        std::uint64_t seed, worker, expected;
    };
    const Row rows[] = {
        {42, 0, 0xBDD732262FEB6E95ULL},
        {42, 1, 0x28EFE333B266F103ULL},
        {0, 0, 0xE220A8397B1DCDAFULL},
    };
    for (const Row& r : rows)
        EXPECT_EQ(mc_core::derive_worker_seed(r.seed, r.worker), r.expected)
            << "seed " << r.seed << " worker " << r.worker;
}

// Worker seeds are the successive outputs of a SplitMix64 generator started at
// the seed (running word seed + G, advanced by G after each output).
TEST(Seeding, WorkerSeedsAreSplitMixOutputs) {
    for (std::uint64_t seed : {std::uint64_t{0}, std::uint64_t{42}, ~std::uint64_t{0}, kGoldenGamma}) {
        std::uint64_t v = seed + kGoldenGamma;
        for (std::uint64_t t = 0; t < 16; ++t, v += kGoldenGamma)
            EXPECT_EQ(mc_core::derive_worker_seed(seed, t), splitmix64_mix(v)) << "seed " << seed << " worker " << t;
    }
}

TEST(Seeding, UnitFromBitsRange) {
    EXPECT_EQ(unit_from_bits(0), kDblMin);
    EXPECT_EQ(unit_from_bits(0x7FF), kDblMin);
    EXPECT_EQ(unit_from_bits(0x800), 0x1p-53);
    EXPECT_EQ(unit_from_bits(~std::uint64_t{0}), 1.0 - 0x1p-53);
    EXPECT_EQ(unit_from_bits(0x8000000000000000ULL), 0.5);
}

// Undoes x ^= x >> s (or x ^= x << s).
std::uint64_t unshift_right(std::uint64_t y, int s) {
    std::uint64_t x = y;
    for (int i = 0; i < 64 / s + 1; ++i) x = y ^ (x >> s);
    return x;
}
std::uint64_t unshift_left(std::uint64_t y, int s) {
    std::uint64_t x = y;
    for (int i = 0; i < 64 / s + 1; ++i) x = y ^ (x << s);
    return x;
}
// The state whose next xorshift64* output is `out`.
std::uint64_t state_before_output(std::uint64_t out) {
    constexpr std::uint64_t m = 0x2545F4914F6CDD1DULL;
    std::uint64_t inv = m;
    for (int i = 0; i < 6; ++i) inv *= 2 - m * inv;
    std::uint64_t x = out * inv;
    x = unshift_right(x, 27);
    x = unshift_left(x, 25);
    return unshift_right(x, 12);
}

TEST(NormalRng, UniformExtremes) {
    NormalRng low;
    low.state = 0;  // the fixed point of the step: every output is 0
    ASSERT_EQ(low.next_u64(), 0u);
    EXPECT_EQ(low.next_uniform(), kDblMin);
    const double z = low.next_standard_normal();
    EXPECT_TRUE(std::isfinite(z)) << z;
    EXPECT_TRUE(std::isfinite(low.next_standard_normal()));

    for (std::uint64_t out : {~std::uint64_t{0}, std::uint64_t{0xFFFFFFFFFFFFF800ULL}}) {
        NormalRng high;
        high.state = state_before_output(out);
        NormalRng probe = high;
        ASSERT_EQ(probe.next_u64(), out) << std::hex << out;
        EXPECT_EQ(high.next_uniform(), 1.0 - 0x1p-53) << std::hex << out;
    }

    NormalRng rng(7);
    for (int i = 0; i < 100000; ++i) {
        const double u = rng.next_uniform();
        ASSERT_GE(u, kDblMin);
        ASSERT_LE(u, 1.0 - 0x1p-53);
    }
}

// Bulk draws are the same sequence as one-at-a-time draws, with the cached
// value carried into and out of every call.
TEST(NormalRng, FillMatchesSuccessiveDraws) {
    const std::vector<std::vector<std::size_t>> sequences = {
        {0, 1, 2, 3, 255, 256, 257, 513},
        {1, 1, 1, 1, 1},
        {3, 0, 3, 255, 1, 257},
        {513, 2, 1, 256, 0, 129, 511},
        {1, 254, 1, 255, 1, 256, 1},
        {4096, 1, 4095},
    };
    for (std::uint64_t seed : {std::uint64_t{42}, std::uint64_t{0}, std::uint64_t{0xDEADBEEF}}) {
        for (const auto& lengths : sequences) {
            NormalRng bulk(seed), reference(seed);
            std::size_t drawn = 0;
            for (std::size_t call = 0; call < lengths.size(); ++call) {
                const std::size_t n = lengths[call];
                std::vector<double> out(n + 1, -1234.5);
                bulk.fill_standard_normals(out.data(), n);
                for (std::size_t j = 0; j < n; ++j)
                    ASSERT_EQ(out[j], reference.next_standard_normal())
                        << "seed " << seed << " call " << call << " length " << n << " index " << j
                        << " (normal " << drawn + j << ")";
                ASSERT_EQ(out[n], -1234.5) << "wrote past the end; seed " << seed << " call " << call;
                drawn += n;
                ASSERT_EQ(bulk.has_spare, reference.has_spare) << "seed " << seed << " after call " << call;
                ASSERT_EQ(bulk.state, reference.state) << "seed " << seed << " after call " << call;
                if (reference.has_spare)
                    ASSERT_EQ(bulk.spare, reference.spare) << "seed " << seed << " after call " << call;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Inverse CDF.

TEST(InverseNormal, ClampsAndCentre) {
    EXPECT_EQ(inverse_standard_normal(0.5), 0.0);
    const double low = inverse_standard_normal(kDblMin);
    const double high = inverse_standard_normal(kOneMinusUlp);
    const double low_cases[] = {0.0, -0.0, -1.0, 1e-320, -INFINITY};
    for (double p : low_cases) EXPECT_EQ(inverse_standard_normal(p), low) << "p " << p;
    const double high_cases[] = {1.0, 1.5, INFINITY};
    for (double p : high_cases) EXPECT_EQ(inverse_standard_normal(p), high) << "p " << p;
    EXPECT_NEAR(low, -37.5194, 1e-3);
    EXPECT_NEAR(high, 8.12589, 1e-4);
    // Above the clamp the value moves.
    EXPECT_LT(inverse_standard_normal(std::nextafter(kOneMinusUlp, 0.0)), high);
    EXPECT_GT(inverse_standard_normal(2 * kDblMin), low);
}

TEST(InverseNormal, KnownQuantiles) {
    struct Row {
        double p, quantile;
    };
    // Exact quantiles; the approximation's relative error is below 1.15e-9.
    const Row rows[] = {
        {0.025, -1.959963984540054},  {0.975, 1.959963984540054},   {0.001, -3.090232306167814},
        {0.999, 3.090232306167814},   {1e-10, -6.361340902404056},  {0.1, -1.2815515655446004},
        {0.3, -0.5244005127080407},   {0.84134474606854293, 1.0},   {0.02, -2.053748910631823},
        {0.98, 2.053748910631823},    {1e-300, -37.0470962993612},
    };
    for (const Row& r : rows)
        EXPECT_NEAR(inverse_standard_normal(r.p), r.quantile, 1.2e-9 * std::fabs(r.quantile) + 1e-15)
            << "p " << r.p;
}

TEST(InverseNormal, AntisymmetricForExactComplements) {
    // 1 - p is exact for these p, so the two tails and the two halves of the
    // centre are evaluated on the same magnitudes.
    const double ps[] = {0.25, 0.125, 0.375, 0.0625, 1.0 / 64, 1.0 / 1024, 0x1p-20, 0.4375, 0.03125};
    for (double p : ps) EXPECT_EQ(inverse_standard_normal(1.0 - p), -inverse_standard_normal(p)) << "p " << p;
}

TEST(InverseNormal, MonotoneOnGrid) {
    double previous = -INFINITY;
    constexpr int kSteps = 200000;
    for (int i = 0; i <= kSteps; ++i) {
        const double p = static_cast<double>(i) / kSteps;
        const double v = inverse_standard_normal(p);
        ASSERT_GT(v, previous) << "p " << p;
        previous = v;
    }
    // Deep lower tail, decade by decade.
    previous = -INFINITY;
    for (int e = -307; e <= -2; ++e) {
        const double v = inverse_standard_normal(std::pow(10.0, e));
        ASSERT_GT(v, previous) << "p 1e" << e;
        previous = v;
    }
}

TEST(InverseNormal, TailBoundariesAreContinuous) {
    for (double b : {0.02425, 0.97575}) {
        const double below = inverse_standard_normal(std::nextafter(b, 0.0));
        const double at = inverse_standard_normal(b);
        const double above = inverse_standard_normal(std::nextafter(b, 1.0));
        EXPECT_NEAR(below, at, 1e-8) << "boundary " << b;
        EXPECT_NEAR(above, at, 1e-8) << "boundary " << b;
        EXPECT_NEAR(at, b < 0.5 ? -1.9729610 : 1.9729610, 1e-6) << "boundary " << b;
    }
    // Both boundary points belong to the central region: its rational function is
    // odd in p - 0.5, while the tail formula differs there by about 4e-9.
    EXPECT_NEAR(inverse_standard_normal(0.97575), -inverse_standard_normal(0.02425), 1e-13);
    EXPECT_NEAR(inverse_standard_normal(0.02425), -1.9729610490848712, 1e-13);
}

// ---------------------------------------------------------------------------
// Randomized Halton.

bool is_prime(std::uint32_t n) {
    if (n < 2) return false;
    for (std::uint32_t d = 2; d * d <= n; ++d)
        if (n % d == 0) return false;
    return true;
}

double frac(double u) { return u - std::floor(u); }

TEST(Halton, BasesAndShifts) {
    struct Row {
        std::uint64_t seed, dimensions, expected_count;
    };
    const Row rows[] = {{42, 0, 2}, {42, 1, 2}, {7, 2, 2}, {0, 3, 3}, {~std::uint64_t{0}, 10, 10}, {9, 100, 100}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "seed " << r.seed << " dimensions " << r.dimensions);
        const StructuredNormalSampler s(SamplingMethod::randomized_halton, r.seed, 1000, r.dimensions);
        ASSERT_EQ(s.kind(), StructuredNormalSampler::Kind::randomized_halton);
        const auto& bases = s.halton_bases();
        const auto& shifts = s.halton_shifts();
        ASSERT_EQ(bases.size(), r.expected_count);
        ASSERT_EQ(shifts.size(), r.expected_count);
        std::uint32_t candidate = 2;
        for (std::size_t d = 0; d < bases.size(); ++d, ++candidate) {
            while (!is_prime(candidate)) ++candidate;
            EXPECT_EQ(bases[d], candidate) << "dimension " << d;
            EXPECT_EQ(shifts[d], unit_from_bits(splitmix64_mix(r.seed + (d + 1) * kGoldenGamma))) << "dimension " << d;
            EXPECT_GE(shifts[d], kDblMin);
            EXPECT_LT(shifts[d], 1.0);
        }
    }
    const StructuredNormalSampler hundred(SamplingMethod::randomized_halton, 1, 1, 100);
    EXPECT_EQ(hundred.halton_bases()[99], 541u);
}

TEST(Halton, ValuesUseRadicalInverseOfIndexPlusOne) {
    struct Row {
        std::uint64_t point, dimension;
        double radical_inverse;
    };
    const Row rows[] = {
        {0, 0, 0.5},         {1, 0, 0.25},      {2, 0, 0.75},       {5, 0, 0.375},
        {6, 0, 0.875},       {1022, 0, 1023.0 / 1024},
        {0, 1, 1.0 / 3},     {1, 1, 2.0 / 3},   {0, 2, 0.2},        {3, 2, 0.8},
    };
    for (std::uint64_t seed : {std::uint64_t{42}, std::uint64_t{123456789}}) {
        const StructuredNormalSampler s(SamplingMethod::randomized_halton, seed, 5000, 3);
        const auto& shifts = s.halton_shifts();
        for (const Row& r : rows) {
            const double expected = inverse_standard_normal(frac(shifts[r.dimension] + r.radical_inverse));
            EXPECT_NEAR(s.normal(r.point, r.dimension), expected, 1e-12 * (1 + std::fabs(expected)))
                << "seed " << seed << " point " << r.point << " dimension " << r.dimension;
        }
        // Point 0, dimension 0: k = 1 has radical inverse 0.5 exactly.
        EXPECT_EQ(s.standard_normal(0), inverse_standard_normal(frac(shifts[0] + 0.5))) << "seed " << seed;
        // The index wraps to k = 0, whose radical inverse is replaced by DBL_MIN.
        EXPECT_EQ(s.normal(~std::uint64_t{0}, 1), inverse_standard_normal(frac(shifts[1] + kDblMin)))
            << "seed " << seed;
    }
    // A one-dimensional sampler still carries two bases and shifts.
    const StructuredNormalSampler one(SamplingMethod::randomized_halton, 42, 10, 1);
    EXPECT_EQ(one.halton_bases(), (std::vector<std::uint32_t>{2, 3}));
    EXPECT_EQ(one.halton_shifts().size(), 2u);
    EXPECT_EQ(one.standard_normal(0), inverse_standard_normal(frac(one.halton_shifts()[0] + 0.5)));
}

// ---------------------------------------------------------------------------
// Latin hypercube.

double lhs_jitter(std::uint64_t key, std::uint64_t i) {
    return unit_from_bits(splitmix64_mix((key ^ (i * 0xBF58476D1CE4E5B9ULL)) + kGoldenGamma));
}

TEST(LatinHypercube, SinglePointIsJitterAlone) {
    for (std::uint64_t seed : {std::uint64_t{0}, std::uint64_t{42}, ~std::uint64_t{0}}) {
        const StructuredNormalSampler s(SamplingMethod::latin_hypercube, seed, 1, 3);
        ASSERT_EQ(s.latin_dimensions().size(), 3u);
        for (std::uint64_t d = 0; d < 3; ++d) {
            const auto& dim = s.latin_dimensions()[d];
            EXPECT_EQ(dim.multiplier, 1u) << "seed " << seed << " dimension " << d;
            EXPECT_EQ(dim.offset, 0u) << "seed " << seed << " dimension " << d;
            for (std::uint64_t i = 0; i < 4; ++i)
                EXPECT_EQ(s.normal(i, d), inverse_standard_normal(lhs_jitter(dim.jitter_key, i)))
                    << "seed " << seed << " dimension " << d << " point " << i;
        }
    }
}

TEST(LatinHypercube, ConstructionFromHashes) {
    for (std::uint64_t seed : {std::uint64_t{0}, std::uint64_t{42}, std::uint64_t{0xD1B54A32D192ED03ULL}}) {
        for (std::uint64_t n : {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{7}, std::uint64_t{210},
                                std::uint64_t{4096}}) {
            const StructuredNormalSampler s(SamplingMethod::latin_hypercube, seed, n, 4);
            for (std::uint64_t d = 0; d < 4; ++d) {
                SCOPED_TRACE(testing::Message() << "seed " << seed << " n " << n << " dimension " << d);
                const std::uint64_t h =
                    splitmix64_mix(((d * kGoldenGamma) ^ (seed ^ 0xD1B54A32D192ED03ULL)) + kGoldenGamma);
                const auto& dim = s.latin_dimensions()[d];
                EXPECT_EQ(dim.offset, splitmix64_mix((h ^ 0xA24BAED4963EE407ULL) + kGoldenGamma) % n);
                EXPECT_EQ(dim.jitter_key, splitmix64_mix((h ^ 0x9FB21C651E98DF25ULL) + kGoldenGamma));
                if (n < 2) {
                    EXPECT_EQ(dim.multiplier, 1u);
                    continue;
                }
                // The first odd coprime value at or after (h mod n) | 1, wrapping to 1.
                std::uint64_t a = (h % n) | 1;
                while (std::gcd(a, n) != 1) {
                    a += 2;
                    if (a >= n) a = 1;
                }
                EXPECT_EQ(dim.multiplier, a);
            }
        }
    }
}

TEST(LatinHypercube, MultiplierIsOddCoprimeAndWraps) {
    int wrapped = 0;
    for (std::uint64_t n : {std::uint64_t{2}, std::uint64_t{9}, std::uint64_t{15}, std::uint64_t{105},
                            std::uint64_t{210}, std::uint64_t{1000}, std::uint64_t{30030}}) {
        for (std::uint64_t seed = 0; seed < 64; ++seed) {
            const StructuredNormalSampler s(SamplingMethod::latin_hypercube, seed, n, 3);
            for (std::uint64_t d = 0; d < 3; ++d) {
                const std::uint64_t a = s.latin_dimensions()[d].multiplier;
                EXPECT_EQ(a % 2, 1u) << "n " << n << " seed " << seed << " dimension " << d;
                EXPECT_LT(a, n) << "n " << n << " seed " << seed << " dimension " << d;
                EXPECT_EQ(std::gcd(a, n), 1u) << "n " << n << " seed " << seed << " dimension " << d;
                EXPECT_LT(s.latin_dimensions()[d].offset, n);
                const std::uint64_t h =
                    splitmix64_mix(((d * kGoldenGamma) ^ (seed ^ 0xD1B54A32D192ED03ULL)) + kGoldenGamma);
                if (a < ((h % n) | 1)) ++wrapped;
            }
        }
    }
    EXPECT_GT(wrapped, 0) << "no case exercised the wrap to 1";
}

TEST(LatinHypercube, StrataArePermutations) {
    for (std::uint64_t n : {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{7}, std::uint64_t{64},
                            std::uint64_t{1000}, std::uint64_t{4096}}) {
        for (std::uint64_t seed : {std::uint64_t{1}, std::uint64_t{42}}) {
            const StructuredNormalSampler s(SamplingMethod::latin_hypercube, seed, n, 3);
            for (std::uint64_t d = 0; d < 3; ++d) {
                const auto& dim = s.latin_dimensions()[d];
                std::vector<bool> hit(n, false);
                for (std::uint64_t i = 0; i < n; ++i) {
                    const std::uint64_t stratum = s.latin_stratum(i, d);
                    ASSERT_EQ(stratum, (dim.multiplier * i + dim.offset) % n);
                    ASSERT_LT(stratum, n);
                    ASSERT_FALSE(hit[stratum]) << "n " << n << " seed " << seed << " dimension " << d << " point " << i
                                               << " repeats stratum " << stratum;
                    hit[stratum] = true;
                }
            }
        }
    }
}

TEST(LatinHypercube, FourPointsMultiplierThreeOffsetOne) {
    for (std::uint64_t seed = 0; seed < 10000; ++seed) {
        const StructuredNormalSampler s(SamplingMethod::latin_hypercube, seed, 4, 1);
        const auto& dim = s.latin_dimensions()[0];
        if (dim.multiplier != 3 || dim.offset != 1) continue;
        const std::uint64_t expected[] = {1, 0, 3, 2};
        for (std::uint64_t i = 0; i < 4; ++i) EXPECT_EQ(s.latin_stratum(i, 0), expected[i]) << "seed " << seed;
        return;
    }
    FAIL() << "no seed below 10000 gives multiplier 3 and offset 1";
}

TEST(LatinHypercube, ValuesSitInTheirStratum) {
    for (std::uint64_t n : {std::uint64_t{1}, std::uint64_t{3}, std::uint64_t{64}, std::uint64_t{1000}}) {
        const StructuredNormalSampler s(SamplingMethod::latin_hypercube, 99, n, 2);
        for (std::uint64_t d = 0; d < 2; ++d)
            for (std::uint64_t i = 0; i < n; ++i) {
                const double stratum = static_cast<double>(s.latin_stratum(i, d));
                const double j = lhs_jitter(s.latin_dimensions()[d].jitter_key, i);
                const double u = std::min(std::max((j + stratum) / static_cast<double>(n), kDblMin), kOneMinusUlp);
                ASSERT_GE(u, stratum / n);
                ASSERT_LE(u, (stratum + 1) / n);
                ASSERT_EQ(s.normal(i, d), inverse_standard_normal(u)) << "n " << n << " dimension " << d << " point " << i;
            }
    }
}

// ---------------------------------------------------------------------------
// Sampler frame.

TEST(Sampler, PseudorandomIsAnInternalError) {
    try {
        StructuredNormalSampler s(SamplingMethod::pseudorandom, 42, 10, 1);
        FAIL() << "constructed a pseudorandom sampler";
    } catch (const mc_core::FatalError& e) {
        EXPECT_STREQ(e.what(),
                     "internal error: entered unreachable code: pseudorandom sampling is handled by the PRNG "
                     "runtime path");
    }
}

TEST(Sampler, FillClearsAndMatchesSingleValues) {
    struct Row {
        SamplingMethod sampling;
        std::uint64_t seed, n_points, dimensions;
    };
    const Row rows[] = {
        {SamplingMethod::randomized_halton, 42, 100, 1},
        {SamplingMethod::randomized_halton, 5, 100, 12},
        {SamplingMethod::latin_hypercube, 42, 100, 1},
        {SamplingMethod::latin_hypercube, 5, 77, 9},
        {SamplingMethod::scrambled_sobol, 42, 100, 300},
        {SamplingMethod::scrambled_sobol_brownian_bridge, 7, 100, 260},
    };
    std::vector<double> out;
    for (const Row& r : rows) {
        const StructuredNormalSampler s(r.sampling, r.seed, r.n_points, r.dimensions);
        const std::uint64_t points[] = {0, 1, 2, 50, 99, 65535, 65536, 1000003};
        for (std::uint64_t i : points) {
            SCOPED_TRACE(testing::Message() << "sampling " << int(r.sampling) << " seed " << r.seed << " n_points "
                                            << r.n_points << " dimensions " << r.dimensions << " point " << i);
            const std::uint64_t m = std::max<std::uint64_t>(r.dimensions, 1);
            out.assign(5, -7.0);
            s.fill_standard_normals(i, m, out);
            ASSERT_EQ(out.size(), m);
            for (std::uint64_t d = 0; d < m; ++d) ASSERT_EQ(out[d], s.normal(i, d)) << "dimension " << d;
            EXPECT_EQ(s.standard_normal(i), out[0]);
            s.fill_standard_normals(i, 0, out);
            EXPECT_TRUE(out.empty());
        }
    }
}

TEST(Sampler, SobolDimensionZeroAndSeedWidth) {
    const StructuredNormalSampler a(SamplingMethod::scrambled_sobol, 5, 10, 1);
    const StructuredNormalSampler b(SamplingMethod::scrambled_sobol, (std::uint64_t{1} << 32) + 5, 10, 1);
    const StructuredNormalSampler bridge(SamplingMethod::scrambled_sobol_brownian_bridge, 5, 10, 1);
    const StructuredNormalSampler other(SamplingMethod::scrambled_sobol, 6, 10, 1);
    EXPECT_EQ(a.kind(), StructuredNormalSampler::Kind::scrambled_sobol);
    EXPECT_EQ(bridge.kind(), StructuredNormalSampler::Kind::scrambled_sobol);
    std::vector<double> out;
    int differing = 0;
    for (std::uint64_t i : {0u, 1u, 2u, 3u, 1000u, 65535u, 65536u, 200000u}) {
        out.clear();
        mc_core::fill_scrambled_sobol_point_standard_normals(5, i, 1, out);
        EXPECT_EQ(a.standard_normal(i), out[0]) << "point " << i;
        EXPECT_EQ(b.standard_normal(i), out[0]) << "point " << i << ": only the low 32 seed bits count";
        EXPECT_EQ(bridge.standard_normal(i), out[0]) << "point " << i;
        if (other.standard_normal(i) != out[0]) ++differing;
    }
    EXPECT_EQ(differing, 8);
}

}  // namespace
