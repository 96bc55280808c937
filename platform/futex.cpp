#include "platform/futex.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace k5320::platform {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
static_assert(std::atomic<uint32_t>::is_always_lock_free);

bool futex_wait(std::atomic<uint32_t>& word, uint32_t expected, uint32_t timeout_ms) {
    timespec timeout{};
    timespec* timeout_ptr = nullptr;
    if (timeout_ms != kWaitForever) {
        timeout.tv_sec = static_cast<time_t>(timeout_ms / 1000);
        timeout.tv_nsec = static_cast<long>(timeout_ms % 1000) * 1000000L;
        timeout_ptr = &timeout;
    }
    long rc = syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT, expected,
                      timeout_ptr, nullptr, 0);
    return !(rc == -1 && errno == ETIMEDOUT);
}

bool futex_wait_until(std::atomic<uint32_t>& word, uint32_t expected,
                      std::chrono::steady_clock::time_point deadline) {
    // steady_clock is CLOCK_MONOTONIC, the clock of FUTEX_WAIT_BITSET's absolute time-outs.
    const auto since_epoch =
        std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch());
    if (since_epoch.count() <= 0) return false;
    constexpr long kNanosecondsPerSecond = 1'000'000'000;
    timespec at{};
    at.tv_sec = static_cast<time_t>(since_epoch.count() / kNanosecondsPerSecond);
    at.tv_nsec = static_cast<long>(since_epoch.count() % kNanosecondsPerSecond);
    long rc = syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_BITSET, expected,
                      &at, nullptr, FUTEX_BITSET_MATCH_ANY);
    return !(rc == -1 && errno == ETIMEDOUT);
}

bool spin_while_equal(const std::atomic<uint32_t>& word, uint32_t expected, uint32_t budget_ns) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(budget_ns);
    // Reading the clock costs more than a look at the word.
    constexpr int kLooksPerClockRead = 32;
    do {
        for (int i = 0; i < kLooksPerClockRead; ++i) {
            if (word.load(std::memory_order_acquire) != expected) return true;
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

void futex_wake(std::atomic<uint32_t>& word, int count) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE, count, nullptr, nullptr, 0);
}

}  // namespace k5320::platform
