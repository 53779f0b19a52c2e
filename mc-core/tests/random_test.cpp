// Normal variate sources: the seeded stream and its seeding, bulk draws, the
// inverse normal CDF, the Halton and Latin hypercube samplers and the sampler frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <tuple>
#include <vector>

#include "mc_core/error.hpp"
#include "mc_core/random.hpp"
#include "mc_core/simd.hpp"

namespace {

using namespace mc_core;
using U64 = std::uint64_t;

TEST(NormalRng, Seed42KnownOutputs) {
    NormalRng bits(42), uniforms(42), normals(42);
    EXPECT_EQ(bits.next_u64(), 0x56CE4AB7719BA3A0ULL);
    EXPECT_EQ(bits.next_u64(), 0xC841EB53EBBB2DDAULL);
    const double u1 = uniforms.next_uniform(), u2 = uniforms.next_uniform();
    EXPECT_EQ(u1, 0.33908526400192196);
    EXPECT_EQ(u2, 0.7822558479199243);

    const double z1 = normals.next_standard_normal();
    const U64 state_after_pair = normals.state;
    const double z2 = normals.next_standard_normal();
    EXPECT_EQ(normals.state, state_after_pair) << "the cached value must not draw new uniforms";
    EXPECT_FALSE(normals.has_spare);
    EXPECT_DOUBLE_EQ(z1, std::sqrt(-2.0 * std::log(u1)) * std::cos(kTwoPi * u2));
    EXPECT_DOUBLE_EQ(z2, std::sqrt(-2.0 * std::log(u1)) * std::sin(kTwoPi * u2));
    EXPECT_NEAR(z1, 0.29603, 5e-6);
    EXPECT_NEAR(z2, -1.44062, 5e-6);

    EXPECT_EQ(NormalRng(0).state, kGoldenGamma);
    NormalRng zero_state;
    zero_state.state = 0;  // the step's fixed point: every output is 0
    EXPECT_EQ(zero_state.next_uniform(), kDblMin);
    EXPECT_TRUE(std::isfinite(zero_state.next_standard_normal()));
}

TEST(Seeding, WorkerSeedsAndUnitFromBits) {
    EXPECT_EQ(derive_worker_seed(42, 0), 0xBDD732262FEB6E95ULL);
    EXPECT_EQ(derive_worker_seed(42, 1), 0x28EFE333B266F103ULL);
    EXPECT_EQ(derive_worker_seed(0, 0), 0xE220A8397B1DCDAFULL);
    EXPECT_EQ(derive_worker_seed(~U64{0}, 15), splitmix64_mix(~U64{0} + 16 * kGoldenGamma));
    EXPECT_EQ(unit_from_bits(0), kDblMin);
    EXPECT_EQ(unit_from_bits(0x7FF), kDblMin);
    EXPECT_EQ(unit_from_bits(0x800), 0x1p-53);
    EXPECT_EQ(unit_from_bits(0x8000000000000000ULL), 0.5);
    EXPECT_EQ(unit_from_bits(~U64{0}), 1.0 - 0x1p-53);
}

// Bulk draws are the one-at-a-time sequence, the cached value carried across calls.
TEST(NormalRng, FillMatchesSuccessiveDraws) {
    const std::vector<std::vector<std::size_t>> sequences = {
        {0, 1, 2, 3, 255, 256, 257, 513}, {3, 0, 3, 255, 1, 257}, {1, 254, 1, 255, 1, 256, 1}, {4096, 1, 4095}};
    for (U64 seed : {U64{42}, U64{0xDEADBEEF}})
        for (const auto& lengths : sequences) {
            NormalRng bulk(seed), reference(seed);
            for (std::size_t call = 0; call < lengths.size(); ++call) {
                SCOPED_TRACE(testing::Message() << "seed " << seed << " call " << call);
                std::vector<double> out(lengths[call] + 1, -1234.5);
                bulk.fill_standard_normals(out.data(), lengths[call]);
                for (std::size_t j = 0; j < lengths[call]; ++j)
                    ASSERT_EQ(out[j], reference.next_standard_normal()) << j;
                ASSERT_EQ(out.back(), -1234.5) << "wrote past the end";
                ASSERT_EQ(bulk.has_spare, reference.has_spare);
                ASSERT_EQ(bulk.state, reference.state);
                if (reference.has_spare) ASSERT_EQ(bulk.spare, reference.spare);
            }
        }
}

TEST(InverseNormal, KnownQuantilesClampsAndAntisymmetry) {
    const std::pair<double, double> rows[] = {
        {0.5, 0.0},                  {0.025, -1.959963984540054}, {0.001, -3.090232306167814},
        {0.999, 3.090232306167814},  {1e-10, -6.361340902404056}, {0.3, -0.5244005127080407},
        {0.84134474606854293, 1.0},  {0.02, -2.053748910631823},  {0.98, 2.053748910631823},
        {1e-300, -37.0470962993612}};
    for (const auto& [p, q] : rows) EXPECT_NEAR(inverse_standard_normal(p), q, 1.2e-9 * std::fabs(q)) << p;
    // The region boundaries belong to the centre (odd in p - 0.5; the tails differ there by about 4e-9).
    for (double b : {0.02425, 0.97575}) {
        EXPECT_NEAR(inverse_standard_normal(b), b < 0.5 ? -1.9729610490848712 : 1.9729610490848712, 1e-13);
        EXPECT_NEAR(inverse_standard_normal(std::nextafter(b, 0.0)), inverse_standard_normal(b), 1e-8) << b;
        EXPECT_NEAR(inverse_standard_normal(std::nextafter(b, 1.0)), inverse_standard_normal(b), 1e-8) << b;
    }
    // 1 - p is exact for these p, in the centre and in both tails.
    for (double p : {0.25, 0.4375, 0.0625, 1.0 / 1024, 0x1p-20})
        EXPECT_EQ(inverse_standard_normal(1.0 - p), -inverse_standard_normal(p)) << p;

    const double low = inverse_standard_normal(kDblMin), high = inverse_standard_normal(kOneMinusUlp);
    for (double p : {0.0, -0.0, -1.0, 1e-320, -HUGE_VAL}) EXPECT_EQ(inverse_standard_normal(p), low) << p;
    for (double p : {1.0, 1.5, HUGE_VAL}) EXPECT_EQ(inverse_standard_normal(p), high) << p;
    EXPECT_NEAR(low, -37.5194, 1e-3);
    EXPECT_NEAR(high, 8.12589, 1e-4);
    EXPECT_LT(inverse_standard_normal(std::nextafter(kOneMinusUlp, 0.0)), high);
    EXPECT_GT(inverse_standard_normal(2 * kDblMin), low);
}

// Bases are the first primes (at least two), shifts the seed's SplitMix64
// outputs, and point i uses the radical inverse of i + 1 (0 replaced by DBL_MIN).
TEST(Halton, BasesShiftsAndRadicalInverses) {
    const U64 primes[] = {2, 3, 5, 7, 11, 13, 17, 19, 23, 29};
    for (const auto& [seed, dimensions] : {std::pair<U64, U64>{42, 0}, {7, 1}, {~U64{0}, 10}, {9, 100}}) {
        const StructuredNormalSampler s(SamplingMethod::randomized_halton, seed, 1000, dimensions);
        const std::size_t count = std::max<U64>(dimensions, 2);
        ASSERT_EQ(s.halton_bases().size(), count);
        ASSERT_EQ(s.halton_shifts().size(), count);
        for (std::size_t d = 0; d < count; ++d) {
            if (d < 10) EXPECT_EQ(s.halton_bases()[d], primes[d]) << d;
            EXPECT_EQ(s.halton_shifts()[d], unit_from_bits(splitmix64_mix(seed + (d + 1) * kGoldenGamma))) << d;
        }
        if (dimensions == 100) EXPECT_EQ(s.halton_bases()[99], 541u);
    }
    const StructuredNormalSampler s(SamplingMethod::randomized_halton, 123456789, 5000, 3);
    const auto shifted = [&](U64 d, double radical_inverse) {
        const double u = s.halton_shifts()[d] + radical_inverse;
        return inverse_standard_normal(u - std::floor(u));
    };
    const std::tuple<U64, U64, double> rows[] = {{0, 0, 0.5},     {1, 0, 0.25},    {2, 0, 0.75},
                                                 {5, 0, 0.375},   {1022, 0, 1023.0 / 1024},
                                                 {0, 1, 1.0 / 3}, {1, 1, 2.0 / 3}, {0, 2, 0.2}, {3, 2, 0.8}};
    for (const auto& [i, d, radical_inverse] : rows)
        EXPECT_NEAR(s.normal(i, d), shifted(d, radical_inverse), 1e-11) << "point " << i << " dimension " << d;
    EXPECT_EQ(s.standard_normal(0), shifted(0, 0.5));
    EXPECT_EQ(s.normal(~U64{0}, 1), shifted(1, kDblMin));
}

// Per dimension: offset b, jitter key and multiplier a, the first odd value
// coprime with n at or after (hash mod n) | 1, wrapping to 1.
TEST(LatinHypercube, KnownDimensions) {
    const std::tuple<U64, U64, U64, U64, U64, U64> rows[] = {  // seed, n, dimension, offset, jitter key, multiplier
        {0, 1, 0, 0, 0x7E6513BA0B2BE586ULL, 1},
        {0, 3, 0, 1, 0x7E6513BA0B2BE586ULL, 1},       // (h mod 3) | 1 = 3: wraps
        {5, 9, 3, 8, 0x40B584CDFBE3B4A6ULL, 1},       // (h mod 9) | 1 = 9: wraps
        {0, 210, 0, 10, 0x7E6513BA0B2BE586ULL, 101},  // from 99
        {3, 210, 1, 152, 0x0D7171078631857BULL, 79},  // from 75, past 77
        {7, 4096, 3, 3190, 0xBB8617329CAD6307ULL, 2231}};
    for (const auto& [seed, n, d, offset, jitter_key, multiplier] : rows) {
        const StructuredNormalSampler s(SamplingMethod::latin_hypercube, seed, n, 4);
        const auto& dim = s.latin_dimensions()[d];
        EXPECT_EQ(std::tie(dim.offset, dim.jitter_key, dim.multiplier), std::tie(offset, jitter_key, multiplier))
            << "seed " << seed << " n " << n << " dimension " << d;
    }
}

// Point i of dimension d sits in stratum (a i + b) mod n, a permutation, at
// a position inside the stratum.
TEST(LatinHypercube, StrataArePermutationsHoldingTheirValues) {
    std::vector<double> u(2);
    for (U64 n : {1, 2, 7, 1000}) {
        const StructuredNormalSampler s(SamplingMethod::latin_hypercube, 42, n, 2);
        for (U64 d = 0; d < 2; ++d) {
            const auto& dim = s.latin_dimensions()[d];
            std::vector<bool> hit(n, false);
            for (U64 i = 0; i < n; ++i) {
                SCOPED_TRACE(testing::Message() << "n " << n << " dimension " << d << " point " << i);
                const U64 stratum = s.latin_stratum(i, d);
                ASSERT_EQ(stratum, (dim.multiplier * i + dim.offset) % n);
                ASSERT_FALSE(hit[stratum]) << "repeated stratum " << stratum;
                hit[stratum] = true;
                s.fill_uniforms(i, 2, u.data());
                ASSERT_TRUE(u[d] >= double(stratum) / n && u[d] <= double(stratum + 1) / n) << u[d];
                ASSERT_EQ(s.normal(i, d), inverse_standard_normal(u[d]));
            }
        }
    }
}

// A pack of points filled as rows holds each point's own probabilities, on
// every target and for any number of points: across Sobol's 2^16-point blocks
// and 256-dimension passes, and past Halton's exact-double range (2^52).
TEST(Sampler, RowsOfPointsMatchEachPoint) {
    const std::tuple<SamplingMethod, U64, U64> cases[] = {{SamplingMethod::randomized_halton, 1000, 40},
                                                          {SamplingMethod::latin_hypercube, 1000, 9},
                                                          {SamplingMethod::latin_hypercube, ~U64{0}, 3},
                                                          {SamplingMethod::latin_hypercube, (U64{1} << 63) + 3, 3},
                                                          {SamplingMethod::scrambled_sobol, 1000, 300}};
    for (const auto& [sampling, n_points, dims] : cases)
        for (simd::Target target : {simd::Target::scalar, simd::Target::avx2, simd::Target::avx512}) {
            if (!simd::set_active_target(target)) continue;
            const StructuredNormalSampler s(sampling, 11, n_points, dims);
            for (U64 first : {U64{0}, U64{65531}, (U64{1} << 52) - 5, ~U64{0} - 20, ~U64{0} - 2})
                for (std::size_t points : {1, 3, 8, 13}) {
                    SCOPED_TRACE(testing::Message() << "sampling " << int(sampling) << " n " << n_points << " target "
                                                    << int(target) << " first " << first << " points " << points);
                    std::vector<double> rows(points * dims, -1.0), one(dims);
                    s.fill_uniform_rows(first, points, dims, rows.data());
                    for (std::size_t l = 0; l < points; ++l) {
                        s.fill_uniforms(first + l, dims, one.data());
                        for (U64 d = 0; d < dims; ++d) ASSERT_EQ(rows[d * points + l], one[d]) << l << " " << d;
                    }
                    if (sampling == SamplingMethod::latin_hypercube)
                        for (U64 d = 0; d < dims; ++d) {
                            const auto& dim = s.latin_dimensions()[d];
                            ASSERT_EQ(s.latin_stratum(first, d), (dim.multiplier * first + dim.offset) % n_points);
                        }
                }
        }
    simd::set_active_target(simd::best_target());
}

TEST(Sampler, PseudorandomIsAnInternalError) {
    try {
        StructuredNormalSampler s(SamplingMethod::pseudorandom, 42, 10, 1);
        FAIL() << "constructed a pseudorandom sampler";
    } catch (const FatalError& e) {
        EXPECT_STREQ(e.what(), "internal error: entered unreachable code: pseudorandom sampling is handled by the "
                               "PRNG runtime path");
    }
}

// The fill clears and equals the single values; both Sobol samplers give the
// plain Sobol points of the seed's low 32 bits.
TEST(Sampler, FillClearsAndMatchesSingleValues) {
    const std::tuple<SamplingMethod, U64, U64> rows[] = {{SamplingMethod::randomized_halton, 5, 12},
                                                         {SamplingMethod::latin_hypercube, 5, 9},
                                                         {SamplingMethod::scrambled_sobol, (U64{1} << 32) + 5, 300},
                                                         {SamplingMethod::scrambled_sobol_brownian_bridge, 5, 260}};
    std::vector<double> out, sobol;
    for (const auto& [sampling, seed, dims] : rows) {
        const StructuredNormalSampler s(sampling, seed, 77, dims);
        for (U64 i : {0, 1, 50, 65535, 65536, 1000003}) {
            SCOPED_TRACE(testing::Message() << "sampling " << int(sampling) << " point " << i);
            out.assign(5, -7.0);
            s.fill_standard_normals(i, dims, out);
            ASSERT_EQ(out.size(), dims);
            for (U64 d = 0; d < dims; ++d) ASSERT_EQ(out[d], s.normal(i, d)) << "dimension " << d;
            EXPECT_EQ(s.standard_normal(i), out[0]);
            if (sampling >= SamplingMethod::scrambled_sobol) {  // with or without the bridge
                sobol.clear();
                fill_scrambled_sobol_point_standard_normals(5, i, dims, sobol);
                EXPECT_EQ(out, sobol);
            }
            s.fill_standard_normals(i, 0, out);
            EXPECT_TRUE(out.empty());
        }
    }
}

}  // namespace
