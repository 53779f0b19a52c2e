// European call engine, and the machinery every simulation shares.
//
// Contract
//  * Estimators: `plain_estimate` (mean, population standard error) and
//    `control_variate_estimate` (regression-adjusted mean against a control of
//    known expectation; no adjustment when the control's sample variance is at
//    most 2^-52). Both clamp a negative variance to 0, ignoring NaN.
//  * Parallel path runner: `plan_worker_blocks` fixes, from (units, n_threads,
//    seed) alone, how the units are split: one serial block with the raw seed
//    unless there are at least two workers and 2000 units per worker, otherwise
//    W contiguous blocks (the first U mod W one unit larger) seeded
//    `derive_worker_seed(seed, w)`. A kernel is a pure function
//    (stream seed, unit count) -> partial result; `run_blocks` evaluates one
//    block per thread and merges the partials in block order, so running the
//    same blocks anywhere else and merging them in order gives the same bits.
//  * Structured sampling runs on the calling thread through `run_structured`.
//  * The European call by the terminal method: one normal per path, standard,
//    antithetic (pairs, always serial) or control variate (control: the
//    discounted terminal price, whose mean is s0).
#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "mc_core/block_math.hpp"
#include "mc_core/error.hpp"
#include "mc_core/random.hpp"

namespace mc_core {

enum class MonteCarloTechnique : std::uint8_t { standard = 0, antithetic = 1, control_variate = 2 };
enum class EuropeanCallMethod : std::uint8_t { automatic = 0, terminal_distribution = 1, stepwise_paths = 2 };
// The workload a result record belongs to; written out, never read.
enum class PricingWorkloadFamily : std::uint8_t {
    european_call = 0,
    merton_jump_diffusion_call = 1,
    heston_european_call = 2,
    arithmetic_asian_call = 3,
    down_and_out_call = 4,
    basket_call = 5,
    lookback_call = 6,
    american_put = 7,
    bermudan_put = 8,
};

// ---------------------------------------------------------------------------
// Accumulators and estimators.

struct PathSums {
    double sum = 0.0;
    double sum_sq = 0.0;

    void add(double y) {
        sum += y;
        sum_sq += y * y;
    }
    PathSums& operator+=(const PathSums& other) {
        sum += other.sum;
        sum_sq += other.sum_sq;
        return *this;
    }
};

struct ControlVariateMoments {
    std::uint64_t count = 0;
    double sum_y = 0.0;
    double sum_y2 = 0.0;
    double sum_c = 0.0;
    double sum_c2 = 0.0;
    double sum_cy = 0.0;

    void add(double y, double c) {
        count += 1;
        sum_y += y;
        sum_y2 += y * y;
        sum_c += c;
        sum_c2 += c * c;
        sum_cy += c * y;
    }
    ControlVariateMoments& operator+=(const ControlVariateMoments& other) {
        count += other.count;
        sum_y += other.sum_y;
        sum_y2 += other.sum_y2;
        sum_c += other.sum_c;
        sum_c2 += other.sum_c2;
        sum_cy += other.sum_cy;
        return *this;
    }
};

// (price, standard error): the result of every single-price pricer.
struct EuropeanCallResult {
    double price = 0.0;
    double std_error = 0.0;
};

// Mean and population variance (divisor n, a negative rounding result clamped
// to 0, NaN included) of n samples; the plain estimator is built on it.
struct SampleMoments {
    double mean;
    double variance;
};
SampleMoments population_moments(const PathSums& sums, std::uint64_t n);

EuropeanCallResult plain_estimate(const PathSums& sums, std::uint64_t n);
EuropeanCallResult control_variate_estimate(const ControlVariateMoments& moments, double control_mean);

// The estimator that belongs to a partial result: plain over `units` samples,
// or the control-variate estimator against the control's known mean.
inline EuropeanCallResult estimate(const PathSums& sums, std::uint64_t units, double /*control_mean*/) {
    return plain_estimate(sums, units);
}
inline EuropeanCallResult estimate(const ControlVariateMoments& moments, std::uint64_t /*units*/,
                                   double control_mean) {
    return control_variate_estimate(moments, control_mean);
}

// ---------------------------------------------------------------------------
// Parallel path runner.

inline constexpr std::uint64_t kMinUnitsPerWorker = 2000;
inline constexpr const char* kWorkerFailureText = "CPU Monte Carlo worker thread panicked";

struct WorkerBlock {
    std::uint64_t stream_seed;
    std::uint64_t units;
};

// `n_threads`, or the processors available to this process (1 if unknown).
std::uint64_t resolve_worker_count(std::uint64_t n_threads);

// A single serial block {seed, units}, or W blocks as described above. The
// threshold test never overflows, whatever W is.
std::vector<WorkerBlock> plan_worker_blocks(std::uint64_t units, std::uint64_t n_threads, std::uint64_t seed);

// Runs `kernel(block.stream_seed, block.units)` for every block, one thread per
// block when there are several, and returns the partials summed in block order.
// Every started thread is joined before this returns or throws. Failures:
// "failed to spawn thread: <reason>" and "<failure_text>: <what failed>".
template <class Kernel>
auto run_blocks(const std::vector<WorkerBlock>& blocks, const Kernel& kernel,
                const char* failure_text = kWorkerFailureText) {
    using Partial = decltype(kernel(std::uint64_t{}, std::uint64_t{}));
    if (blocks.size() == 1) return kernel(blocks[0].stream_seed, blocks[0].units);

    struct Worker {
        Partial partial{};
        std::string failure;
        bool failed = false;
        std::thread thread;
    };
    std::deque<Worker> workers;  // stable addresses while threads start
    auto join_all = [&workers] {
        for (Worker& w : workers)
            if (w.thread.joinable()) w.thread.join();
    };
    try {
        for (const WorkerBlock& block : blocks) {
            Worker& w = workers.emplace_back();
            w.thread = std::thread([&w, kernel, block] {
                try {
                    w.partial = kernel(block.stream_seed, block.units);
                } catch (const std::exception& e) {
                    w.failure = e.what();
                    w.failed = true;
                } catch (...) {
                    w.failure = "unknown failure";
                    w.failed = true;
                }
            });
        }
    } catch (const std::system_error& e) {
        join_all();
        fail(std::string("failed to spawn thread: ") + e.what());
    } catch (...) {
        join_all();
        throw;
    }
    join_all();
    Partial total{};
    for (Worker& w : workers) {
        if (w.failed) fail(std::string(failure_text) + ": " + w.failure);
        total += w.partial;
    }
    return total;
}

template <class Kernel>
auto run_parallel(std::uint64_t units, std::uint64_t n_threads, std::uint64_t seed, const Kernel& kernel,
                  const char* failure_text = kWorkerFailureText) {
    return run_blocks(plan_worker_blocks(units, n_threads, seed), kernel, failure_text);
}

// ---------------------------------------------------------------------------
// Structured sampling: unit i (a path, or an antithetic pair) takes its
// `dimensions` normals from point i of the sampler, or from the bridged path of
// point i when the workspace is active; units run in order on the calling
// thread into one accumulator. `unit(const double* normals, Partial&)`.

template <class Partial, class UnitFn>
Partial run_structured(const StructuredNormalSampler& sampler, BrownianBridgeWorkspace& bridge, std::uint64_t units,
                       std::uint64_t dimensions, UnitFn&& unit) {
    Partial total{};
    std::vector<double> normals;
    normals.reserve(dimensions);
    for (std::uint64_t i = 0; i < units; ++i) {
        if (const auto bridged = bridge.step_normals(sampler, i)) {
            unit(bridged->data(), total);
        } else {
            sampler.fill_standard_normals(i, dimensions, normals);
            unit(normals.data(), total);
        }
    }
    return total;
}

template <class Partial, class UnitFn>
Partial run_structured(const StructuredNormalSampler& sampler, std::uint64_t units, std::uint64_t dimensions,
                       UnitFn&& unit) {
    BrownianBridgeWorkspace inert(SamplingMethod::pseudorandom, dimensions, 0.0);
    return run_structured<Partial>(sampler, inert, units, dimensions, unit);
}

// Number of antithetic pairs for a path count: the ceiling of half.
constexpr std::uint64_t antithetic_pairs(std::uint64_t n_paths) { return n_paths - n_paths / 2; }

// ---------------------------------------------------------------------------
// European call.

struct EuropeanCallConfig {
    double s0 = 100.0;
    double k = 100.0;
    double r = 0.03;
    double sigma = 0.2;
    double t = 1.0;
    std::uint64_t n_paths = 100000;
    std::uint64_t n_steps = 252;
    std::uint64_t seed = 42;
    std::uint64_t n_threads = 0;
    MonteCarloTechnique technique = MonteCarloTechnique::standard;
    SamplingMethod sampling = SamplingMethod::pseudorandom;
};

// The terminal method's per-call constants.
struct TerminalParams {
    double s0, k, drift_t, vol_t, disc;

    static TerminalParams from(const EuropeanCallConfig& c);
    double terminal_price(double z) const { return s0 * block_math::exp(drift_t + vol_t * z); }
    double discounted_payoff(double terminal) const { return disc * block_math::positive_part(terminal - k); }
};

// Checks n_paths and n_steps, then prices by the terminal method.
EuropeanCallResult european_call_price_mc_cpu(const EuropeanCallConfig& config);
// Every positivity check, for callers that need a fully valid record.
void validate_european_call_config(const EuropeanCallConfig& config);
EuropeanCallResult european_call_price_mc_cpu_terminal(const EuropeanCallConfig& config);

// Path kernels of the terminal method (one stream per call, paths in order).
PathSums simulate_terminal_chunk(std::uint64_t stream_seed, std::uint64_t paths, const TerminalParams& p);
ControlVariateMoments simulate_terminal_control_variate_chunk(std::uint64_t stream_seed, std::uint64_t paths,
                                                              const TerminalParams& p);

}  // namespace mc_core
