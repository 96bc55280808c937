// Waits for a condition another thread or process makes true where there is no event to wait
// on, looking every millisecond. Generous by default: CI machines are busy.
#pragma once

#include <chrono>
#include <thread>

namespace k5320::test {

inline constexpr std::chrono::milliseconds kEventuallyTimeout{10'000};

// true as soon as condition holds; false when it still does not after timeout.
template <typename Condition>
bool eventually(Condition&& condition, std::chrono::milliseconds timeout = kEventuallyTimeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace k5320::test
