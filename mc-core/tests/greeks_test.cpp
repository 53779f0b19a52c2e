// Greeks: a Greek run's payoff sums are its product's price sums, its
// estimators agree with Black-Scholes, and every SIMD target gives its bits.
#include <gtest/gtest.h>

#include <cmath>

#include "test_support.hpp"
#include "mc_core/greeks.hpp"
#include "mc_core/path_dependent.hpp"

namespace {

using namespace mc_core;
using test_support::bits;
using test_support::fatal_message;
using test_support::on_every_target;

TEST(Greeks, PayoffSumsAreThePriceOnEverySamplingAndTechnique) {
    for (const SamplingMethod s : {SamplingMethod::pseudorandom, SamplingMethod::scrambled_sobol_brownian_bridge}) {
        for (const MonteCarloTechnique t : {MonteCarloTechnique::standard, MonteCarloTechnique::antithetic}) {
            ArithmeticAsianCallConfig c;
            c.n_paths = 4001, c.n_steps = 9, c.n_threads = 2, c.sampling = s, c.technique = t;
            DownAndOutCallConfig d;
            d.n_paths = 4001, d.n_steps = 9, d.n_threads = 2, d.sampling = s, d.technique = t, d.barrier = 95.0;
            const EuropeanCallResult asian = arithmetic_asian_call_price_mc_cpu_planned(c, std::nullopt);
            const EuropeanCallResult barrier = down_and_out_call_price_mc_cpu_planned(d, std::nullopt);
            EXPECT_EQ(bits(arithmetic_asian_call_greeks_mc_cpu_planned(c, std::nullopt).values[0].price), bits(asian.price));
            EXPECT_EQ(bits(down_and_out_call_greeks_mc_cpu_planned(d, std::nullopt).values[0].std_error),
                      bits(barrier.std_error));
        }
    }
}

TEST(Greeks, PayoffSumsAreThePriceForTheBasketHestonAndMerton) {
    const auto same = [](const GreeksResult& greeks, const EuropeanCallResult& price) {
        EXPECT_EQ(bits(greeks.values[0].price), bits(price.price));
        EXPECT_EQ(bits(greeks.values[0].std_error), bits(price.std_error));
    };
    for (const MonteCarloTechnique t : {MonteCarloTechnique::standard, MonteCarloTechnique::antithetic}) {
        BasketCallConfig b;
        b.n_paths = 4001, b.technique = t, b.sampling = SamplingMethod::randomized_halton;
        same(basket_call_greeks_mc_cpu_planned(b, std::nullopt), basket_call_price_mc_cpu_planned(b, std::nullopt));
        HestonEuropeanCallConfig h;
        h.n_paths = 5001, h.n_steps = 9, h.n_threads = 2, h.technique = t;
        same(heston_european_call_greeks_mc_cpu_planned(h, std::nullopt),
             heston_european_call_price_mc_cpu_planned(h, std::nullopt));
    }
    MertonJumpDiffusionCallConfig m;
    m.n_paths = 8001, m.n_threads = 3;
    const GreeksResult merton = merton_jump_diffusion_call_greeks_mc_cpu_planned(m, std::nullopt);
    same(merton, merton_jump_diffusion_call_price_mc_cpu_planned(m, std::nullopt));
    EXPECT_EQ(merton.names.size(), kGreekCount);
    EXPECT_STREQ(basket_call_greeks_mc_cpu_planned(BasketCallConfig{}, std::nullopt).names[2], "gamma_1");
}

TEST(Greeks, EuropeanAgreesWithBlackScholesOnEveryTarget) {
    EuropeanCallConfig c;
    c.n_paths = 400000, c.s0 = 105.0, c.sigma = 0.25, c.t = 0.5;
    const double sd = c.sigma * std::sqrt(c.t);
    const double d1 = (std::log(c.s0 / c.k) + (c.r + 0.5 * c.sigma * c.sigma) * c.t) / sd;
    const double d2 = d1 - sd;
    const double density = std::exp(-0.5 * d1 * d1) / std::sqrt(2.0 * M_PI);
    const double strike = c.k * std::exp(-c.r * c.t);
    const double nd2 = 0.5 * std::erfc(-d2 / std::sqrt(2.0));
    const double exact[kGreekCount] = {0.5 * std::erfc(-d1 / std::sqrt(2.0)), density / (c.s0 * sd),
                                       c.s0 * density * std::sqrt(c.t), c.t * strike * nd2,
                                       -c.s0 * density * c.sigma / (2.0 * std::sqrt(c.t)) - c.r * strike * nd2};
    const GreeksResult reference = european_call_greeks_mc_cpu_planned(c, std::nullopt);
    for (std::size_t g = 0; g < kGreekCount; ++g)
        EXPECT_NEAR(reference.values[g + 1].price, exact[g], 4.0 * reference.values[g + 1].std_error) << kGreekNames[g];
    c.n_paths = 1001;
    const GreeksResult small = european_call_greeks_mc_cpu_planned(c, std::nullopt);
    on_every_target([&] {
        const GreeksResult here = european_call_greeks_mc_cpu_planned(c, std::nullopt);
        for (std::size_t g = 0; g <= kGreekCount; ++g) EXPECT_EQ(bits(here.values[g].price), bits(small.values[g].price));
    });
}

TEST(Greeks, NeedAVolatilityAfterTheProductsOwnChecks) {
    LookbackCallConfig c;
    c.sigma = 0.0;
    EXPECT_EQ(fatal_message([&] { lookback_call_greeks_mc_cpu_planned(c, std::nullopt); }), "greeks need sigma > 0");
    c.t = 0.0;
    EXPECT_EQ(fatal_message([&] { lookback_call_greeks_mc_cpu_planned(c, std::nullopt); }), "t must be > 0");
}

}  // namespace
