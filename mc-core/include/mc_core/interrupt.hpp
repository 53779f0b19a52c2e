// Stopping a run before it ends: how a caller cuts a long pricing call short
// (Ctrl-C in Python) without leaving a thread behind.
//
// Contract
//  * The caller opens a `StopScope` on its own thread around a call, with a
//    poll function that says whether the run should stop. The Python binding
//    polls for pending signals: by the time it answers yes, the handler has
//    run and left its exception pending. Without a scope nothing polls and
//    nothing changes.
//  * The core calls `check_stop()` between pieces of work of microseconds to
//    a millisecond (a lane tile, a pack of points, a regression date). On the
//    scope's thread the poll runs at most once per `kStopPollInterval`; on a
//    worker thread of the call only the call's stop flag is read. Once a stop
//    is requested every check throws `Interrupted`.
//  * The parallel runner's calling thread polls while it waits for workers;
//    on a stop it raises the flag, joins every worker, then throws
//    `Interrupted`. No worker outlives the call.
//  * `Interrupted` is neither a FatalError nor an AllocationFailure and
//    carries no text: the poll function's owner knows why the run stopped.
//  * A stop never changes a result: a run either completes with its usual
//    bits or ends with `Interrupted`.
#pragma once

#include <atomic>
#include <chrono>
#include <exception>

namespace mc_core {

inline constexpr std::chrono::milliseconds kStopPollInterval{10};

class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "run interrupted"; }
};

// The stop state of one call: its poll function, and the flag its workers read.
struct StopState {
    bool (*poll)(void* context) = nullptr;
    void* context = nullptr;
    std::atomic<bool> requested{false};
    std::chrono::steady_clock::time_point next_poll{};
};

namespace detail {
// The state of the call this thread works for, and whether this thread owns
// it (may poll).
inline thread_local StopState* current_stop = nullptr;
inline thread_local bool owns_stop = false;
// Polls when due; true when a stop is requested.
bool stop_requested_polling(StopState& state);
}  // namespace detail

// Installs a poll for the calls on this thread until destroyed. Scopes nest:
// the innermost one polls.
class StopScope {
public:
    StopScope(bool (*poll)(void*), void* context);
    ~StopScope();
    StopScope(const StopScope&) = delete;
    StopScope& operator=(const StopScope&) = delete;

private:
    StopState state_;
    StopState* outer_;
    bool outer_owned_;
};

// Throws Interrupted once the current call's stop is requested.
inline void check_stop() {
    StopState* const state = detail::current_stop;
    if (state == nullptr) return;
    const bool stop = detail::owns_stop ? detail::stop_requested_polling(*state)
                                        : state->requested.load(std::memory_order_relaxed);
    if (stop) throw Interrupted();
}

// Polls now (on the owning thread) and raises the flag on a yes; true when a
// stop is requested. Without a scope, false.
bool poll_stop_now();

// For a worker thread: adopts the stop state of the thread that starts it
// (captured with `current`) for as long as it lives.
class StopBinding {
public:
    static StopState* current() { return detail::current_stop; }
    explicit StopBinding(StopState* state) {
        detail::current_stop = state;
        detail::owns_stop = false;
    }
    ~StopBinding() { detail::current_stop = nullptr; }
    StopBinding(const StopBinding&) = delete;
    StopBinding& operator=(const StopBinding&) = delete;
};

}  // namespace mc_core
