#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "platform/clock.h"

namespace k5320::platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class TickOffsetReset : public ::testing::Test {
  protected:
    void TearDown() override { set_tick_offset_for_test(0); }
};

TEST_F(TickOffsetReset, TickWrapsAndUnsignedDifferenceStaysRight) {
    constexpr uint32_t kBeforeWrapMs = 300;
    constexpr uint32_t kSleepMs = 400;
    uint32_t before = 0;
    // Retry placing the tick if this thread was preempted long enough to miss the wrap.
    for (int attempt = 0; attempt < 3; ++attempt) {
        set_tick_offset_for_test(0);
        set_tick_offset_for_test(UINT32_MAX - kBeforeWrapMs + 1 - tick_count());
        before = tick_count();
        if (before >= UINT32_MAX - kBeforeWrapMs) break;
    }
    ASSERT_GE(before, UINT32_MAX - kBeforeWrapMs);

    sleep_ms(kSleepMs);
    const uint32_t after = tick_count();

    EXPECT_LT(after, before) << "the tick did not wrap";
    const uint32_t elapsed = after - before;
    EXPECT_GE(elapsed, kSleepMs);
    EXPECT_LT(elapsed, kSleepMs + 5000) << "difference across the wrap is wrong";
}

TEST(Sleep, ZeroYieldsAndNonZeroSleepsAtLeastThatLong) {
    const auto yield_start = Clock::now();
    sleep_ms(0);
    EXPECT_LT(Clock::now() - yield_start, milliseconds(500));

    const auto sleep_start = Clock::now();
    const uint32_t tick_start = tick_count();
    sleep_ms(20);
    EXPECT_GE(Clock::now() - sleep_start, milliseconds(20));
    // The tick follows the same monotonic clock.
    EXPECT_GE(tick_count() - tick_start, 20u);
}

// Month, day and day of week must agree with the calendar, and the fields must be local time.
TEST(LocalTimeTest, MatchesTheCalendarInTheLocalZone) {
    setenv("TZ", "UTC", 1);
    tzset();
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto now = std::chrono::system_clock::now();
        const LocalTime local = local_time();
        const auto days = std::chrono::floor<std::chrono::days>(now);
        const std::chrono::year_month_day date{days};
        const std::chrono::hh_mm_ss clock_time{
            std::chrono::floor<std::chrono::milliseconds>(now - days)};
        if (local.minute != clock_time.minutes().count()) continue;  // crossed a minute

        EXPECT_EQ(local.year, static_cast<int>(date.year()));
        EXPECT_EQ(unsigned{local.month}, static_cast<unsigned>(date.month()));
        EXPECT_EQ(unsigned{local.day}, static_cast<unsigned>(date.day()));
        EXPECT_EQ(unsigned{local.day_of_week}, std::chrono::weekday{days}.c_encoding());
        EXPECT_EQ(local.hour, clock_time.hours().count());
        EXPECT_LE(local.second, 59);
        EXPECT_LT(local.milliseconds, 1000);
        return;
    }
    FAIL() << "minute changed during both attempts";
}

}  // namespace
}  // namespace k5320::platform
