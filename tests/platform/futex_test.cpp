#include "platform/futex.h"

#include <gtest/gtest.h>

#include "platform/adaptive_spin.h"

#include <thread>

namespace k5320::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(FutexWaitUntil, SleepsUntilTheDeadlineUnlessTheWordChanges) {
    std::atomic<uint32_t> word{7};
    const auto deadline = Clock::now() + 20ms;
    EXPECT_FALSE(futex_wait_until(word, 7, deadline));
    EXPECT_GE(Clock::now(), deadline);

    // A deadline already gone, or a word that no longer holds the value, returns at once.
    EXPECT_FALSE(futex_wait_until(word, 7, Clock::now() - 1ms));
    EXPECT_TRUE(futex_wait_until(word, 8, Clock::now() + 10s));

    std::thread waker([&] {
        std::this_thread::sleep_for(10ms);
        word.store(9);
        futex_wake(word);
    });
    EXPECT_TRUE(futex_wait_until(word, 7, Clock::now() + 10s));
    waker.join();
    EXPECT_EQ(word.load(), 9u);
}

TEST(SpinWhileEqual, SeesAChangeAndGivesUpAfterItsBudget) {
    std::atomic<uint32_t> word{0};
    EXPECT_TRUE(spin_while_equal(word, 1, 1'000'000));  // not equal to begin with
    const auto start = Clock::now();
    EXPECT_FALSE(spin_while_equal(word, 0, 2'000'000));
    EXPECT_GE(Clock::now() - start, 2ms);

    std::thread changer([&] {
        std::this_thread::sleep_for(5ms);
        word.store(1);
    });
    EXPECT_TRUE(spin_while_equal(word, 0, UINT32_MAX));  // about 4 s: the change comes first
    changer.join();
}

// A waiter stops spinning once spins run out, probes now and then, and spins again once the probes
// catch their events.
TEST(AdaptiveSpin, SpinsOnlyWhileSpinsCatchTheirEvent) {
    constexpr uint32_t kLongestNs = 1'000;
    AdaptiveSpin spin{std::chrono::nanoseconds(kLongestNs)};
    const auto spins_in = [&](int waits) {
        int spins = 0;
        for (int i = 0; i < waits; ++i) spins += spin.next_budget_ns() == kLongestNs ? 1 : 0;
        return spins;
    };
    EXPECT_EQ(spins_in(64), 4);  // a fresh waiter has caught nothing yet: only probes

    for (int i = 0; i < 8; ++i) spin.learn(true);
    EXPECT_EQ(spins_in(64), 64);

    for (int i = 0; i < 3; ++i) spin.learn(false);
    EXPECT_EQ(spins_in(64), 4);
}

}  // namespace
}  // namespace k5320::platform
