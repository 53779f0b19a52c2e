// Two-asset basket call: the normals each unit takes, the mirror path, the
// control, thread independence and validation.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "mc_core/basket.hpp"
#include "mc_core/error.hpp"
#include "mc_core/european.hpp"
#include "mc_core/random.hpp"

namespace mc_core {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
using T = MonteCarloTechnique;

// The price from the units' normals (z1, zb), the path and its mirror written out from the definitions; the
// units are pairs for antithetic sampling. n_threads is set to 4 and must change nothing.
void expect_price_from_units(BasketCallConfig c, const std::function<std::pair<double, double>(std::uint64_t)>& unit) {
    const double drift1 = c.t * (c.r - c.sigma1 * (c.sigma1 * 0.5)), vol1 = c.sigma1 * std::sqrt(c.t);
    const double drift2 = c.t * (c.r - c.sigma2 * (c.sigma2 * 0.5)), vol2 = c.sigma2 * std::sqrt(c.t);
    const double rho_c = std::sqrt(std::fmax(1.0 - c.rho * c.rho, 0.0)), disc = block_math::exp(-(c.r * c.t));
    auto basket = [&](double z1, double zb, bool mirror) {
        const double z2 = mirror ? -(rho_c * zb) - c.rho * z1 : c.rho * z1 + rho_c * zb;
        const double s1 = c.s01 * block_math::exp(mirror ? drift1 - vol1 * z1 : drift1 + vol1 * z1);
        return c.weight1 * s1 + c.weight2 * (c.s02 * block_math::exp(drift2 + vol2 * z2));
    };
    auto payoff = [&](double b) { return disc * std::fmax(b - c.k, 0.0); };
    const std::uint64_t units = c.technique == T::antithetic ? c.n_paths - c.n_paths / 2 : c.n_paths;
    PathSums sums;
    ControlVariateMoments moments;
    for (std::uint64_t i = 0; i < units; ++i) {
        const auto [z1, zb] = unit(i);
        const double b = basket(z1, zb, false);
        if (c.technique == T::standard) sums.add(payoff(b));
        if (c.technique == T::antithetic) sums.add((payoff(b) + payoff(basket(z1, zb, true))) * 0.5);
        if (c.technique == T::control_variate) moments.add(payoff(b), disc * b);
    }
    const EuropeanCallResult expected = c.technique == T::control_variate
                                            ? control_variate_estimate(moments, c.s01 * c.weight1 + c.s02 * c.weight2)
                                            : plain_estimate(sums, units);
    c.n_threads = 4;
    const EuropeanCallResult got = basket_call_price_mc_cpu(c);
    EXPECT_EQ(got.price, expected.price);
    EXPECT_EQ(got.std_error, expected.std_error);
}

TEST(BasketCall, PseudorandomUnitTakesOneBoxMullerDraw) {
    for (const T technique : {T::standard, T::antithetic, T::control_variate}) {
        for (const std::uint64_t n_paths : {1ULL, 1001ULL}) {
            SCOPED_TRACE(testing::Message() << static_cast<int>(technique) << " n_paths " << n_paths);
            NormalRng rng(9);
            expect_price_from_units({.n_paths = n_paths, .seed = 9, .technique = technique}, [&](std::uint64_t) {
                const double z1 = rng.next_standard_normal();
                return std::pair{z1, rng.next_standard_normal()};
            });
        }
    }
}

TEST(BasketCall, StructuredUnitReadsTwoCoordinatesOfItsPoint) {
    for (const auto& [sampling, technique] : std::vector<std::pair<SamplingMethod, T>>{
             {SamplingMethod::randomized_halton, T::standard},
             {SamplingMethod::latin_hypercube, T::antithetic},
             {SamplingMethod::scrambled_sobol, T::control_variate}}) {
        SCOPED_TRACE(static_cast<int>(sampling));
        const BasketCallConfig c{.n_paths = 301, .technique = technique, .sampling = sampling};
        const StructuredNormalSampler sampler(sampling, c.seed, c.n_paths, 2);
        expect_price_from_units(c, [&](std::uint64_t i) {
            return std::pair{sampler.normal(i, 0), sampler.normal(i, 1)};
        });
    }
}

TEST(BasketCall, ValidationOrder) {
    // Each row breaks a field (and the next one, to pin the order); NaN fails every check.
    const std::vector<std::pair<std::function<void(BasketCallConfig&)>, const char*>> rows = {
        {[](auto& c) { c.n_paths = 0; c.s01 = kNaN; }, "n_paths must be > 0"},
        {[](auto& c) { c.s01 = kNaN; c.s02 = 0.0; }, "s01 must be > 0"},
        {[](auto& c) { c.s02 = 0.0; c.rho = 2.0; }, "s02 must be > 0"},
        {[](auto& c) { c.k = -1.0; c.sigma1 = kNaN; }, "k must be >= 0"},
        {[](auto& c) { c.k = kNaN; }, "k must be >= 0"},
        {[](auto& c) { c.sigma1 = kNaN; c.sigma2 = -1.0; }, "sigma1 must be >= 0"},
        {[](auto& c) { c.sigma2 = -1.0; c.t = 0.0; }, "sigma2 must be >= 0"},
        {[](auto& c) { c.t = kNaN; c.rho = 2.0; }, "t must be > 0"},
        {[](auto& c) { c.rho = -1.01; }, "rho must be in [-1, 1]"},
        {[](auto& c) { c.rho = kNaN; }, "rho must be in [-1, 1]"},
        {[](auto& c) { c.rho = -1.0; c.k = 0.0; c.weight1 = -0.5; c.r = -0.1; }, ""},  // weights and r: not validated
        {[](auto& c) { c.rho = 1.0; }, ""},
    };
    for (const auto& [change, message] : rows) {
        BasketCallConfig c{.n_paths = 10};
        change(c);
        std::string got;
        try {
            basket_call_price_mc_cpu(c);
        } catch (const FatalError& e) {
            got = e.what();
        }
        EXPECT_EQ(got, message);
    }
}

}  // namespace
}  // namespace mc_core
