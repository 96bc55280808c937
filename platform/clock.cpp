#include "platform/clock.h"

#include <sched.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

namespace k5320::platform {

namespace {

constexpr int kTmYearBase = 1900;
constexpr int kLastRegularSecond = 59;
constexpr long kNanosecondsPerMillisecond = 1'000'000;

std::atomic<uint32_t> tick_offset{0};

}  // namespace

void sleep_ms(uint32_t ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    // sleep_for resumes after signals, so the full time always elapses.
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

uint32_t tick_count() {
    const auto since_epoch = std::chrono::steady_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count();
    // Truncation to 32 bits is the wrap the callers expect.
    return static_cast<uint32_t>(ms) + tick_offset.load(std::memory_order_relaxed);
}

void set_tick_offset_for_test(uint32_t offset) {
    tick_offset.store(offset, std::memory_order_relaxed);
}

namespace {

std::atomic<const LocalTime*> fixed_local_time{nullptr};

}  // namespace

void set_local_time_for_test(const LocalTime* fixed) {
    fixed_local_time.store(fixed);
}

LocalTime local_time() {
    if (const LocalTime* fixed = fixed_local_time.load()) return *fixed;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm fields{};
    localtime_r(&now.tv_sec, &fields);
    const int second = fields.tm_sec > kLastRegularSecond ? kLastRegularSecond : fields.tm_sec;
    return LocalTime{
        .year = static_cast<uint16_t>(fields.tm_year + kTmYearBase),
        .month = static_cast<uint16_t>(fields.tm_mon + 1),
        .day_of_week = static_cast<uint16_t>(fields.tm_wday),
        .day = static_cast<uint16_t>(fields.tm_mday),
        .hour = static_cast<uint16_t>(fields.tm_hour),
        .minute = static_cast<uint16_t>(fields.tm_min),
        .second = static_cast<uint16_t>(second),
        .milliseconds = static_cast<uint16_t>(now.tv_nsec / kNanosecondsPerMillisecond),
    };
}

}  // namespace k5320::platform
