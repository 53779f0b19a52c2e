// The European call and what runs it: worker blocks, the path runner, the
// estimators, the stepwise method, the studies' helpers and stopping a run.
// Terminal runs: tests/python/test_european.py; the sweep: test_studies.py.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <thread>

#include "test_support.hpp"
#include "mc_core/dynamics.hpp"
#include "mc_core/early_exercise.hpp"
#include "mc_core/european.hpp"
#include "mc_core/interrupt.hpp"
#include "mc_core/random.hpp"
#include "mc_core/stepwise.hpp"
#include "mc_core/studies.hpp"
#include "mc_core/text.hpp"

namespace mc_core {
namespace {

using namespace test_support;
using T = MonteCarloTechnique;
using S = SamplingMethod;

constexpr U64 kMax = std::numeric_limits<U64>::max();
constexpr T kTechniques[] = {T::standard, T::antithetic, T::control_variate};

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

TEST(Estimators, PlainAndControlVariate) {
    const std::array<double, 5> plain[] = {
        // sum, sum_sq, n, price, std_error
        {6.0, 14.0, 3, 2.0, std::sqrt(2.0) / 3.0},  // 1, 2, 3
        {20.0, 100.0, 4, 5.0, 0.0},                 // constant
        {3.0, 2.0, 1, 3.0, 0.0},                    // negative variance clamps
        {1.0, kNaN, 2, 0.5, 0.0},                   // NaN variance
        {kNaN, 1.0, 2, kNaN, 0.0},
        {1.0, kInf, 2, 0.5, kInf},
    };
    for (const auto& [sum, sum_sq, n, price, std_error] : plain) {
        const EuropeanCallResult e = plain_estimate(PathSums{sum, sum_sq}, static_cast<U64>(n));
        EXPECT_TRUE(std::isnan(price) ? std::isnan(e.price) : e.price == price) << sum << " " << e.price;
        EXPECT_DOUBLE_EQ(e.std_error, std_error) << sum << " " << sum_sq << " " << n;
    }
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

// Terminal runs against Black-Scholes: tests/python/test_european.py; the sweep
// checks one stepwise run (tests/python/test_studies.py). Here every sampler and
// technique: pseudorandom antithetic runs never fan out, and the bridge
// reorders the Sobol coordinates over the steps.
TEST(EuropeanCall, StepwiseAgreesWithBlackScholes) {
    const std::array<double, 5> rows[] = {{100.0, 100.0, 0.03, 0.2, 1.0}, {100.0, 120.0, 0.05, 0.3, 2.0},
                                          {80.0, 70.0, 0.0, 0.15, 0.5}};  // s0, k, r, sigma, t
    for (const auto& [s0, k, r, sigma, t] : rows) {
        const double bs = black_scholes_european_call_price(s0, k, r, sigma, t);
        std::map<std::pair<S, T>, EuropeanCallResult> runs;
        for (S s : {S::pseudorandom, S::randomized_halton, S::latin_hypercube, S::scrambled_sobol,
                    S::scrambled_sobol_brownian_bridge})
            for (T technique : kTechniques) {
                EuropeanCallConfig c;
                c.s0 = s0, c.k = k, c.r = r, c.sigma = sigma, c.t = t, c.n_steps = 16;
                c.n_paths = 20000, c.technique = technique, c.sampling = s, c.n_threads = 2, c.seed = 31;
                const EuropeanCallResult e = runs[{s, technique}] = european_call_price_mc_cpu_stepwise(c);
                SCOPED_TRACE(testing::Message() << "s0 " << s0 << ", sampling " << int(s) << ", technique "
                                                << int(technique) << ", Black-Scholes " << bs);
                EXPECT_GT(e.std_error, 0.0);
                EXPECT_LT(std::fabs(e.price - bs), 4.0 * e.std_error);
                if (technique == T::control_variate)
                    EXPECT_LT(e.std_error, 0.7 * runs[std::pair(s, T::standard)].std_error);
                if (s == S::scrambled_sobol_brownian_bridge)
                    EXPECT_NE(e.price, runs[std::pair(S::scrambled_sobol, technique)].price);
                if (s != S::pseudorandom || technique != T::antithetic) continue;
                c.n_threads = 1;
                const EuropeanCallResult serial = european_call_price_mc_cpu_stepwise(c);
                EXPECT_EQ(bits(std::vector{serial.price, serial.std_error}), bits(std::vector{e.price, e.std_error}));
            }
    }
}

TEST(BlackScholes, KnownValuesLimitsAndChecks) {
    // The sweep's rows pin values inside the domain (tests/python/test_studies.py); its limits, exactly:
    const std::array<double, 6> limits[] = {{100, 0, 0.03, 0.2, 1, 100}, {100, 90, 0.03, 0.2, 0, 10}, {80, 90, 0.03, 0.2, 0, 0},
                                            {90, 100, 0.05, 0, 1, 0}, {100, 100, 0.05, 0, 1, 100 - 100 * std::exp(-0.05)}};
    for (const auto& [s0, k, r, sigma, t, expected] : limits)
        EXPECT_EQ(black_scholes_european_call_price(s0, k, r, sigma, t), expected) << s0 << " " << k << " " << sigma << " " << t;
    const std::tuple<double, double, double, double, const char*> checks[] = {  // s0, k, sigma, t, message
        {0, -1, -1, -1, "s0 must be > 0"},        {kNaN, 1, 0.2, 1, "s0 must be > 0"},
        {100, -1, -1, -1, "k must be >= 0"},      {100, kNaN, 0.2, 1, "k must be >= 0"},
        {100, 1, -0.1, -1, "sigma must be >= 0"}, {100, 1, kNaN, 1, "sigma must be >= 0"},
        {100, 1, 0.2, -1, "t must be >= 0"},      {100, 1, 0.2, kNaN, "t must be >= 0"}};
    for (const auto& [s0, k, sigma, t, message] : checks)
        EXPECT_EQ(fatal_message([&] { black_scholes_european_call_price(s0, k, 0.03, sigma, t); }), message);
    EXPECT_NEAR(standard_normal_cdf(0.0), 0.5, 1e-9);
    for (double x = -8.0; x <= 8.0; x += 0.01) {
        EXPECT_NEAR(standard_normal_cdf(x), 0.5 * std::erfc(-x / std::sqrt(2.0)), 1.5e-7) << x;
        EXPECT_NEAR(standard_normal_cdf(x) + standard_normal_cdf(-x), 1.0, 1e-15) << x;
    }
}

// The pseudorandom matrix is pinned point-major through the Gaussian study in
// tests/python/test_studies.py; the structured ones hold each sampler's points.
TEST(GenerateNormals, PointMajorMatrixOfTheSamplers) {
    const U64 seed = 0x1234'5678'9ABC'DEF0ULL, points = 70, dims = 5;
    std::vector<double> point;
    for (S sampling : {S::randomized_halton, S::latin_hypercube, S::scrambled_sobol, S::scrambled_sobol_brownian_bridge}) {
        const auto m = generate_standard_normals_cpu(sampling, points, dims, seed);
        ASSERT_EQ(m.size(), points * dims);
        const StructuredNormalSampler sampler(sampling, seed, points, dims);
        for (U64 p = 0; p < points; ++p) {
            sampler.fill_standard_normals(p, dims, point);
            for (U64 d = 0; d < dims; ++d) ASSERT_EQ(m[p * dims + d], point[d]) << static_cast<int>(sampling);
        }
    }
    EXPECT_EQ(fatal_message([] { generate_standard_normals_cpu(S::pseudorandom, 0, 0, 1); }), "n_points must be > 0");
    EXPECT_EQ(fatal_message([] { generate_standard_normals_cpu(S::pseudorandom, 1, 0, 1); }), "dimensions must be > 0");
}

TEST(Text, TrimsUnicodeWhiteSpaceOnly) {
    EXPECT_EQ(trim_white_space("  a b\t\n"), "a b");
    EXPECT_EQ(trim_white_space("\u00a0\u2003x\u3000"), "x");
    EXPECT_EQ(trim_white_space("\u200bx"), "\u200bx");  // zero-width space is not White_Space
    EXPECT_EQ(trim_white_space(" \u2028 "), "");
}

// ---------------------------------------------------------------------------
// Stopping a run: a requested stop ends every kind of run with Interrupted and
// no thread left behind; a scope that never stops changes no bit.

// Says stop from the `after`-th poll on, counting the polls.
struct Poll {
    int after;
    std::atomic<int> calls{0};
    static bool answer(void* self) {
        Poll& p = *static_cast<Poll*>(self);
        return ++p.calls >= p.after;
    }
};

TEST(Stop, EndsRunsOnWorkersAndOnTheCallingThread) {
    const auto european = [](T technique, S sampling, U64 threads) {
        EuropeanCallConfig c;
        c.n_paths = 4'000'000'000;  // minutes of work: only a stop ends it in time
        c.n_threads = threads, c.technique = technique, c.sampling = sampling;
        return [c] { european_call_price_mc_cpu(c); };
    };
    MertonJumpDiffusionCallConfig merton;
    merton.n_paths = 4'000'000'000;
    merton.n_threads = 2;
    const runtime::cpu::AmericanPutConfig put;  // 100,000 paths: their generation outlasts the second poll
    const std::tuple<const char*, std::function<void()>, int> runs[] = {  // the run, and the poll that stops it
        {"standard, 2 threads", european(T::standard, S::pseudorandom, 2), 3},
        {"control variate, 1 thread", european(T::control_variate, S::pseudorandom, 1), 3},
        {"antithetic, 2 threads", european(T::antithetic, S::pseudorandom, 2), 3},
        {"sobol, 2 threads", european(T::standard, S::scrambled_sobol, 2), 3},
        {"merton, 2 threads", [&merton] { merton_jump_diffusion_call_price_mc_cpu(merton); }, 2},
        {"american put", [&put] { runtime::cpu::american_put_price_lsm_cpu(put); }, 2},
    };
    for (const auto& [name, run, after] : runs) {
        Poll poll{after};
        {
            const StopScope scope(Poll::answer, &poll);
            EXPECT_THROW(run(), Interrupted) << name;
        }
        EXPECT_EQ(poll.calls.load(), after) << name << ": no poll after the one that stopped the run";
    }
}

TEST(Stop, AScopeThatNeverStopsChangesNoBit) {
    EuropeanCallConfig c;
    c.n_paths = 200'000;
    c.n_threads = 2;
    const EuropeanCallResult plain = european_call_price_mc_cpu(c);
    Poll never{1 << 30};
    const StopScope scope(Poll::answer, &never);
    const EuropeanCallResult polled = european_call_price_mc_cpu(c);
    EXPECT_EQ(bits(polled.price), bits(plain.price));
    EXPECT_EQ(bits(polled.std_error), bits(plain.std_error));
}

}  // namespace
}  // namespace mc_core
