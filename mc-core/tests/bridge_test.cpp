#include <cmath>
#include <numeric>
#include <vector>

#include <gtest/gtest.h>

#include "mc_core/random.hpp"

namespace mc_core {
namespace {

struct PlanRow {
    std::uint64_t left, mid, right, normal_index;
};

std::vector<PlanRow> plan_rows(std::uint64_t n) {
    BrownianBridgeWorkspace bridge(SamplingMethod::scrambled_sobol_brownian_bridge, n, 1.0);
    std::vector<PlanRow> rows;
    for (const BridgeNode& node : *bridge.plan()) rows.push_back({node.left, node.mid, node.right, node.normal_index});
    return rows;
}

void expect_plan(std::uint64_t n, const std::vector<PlanRow>& expected) {
    const auto rows = plan_rows(n);
    ASSERT_EQ(rows.size(), expected.size()) << "n = " << n;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].left, expected[i].left) << "n = " << n << ", node " << i;
        EXPECT_EQ(rows[i].mid, expected[i].mid) << "n = " << n << ", node " << i;
        EXPECT_EQ(rows[i].right, expected[i].right) << "n = " << n << ", node " << i;
        EXPECT_EQ(rows[i].normal_index, expected[i].normal_index) << "n = " << n << ", node " << i;
    }
}

TEST(BrownianBridge, PlansArePreOrderMidpointSplits) {
    expect_plan(8, {{0, 4, 8, 1}, {0, 2, 4, 2}, {0, 1, 2, 3}, {2, 3, 4, 4}, {4, 6, 8, 5}, {4, 5, 6, 6}, {6, 7, 8, 7}});
    expect_plan(5, {{0, 2, 5, 1}, {0, 1, 2, 2}, {2, 3, 5, 3}, {3, 4, 5, 4}});
    expect_plan(1, {});
    expect_plan(2, {{0, 1, 2, 1}});
}

TEST(BrownianBridge, TwoStepNodeWeights) {
    const double maturity = 2.0;
    BrownianBridgeWorkspace bridge(SamplingMethod::scrambled_sobol_brownian_bridge, 2, maturity);
    const BridgeNode& node = bridge.plan()->at(0);
    EXPECT_EQ(node.left_weight, 0.5);
    EXPECT_EQ(node.right_weight, 0.5);
    EXPECT_DOUBLE_EQ(node.std_dev, std::sqrt(maturity / 2.0 / 2.0));  // sqrt(dt / 2)
}

TEST(BrownianBridge, EveryInteriorPointIsFilledOnce) {
    for (std::uint64_t n : {3u, 7u, 16u, 100u, 252u}) {
        std::vector<int> filled(n + 1, 0);
        for (const PlanRow& row : plan_rows(n)) {
            ++filled[row.mid];
            EXPECT_LT(row.left, row.mid);
            EXPECT_LT(row.mid, row.right);
        }
        for (std::uint64_t g = 1; g < n; ++g) EXPECT_EQ(filled[g], 1) << "n = " << n << ", grid point " << g;
        EXPECT_EQ(filled[0] + filled[n], 0);
    }
}

TEST(BrownianBridge, IncrementsSumToTheTerminalValue) {
    for (std::uint64_t n : {1u, 2u, 5u, 64u, 252u, 300u}) {
        const double maturity = 1.5;
        const StructuredNormalSampler sampler(SamplingMethod::scrambled_sobol_brownian_bridge, 7, 16, n);
        BrownianBridgeWorkspace bridge(SamplingMethod::scrambled_sobol_brownian_bridge, n, maturity);
        std::vector<double> z;
        for (std::uint64_t point : {0u, 3u, 11u}) {
            const auto increments = bridge.step_normals(sampler, point);
            ASSERT_TRUE(increments.has_value());
            ASSERT_EQ(increments->size(), n);
            sampler.fill_standard_normals(point, n, z);
            const double dt = maturity / static_cast<double>(n);
            const double walked = std::accumulate(increments->begin(), increments->end(), 0.0) * std::sqrt(dt);
            EXPECT_NEAR(walked, std::sqrt(maturity) * z[0], 1e-12 * (1.0 + std::abs(z[0])))
                << "n = " << n << ", point " << point;
            if (n == 1) EXPECT_NEAR((*increments)[0], z[0], 1e-14);
        }
    }
}

TEST(BrownianBridge, InertForEveryOtherSampler) {
    for (SamplingMethod method : {SamplingMethod::pseudorandom, SamplingMethod::randomized_halton,
                                  SamplingMethod::latin_hypercube, SamplingMethod::scrambled_sobol}) {
        BrownianBridgeWorkspace bridge(method, 8, 1.0);
        EXPECT_FALSE(bridge.active());
        const StructuredNormalSampler sampler(SamplingMethod::scrambled_sobol, 1, 4, 8);
        EXPECT_FALSE(bridge.step_normals(sampler, 0).has_value());
    }
}

}  // namespace
}  // namespace mc_core
