#include "mc_core/interrupt.hpp"

namespace mc_core {

namespace detail {

bool stop_requested_polling(StopState& state) {
    if (state.requested.load(std::memory_order_relaxed)) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now < state.next_poll) return false;
    state.next_poll = now + kStopPollInterval;
    if (state.poll != nullptr && state.poll(state.context)) state.requested.store(true, std::memory_order_relaxed);
    return state.requested.load(std::memory_order_relaxed);
}

}  // namespace detail

StopScope::StopScope(bool (*poll)(void*), void* context)
    : outer_(detail::current_stop), outer_owned_(detail::owns_stop) {
    state_.poll = poll;
    state_.context = context;
    detail::current_stop = &state_;
    detail::owns_stop = true;
}

StopScope::~StopScope() {
    detail::current_stop = outer_;
    detail::owns_stop = outer_owned_;
}

bool poll_stop_now() {
    StopState* const state = detail::current_stop;
    if (state == nullptr) return false;
    if (!detail::owns_stop) return state->requested.load(std::memory_order_relaxed);
    state->next_poll = {};
    return detail::stop_requested_polling(*state);
}

}  // namespace mc_core
