#include "platform/adaptive_spin.h"

#include <algorithm>

#include "platform/futex.h"

namespace k5320::platform {

AdaptiveSpin::AdaptiveSpin(std::chrono::nanoseconds longest)
    : longest_ns_(static_cast<uint32_t>(longest.count())) {}

uint32_t AdaptiveSpin::next_budget_ns() {
    const uint32_t wait = waits_.fetch_add(1, std::memory_order_relaxed);
    const bool probe = wait % kProbeInterval == 0;
    return probe || score_.load(std::memory_order_relaxed) >= kSpinFromScore ? longest_ns_ : 0;
}

void AdaptiveSpin::learn(bool caught) {
    const uint32_t score = score_.load(std::memory_order_relaxed);
    const uint32_t next =
        caught ? std::min(score + 1, kMaxScore) : score - std::min(score, kMissPenalty);
    score_.store(next, std::memory_order_relaxed);
}

bool spin_adaptively(AdaptiveSpin& spin, const std::atomic<uint32_t>& word, uint32_t expected) {
    const uint32_t budget_ns = spin.next_budget_ns();
    if (budget_ns == 0) return word.load(std::memory_order_acquire) != expected;
    const bool caught = spin_while_equal(word, expected, budget_ns);
    spin.learn(caught);
    return caught;
}

}  // namespace k5320::platform
