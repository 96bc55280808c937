// Whether a waiter spins before it blocks, learnt from how its recent spins ended. A spin pays only
// when what it waits for comes within it: on a free core the thread that answers runs at once and
// the spin saves a wake-up through the kernel; on a busy core the spin takes the very core that
// thread needs and runs out. So a waiter spins while most recent spins caught their event, and
// otherwise blocks at once, spinning only every kProbeInterval-th wait to notice free cores again.
//
// Thread-safe without a lock: the score and the count of waits are atomics. Two waiters learning at
// once may lose one update, which delays the decision by a wait and changes nothing else.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace k5320::platform {

class AdaptiveSpin {
  public:
    explicit AdaptiveSpin(std::chrono::nanoseconds longest);

    // The spin the next wait may take: the longest one, or none.
    uint32_t next_budget_ns();
    void learn(bool caught);

  private:
    // A caught spin adds one, a spin that ran out takes two: spinning goes on while more than two
    // of three spins catch their event.
    static constexpr uint32_t kMaxScore = 8;
    static constexpr uint32_t kSpinFromScore = 4;
    static constexpr uint32_t kMissPenalty = 2;
    static constexpr uint32_t kProbeInterval = 16;

    const uint32_t longest_ns_;
    std::atomic<uint32_t> score_{0};
    std::atomic<uint32_t> waits_{0};
};

// Watches `word` while it equals `expected` for as long as `spin` advises, and teaches `spin` how
// it ended. true when the word changed within the spin; false means: block now.
bool spin_adaptively(AdaptiveSpin& spin, const std::atomic<uint32_t>& word, uint32_t expected);

}  // namespace k5320::platform
