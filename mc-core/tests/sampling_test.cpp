// Normal variate sources: the seeded stream and its seeding, bulk draws, the
// inverse normal CDF, the Halton and Latin hypercube samplers, the sampler
// frame and the Brownian bridge.
#include <algorithm>
#include <array>
#include <numeric>

#include "test_support.hpp"
#include "mc_core/random.hpp"

namespace mc_core {
namespace {

using namespace test_support;

// The raw words are pinned in StreamJump.KnownAnswersFromState42.
TEST(NormalRng, Seed42KnownOutputs) {
    NormalRng uniforms(42), normals(42);
    EXPECT_EQ(uniforms.next_uniform(), 0.33908526400192196);
    EXPECT_EQ(uniforms.next_uniform(), 0.7822558479199243);
    EXPECT_EQ(normals.next_standard_normal(), 0x1.2f23475957b8fp-2);  // 0.29603, the cosine of the pair
    const U64 state_after_pair = normals.state;
    EXPECT_EQ(normals.next_standard_normal(), -0x1.70cc267b6ae49p+0);  // -1.44062, its sine
    EXPECT_EQ(normals.state, state_after_pair) << "the cached value must not draw new uniforms";
    EXPECT_FALSE(normals.has_spare);

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
    EXPECT_EQ(derive_worker_seed(~U64{0}, 15), 0xACEEA13CA07E34E8ULL);  // the seed's addition wraps
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
                for (std::size_t j = 0; j < lengths[call]; ++j) ASSERT_EQ(out[j], reference.next_standard_normal()) << j;
                ASSERT_EQ(out.back(), -1234.5) << "wrote past the end";
                ASSERT_EQ(std::tie(bulk.has_spare, bulk.state), std::tie(reference.has_spare, reference.state));
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

// Bases are the first primes (at least two), one shift per dimension from the
// seed, and point i uses the radical inverse of i + 1 (0 replaced by DBL_MIN).
TEST(Halton, BasesShiftsAndRadicalInverses) {
    const U64 primes[] = {2, 3, 5, 7, 11, 13, 17, 19, 23, 29};
    const std::tuple<U64, U64, U64, double, double, double> rows[] = {  // seed, dimensions, last base, shifts 0, 1, last
        {42, 0, 3, 0x1.7bae644c5fd6dp-1, 0x1.477f199d93378p-3, 0x1.477f199d93378p-3},
        {7, 1, 3, 0x1.8f2f879164c82p-2, 0x1.130f35fd0f18p-6, 0x1.130f35fd0f18p-6},
        {~U64{0}, 10, 29, 0x1.c9b2e2ee36ca5p-1, 0x1.d33ff0cfb7edp-1, 0x1.8f287f3ddeb4p-7},
        {9, 100, 541, 0x1.5d5ea5fd7ce0cp-1, 0x1.805b14bd0f5fdp-1, 0x1.006977109ff9fp-1}};
    for (const auto& [seed, dimensions, last_base, shift0, shift1, last_shift] : rows) {
        const StructuredNormalSampler s(SamplingMethod::randomized_halton, seed, 1000, dimensions);
        const auto& bases = s.halton_bases();
        const auto& shifts = s.halton_shifts();
        ASSERT_EQ(bases.size(), std::max<U64>(dimensions, 2));
        ASSERT_EQ(shifts.size(), bases.size());
        for (std::size_t d = 0; d < std::min<std::size_t>(bases.size(), 10); ++d) EXPECT_EQ(bases[d], primes[d]) << d;
        EXPECT_EQ(bases.back(), last_base);
        EXPECT_EQ(bits(std::vector{shifts[0], shifts[1], shifts.back()}), bits(std::vector{shift0, shift1, last_shift}))
            << seed;
    }
    const StructuredNormalSampler s(SamplingMethod::randomized_halton, 123456789, 5000, 3);
    const auto shifted = [&](U64 d, double radical_inverse) {
        const double u = s.halton_shifts()[d] + radical_inverse;
        return inverse_standard_normal(u - std::floor(u));
    };
    const std::tuple<U64, U64, double> rows2[] = {{0, 0, 0.5},     {1, 0, 0.25},    {2, 0, 0.75},
                                                  {5, 0, 0.375},   {1022, 0, 1023.0 / 1024},
                                                  {0, 1, 1.0 / 3}, {1, 1, 2.0 / 3}, {0, 2, 0.2}, {3, 2, 0.8}};
    for (const auto& [i, d, radical_inverse] : rows2)
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

// Rows of points hold each point's own probabilities, on every target and for
// any number of points: across Sobol's 2^16-point blocks and 256-dimension
// passes, and past Halton's exact-double range (2^52). A point's normals are the
// inverse CDFs of its probabilities, bit for bit; the fill clears; both Sobol
// samplers give the plain Sobol points of the seed's low 32 bits.
TEST(Sampler, RowsPointsAndSingleValuesAgree) {
    const std::tuple<SamplingMethod, U64, U64, U64> cases[] = {  // sampling, seed, n_points, dimensions
        {SamplingMethod::randomized_halton, 11, 1000, 40},
        {SamplingMethod::randomized_halton, 5, 77, 12},
        {SamplingMethod::latin_hypercube, 11, 1000, 9},
        {SamplingMethod::latin_hypercube, 5, 77, 9},
        {SamplingMethod::latin_hypercube, 3, 1, 2},
        {SamplingMethod::latin_hypercube, 7, U64{1} << 32, 5},        // the largest count with strata by steps
        {SamplingMethod::latin_hypercube, 7, (U64{1} << 32) + 1, 5},  // the smallest without
        {SamplingMethod::latin_hypercube, 11, ~U64{0}, 3},
        {SamplingMethod::latin_hypercube, 11, (U64{1} << 63) + 3, 3},
        {SamplingMethod::scrambled_sobol, (U64{1} << 32) + 5, 1000, 300},
        {SamplingMethod::scrambled_sobol_brownian_bridge, 5, 77, 260}};
    std::vector<double> normals, sobol;
    on_every_target([&] {
        for (const auto& [sampling, seed, n_points, dims] : cases) {
            const StructuredNormalSampler s(sampling, seed, n_points, dims);
            for (U64 first : {U64{0}, U64{50}, U64{65531}, U64{1000003}, (U64{1} << 32) - 13, (U64{1} << 52) - 5,
                              ~U64{0} - 20, ~U64{0} - 2})
                for (std::size_t points : {1, 3, 4, 8, 13}) {
                    SCOPED_TRACE(testing::Message() << "sampling " << int(sampling) << " n " << n_points << " first "
                                                    << first << " points " << points);
                    std::vector<double> rows(points * dims, -1.0), one(dims);
                    s.fill_uniform_rows(first, points, dims, rows.data());
                    for (std::size_t l = 0; l < points; ++l) {
                        s.fill_uniforms(first + l, dims, one.data());
                        normals.assign(5, -7.0);
                        s.fill_standard_normals(first + l, dims, normals);
                        ASSERT_EQ(normals.size(), dims);
                        for (U64 d = 0; d < dims; ++d) {
                            ASSERT_EQ(rows[d * points + l], one[d]) << l << " " << d;
                            ASSERT_EQ(bits(normals[d]), bits(inverse_standard_normal(one[d]))) << l << " " << d;
                            ASSERT_EQ(bits(s.normal(first + l, d)), bits(normals[d])) << l << " " << d;
                        }
                        EXPECT_EQ(bits(s.standard_normal(first + l)), bits(normals[0]));
                        if (sampling >= SamplingMethod::scrambled_sobol) {  // with or without the bridge
                            sobol.clear();
                            fill_scrambled_sobol_point_standard_normals(static_cast<std::uint32_t>(seed), first + l, dims,
                                                                        sobol);
                            EXPECT_EQ(bits(normals), bits(sobol));
                        }
                        s.fill_standard_normals(first + l, 0, normals);
                        EXPECT_TRUE(normals.empty());
                    }
                    if (sampling == SamplingMethod::latin_hypercube)
                        for (U64 d = 0; d < dims; ++d) {
                            const auto& dim = s.latin_dimensions()[d];
                            ASSERT_EQ(s.latin_stratum(first, d), (dim.multiplier * first + dim.offset) % n_points);
                        }
                }
        }
    });
}

TEST(Sampler, PseudorandomIsAnInternalError) {
    EXPECT_EQ(fatal_message([] { StructuredNormalSampler(SamplingMethod::pseudorandom, 42, 10, 1); }),
              "internal error: entered unreachable code: pseudorandom sampling is handled by the PRNG runtime path");
}

// ---------------------------------------------------------------------------
// Brownian bridge.

using Node = std::array<U64, 4>;  // left, mid, right, normal index

std::vector<Node> plan_of(U64 n) {
    BrownianBridgeWorkspace bridge(SamplingMethod::scrambled_sobol_brownian_bridge, n, 1.0);
    std::vector<Node> nodes;
    for (const BridgeNode& b : *bridge.plan()) nodes.push_back({b.left, b.mid, b.right, b.normal_index});
    return nodes;
}

TEST(BrownianBridge, PlansArePreOrderMidpointSplits) {
    EXPECT_EQ(plan_of(8), (std::vector<Node>{{0, 4, 8, 1}, {0, 2, 4, 2}, {0, 1, 2, 3}, {2, 3, 4, 4}, {4, 6, 8, 5},
                                             {4, 5, 6, 6}, {6, 7, 8, 7}}));
    EXPECT_EQ(plan_of(5), (std::vector<Node>{{0, 2, 5, 1}, {0, 1, 2, 2}, {2, 3, 5, 3}, {3, 4, 5, 4}}));
    EXPECT_EQ(plan_of(2), (std::vector<Node>{{0, 1, 2, 1}}));
    EXPECT_TRUE(plan_of(1).empty());
    for (U64 n : {3u, 7u, 100u, 252u}) {  // every interior grid point is filled once
        std::vector<int> filled(n + 1, 0);
        for (const Node& node : plan_of(n)) {
            ++filled[node[1]];
            EXPECT_TRUE(node[0] < node[1] && node[1] < node[2]) << "n = " << n;
        }
        for (U64 g = 0; g <= n; ++g) EXPECT_EQ(filled[g], g % n != 0) << "n = " << n << ", point " << g;
    }
    BrownianBridgeWorkspace two(SamplingMethod::scrambled_sobol_brownian_bridge, 2, 2.0);
    EXPECT_EQ(two.plan()->at(0).left_weight, 0.5);
    EXPECT_EQ(two.plan()->at(0).right_weight, 0.5);
    EXPECT_DOUBLE_EQ(two.plan()->at(0).std_dev, std::sqrt(0.5));  // sqrt(dt / 2), dt = 1
}

TEST(BrownianBridge, IncrementsFollowTheBridgeAndSumToTheTerminalValue) {
    const double maturity = 1.5;
    std::vector<double> z;
    for (U64 n : {1u, 2u, 5u, 252u, 300u}) {
        const StructuredNormalSampler sampler(SamplingMethod::scrambled_sobol_brownian_bridge, 7, 16, n);
        BrownianBridgeWorkspace bridge(SamplingMethod::scrambled_sobol_brownian_bridge, n, maturity);
        for (U64 point : {0u, 11u}) {
            const auto increments = bridge.step_normals(sampler, point);
            ASSERT_TRUE(increments.has_value());
            ASSERT_EQ(increments->size(), n);
            sampler.fill_standard_normals(point, n, z);
            const double sum = std::accumulate(increments->begin(), increments->end(), 0.0);
            EXPECT_NEAR(sum * std::sqrt(maturity / n), std::sqrt(maturity) * z[0], 1e-12 * (1.0 + std::abs(z[0])))
                << "n = " << n << ", point " << point;
        }
    }
    // Three steps split unevenly: W(t1) = W(T) / 3 + sqrt(2 dt / 3) z1, W(t2) = (W(t1) + W(T)) / 2 + sqrt(dt / 2) z2.
    const StructuredNormalSampler sampler(SamplingMethod::scrambled_sobol_brownian_bridge, 7, 16, 3);
    BrownianBridgeWorkspace bridge(SamplingMethod::scrambled_sobol_brownian_bridge, 3, maturity);
    const auto increments = *bridge.step_normals(sampler, 5);
    sampler.fill_standard_normals(5, 3, z);
    const double dt = maturity / 3, w3 = std::sqrt(maturity) * z[0], w1 = w3 / 3 + std::sqrt(2 * dt / 3) * z[1];
    const double w2 = (w1 + w3) / 2 + std::sqrt(dt / 2) * z[2], expected[] = {w1, w2 - w1, w3 - w2};
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(increments[k] * std::sqrt(dt), expected[k], 1e-12) << "step " << k;

    const StructuredNormalSampler sobol(SamplingMethod::scrambled_sobol, 1, 4, 8);  // every other sampler: inert
    for (SamplingMethod method : {SamplingMethod::pseudorandom, SamplingMethod::randomized_halton,
                                  SamplingMethod::latin_hypercube, SamplingMethod::scrambled_sobol}) {
        BrownianBridgeWorkspace inert(method, 8, 1.0);
        EXPECT_FALSE(inert.active());
        EXPECT_FALSE(inert.step_normals(sobol, 0).has_value());
    }
}

}  // namespace
}  // namespace mc_core
