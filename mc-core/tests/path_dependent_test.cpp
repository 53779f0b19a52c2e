// Path functionals on hand-made paths and the stepwise engine's kernels; the
// stepwise European (Black-Scholes, antithetic, bridge) is in european_test.cpp.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>
#include <vector>

#include "mc_core/path_dependent.hpp"

namespace mc_core {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Feeds a hand-made price path to a functional and returns its value (disc 1).
template <class Functional>
double value_on(const Functional& f, const std::vector<double>& prices) {
    using V = simd::f64x1;
    auto state = f.template start<V>();
    for (double price : prices) f.observe(state, V{price});
    return f.value(state, V{prices.back()}, 1.0)[0];
}

TEST(PathFunctionals, AverageAndMaximum) {
    const ArithmeticAverage average{100.0, 3.0};
    EXPECT_DOUBLE_EQ(value_on(average, {110.0, 120.0, 130.0}), 20.0);  // the spot is not averaged
    EXPECT_EQ(value_on(average, {90.0, 95.0, 99.0}), 0.0);
    EXPECT_EQ(value_on(average, {kNaN, 120.0, 130.0}), 0.0);
    EXPECT_DOUBLE_EQ(value_on(RunningMaximum{120.0, 100.0}, {90.0, 95.0}), 20.0);  // the spot is the maximum
    EXPECT_DOUBLE_EQ(value_on(RunningMaximum{100.0, 100.0}, {90.0, 130.0, 95.0}), 30.0);
    EXPECT_DOUBLE_EQ(value_on(RunningMaximum{100.0, 90.0}, {kNaN, 105.0, kNaN}), 15.0);
}

TEST(PathFunctionals, KnockOut) {
    const std::tuple<const char*, double, std::vector<double>, double> rows[] = {  // name, s0, path, payoff
        {"alive", 100.0, {90.0, 85.0, 110.0}, 10.0},
        {"touches the barrier exactly", 100.0, {90.0, 80.0, 110.0}, 0.0},
        {"crosses and recovers", 100.0, {79.0, 120.0}, 0.0},
        {"spot at the barrier", 80.0, {120.0}, 0.0},
        {"NaN price does not knock out", 100.0, {kNaN, 110.0}, 10.0},
    };
    for (const auto& [name, s0, prices, expected] : rows)
        EXPECT_DOUBLE_EQ(value_on(KnockOut{s0, 100.0, 80.0}, prices), expected) << name;  // k 100, barrier 80
}

// The named kernel run block by block and merged in order gives the bits of the
// engine run through the runner's plan.
TEST(StepwiseEngine, NamedKernelsAreTheEngine) {
    const auto model = make_stepwise_model(ArithmeticAverage{100.0, 16.0}, 16, 100.0, 0.03, 0.2, 1.0);
    const auto blocks = plan_worker_blocks(8001, 4, 42);
    ASSERT_EQ(blocks.size(), 4u);
    PathSums merged;
    for (const WorkerBlock& b : blocks)
        merged += simulate_asian_stepwise_chunk(b.stream_seed, b.units, 16, 100.0, 100.0, model.drift, model.vol,
                                                model.disc);
    const PathSums direct = run_blocks(blocks, [&](std::uint64_t s, std::uint64_t n) {
        return stream_chunk<MonteCarloTechnique::standard>(s, n, model);
    });
    EXPECT_EQ(merged.sum, direct.sum);
    EXPECT_EQ(merged.sum_sq, direct.sum_sq);
}

TEST(StepwiseEngine, OddStepCountsCarryTheSpareIntoTheNextPath) {
    const PathSums sums = simulate_stepwise_chunk(7, 2, 3, 1.0, 0.0, 0.0, 1.0, 1.0);  // drift 0, vol 1, disc 1
    NormalRng rng(7);
    double expected = 0.0;
    for (int path = 0; path < 2; ++path) {
        double x = 0.0;
        for (int step = 0; step < 3; ++step) x = x + (0.0 + 1.0 * rng.next_standard_normal());
        expected += block_math::exp(x);
    }
    EXPECT_DOUBLE_EQ(sums.sum, expected);
}

}  // namespace
}  // namespace mc_core
