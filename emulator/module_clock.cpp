#include "emulator/module_clock.h"

namespace k5320::emulator {

namespace {

constexpr unsigned kHoursPerDay = 24;
constexpr unsigned kMinutesPerHour = 60;
constexpr unsigned kSecondsPerMinute = 60;

std::chrono::year_month_day date_of(const ModuleClock& clock) {
    return std::chrono::year_month_day{std::chrono::year{clock.year},
                                       std::chrono::month{clock.month},
                                       std::chrono::day{clock.day}};
}

}  // namespace

bool is_valid(const ModuleClock& clock) {
    return clock.year >= kClockFirstYear && clock.year <= kClockLastYear && date_of(clock).ok() &&
           clock.hour < kHoursPerDay && clock.minute < kMinutesPerHour &&
           clock.second < kSecondsPerMinute;
}

ModuleClock advanced(const ModuleClock& clock, std::chrono::seconds elapsed) {
    using namespace std::chrono;
    const sys_seconds start = sys_days{date_of(clock)} + hours{clock.hour} + minutes{clock.minute} +
                              seconds{clock.second};
    const sys_seconds now = start + elapsed;
    const sys_days today = floor<days>(now);
    const year_month_day date{today};
    const hh_mm_ss time{now - today};
    return ModuleClock{
        .year = static_cast<uint16_t>(static_cast<int>(date.year())),
        .month = static_cast<uint8_t>(static_cast<unsigned>(date.month())),
        .day = static_cast<uint8_t>(static_cast<unsigned>(date.day())),
        .hour = static_cast<uint8_t>(time.hours().count()),
        .minute = static_cast<uint8_t>(time.minutes().count()),
        .second = static_cast<uint8_t>(time.seconds().count()),
    };
}

}  // namespace k5320::emulator
