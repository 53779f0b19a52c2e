#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "mc_core/path_dependent.hpp"

namespace mc_core {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Feeds a hand-made price path to a functional and returns its value (disc 1).
template <class Functional>
double value_on(const Functional& f, const std::vector<double>& prices) {
    auto state = f.start();
    for (double price : prices) f.observe(state, price);
    return f.value(state, prices.back(), 1.0);
}

TEST(PathFunctionals, ArithmeticAverageExcludesTheSpot) {
    const ArithmeticAverage f{100.0, 3.0};
    EXPECT_DOUBLE_EQ(value_on(f, {110.0, 120.0, 130.0}), 20.0);
    EXPECT_EQ(value_on(f, {90.0, 95.0, 99.0}), 0.0);
    EXPECT_EQ(value_on(f, {kNaN, 120.0, 130.0}), 0.0);  // NaN average pays nothing
}

TEST(PathFunctionals, RunningMaximumIncludesTheSpotAndIgnoresNaN) {
    EXPECT_DOUBLE_EQ(value_on(RunningMaximum{120.0, 100.0}, {90.0, 95.0}), 20.0);
    EXPECT_DOUBLE_EQ(value_on(RunningMaximum{100.0, 100.0}, {90.0, 130.0, 95.0}), 30.0);
    EXPECT_DOUBLE_EQ(value_on(RunningMaximum{100.0, 90.0}, {kNaN, 105.0, kNaN}), 15.0);
}

TEST(PathFunctionals, KnockOut) {
    struct Row {
        const char* name;
        double s0, barrier;
        std::vector<double> prices;
        double expected;
    };
    const Row rows[] = {
        {"alive", 100.0, 80.0, {90.0, 85.0, 110.0}, 10.0},
        {"touches the barrier exactly", 100.0, 80.0, {90.0, 80.0, 110.0}, 0.0},
        {"crosses and recovers", 100.0, 80.0, {79.0, 120.0}, 0.0},
        {"spot at the barrier", 80.0, 80.0, {120.0}, 0.0},
        {"NaN price does not knock out", 100.0, 80.0, {kNaN, 110.0}, 10.0},
    };
    for (const Row& row : rows)
        EXPECT_DOUBLE_EQ(value_on(KnockOut{row.s0, 100.0, row.barrier}, row.prices), row.expected) << row.name;
}

TEST(StepwiseEngine, NamedKernelsAreTheEngine) {
    // A chunk run through the runner's plan gives the bits of the named kernel
    // run block by block and merged in order.
    const auto model = make_stepwise_model(ArithmeticAverage{100.0, 16.0}, 16, 100.0, 0.03, 0.2, 1.0);
    const auto blocks = plan_worker_blocks(8001, 4, 42);
    ASSERT_EQ(blocks.size(), 4u);
    PathSums merged;
    for (const WorkerBlock& b : blocks)
        merged += simulate_asian_stepwise_chunk(b.stream_seed, b.units, 16, 100.0, 100.0, model.drift, model.vol,
                                                model.disc);
    const PathSums direct = run_blocks(blocks, [&](std::uint64_t s, std::uint64_t n) {
        return stepwise_chunk<MonteCarloTechnique::standard>(s, n, model);
    });
    EXPECT_EQ(merged.sum, direct.sum);
    EXPECT_EQ(merged.sum_sq, direct.sum_sq);
}

TEST(StepwiseEngine, OddStepCountsCarryTheSpareIntoTheNextPath) {
    // Three steps per path: path 2's first normal is path 1's cached sine.
    const double drift = 0.0, vol = 1.0, disc = 1.0;
    const PathSums sums = simulate_stepwise_chunk(7, 2, 3, 1.0, 0.0, drift, vol, disc);
    NormalRng rng(7);
    double expected = 0.0;
    for (int path = 0; path < 2; ++path) {
        double x = 0.0;
        for (int step = 0; step < 3; ++step) x = x + (drift + vol * rng.next_standard_normal());
        expected += std::exp(x);
    }
    EXPECT_DOUBLE_EQ(sums.sum, expected);
}

double black_scholes_call(double s0, double k, double r, double sigma, double t) {
    const double sd = sigma * std::sqrt(t);
    const double d1 = (std::log(s0 / k) + (r + 0.5 * sigma * sigma) * t) / sd;
    auto cdf = [](double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); };
    return s0 * cdf(d1) - k * std::exp(-r * t) * cdf(d1 - sd);
}

TEST(EuropeanStepwise, AgreesWithBlackScholes) {
    const double reference = black_scholes_call(100.0, 100.0, 0.03, 0.2, 1.0);
    for (SamplingMethod sampling : {SamplingMethod::pseudorandom, SamplingMethod::latin_hypercube,
                                    SamplingMethod::scrambled_sobol, SamplingMethod::scrambled_sobol_brownian_bridge}) {
        for (MonteCarloTechnique technique :
             {MonteCarloTechnique::standard, MonteCarloTechnique::antithetic, MonteCarloTechnique::control_variate}) {
            EuropeanCallConfig c;
            c.n_paths = 20000;
            c.n_steps = 16;
            c.n_threads = 2;
            c.sampling = sampling;
            c.technique = technique;
            const EuropeanCallResult r = european_call_price_mc_cpu_stepwise(c);
            EXPECT_LT(std::abs(r.price - reference), 4.0 * r.std_error)
                << "sampling " << int(sampling) << ", technique " << int(technique) << ": " << r.price;
        }
    }
}

TEST(EuropeanStepwise, AntitheticStaysSerialAndBridgeChangesTheResult) {
    EuropeanCallConfig c;
    c.n_paths = 9000;
    c.n_steps = 8;
    c.technique = MonteCarloTechnique::antithetic;
    c.n_threads = 1;
    const EuropeanCallResult one = european_call_price_mc_cpu_stepwise(c);
    c.n_threads = 2;
    const EuropeanCallResult two = european_call_price_mc_cpu_stepwise(c);
    EXPECT_EQ(one.price, two.price);

    c.technique = MonteCarloTechnique::standard;
    c.sampling = SamplingMethod::scrambled_sobol;
    const double plain = european_call_price_mc_cpu_stepwise(c).price;
    c.sampling = SamplingMethod::scrambled_sobol_brownian_bridge;
    EXPECT_NE(plain, european_call_price_mc_cpu_stepwise(c).price);
}

}  // namespace
}  // namespace mc_core
