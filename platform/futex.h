// Futex wait and wake on a 32-bit word that may live in memory shared between processes
// (no FUTEX_PRIVATE_FLAG), so the same code serves in-process and shared-memory hosts.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace k5320::platform {

inline constexpr uint32_t kWaitForever = UINT32_MAX;

// Blocks while *word == expected, for at most timeout_ms (kWaitForever: no limit).
// Returns false on time-out, true otherwise (woken, value changed, or interrupted).
bool futex_wait(std::atomic<uint32_t>& word, uint32_t expected, uint32_t timeout_ms = kWaitForever);

// Blocks while *word == expected, until deadline on the steady clock, to the microsecond: for
// timers that must not drift by a rounding to whole milliseconds. false on time-out.
bool futex_wait_until(std::atomic<uint32_t>& word, uint32_t expected,
                      std::chrono::steady_clock::time_point deadline);

// Watches *word for up to budget_ns without sleeping; true when it changed from expected. For
// threads that stand in for hardware: on a virtual machine a wake-up through the kernel can cost
// more than the wait itself.
bool spin_while_equal(const std::atomic<uint32_t>& word, uint32_t expected, uint32_t budget_ns);

// Wakes up to count waiters (INT32_MAX: all).
void futex_wake(std::atomic<uint32_t>& word, int count = INT32_MAX);

}  // namespace k5320::platform
