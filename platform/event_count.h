// A counter of events that a thread can wait on: the poster bumps it, a waiter that saw an older
// value is woken at once. The poster enters the kernel only while somebody waits, so an
// uncontended post costs two atomic operations. Address-free (two atomics, no pointers): it may
// live in memory shared between processes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "platform/adaptive_spin.h"

namespace k5320::platform {

class EventCount {
  public:
    uint32_t current() const { return count_.load(std::memory_order_acquire); }
    // The count itself, for a waiter elsewhere that must look at it without this class.
    const std::atomic<uint32_t>& counter() const { return count_; }
    void post();
    // Blocks until the count differs from `seen`, or until `deadline`. false on time-out.
    bool wait_past(uint32_t seen, std::chrono::steady_clock::time_point deadline);
    // Blocks until the count differs from `seen` (or a signal interrupts the wait).
    void wait_past(uint32_t seen);
    // Watches the count without sleeping, as `spin` advises; true when it moved past `seen`.
    bool spin_past(uint32_t seen, AdaptiveSpin& spin) const {
        return spin_adaptively(spin, count_, seen);
    }

  private:
    std::atomic<uint32_t> count_{0};
    std::atomic<uint32_t> waiters_{0};
};

}  // namespace k5320::platform
