// Millisecond sleep, the 32-bit tick count and the local time of day.
#pragma once

#include <cstdint>

namespace k5320::platform {

// 0 gives up the rest of the time slice (sched_yield); any other value sleeps at least ms.
void sleep_ms(uint32_t ms);

// Milliseconds of a monotonic clock, truncated to 32 bits: it wraps after about 49.7 days, so
// callers compare ticks only by unsigned difference (now - start).
uint32_t tick_count();

// Tests only: a constant added to every later tick_count(), to place the tick just before the
// wrap. 0 restores the plain clock.
void set_tick_offset_for_test(uint32_t offset);

// The fields of a CE SYSTEMTIME.
struct LocalTime {
    uint16_t year;
    uint16_t month;        // 1..12
    uint16_t day_of_week;  // 0 = Sunday
    uint16_t day;          // 1..31
    uint16_t hour;
    uint16_t minute;
    uint16_t second;  // 0..59 (a leap second reads as 59)
    uint16_t milliseconds;
};

LocalTime local_time();

// Tests only: every later local_time() returns this fixed time; nullptr restores the clock.
void set_local_time_for_test(const LocalTime* fixed);

}  // namespace k5320::platform
