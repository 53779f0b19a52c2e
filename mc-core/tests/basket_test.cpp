// Two-asset basket call: the normals each unit takes, the mirror path, the
// control, thread independence and validation.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "mc_core/basket.hpp"
#include "mc_core/error.hpp"
#include "mc_core/european.hpp"
#include "mc_core/random.hpp"

namespace {

using mc_core::BasketCallConfig;
using mc_core::ControlVariateMoments;
using mc_core::EuropeanCallResult;
using mc_core::FatalError;
using mc_core::MonteCarloTechnique;
using mc_core::NormalRng;
using mc_core::PathSums;
using mc_core::SamplingMethod;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string fatal_message(const std::function<void()>& f) {
    try {
        f();
    } catch (const FatalError& e) {
        return e.what();
    }
    return "<no error>";
}

// The path and its mirror, written out from the definitions.
struct Reference {
    BasketCallConfig c;

    double basket(double z1, double zb, bool mirror) const {
        const double drift1 = c.t * (c.r - c.sigma1 * (c.sigma1 * 0.5));
        const double drift2 = c.t * (c.r - c.sigma2 * (c.sigma2 * 0.5));
        const double vol1 = c.sigma1 * std::sqrt(c.t), vol2 = c.sigma2 * std::sqrt(c.t);
        const double rho_c = std::sqrt(std::fmax(1.0 - c.rho * c.rho, 0.0));
        const double z2 = mirror ? -(rho_c * zb) - c.rho * z1 : c.rho * z1 + rho_c * zb;
        const double s1 = c.s01 * std::exp(mirror ? drift1 - vol1 * z1 : drift1 + vol1 * z1);
        const double s2 = c.s02 * std::exp(drift2 + vol2 * z2);
        return c.weight1 * s1 + c.weight2 * s2;
    }
    double disc() const { return std::exp(-(c.r * c.t)); }
    double payoff(double b) const { return disc() * std::fmax(b - c.k, 0.0); }

    // Accumulates every technique's samples from unit normals (z1, zb).
    EuropeanCallResult estimate(const std::vector<std::pair<double, double>>& units) const {
        PathSums sums;
        ControlVariateMoments moments;
        for (const auto& [z1, zb] : units) {
            const double b = basket(z1, zb, false);
            switch (c.technique) {
                case MonteCarloTechnique::standard: sums.add(payoff(b)); break;
                case MonteCarloTechnique::antithetic:
                    sums.add((payoff(b) + payoff(basket(z1, zb, true))) * 0.5);
                    break;
                case MonteCarloTechnique::control_variate: moments.add(payoff(b), disc() * b); break;
            }
        }
        if (c.technique == MonteCarloTechnique::control_variate)
            return mc_core::control_variate_estimate(moments, c.s01 * c.weight1 + c.s02 * c.weight2);
        return mc_core::plain_estimate(sums, units.size());
    }
};

std::uint64_t unit_count(const BasketCallConfig& c) {
    return c.technique == MonteCarloTechnique::antithetic ? c.n_paths - c.n_paths / 2 : c.n_paths;
}

const MonteCarloTechnique kTechniques[] = {MonteCarloTechnique::standard, MonteCarloTechnique::antithetic,
                                           MonteCarloTechnique::control_variate};

TEST(BasketCall, PseudorandomUnitTakesOneBoxMullerDraw) {
    for (const MonteCarloTechnique technique : kTechniques) {
        for (const std::uint64_t n_paths : {1ULL, 2ULL, 7ULL, 1001ULL}) {
            SCOPED_TRACE(std::to_string(static_cast<int>(technique)) + " n_paths " + std::to_string(n_paths));
            BasketCallConfig c;
            c.n_paths = n_paths;
            c.technique = technique;
            c.seed = 9;
            std::vector<std::pair<double, double>> units;
            NormalRng rng(9);
            for (std::uint64_t i = 0; i < unit_count(c); ++i) {
                const double z1 = rng.next_standard_normal();
                units.emplace_back(z1, rng.next_standard_normal());
            }
            const EuropeanCallResult expected = Reference{c}.estimate(units);
            const EuropeanCallResult got = mc_core::basket_call_price_mc_cpu(c);
            EXPECT_EQ(got.price, expected.price);
            EXPECT_EQ(got.std_error, expected.std_error);
        }
    }
}

TEST(BasketCall, StructuredUnitReadsTwoCoordinatesOfItsPoint) {
    for (const SamplingMethod sampling : {SamplingMethod::randomized_halton, SamplingMethod::latin_hypercube,
                                          SamplingMethod::scrambled_sobol}) {
        for (const MonteCarloTechnique technique : kTechniques) {
            SCOPED_TRACE(std::to_string(static_cast<int>(sampling)) + "/" + std::to_string(static_cast<int>(technique)));
            BasketCallConfig c;
            c.n_paths = 301;
            c.sampling = sampling;
            c.technique = technique;
            const mc_core::StructuredNormalSampler sampler(sampling, c.seed, c.n_paths, 2);
            std::vector<std::pair<double, double>> units;
            for (std::uint64_t i = 0; i < unit_count(c); ++i) units.emplace_back(sampler.normal(i, 0), sampler.normal(i, 1));
            const EuropeanCallResult expected = Reference{c}.estimate(units);
            const EuropeanCallResult got = mc_core::basket_call_price_mc_cpu(c);
            EXPECT_EQ(got.price, expected.price);
            EXPECT_EQ(got.std_error, expected.std_error);
        }
    }
}

TEST(BasketCall, ThreadCountHasNoInfluence) {
    for (const SamplingMethod sampling : {SamplingMethod::pseudorandom, SamplingMethod::latin_hypercube}) {
        for (const MonteCarloTechnique technique : kTechniques) {
            BasketCallConfig c;
            c.n_paths = 20000;
            c.sampling = sampling;
            c.technique = technique;
            c.n_threads = 1;
            const EuropeanCallResult one = mc_core::basket_call_price_mc_cpu(c);
            c.n_threads = 4;
            const EuropeanCallResult four = mc_core::basket_call_price_mc_cpu(c);
            EXPECT_EQ(one.price, four.price);
            EXPECT_EQ(one.std_error, four.std_error);
        }
    }
}

TEST(BasketCall, ValidationOrder) {
    struct Row {
        const char* name;
        std::function<void(BasketCallConfig&)> change;
        const char* message;
    };
    const std::vector<Row> rows = {
        {"n_paths 0", [](auto& c) { c.n_paths = 0; c.s01 = kNaN; }, "n_paths must be > 0"},
        {"s01 NaN", [](auto& c) { c.s01 = kNaN; c.s02 = 0.0; }, "s01 must be > 0"},
        {"s02 0 with rho 2", [](auto& c) { c.s02 = 0.0; c.rho = 2.0; }, "s02 must be > 0"},
        {"k -1", [](auto& c) { c.k = -1.0; c.sigma1 = kNaN; }, "k must be >= 0"},
        {"k NaN", [](auto& c) { c.k = kNaN; }, "k must be >= 0"},
        {"sigma1 NaN", [](auto& c) { c.sigma1 = kNaN; c.sigma2 = -1.0; }, "sigma1 must be >= 0"},
        {"sigma2 -1", [](auto& c) { c.sigma2 = -1.0; c.t = 0.0; }, "sigma2 must be >= 0"},
        {"t NaN", [](auto& c) { c.t = kNaN; c.rho = 2.0; }, "t must be > 0"},
        {"rho -1.01", [](auto& c) { c.rho = -1.01; }, "rho must be in [-1, 1]"},
        {"rho NaN", [](auto& c) { c.rho = kNaN; }, "rho must be in [-1, 1]"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        BasketCallConfig c;
        c.n_paths = 10;
        row.change(c);
        EXPECT_EQ(fatal_message([&] { mc_core::basket_call_price_mc_cpu(c); }), row.message);
    }
    for (const double rho : {-1.0, 1.0}) {
        BasketCallConfig c;
        c.n_paths = 10;
        c.rho = rho;
        c.k = 0.0;
        c.weight1 = -0.5;  // weights and r are not validated
        c.r = -0.1;
        EXPECT_EQ(fatal_message([&] { mc_core::basket_call_price_mc_cpu(c); }), "<no error>");
    }
}

}  // namespace
