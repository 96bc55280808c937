#include "platform/futex.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace k5320::platform
