// European call: the parallel path runner, the two estimators and the stepwise
// method. Terminal runs are pinned in tests/python/test_european.py, validation
// through the sweep in tests/python/test_studies.py.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "test_support.hpp"
#include "mc_core/error.hpp"
#include "mc_core/european.hpp"
#include "mc_core/random.hpp"
#include "mc_core/stepwise.hpp"
#include "mc_core/studies.hpp"

namespace {

using mc_core::test_support::fatal_message;

using namespace mc_core;
using U64 = std::uint64_t;
using T = MonteCarloTechnique;
using S = SamplingMethod;

constexpr U64 kMax = std::numeric_limits<U64>::max();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr T kTechniques[] = {T::standard, T::antithetic, T::control_variate};

std::string describe(const EuropeanCallConfig& c) {  // s0, k, r, sigma, t, n_paths, seed, technique, sampling
    return testing::PrintToString(std::vector<double>{c.s0, c.k, c.r, c.sigma, c.t, double(c.n_paths), double(c.seed),
                                                      double(c.technique), double(c.sampling)});
}

EuropeanCallConfig config(U64 n_paths, T technique, S sampling, U64 n_threads = 1, U64 seed = 42) {
    EuropeanCallConfig c;
    c.n_paths = n_paths, c.technique = technique, c.sampling = sampling, c.n_threads = n_threads, c.seed = seed;
    return c;
}

void expect_same(const EuropeanCallResult& a, const EuropeanCallResult& b, const std::string& what) {
    EXPECT_EQ(a.price, b.price) << what;
    EXPECT_EQ(a.std_error, b.std_error) << what;
}

TEST(WorkerBlocks, Plan) {
    const std::tuple<U64, U64, U64, std::vector<U64>> rows[] = {  // units, n_threads, seed, block sizes
        {1000000, 1, 42, {1000000}},
        {7999, 4, 42, {7999}},
        {8000, 4, 42, {2000, 2000, 2000, 2000}},
        {10001, 4, 7, {2501, 2500, 2500, 2500}},
        {10003, 4, 7, {2501, 2501, 2501, 2500}},
        {0, 4, 1, {0}},
        {kMax, kMax, 3, {kMax}},
        {kMax, U64{1} << 63, 3, {kMax}},               // W * 2000 wraps to 0
        {1000000, 9223372036854776ULL, 3, {1000000}},  // W * 2000 wraps to 1616
    };
    for (const auto& [units, n_threads, seed, sizes] : rows) {
        const BlockSplit blocks = plan_worker_blocks(units, n_threads, seed);
        ASSERT_EQ(blocks.size(), sizes.size()) << units << " units, " << n_threads << " threads";
        for (std::size_t w = 0; w < blocks.size(); ++w) {  // a single block is serial with the raw seed
            EXPECT_EQ(blocks[w].units, sizes[w]) << units << " units, worker " << w;
            EXPECT_EQ(blocks[w].stream_seed, blocks.size() == 1 ? seed : derive_worker_seed(seed, w)) << units;
        }
    }
    EXPECT_EQ(resolve_worker_count(3), 3u);
    EXPECT_EQ(resolve_worker_count(kMax), kMax);
    const U64 w = resolve_worker_count(0);  // automatic
    ASSERT_GE(w, 1u);
    EXPECT_EQ(plan_worker_blocks(2000 * std::max<U64>(w, 2), 0, 5).size(), w < 2 ? 1u : w);
}

// Partials whose sum depends on the order of addition; block 0 finishes last.
TEST(RunBlocks, OrderDoesNotFollowCompletion) {
    std::array<std::thread::id, 4> ran_on{};
    const PathSums total =
        run_blocks(std::vector<WorkerBlock>{{0, 0}, {1, 0}, {2, 0}, {3, 0}}, [ids = &ran_on](U64 seed, U64) {
            (*ids)[seed] = std::this_thread::get_id();
            if (seed == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const double values[] = {1.0, 1e16, -1e16, 0.5};
            return PathSums{values[seed], seed == 0 ? 3.0 : 0.0};
        });
    EXPECT_EQ(total.sum, 0.5);  // ((1 + 1e16) - 1e16) + 0.5
    EXPECT_EQ(total.sum_sq, 3.0);
    std::set<std::thread::id> threads(ran_on.begin(), ran_on.end());
    threads.insert(std::this_thread::get_id());
    EXPECT_EQ(threads.size(), 5u) << "one thread per block, none of them the caller";
}

TEST(RunBlocks, WorkerFailureJoinsAllAndNamesTheFirstFailedBlock) {
    // Per block: 0 runs, 1 throws a std::exception, 2 throws something else; the
    // failure text (nullptr: the default); the message, or its start for a non-std exception.
    const std::tuple<std::array<int, 4>, const char*, std::string> rows[] = {
        {{0, 1, 0, 1}, nullptr, "CPU Monte Carlo worker thread panicked: boom in block 1"},
        {{2, 0, 0, 0}, nullptr, "CPU Monte Carlo worker thread panicked: "},
        {{0, 0, 0, 1}, "Heston worker failed", "Heston worker failed: boom in block 3"},
    };
    for (const auto& [fails, failure_text, expected] : rows) {
        std::atomic<int> finished{0};
        const auto kernel = [fails = fails, done = &finished](U64 seed, U64) {
            std::this_thread::sleep_for(std::chrono::milliseconds(seed == 0 ? 30 : 0));
            if (fails[seed] == 1) throw std::runtime_error("boom in block " + std::to_string(seed));
            if (fails[seed] == 2) throw 17;
            done->fetch_add(1);
            return PathSums{1.0, 1.0};
        };
        const std::vector<WorkerBlock> blocks = {{0, 1}, {1, 1}, {2, 1}, {3, 1}};
        const std::string message = fatal_message(
            [&] { failure_text ? run_blocks(blocks, kernel, failure_text) : run_blocks(blocks, kernel); });
        EXPECT_EQ(fails[0] == 2 ? message.substr(0, expected.size()) : message, expected);
        EXPECT_EQ(finished.load(), std::count(fails.begin(), fails.end(), 0)) << "every worker joined: " << message;
    }
}

TEST(Estimators, Plain) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::array<double, 5> rows[] = {
        // sum, sum_sq, n, price, std_error
        {6.0, 14.0, 3, 2.0, std::sqrt(2.0) / 3.0},  // 1, 2, 3
        {20.0, 100.0, 4, 5.0, 0.0},                 // constant
        {3.0, 2.0, 1, 3.0, 0.0},                    // negative variance clamps
        {1.0, kNaN, 2, 0.5, 0.0},                   // NaN variance
        {kNaN, 1.0, 2, kNaN, 0.0},
        {1.0, inf, 2, 0.5, inf},
    };
    for (const auto& [sum, sum_sq, n, price, std_error] : rows) {
        const EuropeanCallResult e = plain_estimate(PathSums{sum, sum_sq}, static_cast<U64>(n));
        EXPECT_TRUE(std::isnan(price) ? std::isnan(e.price) : e.price == price) << sum << " " << e.price;
        EXPECT_DOUBLE_EQ(e.std_error, std_error) << sum << " " << sum_sq << " " << n;
    }
}

TEST(Estimators, ControlVariate) {
    // y, c, mu; the price and standard error of the regression-adjusted samples y - beta (c - mu), beta the
    // least-squares slope (two-pass, in exact arithmetic), or of y itself when var_c <= 2^-52.
    const std::tuple<std::vector<double>, std::vector<double>, double, double, double> rows[] = {
        {{7.0}, {100.0}, 95.0, 7.0, 0.0},
        {{1.0, 2.0, 3.0, 4.0}, {3.0, 3.0, 3.0, 3.0}, 10.0, 2.5, 0.5590169943749475},
        {{1.0, 3.0}, {0.0, 0x1p-25}, 100.0, 2.0, 0.7071067811865475},  // var_c = 2^-52 exactly
        {{1.0, 3.0}, {0.0, 0x1p-24}, 100.0, 1.0 + 100.0 * 0x1p25, 0.0},  // var_c = 2^-50
        {{0.0, 0.0, 0.0, 4.0, 12.0}, {80.0, 90.0, 100.0, 104.0, 112.0}, 98.0, 3.463917525773196, 1.2843225981358708},
        {{3.0, -1.0, 2.0}, {1.0, 2.0, 4.0}, 2.5, 1.3214285714285714, 0.9799578870122228},  // negative slope
    };
    for (const auto& [y, c, mu, price, std_error] : rows) {
        SCOPED_TRACE(testing::Message() << "y " << testing::PrintToString(y) << " c " << testing::PrintToString(c));
        ControlVariateMoments m;
        for (std::size_t i = 0; i < y.size(); ++i) m.add(y[i], c[i]);
        const EuropeanCallResult e = control_variate_estimate(m, mu);
        EXPECT_NEAR(e.price, price, 1e-10 * (1.0 + std::fabs(price)));
        EXPECT_NEAR(e.std_error, std_error, 1e-8 * (1.0 + std_error));
    }
    ControlVariateMoments nan_variance;
    nan_variance.add(1.0, 1.0);
    nan_variance.add(2.0, 2.0);
    nan_variance.sum_c2 = kNaN;
    EXPECT_TRUE(std::isnan(control_variate_estimate(nan_variance, 1.5).price));
}

EuropeanCallResult stepwise(U64 n_paths, T technique, S sampling, U64 n_threads, U64 n_steps) {
    EuropeanCallConfig c = config(n_paths, technique, sampling, n_threads);
    c.n_steps = n_steps;
    return european_call_price_mc_cpu_stepwise(c);
}

// Terminal runs: thread independence, seeding and the bridge are pinned in
// tests/python/test_european.py; the stepwise method here.
TEST(EuropeanCall, StepwiseAntitheticStaysSerialAndSeesTheBridge) {
    expect_same(stepwise(9000, T::antithetic, S::pseudorandom, 1, 8),
                stepwise(9000, T::antithetic, S::pseudorandom, 2, 8), "pseudorandom antithetic runs never fan out");
    // The bridge reorders the Sobol coordinates over the steps.
    for (T t : kTechniques)
        EXPECT_NE(stepwise(9000, t, S::scrambled_sobol, 2, 8).price,
                  stepwise(9000, t, S::scrambled_sobol_brownian_bridge, 2, 8).price);
}

// Terminal runs against Black-Scholes: tests/python/test_european.py. The closed form is pinned in studies_test.cpp
// and, through the sweep, in tests/python/test_studies.py.
TEST(EuropeanCall, StepwiseAgreesWithBlackScholes) {
    const std::array<double, 5> rows[] = {{100.0, 100.0, 0.03, 0.2, 1.0}, {100.0, 120.0, 0.05, 0.3, 2.0},
                                          {80.0, 70.0, 0.0, 0.15, 0.5}};  // s0, k, r, sigma, t
    for (const auto& [s0, k, r, sigma, t] : rows) {
        const double bs = black_scholes_european_call_price(s0, k, r, sigma, t);
        for (S s : {S::pseudorandom, S::randomized_halton, S::latin_hypercube, S::scrambled_sobol,
                    S::scrambled_sobol_brownian_bridge}) {
            double standard_error = 0.0;
            for (T technique : kTechniques) {
                EuropeanCallConfig c = config(20000, technique, s, 2, 31);
                c.s0 = s0, c.k = k, c.r = r, c.sigma = sigma, c.t = t, c.n_steps = 16;
                const EuropeanCallResult e = european_call_price_mc_cpu_stepwise(c);
                EXPECT_GT(e.std_error, 0.0) << describe(c);
                EXPECT_LT(std::fabs(e.price - bs), 4.0 * e.std_error) << describe(c) << " Black-Scholes " << bs;
                if (technique == T::standard) standard_error = e.std_error;
                if (technique == T::control_variate) EXPECT_LT(e.std_error, 0.7 * standard_error) << describe(c);
            }
        }
    }
}

}  // namespace
