// The platform clock (platform/clock.h) on virtual time, in place of platform/clock.cpp.
#include "fuzz/fuzz_clock.h"

#include <atomic>

#include "platform/clock.h"

namespace k5320::fuzz {
namespace {

constexpr uint64_t kMicrosecondsPerMillisecond = 1000;
// What giving up the time slice costs: enough that a caller spinning on the tick count sees it
// move after a bounded number of yields.
constexpr uint64_t kYieldMicroseconds = 10;

// The fixed local time every run sees.
constexpr platform::LocalTime kRunLocalTime{.year = 2024,
                                            .month = 2,
                                            .day_of_week = 4,
                                            .day = 29,
                                            .hour = 23,
                                            .minute = 59,
                                            .second = 59,
                                            .milliseconds = 999};

std::atomic<uint64_t> now_us{0};
std::atomic<uint32_t> first_tick_of_run{0};

}  // namespace

void start_virtual_clock(uint32_t first_tick) {
    now_us.store(0);
    first_tick_of_run.store(first_tick);
}

}  // namespace k5320::fuzz

namespace k5320::platform {

using fuzz::first_tick_of_run;
using fuzz::kMicrosecondsPerMillisecond;
using fuzz::now_us;

void sleep_ms(uint32_t ms) {
    now_us.fetch_add(ms == 0 ? fuzz::kYieldMicroseconds : ms * kMicrosecondsPerMillisecond);
}

uint32_t tick_count() {
    // Truncation to 32 bits is the wrap the callers expect.
    return static_cast<uint32_t>(now_us.load() / kMicrosecondsPerMillisecond) +
           first_tick_of_run.load();
}

LocalTime local_time() {
    return fuzz::kRunLocalTime;
}

}  // namespace k5320::platform
