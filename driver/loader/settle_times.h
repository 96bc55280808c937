// The download protocol's fixed waits: how long the host leaves the module alone after its slow
// steps have been answered, whatever the module does meanwhile.
#pragma once

#include <cstdint>

namespace k5320::driver {

inline constexpr uint32_t kModeSettleMs = 100;   // after a change of mode has been answered
inline constexpr uint32_t kDeleteSettleMs = 10;  // after the flash has been erased

}  // namespace k5320::driver
