#include "mc_core/runner.hpp"

#if defined(__linux__)
#include <sched.h>
#endif

namespace mc_core {

std::uint64_t resolve_worker_count(std::uint64_t n_threads) {
    if (n_threads != 0) return n_threads;
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::uint64_t>(count);
    }
#endif
    const unsigned count = std::thread::hardware_concurrency();
    return count == 0 ? 1 : count;
}

void WorkerLatch::arrive() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++arrived_;
    }
    ended_.notify_one();
}

bool WorkerLatch::wait_polling(std::size_t workers) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (arrived_ < workers) {
        if (ended_.wait_for(lock, kStopPollInterval, [&] { return arrived_ >= workers; })) break;
        lock.unlock();
        const bool stop = poll_stop_now();
        lock.lock();
        if (stop) return false;
    }
    return true;
}

BlockSplit plan_worker_blocks(std::uint64_t units, std::uint64_t n_threads, std::uint64_t seed) {
    const std::uint64_t workers = resolve_worker_count(n_threads);
    // units < workers * 2000, written so that it cannot overflow.
    if (workers < 2 || units / kMinUnitsPerWorker < workers) return {units, 1, seed, BlockSeeds::per_worker};
    return {units, workers, seed, BlockSeeds::per_worker};
}

}  // namespace mc_core
