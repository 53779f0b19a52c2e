// The xorshift64* stream jumped ahead, read by engine lanes and tiles, cut by
// block plans: known answers far along it, and the same bits however the work
// is laid out. Whole runs on every target: tests/python/test_engine.py; threads
// and plans against the module functions: tests/python/test_price_api.py.
#include <array>
#include <functional>
#include <optional>

#include "test_support.hpp"
#include "mc_core/basket.hpp"
#include "mc_core/dynamics.hpp"
#include "mc_core/engine.hpp"
#include "mc_core/european.hpp"
#include "mc_core/multilevel.hpp"
#include "mc_core/path_dependent.hpp"
#include "mc_core/random.hpp"
#include "mc_core/stream_jump.hpp"

namespace mc_core {
namespace {

using namespace test_support;
using T = MonteCarloTechnique;
using S = SamplingMethod;

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

TEST(StreamJump, IdentityFullPeriodAndPrimitivePolynomial) {
    EXPECT_EQ(jump_ahead(0), (JumpAhead{1, 0}));
    for (U64 s : kStates) EXPECT_EQ(jump(s, jump_ahead(0)), s);
    for (U64 n : {U64{1}, U64{1000003}, kAllOnes - 1}) EXPECT_EQ(jump(0, jump_ahead(n)), 0U) << "zero stays zero";
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

TEST(StreamJump, JumpsComposeAndMatchDirectStepping) {
    // {a, b, a + b modulo 2^64 - 1}; 2^64 is congruent to 1.
    constexpr U64 kHalf = 0x8000000000000000ULL;
    constexpr U64 kSums[][3] = {
        {1, 1, 2}, {1000, 999999, 1000999}, {0x123456789ULL, 0xFEDCBA987654321ULL, 0xFEDCBA987654321ULL + 0x123456789ULL},
        {kHalf, kHalf, 1}, {kAllOnes - 1, 5, 4}, {kAllOnes - 1, 1, 0}, {kAllOnes, 7, 7},
        {0xFFFFFFFF00000000ULL, 0x1FFFFFFFFULL, 0x100000000ULL}};
    for (const auto& [a, b, sum] : kSums)
        for (U64 s : kStates) {
            EXPECT_EQ(jump(jump(s, jump_ahead(a)), jump_ahead(b)), jump(s, jump_ahead(sum))) << a << " + " << b;
            EXPECT_EQ(jump(jump(s, jump_ahead(b)), jump_ahead(a)), jump(s, jump_ahead(sum))) << b << " + " << a;
        }
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
    on_every_target([] {
        expect_lanes_match_scalar<8>();
        expect_lanes_match_scalar<1>();
    });
}

// ---------------------------------------------------------------------------
// The model engine.

// Every lane, started at a jumped-ahead position, reads on exactly as one
// stream would from there, in requests of odd and even sizes; a lane may
// start on the second value of a pair.
TEST(LaneStream, LanesContinueTheSequentialStream) {
    using V = simd::f64x8;
    constexpr U64 kSeed = 12345;
    std::vector<double> expected(4000);
    NormalRng(kSeed).fill_standard_normals(expected.data(), expected.size());
    for (const U64 gap : {U64{0}, U64{2}, U64{252}, U64{317}}) {
        for (const bool odd_start : {false, true}) {
            simd::u64_of<V> states;
            const U64 pair_gap = gap & ~U64{1};
            states[0] = NormalRng(kSeed).state;
            for (std::size_t l = 1; l < simd::kLanes; ++l) states[l] = jump(states[l - 1], jump_ahead(pair_gap));
            LaneStream<V> lanes(states);
            V skipped;
            if (odd_start) lanes.fill(&skipped, 1);  // each lane now holds the sine of its first pair
            U64 read = odd_start ? 1 : 0;
            for (const std::size_t request : {1, 2, 7, 128, 3, 64}) {
                V block[128];
                lanes.fill(block, request);
                for (std::size_t j = 0; j < request; ++j)
                    for (std::size_t l = 0; l < simd::kLanes; ++l)
                        ASSERT_EQ(bits(block[j][l]), bits(expected[l * pair_gap + read + j]))
                            << "gap " << gap << " lane " << l << " normal " << read + j;
                read += request;
            }
        }
    }
}

template <class Partial>
std::vector<double> fields(const Partial& p) {
    if constexpr (std::is_same_v<Partial, PathSums>)
        return {p.sum, p.sum_sq};
    else
        return {static_cast<double>(p.count), p.sum_y, p.sum_y2, p.sum_c, p.sum_c2, p.sum_cy};
}

// Every tile layout (one lane throughout; 2, 4 or 6 units per lane; the
// default) gives the bits of one lane, for odd and even normal counts, ragged
// tails and every technique.
template <MonteCarloTechnique Technique, class Model>
void expect_layouts_agree(const Model& m, U64 units, const char* what) {
    using Kernel = StreamKernel<Technique, Model>;
    const auto reference = bits(fields(Kernel::template run<simd::f64x8>(77, units, m, U64{0})));
    for (const std::optional<U64> tile : {std::optional<U64>(2), std::optional<U64>(4), std::optional<U64>(6),
                                          std::optional<U64>()}) {
        const auto got = simd::on_active_target([&](auto pack) {
            return fields(Kernel::template run<typename decltype(pack)::type>(77, units, m, tile));
        });
        EXPECT_EQ(bits(got), reference) << what << ", " << units << " units, tile " << tile.value_or(99);
        EXPECT_EQ(bits(fields(Kernel::template run<simd::f64x8>(77, units, m, tile))), reference)
            << what << ", 8 lanes, " << units << " units";
    }
}

template <class Model>
void expect_all_techniques(const Model& m, const char* what) {
    for (const U64 units : {U64{1}, U64{16}, U64{53}, U64{203}}) {
        expect_layouts_agree<T::standard>(m, units, what);
        expect_layouts_agree<T::antithetic>(m, units, what);
        expect_layouts_agree<T::control_variate>(m, units, what);
    }
}

TEST(ModelEngine, EveryTileLayoutGivesTheSequentialBits) {
    expect_all_techniques(TerminalModel::from({}), "terminal");
    for (const U64 steps : {U64{1}, U64{7}, U64{130}}) {
        const double n = static_cast<double>(steps);
        expect_all_techniques(make_stepwise_model(ArithmeticAverage{100.0, n}, steps, 100.0, 0.03, 0.2, 1.0), "asian");
        expect_all_techniques(make_stepwise_model(KnockOut{100.0, 100.0, 95.0}, steps, 100.0, 0.03, 0.2, 1.0), "dao");
        expect_all_techniques(HestonPathParams::from({.n_steps = steps}), "heston");
    }
}

// ---------------------------------------------------------------------------
// Block plans.

// Exactly the serial normals: unit by unit, a range started anywhere (on the
// second value of a Box-Muller pair too) gives the values of the serial run.
TEST(BlockPlan, ARangeStartedAnywhereContinuesTheSerialStream) {
    const auto check = [](const auto& model, const char* what) {
        std::vector<PathSums> units(400);
        for (U64 u = 0; u < 400; ++u) units[u] = stream_chunk<T::antithetic>(9, 1, model, u);
        // Ranges long enough for lane tiles, started on odd and even units.
        for (const U64 first : {U64{0}, U64{101}, U64{102}}) {
            PathSums expected;
            for (U64 u = first; u < 400; ++u) expected += units[u];
            const PathSums range = stream_chunk<T::antithetic>(9, 400 - first, model, first);
            EXPECT_EQ(bits(fields(range)), bits(fields(expected))) << what << ", from " << first;
        }
    };
    check(TerminalModel::from({}), "terminal");  // one normal per antithetic pair: odd offsets
    check(make_stepwise_model(ArithmeticAverage{100.0, 7.0}, 7, 100.0, 0.03, 0.2, 1.0), "asian, 7 steps");
}

using Pricer = std::function<EuropeanCallResult(const std::optional<BlockPlan>&)>;

template <class Config>
Pricer pricer(EuropeanCallResult (*price)(const Config&, const std::optional<BlockPlan>&), Config c, U64 paths,
              T technique = T::standard, S sampling = S::pseudorandom) {
    c.n_paths = paths;
    if constexpr (requires { c.technique; }) c.technique = technique;
    if constexpr (requires { c.sampling; }) c.sampling = sampling;
    return [price, c](const std::optional<BlockPlan>& plan) { return price(c, plan); };
}

// Every block run on its own and its bytes merged gives the bits of the
// plan run in one go: what a block does elsewhere cannot move the result.
template <class Result>
void expect_shipped_blocks_match(const std::function<Result(const std::optional<BlockPlan>&)>& price, U64 blocks) {
    std::vector<std::string> partials;
    for (U64 b = 0; b < blocks; ++b) {
        BlockExchange one{BlockExchange::Mode::run_one, b};
        price(BlockPlan{blocks, 1, &one});
        partials.push_back(one.out);
    }
    BlockExchange merge{BlockExchange::Mode::merge};
    merge.in = partials;
    const Result merged = price(BlockPlan{blocks, 1, &merge});
    EXPECT_EQ(merge.offset, partials[0].size()) << "every stage's partial read once";
    const Result local = price(BlockPlan{blocks, 2});
    EXPECT_EQ(bits(std::vector{merged.price, merged.std_error}), bits(std::vector{local.price, local.std_error}));
}

TEST(BlockPlan, BlocksRunApartAndMergedGiveThePlansBits) {
    EuropeanCallConfig asian, european;
    asian.n_steps = 7;
    MertonJumpDiffusionCallConfig merton;
    HestonEuropeanCallConfig heston;
    heston.n_steps = 5;
    const std::pair<const char*, Pricer> cases[] = {
        {"european", pricer(european_call_price_mc_cpu_planned, european, 9001)},
        {"european cv", pricer(european_call_price_mc_cpu_planned, european, 9001, T::control_variate)},
        {"european antithetic", pricer(european_call_price_mc_cpu_planned, european, 9001, T::antithetic)},
        {"european sobol", pricer(european_call_price_mc_cpu_planned, european, 9001, T::standard, S::scrambled_sobol)},
        {"asian", pricer(arithmetic_asian_call_price_mc_cpu_planned, asian, 16001, T::antithetic)},
        {"asian halton",
         pricer(arithmetic_asian_call_price_mc_cpu_planned, asian, 901, T::control_variate, S::randomized_halton)},
        {"down-and-out latin",
         pricer(down_and_out_call_price_mc_cpu_planned, DownAndOutCallConfig{}, 901, T::standard, S::latin_hypercube)},
        {"basket", pricer(basket_call_price_mc_cpu_planned, BasketCallConfig{}, 9001)},
        {"heston", pricer(heston_european_call_price_mc_cpu_planned, heston, 9001, T::control_variate)},
        {"merton", pricer(merton_jump_diffusion_call_price_mc_cpu_planned, merton, 9001)},
    };
    for (const auto& [name, price] : cases)
        for (const U64 blocks : {U64{1}, U64{5}}) {
            SCOPED_TRACE(testing::Message() << name << ", " << blocks << " blocks");
            expect_shipped_blocks_match<EuropeanCallResult>(price, blocks);
        }
    ArithmeticAsianMlmcConfig mlmc;  // several levels, and scramble replicates: many stages
    mlmc.sampling = S::scrambled_sobol;
    mlmc.scramble_replicates = 3;
    expect_shipped_blocks_match<ArithmeticAsianMlmcResult>(
        [&mlmc](const std::optional<BlockPlan>& plan) { return arithmetic_asian_call_price_mlmc_cpu_planned(mlmc, plan); },
        4);
}

TEST(BlockPlan, AnExchangeRejectsResultsThatDoNotFitThePlan) {
    const auto price = [](BlockExchange& x, U64 blocks) {
        return european_call_price_mc_cpu_planned(EuropeanCallConfig{}, BlockPlan{blocks, 1, &x});
    };
    BlockExchange validate{BlockExchange::Mode::validate};
    EXPECT_THROW(price(validate, 2), ValidatedOnly);
    EuropeanCallConfig bad;
    bad.n_paths = 0;
    EXPECT_THROW(european_call_price_mc_cpu_planned(bad, BlockPlan{2, 1, &validate}), FatalError);
    BlockExchange out_of_range{BlockExchange::Mode::run_one, 2};
    EXPECT_THROW(price(out_of_range, 2), FatalError);
    BlockExchange short_merge{BlockExchange::Mode::merge};
    short_merge.in = {std::string(16, '\0')};
    EXPECT_THROW(price(short_merge, 2), FatalError);
    short_merge.in = {std::string(16, '\0'), std::string(8, '\0')};
    EXPECT_THROW(price(short_merge, 2), FatalError);
}

}  // namespace
}  // namespace mc_core
