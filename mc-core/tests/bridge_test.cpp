// Brownian bridge: plans, the bridged increments, the inert workspace.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <vector>

#include "mc_core/random.hpp"

namespace mc_core {
namespace {

using Node = std::array<std::uint64_t, 4>;  // left, mid, right, normal index

std::vector<Node> plan_of(std::uint64_t n) {
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
    for (std::uint64_t n : {3u, 7u, 100u, 252u}) {  // every interior grid point is filled once
        std::vector<int> filled(n + 1, 0);
        for (const Node& node : plan_of(n)) {
            ++filled[node[1]];
            EXPECT_TRUE(node[0] < node[1] && node[1] < node[2]) << "n = " << n;
        }
        for (std::uint64_t g = 0; g <= n; ++g) EXPECT_EQ(filled[g], g % n != 0) << "n = " << n << ", point " << g;
    }
    BrownianBridgeWorkspace two(SamplingMethod::scrambled_sobol_brownian_bridge, 2, 2.0);
    EXPECT_EQ(two.plan()->at(0).left_weight, 0.5);
    EXPECT_EQ(two.plan()->at(0).right_weight, 0.5);
    EXPECT_DOUBLE_EQ(two.plan()->at(0).std_dev, std::sqrt(0.5));  // sqrt(dt / 2), dt = 1
}

TEST(BrownianBridge, IncrementsFollowTheBridgeAndSumToTheTerminalValue) {
    const double maturity = 1.5;
    std::vector<double> z;
    for (std::uint64_t n : {1u, 2u, 5u, 252u, 300u}) {
        const StructuredNormalSampler sampler(SamplingMethod::scrambled_sobol_brownian_bridge, 7, 16, n);
        BrownianBridgeWorkspace bridge(SamplingMethod::scrambled_sobol_brownian_bridge, n, maturity);
        for (std::uint64_t point : {0u, 11u}) {
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
}

TEST(BrownianBridge, InertForEveryOtherSampler) {
    const StructuredNormalSampler sampler(SamplingMethod::scrambled_sobol, 1, 4, 8);
    for (SamplingMethod method : {SamplingMethod::pseudorandom, SamplingMethod::randomized_halton,
                                  SamplingMethod::latin_hypercube, SamplingMethod::scrambled_sobol}) {
        BrownianBridgeWorkspace bridge(method, 8, 1.0);
        EXPECT_FALSE(bridge.active());
        EXPECT_FALSE(bridge.step_normals(sampler, 0).has_value());
    }
}

}  // namespace
}  // namespace mc_core
