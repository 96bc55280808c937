#include "platform/event_count.h"

#include "platform/futex.h"

namespace k5320::platform {

// Both sides use sequentially consistent operations: either the poster sees the waiter's count
// and wakes it, or the waiter sees the new count and does not sleep.
void EventCount::post() {
    count_.fetch_add(1, std::memory_order_seq_cst);
    if (waiters_.load(std::memory_order_seq_cst) != 0) futex_wake(count_);
}

bool EventCount::wait_past(uint32_t seen, std::chrono::steady_clock::time_point deadline) {
    waiters_.fetch_add(1, std::memory_order_seq_cst);
    bool moved = count_.load(std::memory_order_seq_cst) != seen;
    if (!moved) moved = futex_wait_until(count_, seen, deadline) && current() != seen;
    waiters_.fetch_sub(1, std::memory_order_seq_cst);
    return moved;
}

void EventCount::wait_past(uint32_t seen) {
    waiters_.fetch_add(1, std::memory_order_seq_cst);
    if (count_.load(std::memory_order_seq_cst) == seen) futex_wait(count_, seen);
    waiters_.fetch_sub(1, std::memory_order_seq_cst);
}

}  // namespace k5320::platform
