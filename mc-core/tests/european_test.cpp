// European call by the terminal method, the parallel path runner and the two
// estimators.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "mc_core/error.hpp"
#include "mc_core/european.hpp"
#include "mc_core/random.hpp"

namespace {

using mc_core::ControlVariateMoments;
using mc_core::derive_worker_seed;
using mc_core::EuropeanCallConfig;
using mc_core::EuropeanCallResult;
using mc_core::FatalError;
using mc_core::MonteCarloTechnique;
using mc_core::NormalRng;
using mc_core::PathSums;
using mc_core::SamplingMethod;
using mc_core::WorkerBlock;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

const char* technique_name(MonteCarloTechnique t) {
    switch (t) {
        case MonteCarloTechnique::standard: return "standard";
        case MonteCarloTechnique::antithetic: return "antithetic";
        case MonteCarloTechnique::control_variate: return "control_variate";
    }
    return "?";
}
const char* sampling_name(SamplingMethod s) {
    switch (s) {
        case SamplingMethod::pseudorandom: return "pseudorandom";
        case SamplingMethod::randomized_halton: return "randomized_halton";
        case SamplingMethod::latin_hypercube: return "latin_hypercube";
        case SamplingMethod::scrambled_sobol: return "scrambled_sobol";
        case SamplingMethod::scrambled_sobol_brownian_bridge: return "scrambled_sobol_brownian_bridge";
    }
    return "?";
}

std::string describe(const EuropeanCallConfig& c) {
    return testing::PrintToString(std::vector<double>{c.s0, c.k, c.r, c.sigma, c.t}) + " n_paths " +
           std::to_string(c.n_paths) + " n_steps " + std::to_string(c.n_steps) + " seed " + std::to_string(c.seed) +
           " n_threads " + std::to_string(c.n_threads) + " " + technique_name(c.technique) + " " +
           sampling_name(c.sampling);
}

// The message of the FatalError thrown by `f`, or a marker when none is thrown.
std::string fatal_message(const std::function<void()>& f) {
    try {
        f();
    } catch (const FatalError& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("<not a FatalError: ") + e.what() + ">";
    }
    return "<no error>";
}

EuropeanCallConfig config(std::uint64_t n_paths, MonteCarloTechnique technique, SamplingMethod sampling,
                          std::uint64_t n_threads = 1, std::uint64_t seed = 42) {
    EuropeanCallConfig c;
    c.n_paths = n_paths;
    c.technique = technique;
    c.sampling = sampling;
    c.n_threads = n_threads;
    c.seed = seed;
    return c;
}

// Discounted payoff and control of one normal, written from the model.
struct Model {
    double s0, k, drift_t, vol_t, disc;
    explicit Model(const EuropeanCallConfig& c)
        : s0(c.s0), k(c.k), drift_t(c.t * (c.r + c.sigma * (c.sigma * -0.5))), vol_t(c.sigma * std::sqrt(c.t)),
          disc(std::exp(-(c.r * c.t))) {}
    double terminal(double z) const { return s0 * std::exp(drift_t + vol_t * z); }
    double payoff(double z) const { return disc * std::fmax(terminal(z) - k, 0.0); }
    double pair(double z) const { return 0.5 * (payoff(z) + payoff(-z)); }
    double control(double z) const { return disc * terminal(z); }
};

// Population mean and standard error of the mean, two-pass.
EuropeanCallResult textbook_plain(const std::vector<double>& v) {
    double mean = 0.0;
    for (double x : v) mean += x;
    mean /= static_cast<double>(v.size());
    double ss = 0.0;
    for (double x : v) ss += (x - mean) * (x - mean);
    return {mean, std::sqrt(ss / static_cast<double>(v.size())) / std::sqrt(static_cast<double>(v.size()))};
}

// Regression-adjusted samples y - beta (c - mu), beta the least-squares slope.
EuropeanCallResult textbook_control_variate(const std::vector<double>& y, const std::vector<double>& c, double mu) {
    const double n = static_cast<double>(y.size());
    double my = 0.0, mc = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
        my += y[i];
        mc += c[i];
    }
    my /= n;
    mc /= n;
    double sxy = 0.0, sxx = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
        sxy += (c[i] - mc) * (y[i] - my);
        sxx += (c[i] - mc) * (c[i] - mc);
    }
    const double beta = sxy / sxx;
    std::vector<double> adjusted;
    for (std::size_t i = 0; i < y.size(); ++i) adjusted.push_back(y[i] - beta * (c[i] - mu));
    return textbook_plain(adjusted);
}

double black_scholes_call(double s0, double k, double r, double sigma, double t) {
    const auto cdf = [](double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); };
    const double d1 = (std::log(s0 / k) + (r + 0.5 * sigma * sigma) * t) / (sigma * std::sqrt(t));
    const double d2 = d1 - sigma * std::sqrt(t);
    return s0 * cdf(d1) - k * std::exp(-r * t) * cdf(d2);
}

std::vector<double> stream_normals(std::uint64_t seed, std::size_t n) {
    NormalRng rng(seed);
    std::vector<double> z(n);
    for (double& v : z) v = rng.next_standard_normal();
    return z;
}

void expect_same(const EuropeanCallResult& a, const EuropeanCallResult& b, const std::string& what) {
    EXPECT_EQ(a.price, b.price) << what;
    EXPECT_EQ(a.std_error, b.std_error) << what;
}

constexpr MonteCarloTechnique kTechniques[] = {MonteCarloTechnique::standard, MonteCarloTechnique::antithetic,
                                               MonteCarloTechnique::control_variate};
constexpr SamplingMethod kStructured[] = {SamplingMethod::randomized_halton, SamplingMethod::latin_hypercube,
                                          SamplingMethod::scrambled_sobol,
                                          SamplingMethod::scrambled_sobol_brownian_bridge};

// ---------------------------------------------------------------------------
// Block plan.

TEST(WorkerBlocks, Plan) {
    struct Row {
        std::uint64_t units, n_threads, seed;
        std::vector<std::uint64_t> sizes;  // one entry: serial with the raw seed
    };
    const Row rows[] = {
        {1000000, 1, 42, {1000000}},
        {7999, 4, 42, {7999}},
        {8000, 4, 42, {2000, 2000, 2000, 2000}},
        {10001, 4, 7, {2501, 2500, 2500, 2500}},
        {10003, 4, 7, {2501, 2501, 2501, 2500}},
        {3999, 2, 0, {3999}},
        {4000, 2, 0, {2000, 2000}},
        {0, 4, 1, {0}},
        {1, 1, 1, {1}},
        {kMax, kMax, 3, {kMax}},
        {kMax, std::uint64_t{1} << 63, 3, {kMax}},
        // W * 2000 wraps to 1616 here; the run must still be serial.
        {1000000, 9223372036854776ULL, 3, {1000000}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "units " << r.units << " n_threads " << r.n_threads << " seed " << r.seed);
        const std::vector<WorkerBlock> blocks = mc_core::plan_worker_blocks(r.units, r.n_threads, r.seed);
        ASSERT_EQ(blocks.size(), r.sizes.size());
        if (r.sizes.size() == 1) {
            EXPECT_EQ(blocks[0].stream_seed, r.seed);
            EXPECT_EQ(blocks[0].units, r.units);
            continue;
        }
        for (std::size_t w = 0; w < blocks.size(); ++w) {
            EXPECT_EQ(blocks[w].units, r.sizes[w]) << "worker " << w;
            EXPECT_EQ(blocks[w].stream_seed, derive_worker_seed(r.seed, w)) << "worker " << w;
        }
    }
}

TEST(WorkerBlocks, AutomaticWorkerCount) {
    EXPECT_EQ(mc_core::resolve_worker_count(3), 3u);
    EXPECT_EQ(mc_core::resolve_worker_count(kMax), kMax);
    const std::uint64_t w = mc_core::resolve_worker_count(0);
    EXPECT_GE(w, 1u);
    const std::uint64_t units = 2000 * std::max<std::uint64_t>(w, 2);
    const auto blocks = mc_core::plan_worker_blocks(units, 0, 5);
    EXPECT_EQ(blocks.size(), w < 2 ? 1u : w);
}

// ---------------------------------------------------------------------------
// Running blocks.

TEST(RunBlocks, MergesInBlockOrderBitExact) {
    const EuropeanCallConfig c = config(10001, MonteCarloTechnique::standard, SamplingMethod::pseudorandom, 4, 99);
    const mc_core::TerminalParams p = mc_core::TerminalParams::from(c);
    const auto blocks = mc_core::plan_worker_blocks(c.n_paths, c.n_threads, c.seed);
    ASSERT_EQ(blocks.size(), 4u);

    PathSums expected;
    ControlVariateMoments expected_cv;
    for (const WorkerBlock& b : blocks) {
        expected += mc_core::simulate_terminal_chunk(b.stream_seed, b.units, p);
        expected_cv += mc_core::simulate_terminal_control_variate_chunk(b.stream_seed, b.units, p);
    }
    const PathSums got = mc_core::run_parallel(c.n_paths, c.n_threads, c.seed, [p](std::uint64_t s, std::uint64_t n) {
        return mc_core::simulate_terminal_chunk(s, n, p);
    });
    EXPECT_EQ(got.sum, expected.sum);
    EXPECT_EQ(got.sum_sq, expected.sum_sq);
    const ControlVariateMoments got_cv =
        mc_core::run_blocks(blocks, [p](std::uint64_t s, std::uint64_t n) {
            return mc_core::simulate_terminal_control_variate_chunk(s, n, p);
        });
    EXPECT_EQ(got_cv.count, 10001u);
    EXPECT_EQ(got_cv.sum_y, expected_cv.sum_y);
    EXPECT_EQ(got_cv.sum_y2, expected_cv.sum_y2);
    EXPECT_EQ(got_cv.sum_c, expected_cv.sum_c);
    EXPECT_EQ(got_cv.sum_c2, expected_cv.sum_c2);
    EXPECT_EQ(got_cv.sum_cy, expected_cv.sum_cy);

    // The pricer applies the plain estimator to exactly this total.
    const EuropeanCallResult priced = mc_core::european_call_price_mc_cpu(c);
    const EuropeanCallResult from_total = mc_core::plain_estimate(expected, c.n_paths);
    expect_same(priced, from_total, describe(c));
    EuropeanCallConfig cv = c;
    cv.technique = MonteCarloTechnique::control_variate;
    expect_same(mc_core::european_call_price_mc_cpu(cv), mc_core::control_variate_estimate(expected_cv, cv.s0),
                describe(cv));
}

// Partials whose sum depends on the order of addition; the first block finishes
// last, so completion order differs from block order.
TEST(RunBlocks, OrderDoesNotFollowCompletion) {
    const std::vector<WorkerBlock> blocks = {{0, 0}, {1, 0}, {2, 0}, {3, 0}};
    std::array<std::thread::id, 4> ran_on{};
    auto* ids = &ran_on;
    const auto kernel = [ids](std::uint64_t seed, std::uint64_t) {
        (*ids)[seed] = std::this_thread::get_id();
        if (seed == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const double values[] = {1.0, 1e16, -1e16, 0.5};
        PathSums s;
        s.sum = values[seed];
        s.sum_sq = seed == 0 ? 3.0 : 0.0;
        return s;
    };
    const PathSums total = mc_core::run_blocks(blocks, kernel);
    EXPECT_EQ(total.sum, ((((0.0 + 1.0) + 1e16) + -1e16) + 0.5));
    EXPECT_EQ(total.sum, 0.5);
    EXPECT_EQ(total.sum_sq, 3.0);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_NE(ran_on[i], std::this_thread::get_id()) << "block " << i << " ran on the calling thread";
        for (std::size_t j = 0; j < i; ++j) EXPECT_NE(ran_on[i], ran_on[j]) << "blocks " << j << " and " << i;
    }

    // A single block runs on the calling thread with its own seed.
    std::thread::id single{};
    std::uint64_t seen_seed = 0, seen_units = 0;
    mc_core::run_blocks(std::vector<WorkerBlock>{{77, 12}}, [&](std::uint64_t s, std::uint64_t n) {
        single = std::this_thread::get_id();
        seen_seed = s;
        seen_units = n;
        return PathSums{};
    });
    EXPECT_EQ(single, std::this_thread::get_id());
    EXPECT_EQ(seen_seed, 77u);
    EXPECT_EQ(seen_units, 12u);
}

TEST(RunBlocks, WorkerFailure) {
    struct Row {
        std::vector<std::uint64_t> failing;  // block indices that throw
        bool std_exception;
        const char* failure_text;  // nullptr: the default
        std::string expected_prefix;
        std::string expected_detail;
        std::string absent;
    };
    const Row rows[] = {
        {{2}, true, nullptr, "CPU Monte Carlo worker thread panicked: ", "boom in block 2", ""},
        {{1, 3}, true, nullptr, "CPU Monte Carlo worker thread panicked: ", "boom in block 1", "block 3"},
        {{0}, false, nullptr, "CPU Monte Carlo worker thread panicked: ", "", ""},
        {{3}, true, "Heston worker failed", "Heston worker failed: ", "boom in block 3", "panicked"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "failing " << testing::PrintToString(r.failing) << " std "
                                        << r.std_exception << " text " << (r.failure_text ? r.failure_text : "default"));
        std::atomic<int> finished{0};
        std::array<bool, 4> fails{};
        for (std::uint64_t b : r.failing) fails[b] = true;
        const bool std_exception = r.std_exception;
        auto* done = &finished;
        const auto kernel = [fails, std_exception, done](std::uint64_t seed, std::uint64_t) {
            std::this_thread::sleep_for(std::chrono::milliseconds(seed == 0 ? 30 : 0));
            if (fails[seed]) {
                if (std_exception) throw std::runtime_error("boom in block " + std::to_string(seed));
                throw 17;
            }
            done->fetch_add(1);
            return PathSums{1.0, 1.0};
        };
        const std::vector<WorkerBlock> blocks = {{0, 1}, {1, 1}, {2, 1}, {3, 1}};
        const std::string message = fatal_message([&] {
            if (r.failure_text)
                mc_core::run_blocks(blocks, kernel, r.failure_text);
            else
                mc_core::run_blocks(blocks, kernel);
        });
        EXPECT_EQ(message.rfind(r.expected_prefix, 0), 0u) << message;
        EXPECT_NE(message.find(r.expected_detail), std::string::npos) << message;
        if (!r.absent.empty()) EXPECT_EQ(message.find(r.absent), std::string::npos) << message;
        // Every worker had been joined when the error surfaced.
        EXPECT_EQ(finished.load(), 4 - static_cast<int>(r.failing.size()));
    }
}

// ---------------------------------------------------------------------------
// Estimators.

TEST(Estimators, Plain) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Row {
        double sum, sum_sq;
        std::uint64_t n;
        double price, std_error;  // NaN: expect NaN
    };
    const Row rows[] = {
        {6.0, 14.0, 3, 2.0, std::sqrt(2.0) / 3.0},         // 1, 2, 3
        {20.0, 100.0, 4, 5.0, 0.0},                        // constant
        {10.0, 30.0, 4, 2.5, std::sqrt(1.25) / 2.0},       // 1, 2, 3, 4
        {3.0, 2.0, 1, 3.0, 0.0},                           // negative variance clamps
        {1.0, nan, 2, 0.5, 0.0},                           // NaN variance
        {nan, 1.0, 2, nan, 0.0},                           // NaN price
        {1.0, inf, 2, 0.5, inf},
        {-7.0, 49.0, 1, -7.0, 0.0},
    };
    for (const Row& r : rows) {
        const EuropeanCallResult e = mc_core::plain_estimate(PathSums{r.sum, r.sum_sq}, r.n);
        SCOPED_TRACE(testing::Message() << "sum " << r.sum << " sum_sq " << r.sum_sq << " n " << r.n);
        if (std::isnan(r.price))
            EXPECT_TRUE(std::isnan(e.price)) << e.price;
        else
            EXPECT_DOUBLE_EQ(e.price, r.price);
        if (r.std_error == 0.0 || std::isinf(r.std_error))
            EXPECT_EQ(e.std_error, r.std_error);
        else
            EXPECT_DOUBLE_EQ(e.std_error, r.std_error);
    }
}

ControlVariateMoments moments_of(const std::vector<double>& y, const std::vector<double>& c) {
    ControlVariateMoments m;
    for (std::size_t i = 0; i < y.size(); ++i) m.add(y[i], c[i]);
    return m;
}

TEST(Estimators, ControlVariateDegenerateControl) {
    struct Row {
        std::vector<double> y, c;
        double mu;
    };
    const Row rows[] = {
        {{7.0}, {100.0}, 95.0},                        // one sample: var_c is exactly 0
        {{1.0, 2.0, 3.0, 4.0}, {3.0, 3.0, 3.0, 3.0}, 10.0},  // identical controls
        {{1.0, 3.0}, {0.0, 0x1p-25}, 100.0},           // var_c = 2^-52 exactly
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "y " << testing::PrintToString(r.y) << " c " << testing::PrintToString(r.c)
                                        << " mu " << r.mu);
        const EuropeanCallResult e = mc_core::control_variate_estimate(moments_of(r.y, r.c), r.mu);
        const EuropeanCallResult plain = textbook_plain(r.y);
        EXPECT_DOUBLE_EQ(e.price, plain.price);
        if (plain.std_error == 0.0)
            EXPECT_EQ(e.std_error, 0.0);
        else
            EXPECT_DOUBLE_EQ(e.std_error, plain.std_error);
    }
}

TEST(Estimators, ControlVariateKnownData) {
    struct Row {
        std::vector<double> y, c;
        double mu;
    };
    const Row rows[] = {
        {{1.0, 3.0}, {0.0, 0x1p-24}, 100.0},  // var_c = 2^-50: just above the threshold
        {{2.0, 0.0, 5.5, 1.25, 0.0, 9.0, 3.5, 0.75}, {101.0, 97.0, 106.0, 100.5, 95.0, 110.0, 104.0, 99.0}, 100.0},
        {{0.0, 0.0, 0.0, 4.0, 12.0}, {80.0, 90.0, 100.0, 104.0, 112.0}, 98.0},
        {{3.0, -1.0, 2.0}, {1.0, 2.0, 4.0}, 2.5},  // negative slope
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "y " << testing::PrintToString(r.y) << " c " << testing::PrintToString(r.c)
                                        << " mu " << r.mu);
        const EuropeanCallResult e = mc_core::control_variate_estimate(moments_of(r.y, r.c), r.mu);
        const EuropeanCallResult expected = textbook_control_variate(r.y, r.c, r.mu);
        EXPECT_NEAR(e.price, expected.price, 1e-10 * (1.0 + std::fabs(expected.price)));
        EXPECT_NEAR(e.std_error, expected.std_error, 1e-8 * (1.0 + expected.std_error));
        EXPECT_NE(e.price, textbook_plain(r.y).price);
    }
}

TEST(Estimators, ControlVariateNanVarianceAdjusts) {
    ControlVariateMoments m = moments_of({1.0, 2.0}, {1.0, 2.0});
    m.sum_c2 = std::numeric_limits<double>::quiet_NaN();
    const EuropeanCallResult e = mc_core::control_variate_estimate(m, 1.5);
    EXPECT_TRUE(std::isnan(e.price)) << e.price;
}

// ---------------------------------------------------------------------------
// Entry checks and validation.

TEST(EuropeanCall, EntryChecks) {
    struct Row {
        std::uint64_t n_paths, n_steps;
        std::string message;
    };
    const Row rows[] = {
        {0, 0, "n_paths must be > 0"},
        {0, 10, "n_paths must be > 0"},
        {10, 0, "n_steps must be > 0"},
    };
    for (const Row& r : rows) {
        EuropeanCallConfig c;
        c.n_paths = r.n_paths;
        c.n_steps = r.n_steps;
        c.sigma = -1.0;  // not checked by the entry
        EXPECT_EQ(fatal_message([&] { mc_core::european_call_price_mc_cpu(c); }), r.message) << describe(c);
    }
    // Other fields are not validated by the entry.
    EuropeanCallConfig c;
    c.n_paths = 10;
    c.s0 = std::numeric_limits<double>::quiet_NaN();
    c.k = -1.0;
    c.t = 0.0;
    EXPECT_EQ(fatal_message([&] { mc_core::european_call_price_mc_cpu(c); }), "<no error>") << describe(c);
}

TEST(EuropeanCall, ValidationOrder) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Row {
        std::uint64_t n_paths, n_steps;
        double s0, k, sigma, t, r;
        std::string message;
    };
    const Row rows[] = {
        {0, 0, 0, 0, 0, 0, 0, "n_paths must be > 0"},
        {1, 0, 0, 0, 0, 0, 0, "n_steps must be > 0"},
        {1, 1, 0, 0, 0, 0, 0, "s0 must be > 0"},
        {1, 1, -1, 1, 1, 1, 0, "s0 must be > 0"},
        {1, 1, nan, 1, 1, 1, 0, "s0 must be > 0"},
        {1, 1, 1, 0, 0, 0, 0, "k must be > 0"},
        {1, 1, 1, nan, 1, 1, 0, "k must be > 0"},
        {1, 1, 1, 1, 0, 0, 0, "sigma must be > 0"},
        {1, 1, 1, 1, -0.2, 1, 0, "sigma must be > 0"},
        {1, 1, 1, 1, nan, 1, 0, "sigma must be > 0"},
        {1, 1, 1, 1, 1, 0, 0, "t must be > 0"},
        {1, 1, 1, 1, 1, -1, 0, "t must be > 0"},
        {1, 1, 1, 1, 1, nan, 0, "t must be > 0"},
        {1, 1, 1, 1, 1, 1, nan, "<no error>"},
        {1, 1, 1, 1, 1, 1, -0.5, "<no error>"},
        {1, 1, INFINITY, 1e-300, 5, 1e-9, 0, "<no error>"},
    };
    for (const Row& r : rows) {
        EuropeanCallConfig c;
        c.n_paths = r.n_paths;
        c.n_steps = r.n_steps;
        c.s0 = r.s0;
        c.k = r.k;
        c.sigma = r.sigma;
        c.t = r.t;
        c.r = r.r;
        EXPECT_EQ(fatal_message([&] { mc_core::validate_european_call_config(c); }), r.message) << describe(c);
    }
}

// ---------------------------------------------------------------------------
// Terminal method.

TEST(EuropeanCall, ZeroVolatilityIsDeterministic) {
    struct Row {
        double s0, k, r, t;
        bool exact;  // every intermediate is exact
    };
    const Row rows[] = {
        {100.0, 90.0, 0.0, 1.0, true},
        {100.0, 120.0, 0.0, 2.0, true},  // out of the money: price 0
        {100.0, 95.0, 0.05, 1.5, false},
        {50.0, 40.0, -0.01, 0.25, false},
    };
    const SamplingMethod samplings[] = {SamplingMethod::pseudorandom, SamplingMethod::randomized_halton,
                                        SamplingMethod::latin_hypercube, SamplingMethod::scrambled_sobol};
    for (const Row& r : rows)
        for (SamplingMethod s : samplings)
            for (MonteCarloTechnique t : kTechniques) {
                EuropeanCallConfig c = config(5001, t, s, 2);
                c.s0 = r.s0;
                c.k = r.k;
                c.r = r.r;
                c.t = r.t;
                c.sigma = 0.0;
                const double expected = std::exp(-(r.r * r.t)) * std::fmax(r.s0 * std::exp(r.r * r.t) - r.k, 0.0);
                const EuropeanCallResult e = mc_core::european_call_price_mc_cpu(c);
                if (r.exact) {
                    EXPECT_EQ(e.price, expected) << describe(c);
                    EXPECT_EQ(e.std_error, 0.0) << describe(c);
                } else {
                    EXPECT_NEAR(e.price, expected, 1e-11 * expected) << describe(c);
                    // Rounding in the sums leaves a residual of order sqrt(epsilon) * price.
                    EXPECT_LE(e.std_error, 1e-7 * expected) << describe(c);
                }
            }
}

// Small serial runs against estimates built from the stream's normals.
TEST(EuropeanCall, PseudorandomSerialKnownValues) {
    struct Row {
        std::uint64_t n_paths, seed;
        MonteCarloTechnique technique;
        double k;
    };
    const Row rows[] = {
        {1, 42, MonteCarloTechnique::standard, 90.0},       {5, 42, MonteCarloTechnique::standard, 100.0},
        {1, 42, MonteCarloTechnique::antithetic, 90.0},     {2, 42, MonteCarloTechnique::antithetic, 100.0},
        {3, 42, MonteCarloTechnique::antithetic, 100.0},    {4, 42, MonteCarloTechnique::antithetic, 100.0},
        {7, 5, MonteCarloTechnique::antithetic, 95.0},      {1, 42, MonteCarloTechnique::control_variate, 90.0},
        {6, 42, MonteCarloTechnique::control_variate, 100.0}, {9, 3, MonteCarloTechnique::control_variate, 80.0},
        {3999, 11, MonteCarloTechnique::standard, 105.0},   {3999, 11, MonteCarloTechnique::control_variate, 105.0},
    };
    for (const Row& r : rows) {
        EuropeanCallConfig c = config(r.n_paths, r.technique, SamplingMethod::pseudorandom, 2, r.seed);
        c.k = r.k;
        const Model m(c);
        EuropeanCallResult expected;
        if (r.technique == MonteCarloTechnique::antithetic) {
            const std::uint64_t pairs = (r.n_paths + 1) / 2;
            std::vector<double> v;
            for (double z : stream_normals(r.seed, pairs)) v.push_back(m.pair(z));
            expected = textbook_plain(v);
        } else {
            std::vector<double> y, ctl;
            for (double z : stream_normals(r.seed, r.n_paths)) {
                y.push_back(m.payoff(z));
                ctl.push_back(m.control(z));
            }
            expected = r.technique == MonteCarloTechnique::standard || r.n_paths == 1
                           ? textbook_plain(y)
                           : textbook_control_variate(y, ctl, c.s0);
        }
        const EuropeanCallResult e = mc_core::european_call_price_mc_cpu(c);
        EXPECT_NEAR(e.price, expected.price, 1e-12 * (1.0 + expected.price)) << describe(c);
        if (r.n_paths <= 2)
            EXPECT_EQ(e.std_error, 0.0) << describe(c);
        else
            EXPECT_NEAR(e.std_error, expected.std_error, 1e-7 * expected.std_error + 1e-12) << describe(c);
        EXPECT_GT(e.price, 0.0) << describe(c);
    }
}

// Every path ends in the money, so the payoff is linear in the control: the
// adjusted samples are constant, the price is s0 - k disc and the error vanishes.
TEST(EuropeanCall, ControlVariateRemovesLinearPayoffNoise) {
    EuropeanCallConfig c = config(9, MonteCarloTechnique::control_variate, SamplingMethod::pseudorandom, 1, 3);
    c.k = 60.0;
    const EuropeanCallResult e = mc_core::european_call_price_mc_cpu(c);
    EXPECT_NEAR(e.price, c.s0 - c.k * std::exp(-c.r * c.t), 1e-10) << describe(c);
    EXPECT_LT(e.std_error, 1e-10) << describe(c);
    c.technique = MonteCarloTechnique::standard;
    EXPECT_GT(mc_core::european_call_price_mc_cpu(c).std_error, 1.0) << describe(c);
}

TEST(EuropeanCall, AntitheticPairCountAndSerialRun) {
    // 3 and 4 paths both simulate two pairs from the same stream.
    const EuropeanCallConfig three = config(3, MonteCarloTechnique::antithetic, SamplingMethod::pseudorandom);
    const EuropeanCallConfig four = config(4, MonteCarloTechnique::antithetic, SamplingMethod::pseudorandom);
    expect_same(mc_core::european_call_price_mc_cpu(three), mc_core::european_call_price_mc_cpu(four), "3 vs 4 paths");
    // Pseudorandom antithetic runs never fan out.
    const EuropeanCallConfig one = config(40000, MonteCarloTechnique::antithetic, SamplingMethod::pseudorandom, 1);
    const EuropeanCallConfig many = config(40000, MonteCarloTechnique::antithetic, SamplingMethod::pseudorandom, 8);
    expect_same(mc_core::european_call_price_mc_cpu(one), mc_core::european_call_price_mc_cpu(many), describe(many));

    // Structured: pair i uses point i of a sampler built for all n_paths points.
    for (SamplingMethod s : kStructured) {
        for (std::uint64_t n : {std::uint64_t{1}, std::uint64_t{3}, std::uint64_t{11}}) {
            const EuropeanCallConfig c = config(n, MonteCarloTechnique::antithetic, s, 1, 2024);
            const mc_core::StructuredNormalSampler sampler(s, c.seed, n, 1);
            const Model m(c);
            std::vector<double> v;
            for (std::uint64_t i = 0; i < (n + 1) / 2; ++i) v.push_back(m.pair(sampler.standard_normal(i)));
            const EuropeanCallResult expected = textbook_plain(v);
            const EuropeanCallResult e = mc_core::european_call_price_mc_cpu(c);
            EXPECT_NEAR(e.price, expected.price, 1e-12 * (1.0 + expected.price)) << describe(c);
            if (n == 1)
                EXPECT_EQ(e.std_error, 0.0) << describe(c);
            else
                EXPECT_NEAR(e.std_error, expected.std_error, 1e-7 * expected.std_error) << describe(c);
        }
    }
}

TEST(EuropeanCall, StructuredKnownValues) {
    for (SamplingMethod s : kStructured)
        for (MonteCarloTechnique t : {MonteCarloTechnique::standard, MonteCarloTechnique::control_variate}) {
            EuropeanCallConfig c = config(1000, t, s, 1, 77);
            c.k = 95.0;
            const mc_core::StructuredNormalSampler sampler(s, c.seed, c.n_paths, 1);
            const Model m(c);
            std::vector<double> y, ctl;
            for (std::uint64_t i = 0; i < c.n_paths; ++i) {
                y.push_back(m.payoff(sampler.standard_normal(i)));
                ctl.push_back(m.control(sampler.standard_normal(i)));
            }
            const EuropeanCallResult expected = t == MonteCarloTechnique::standard
                                                    ? textbook_plain(y)
                                                    : textbook_control_variate(y, ctl, c.s0);
            const EuropeanCallResult e = mc_core::european_call_price_mc_cpu(c);
            EXPECT_NEAR(e.price, expected.price, 1e-11 * expected.price) << describe(c);
            EXPECT_NEAR(e.std_error, expected.std_error, 1e-6 * expected.std_error) << describe(c);
        }
}

TEST(EuropeanCall, ControlVariateSinglePath) {
    for (SamplingMethod s : {SamplingMethod::pseudorandom, SamplingMethod::latin_hypercube,
                             SamplingMethod::scrambled_sobol}) {
        EuropeanCallConfig c = config(1, MonteCarloTechnique::control_variate, s, 4, 42);
        c.k = 80.0;
        const Model m(c);
        const double z =
            s == SamplingMethod::pseudorandom ? stream_normals(42, 1)[0]
                                              : mc_core::StructuredNormalSampler(s, 42, 1, 1).standard_normal(0);
        const EuropeanCallResult e = mc_core::european_call_price_mc_cpu(c);
        EXPECT_DOUBLE_EQ(e.price, m.payoff(z)) << describe(c);
        EXPECT_EQ(e.std_error, 0.0) << describe(c);
    }
}

TEST(EuropeanCall, SerialAndParallelRuns) {
    for (MonteCarloTechnique t : {MonteCarloTechnique::standard, MonteCarloTechnique::control_variate}) {
        const EuropeanCallConfig serial = config(4000, t, SamplingMethod::pseudorandom, 1, 42);
        const EuropeanCallConfig parallel = config(4000, t, SamplingMethod::pseudorandom, 2, 42);
        const EuropeanCallResult a = mc_core::european_call_price_mc_cpu(serial);
        const EuropeanCallResult b = mc_core::european_call_price_mc_cpu(parallel);
        EXPECT_NE(a.price, b.price) << describe(parallel);
        expect_same(a, mc_core::european_call_price_mc_cpu(serial), describe(serial));
        expect_same(b, mc_core::european_call_price_mc_cpu(parallel), describe(parallel));
        if (t == MonteCarloTechnique::standard) {
            // Two workers of 2000 paths on the derived seeds, worker 0 first.
            const mc_core::TerminalParams p = mc_core::TerminalParams::from(parallel);
            PathSums total = mc_core::simulate_terminal_chunk(derive_worker_seed(42, 0), 2000, p);
            total += mc_core::simulate_terminal_chunk(derive_worker_seed(42, 1), 2000, p);
            expect_same(b, mc_core::plain_estimate(total, 4000), describe(parallel));
            expect_same(a, mc_core::plain_estimate(mc_core::simulate_terminal_chunk(42, 4000, p), 4000),
                        describe(serial));
        }

        // Below 2000 paths per worker the run is serial with the raw seed.
        const EuropeanCallConfig below = config(7999, t, SamplingMethod::pseudorandom, 4, 42);
        const EuropeanCallConfig one = config(7999, t, SamplingMethod::pseudorandom, 1, 42);
        expect_same(mc_core::european_call_price_mc_cpu(below), mc_core::european_call_price_mc_cpu(one),
                    describe(below));
        // At 2000 per worker, different worker counts give different estimates.
        const EuropeanCallConfig four = config(8000, t, SamplingMethod::pseudorandom, 4, 42);
        const EuropeanCallConfig two = config(8000, t, SamplingMethod::pseudorandom, 2, 42);
        EXPECT_NE(mc_core::european_call_price_mc_cpu(four).price, mc_core::european_call_price_mc_cpu(two).price)
            << describe(four);
    }
}

TEST(EuropeanCall, SobolWithAndWithoutBridgeAgree) {
    for (MonteCarloTechnique t : kTechniques)
        for (std::uint64_t n : {std::uint64_t{1}, std::uint64_t{3}, std::uint64_t{70000}}) {
            const EuropeanCallConfig a = config(n, t, SamplingMethod::scrambled_sobol, 1, 9);
            const EuropeanCallConfig b = config(n, t, SamplingMethod::scrambled_sobol_brownian_bridge, 1, 9);
            expect_same(mc_core::european_call_price_mc_cpu(a), mc_core::european_call_price_mc_cpu(b), describe(b));
        }
}

TEST(EuropeanCall, StructuredIgnoresThreadCount) {
    for (SamplingMethod s : kStructured)
        for (MonteCarloTechnique t : kTechniques) {
            const EuropeanCallResult one = mc_core::european_call_price_mc_cpu(config(10000, t, s, 1, 5));
            for (std::uint64_t threads : {std::uint64_t{0}, std::uint64_t{2}, std::uint64_t{4}})
                expect_same(one, mc_core::european_call_price_mc_cpu(config(10000, t, s, threads, 5)),
                            describe(config(10000, t, s, threads, 5)));
        }
}

TEST(EuropeanCall, AgreesWithBlackScholes) {
    struct Row {
        double s0, k, r, sigma, t;
    };
    const Row rows[] = {
        {100.0, 100.0, 0.03, 0.2, 1.0},
        {100.0, 120.0, 0.05, 0.3, 2.0},
        {80.0, 70.0, 0.0, 0.15, 0.5},
    };
    const SamplingMethod samplings[] = {SamplingMethod::pseudorandom, SamplingMethod::randomized_halton,
                                        SamplingMethod::latin_hypercube, SamplingMethod::scrambled_sobol};
    for (const Row& r : rows) {
        const double bs = black_scholes_call(r.s0, r.k, r.r, r.sigma, r.t);
        for (SamplingMethod s : samplings) {
            double standard_error = 0.0;
            for (MonteCarloTechnique t : kTechniques) {
                EuropeanCallConfig c = config(20000, t, s, 2, 31);
                c.s0 = r.s0;
                c.k = r.k;
                c.r = r.r;
                c.sigma = r.sigma;
                c.t = r.t;
                const EuropeanCallResult e = mc_core::european_call_price_mc_cpu(c);
                EXPECT_GT(e.std_error, 0.0) << describe(c);
                EXPECT_LT(std::fabs(e.price - bs), 4.0 * e.std_error)
                    << describe(c) << " price " << e.price << " stderr " << e.std_error << " Black-Scholes " << bs;
                if (t == MonteCarloTechnique::standard) standard_error = e.std_error;
                if (t == MonteCarloTechnique::control_variate)
                    EXPECT_LT(e.std_error, 0.7 * standard_error) << describe(c);
            }
        }
    }
}

}  // namespace
