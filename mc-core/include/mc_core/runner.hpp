// The parallel block runner: how the units of a pseudorandom run are split
// over worker threads, seeded, and merged.
//
// Contract
//  * `plan_worker_blocks` fixes, from (units, n_threads, seed) alone, how the
//    units are split: one serial block with the raw seed unless there are at
//    least two workers and 2000 units per worker, otherwise W contiguous
//    blocks (the first U mod W one unit larger) seeded `derive_worker_seed(seed, w)`.
//  * A kernel is a pure function (stream seed, unit count) -> partial result;
//    `run_blocks` evaluates one block per thread and merges the partials in
//    block order, so running the same blocks anywhere else and merging them in
//    order gives the same bits.
//  * Every started thread is joined before `run_blocks` returns or throws;
//    nothing a worker throws escapes it: failures are captured per worker and
//    raised after the join.
//  * While workers run, the calling thread waits polling for a stop
//    (interrupt.hpp); on one it stops and joins every worker, then throws
//    `Interrupted` in place of any worker's failure.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <mutex>

#include "mc_core/error.hpp"
#include "mc_core/interrupt.hpp"
#include "mc_core/random.hpp"

namespace mc_core {

inline constexpr std::uint64_t kMinUnitsPerWorker = 2000;
inline constexpr const char* kWorkerFailureText = "CPU Monte Carlo worker thread panicked";

struct WorkerBlock {
    std::uint64_t stream_seed;
    std::uint64_t units;
};

// `n_threads`, or the processors available to this process (1 if unknown).
std::uint64_t resolve_worker_count(std::uint64_t n_threads);

// Counts the workers that have ended; the calling thread waits for all of
// them, polling for a stop every kStopPollInterval.
class WorkerLatch {
public:
    void arrive();
    // Until `workers` have arrived (true) or a stop is requested (false).
    bool wait_polling(std::size_t workers);

private:
    std::mutex mutex_;
    std::condition_variable ended_;
    std::size_t arrived_ = 0;
};

// A single serial block {seed, units}, or W blocks as described above. The
// threshold test never overflows, whatever W is.
std::vector<WorkerBlock> plan_worker_blocks(std::uint64_t units, std::uint64_t n_threads, std::uint64_t seed);

// Runs `kernel(block.stream_seed, block.units)` for every block, one thread per
// block when there are several, and returns the partials summed in block order.
// Failures: "failed to spawn thread: <reason>" and "<failure_text>: <what failed>".
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
    WorkerLatch latch;
    StopState* const stop = StopBinding::current();
    auto join_all = [&workers] {
        for (Worker& w : workers)
            if (w.thread.joinable()) w.thread.join();
    };
    try {
        for (const WorkerBlock& block : blocks) {
            Worker& w = workers.emplace_back();
            w.thread = std::thread([&w, &latch, stop, kernel, block] {
                {
                    StopBinding binding(stop);
                    try {
                        w.partial = kernel(block.stream_seed, block.units);
                    } catch (const std::exception& e) {
                        w.failure = e.what();
                        w.failed = true;
                    } catch (...) {
                        w.failure = "unknown failure";
                        w.failed = true;
                    }
                }
                latch.arrive();
            });
        }
    } catch (const std::system_error& e) {
        join_all();
        fail(std::string("failed to spawn thread: ") + e.what());
    } catch (...) {
        join_all();
        throw;
    }
    const bool completed = latch.wait_polling(workers.size());
    if (!completed) stop->requested.store(true);
    join_all();
    if (!completed) throw Interrupted();
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

}  // namespace mc_core
