// The module's own clock, set by the host and then kept by the module.
#pragma once

#include <chrono>
#include <cstdint>

namespace k5320::emulator {

struct ModuleClock {
    uint16_t year = 0;
    uint8_t month = 0;
    uint8_t day = 0;
    uint8_t hour = 0;
    uint8_t minute = 0;
    uint8_t second = 0;

    bool operator==(const ModuleClock&) const = default;
};

// The dates the module can keep.
inline constexpr uint16_t kClockFirstYear = 1980;
inline constexpr uint16_t kClockLastYear = 2099;

// A real date and time of day within the years the module keeps (leap years counted).
bool is_valid(const ModuleClock& clock);

// The clock after elapsed time; clock must be valid.
ModuleClock advanced(const ModuleClock& clock, std::chrono::seconds elapsed);

}  // namespace k5320::emulator
