// Heston and Merton jump-diffusion calls: the full-truncation step and the
// Poisson draw by inversion. Whole runs, their stream order, validation and
// failures are pinned in tests/python/test_dynamics.py.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

#include "test_support.hpp"
#include "mc_core/dynamics.hpp"
#include "mc_core/error.hpp"

namespace mc_core {
namespace {

using mc_core::test_support::fatal_message;

TEST(HestonStep, FullTruncationByHand) {
    // dt = 0.25, sqrt(dt) = 0.5, rho_bar = 0.8.
    const HestonPathParams p =
        HestonPathParams::from({.kappa = 2.0, .theta = 0.04, .vol_of_vol = 0.5, .rho = 0.6, .t = 2.0, .n_steps = 8});
    for (const auto& [v, z1, z2, dx, v_next] : std::vector<std::tuple<double, double, double, double, double>>{
             {0.04, 1.0, 0.5, 0.1025, 0.09},
             {0.0, 1.7, -0.4, 0.0075, 0.02},    // zero variance: the drift alone
             {-0.01, 1.7, -0.4, 0.0075, 0.01},  // v+ in the drift and the root, v itself carried
             {0.04, -3.0, 0.0, -0.1775, 0.0}}) {  // truncated to +0
        HestonState s{4.6, v};
        heston_step(s, z1, z2, p);
        EXPECT_NEAR(s.x - 4.6, dx, 1e-15) << v << " " << z1;
        EXPECT_NEAR(s.v, v_next, 1e-16) << v << " " << z1;
        EXPECT_FALSE(std::signbit(s.v));
    }
}

TEST(MertonPoisson, InversionCountsAndItsBound) {
    const double p0 = std::exp(-1.0);  // mean 1: F(0) = 0.3679, F(1) = 0.7358, F(2) = 0.9197, F(3) = 0.9810
    for (const auto& [u, count] : {std::pair<double, std::uint64_t>{1e-300, 0}, {p0, 0}, {0.37, 1}, {0.73, 1},
                                   {0.74, 2}, {0.95, 3}, {0.99, 4}})
        EXPECT_EQ(poisson_by_inversion(u, 1.0, p0), count) << u;
    EXPECT_NEAR(static_cast<double>(poisson_by_inversion(0.5, 700.0, std::exp(-700.0))), 700.0, 2.0);
    // exp(-800) underflows to 0; weights summing to about 1.5e-298 never reach u: both stop at the 4096th term.
    EXPECT_EQ(fatal_message([] { poisson_by_inversion(1e-300, 800.0, std::exp(-800.0)); }),
              "Poisson sampler did not converge");
    EXPECT_EQ(fatal_message([] { poisson_by_inversion(0.5, 5.0, 1e-300); }), "Poisson sampler did not converge");
}

}  // namespace
}  // namespace mc_core
