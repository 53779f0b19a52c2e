// Path functionals on hand-made paths. Whole runs are pinned in
// tests/python/test_path_dependent.py; the stepwise European is in european_test.cpp.
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

}  // namespace
}  // namespace mc_core
