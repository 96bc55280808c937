// Virtual time for fuzzing the driver: a sleep advances the clock instead of waiting, so the
// settling pauses and counted polls of a run cost no real time and every run is repeatable.
#pragma once

#include <cstdint>

namespace k5320::fuzz {

// Starts a run's clock at this tick count (a value just below the wrap tests the callers'
// unsigned arithmetic).
void start_virtual_clock(uint32_t first_tick);

}  // namespace k5320::fuzz
