// The parallel block runner: how the units of a pseudorandom run are split
// over worker threads, seeded, and merged.
//
// Contract
//  * `plan_worker_blocks` fixes, from (units, n_threads, seed) alone, how the
//    units are split: one serial block with the raw seed unless there are at
//    least two workers and 2000 units per worker, otherwise W contiguous
//    blocks (the first U mod W one unit larger) seeded `derive_worker_seed(seed, w)`.
//  * A kernel is a pure function (stream seed, unit count) -> partial result,
//    or of the whole block (range blocks also carry their first unit);
//    `run_blocks` evaluates one block per thread (or the blocks in turn on a
//    given number of threads) and merges the partials in block order, so
//    running the same blocks anywhere else and merging them in order gives
//    the same bits.
//  * `split_blocks` cuts a run into the caller's number of blocks (a
//    `BlockPlan`): worker-seeded blocks, or ranges of the one serial run.
//  * Every started thread is joined before `run_blocks` returns or throws;
//    nothing a worker throws escapes it: failures are captured per worker and
//    raised after the join.
//  * While workers run, the calling thread waits polling for a stop
//    (interrupt.hpp); on one it stops and joins every worker, then throws
//    `Interrupted` in place of any worker's failure.
//  * A plan may carry a `BlockExchange`: the pricing then runs one block and
//    hands out its partials as bytes, or merges bytes from elsewhere in block
//    order in place of running anything (`run_plan_blocks`). The merge is the
//    one `run_blocks` does, so blocks run on other processes or machines give
//    the local run's bits.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

#include "mc_core/error.hpp"
#include "mc_core/interrupt.hpp"
#include "mc_core/random.hpp"

namespace mc_core {

inline constexpr std::uint64_t kMinUnitsPerWorker = 2000;
inline constexpr const char* kWorkerFailureText = "CPU Monte Carlo worker thread panicked";

struct WorkerBlock {
    std::uint64_t stream_seed;
    std::uint64_t units;
    std::uint64_t first_unit = 0;  // a range block's first unit in its run's unit order
};

// `n_threads`, or the processors available to this process (1 if unknown).
std::uint64_t resolve_worker_count(std::uint64_t n_threads);

// Per worker: the raw seed for a single block, else derive_worker_seed(seed,
// b), each block from the start of its own stream: exactly the blocks of a
// parallel run of `count` workers. Range: every block keeps `seed` and knows
// its first unit, to continue one serial run from there.
enum class BlockSeeds : std::uint8_t { per_worker, range };

// `units` cut into `count` contiguous blocks (the first units mod count one
// unit larger; empty blocks when count > units). A block is worked out when
// asked for, so a split into 10^8 blocks costs nothing until its threads
// start.
class BlockSplit {
public:
    BlockSplit(std::uint64_t units, std::uint64_t count, std::uint64_t seed, BlockSeeds seeds)
        : units_(units), count_(count == 0 ? 1 : count), seed_(seed), seeds_(seeds) {}

    std::uint64_t size() const { return count_; }
    WorkerBlock operator[](std::uint64_t b) const {
        if (count_ == 1) return {seed_, units_, 0};
        const std::uint64_t base = units_ / count_;
        const std::uint64_t larger = units_ % count_;
        const std::uint64_t first = b * base + (b < larger ? b : larger);  // never above units
        const std::uint64_t size = base + (b < larger ? 1 : 0);
        return seeds_ == BlockSeeds::per_worker ? WorkerBlock{derive_worker_seed(seed_, b), size, 0}
                                                : WorkerBlock{seed_, size, first};
    }

private:
    std::uint64_t units_, count_, seed_;
    BlockSeeds seeds_;
};

// A single serial block {seed, units}, or W blocks as described above. The
// threshold test never overflows, whatever W is.
BlockSplit plan_worker_blocks(std::uint64_t units, std::uint64_t n_threads, std::uint64_t seed);

// One block of a plan run here, or every block's partials merged here. A
// pricing may run several stages of blocks in turn (one per level of a
// multilevel run); a block's bytes are its stages' partials one after another.
struct BlockExchange {
    enum class Mode : std::uint8_t {
        run_one,   // run block `block` of every stage; append its partials to `out`
        merge,     // run nothing: sum the partials of `in` (one entry per block)
        validate,  // stop at the first stage with ValidatedOnly: the config passed its checks
    };
    Mode mode = Mode::run_one;
    std::uint64_t block = 0;
    std::string out;
    std::vector<std::string> in;
    std::size_t offset = 0;  // merge: where the next stage starts in every entry of `in`
};

// Thrown by the first stage of a validating pricing.
struct ValidatedOnly {};

// A run cut into `blocks` blocks by the caller, whatever the machine, run by
// `threads` threads (0: the processors available). The blocks fix the bits;
// the threads only the speed.
struct BlockPlan {
    std::uint64_t blocks = 1;
    std::uint64_t threads = 0;
    BlockExchange* exchange = nullptr;
};

inline BlockSplit split_blocks(std::uint64_t units, std::uint64_t count, std::uint64_t seed, BlockSeeds seeds) {
    return {units, count, seed, seeds};
}

// The blocks of a run the product puts on workers: the plan's, else those of
// `plan_worker_blocks`.
inline BlockSplit worker_blocks(std::uint64_t units, std::uint64_t n_threads, std::uint64_t seed,
                                const std::optional<BlockPlan>& plan) {
    return plan ? split_blocks(units, plan->blocks, seed, BlockSeeds::per_worker)
                : plan_worker_blocks(units, n_threads, seed);
}

// The threads `run_blocks` gets: the plan's (0 there: the processors
// available), else one per block.
inline std::uint64_t plan_threads(const std::optional<BlockPlan>& plan) {
    return plan ? resolve_worker_count(plan->threads) : 0;
}

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

namespace detail {
template <class Kernel>
auto run_block(const Kernel& kernel, const WorkerBlock& block) {
    if constexpr (std::is_invocable_v<const Kernel&, const WorkerBlock&>)
        return kernel(block);
    else
        return kernel(block.stream_seed, block.units);
}
}  // namespace detail

// Runs the kernel on every block and returns the partials summed in block
// order. `blocks` is a BlockSplit or any indexable sequence of WorkerBlock;
// the kernel takes (stream seed, unit count), or the block itself.
// `threads` workers take the blocks in turn (0: one thread per block, which
// runs exactly its own block); one block, or one thread, runs on the calling
// thread. The bits depend on the blocks only, never on `threads`.
// With a thread per block, a block's slot is made as its thread starts, so
// the memory grows with the threads actually running.
// Failures: "failed to spawn thread: <reason>" (the started workers are
// stopped and joined first) and "<failure_text>: <what failed>" for the first
// failed block in block order.
template <class Blocks, class Kernel>
auto run_blocks(const Blocks& blocks, const Kernel& kernel, const char* failure_text = kWorkerFailureText,
                std::uint64_t threads = 0) {
    using Partial = decltype(detail::run_block(kernel, blocks[0]));
    const std::size_t count = static_cast<std::size_t>(blocks.size());
    const std::size_t workers =
        threads == 0 || threads >= count ? count : static_cast<std::size_t>(threads);
    if (count == 1) return detail::run_block(kernel, blocks[0]);
    if (workers <= 1) {
        Partial total{};
        for (std::size_t b = 0; b < count; ++b) {
            check_stop();
            total += detail::run_block(kernel, blocks[b]);
        }
        return total;
    }

    struct Outcome {
        Partial partial{};
        std::string failure;
        bool failed = false;
    };
    // A deque keeps every slot in place as more are added.
    std::deque<Outcome> outcomes;
    if (workers < count) outcomes.resize(count);
    std::deque<std::thread> pool;
    WorkerLatch latch;
    // Workers answer the caller's stop; without one, a stop of this call's
    // own, raised when a thread fails to start.
    StopState own_stop;
    StopState* const stop = StopBinding::current() != nullptr ? StopBinding::current() : &own_stop;
    auto join_all = [&pool] {
        for (std::thread& t : pool)
            if (t.joinable()) t.join();
    };
    // Worker w runs blocks w, w + workers, ... (one block each by default,
    // into the slot it is handed: the deque's index is not read while the
    // spawning thread grows it). It takes no further block once the call's
    // stop is requested; the one it is running notices at its own next check.
    auto work = [&outcomes, &latch, &blocks, stop, kernel, count, workers](std::size_t w, Outcome* own) {
        {
            StopBinding binding(stop);
            for (std::size_t b = w; b < count; b += workers) {
                if (stop->requested.load(std::memory_order_relaxed)) break;
                Outcome& o = own != nullptr ? *own : outcomes[b];
                try {
                    o.partial = detail::run_block(kernel, blocks[b]);
                } catch (const std::exception& e) {
                    o.failure = e.what();
                    o.failed = true;
                } catch (...) {
                    o.failure = "unknown failure";
                    o.failed = true;
                }
            }
        }
        latch.arrive();
    };
    try {
        for (std::size_t w = 0; w < workers; ++w) {
            Outcome* own = nullptr;
            if (workers == count) own = &outcomes.emplace_back();
            pool.emplace_back(work, w, own);
        }
    } catch (const std::system_error& e) {
        stop->requested.store(true);
        join_all();
        fail(std::string("failed to spawn thread: ") + e.what());
    } catch (...) {
        stop->requested.store(true);
        join_all();
        throw;
    }
    const bool completed = latch.wait_polling(pool.size());
    if (!completed) stop->requested.store(true);
    join_all();
    if (!completed) throw Interrupted();
    Partial total{};
    for (Outcome& o : outcomes) {
        if (o.failed) fail(std::string(failure_text) + ": " + o.failure);
        total += o.partial;
    }
    return total;
}

// `run_blocks` on the plan's threads, unless the plan carries an exchange:
// then one block runs on the calling thread and its partial is appended to
// the exchange, or the exchange's partials are merged exactly as `run_blocks`
// merges (one block as it is, several summed from zero in block order).
template <class Blocks, class Kernel>
auto run_plan_blocks(const Blocks& blocks, const Kernel& kernel, const char* failure_text,
                     const std::optional<BlockPlan>& plan) {
    using Partial = decltype(detail::run_block(kernel, blocks[0]));
    static_assert(std::is_trivially_copyable_v<Partial>, "a partial result travels as its bytes");
    BlockExchange* const exchange = plan ? plan->exchange : nullptr;
    if (exchange == nullptr) return run_blocks(blocks, kernel, failure_text, plan_threads(plan));
    switch (exchange->mode) {
        case BlockExchange::Mode::validate:
            throw ValidatedOnly{};
        case BlockExchange::Mode::run_one: {
            if (exchange->block >= blocks.size()) fail("block index out of range of the plan");
            const Partial partial = detail::run_block(kernel, blocks[exchange->block]);
            exchange->out.append(reinterpret_cast<const char*>(&partial), sizeof partial);
            return partial;
        }
        case BlockExchange::Mode::merge:
            break;
    }
    if (exchange->in.size() != blocks.size())
        fail("expected " + std::to_string(blocks.size()) + " block results, got " +
             std::to_string(exchange->in.size()));
    const auto read = [exchange](const std::string& bytes) {
        if (bytes.size() < exchange->offset + sizeof(Partial)) fail("a block result is too short for its run");
        Partial partial;
        std::memcpy(&partial, bytes.data() + exchange->offset, sizeof partial);
        return partial;
    };
    Partial total{};
    if (blocks.size() == 1)
        total = read(exchange->in[0]);
    else
        for (const std::string& bytes : exchange->in) total += read(bytes);
    exchange->offset += sizeof(Partial);
    return total;
}

}  // namespace mc_core
