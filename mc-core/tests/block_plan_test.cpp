// Block plans: ranges of the serial run hand every unit the serial run's
// normals, and blocks run apart and merged give the plan's bits. That threads
// never change the bits, that one block is the serial run and W blocks the
// W-worker run, puts included, is pinned through price() in
// tests/python/test_price_api.py.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "mc_core/basket.hpp"
#include "mc_core/dynamics.hpp"
#include "mc_core/engine.hpp"
#include "mc_core/european.hpp"
#include "mc_core/multilevel.hpp"
#include "mc_core/path_dependent.hpp"

namespace mc_core {
namespace {

using U64 = std::uint64_t;
using Pricer = std::function<EuropeanCallResult(const std::optional<BlockPlan>&, U64 n_threads)>;

std::pair<U64, U64> bits(const EuropeanCallResult& r) {
    return {std::bit_cast<U64>(r.price), std::bit_cast<U64>(r.std_error)};
}

template <class Config>
Config with_run(Config c, U64 paths, MonteCarloTechnique technique,
                SamplingMethod sampling = SamplingMethod::pseudorandom) {
    c.n_paths = paths;
    c.technique = technique;
    if constexpr (requires { c.sampling; }) c.sampling = sampling;
    return c;
}

// A pricer of one product and run kind, with or without a plan.
template <class Config>
Pricer pricer(EuropeanCallResult (*price)(const Config&, const std::optional<BlockPlan>&), Config c) {
    return [price, c](const std::optional<BlockPlan>& plan, U64 n_threads) {
        Config run = c;
        run.n_threads = n_threads;
        return price(run, plan);
    };
}

struct Case {
    std::string name;
    Pricer price;
};

std::vector<Case> cases() {
    using T = MonteCarloTechnique;
    using S = SamplingMethod;
    EuropeanCallConfig asian;
    asian.n_steps = 7;
    MertonJumpDiffusionCallConfig merton;
    merton.n_paths = 9001;
    HestonEuropeanCallConfig heston;
    heston.n_steps = 5;
    return {
        {"european", pricer(european_call_price_mc_cpu_planned, with_run(EuropeanCallConfig{}, 9001, T::standard))},
        {"european cv", pricer(european_call_price_mc_cpu_planned, with_run(EuropeanCallConfig{}, 9001, T::control_variate))},
        {"european antithetic", pricer(european_call_price_mc_cpu_planned, with_run(EuropeanCallConfig{}, 9001, T::antithetic))},
        {"european sobol", pricer(european_call_price_mc_cpu_planned,
                                  with_run(EuropeanCallConfig{}, 9001, T::standard, S::scrambled_sobol))},
        {"asian", pricer(arithmetic_asian_call_price_mc_cpu_planned, with_run(asian, 16001, T::antithetic))},
        {"asian halton", pricer(arithmetic_asian_call_price_mc_cpu_planned,
                                with_run(asian, 901, T::control_variate, S::randomized_halton))},
        {"down-and-out latin", pricer(down_and_out_call_price_mc_cpu_planned,
                                      with_run(DownAndOutCallConfig{}, 901, T::standard, S::latin_hypercube))},
        {"basket", pricer(basket_call_price_mc_cpu_planned, with_run(BasketCallConfig{}, 9001, T::standard))},
        {"heston", pricer(heston_european_call_price_mc_cpu_planned, with_run(heston, 9001, T::control_variate))},
        {"merton", pricer(merton_jump_diffusion_call_price_mc_cpu_planned, merton)},
    };
}

// Exactly the serial normals: unit by unit, a range started anywhere (on the
// second value of a Box-Muller pair too) gives the values of the serial run.
TEST(BlockPlan, ARangeStartedAnywhereContinuesTheSerialStream) {
    const auto terminal = TerminalModel::from({});  // one normal per antithetic pair: odd offsets
    const auto asian = make_stepwise_model(ArithmeticAverage{100.0, 7.0}, 7, 100.0, 0.03, 0.2, 1.0);
    const auto check = [](const auto& model, const char* what) {
        using T = MonteCarloTechnique;
        std::vector<PathSums> units(400);
        for (U64 u = 0; u < 400; ++u) units[u] = stream_chunk<T::antithetic>(9, 1, model, u);
        // Ranges long enough for lane tiles, started on odd and even units.
        for (const U64 first : {U64{0}, U64{101}, U64{102}}) {
            PathSums expected;
            for (U64 u = first; u < 400; ++u) expected += units[u];
            const PathSums range = stream_chunk<T::antithetic>(9, 400 - first, model, first);
            EXPECT_EQ(std::bit_cast<U64>(range.sum), std::bit_cast<U64>(expected.sum)) << what << ", from " << first;
            EXPECT_EQ(std::bit_cast<U64>(range.sum_sq), std::bit_cast<U64>(expected.sum_sq)) << what;
        }
    };
    check(terminal, "terminal");
    check(asian, "asian, 7 steps");
}

// Every block run on its own and its bytes merged gives the bits of the
// plan run in one go: what a block does elsewhere cannot move the result.
template <class Result>
Result run_shipped(const std::function<Result(const std::optional<BlockPlan>&)>& price, U64 blocks) {
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
    return merged;
}

TEST(BlockPlan, BlocksRunApartAndMergedGiveThePlansBits) {
    for (const Case& c : cases())
        for (const U64 blocks : {U64{1}, U64{5}}) {
            const auto price = [&c](const std::optional<BlockPlan>& plan) { return c.price(plan, 0); };
            EXPECT_EQ(bits(run_shipped<EuropeanCallResult>(price, blocks)), bits(price(BlockPlan{blocks, 2})))
                << c.name << ", " << blocks << " blocks";
        }
    ArithmeticAsianMlmcConfig mlmc;  // several levels, and scramble replicates: many stages
    mlmc.sampling = SamplingMethod::scrambled_sobol;
    mlmc.scramble_replicates = 3;
    const auto mlmc_price = [&mlmc](const std::optional<BlockPlan>& plan) {
        return arithmetic_asian_call_price_mlmc_cpu_planned(mlmc, plan);
    };
    const ArithmeticAsianMlmcResult shipped = run_shipped<ArithmeticAsianMlmcResult>(mlmc_price, 4);
    const ArithmeticAsianMlmcResult local = mlmc_price(BlockPlan{4, 2});
    EXPECT_EQ(std::bit_cast<U64>(shipped.price), std::bit_cast<U64>(local.price));
    EXPECT_EQ(std::bit_cast<U64>(shipped.std_error), std::bit_cast<U64>(local.std_error));
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
