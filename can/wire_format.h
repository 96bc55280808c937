// Field widths and bus levels of a CAN 2.0 frame on the wire, shared by the length count and
// arbitration.
#pragma once

#include <cstdint>

namespace k5320::can {

inline constexpr uint8_t kDominant = 0;
inline constexpr uint8_t kRecessive = 1;

inline constexpr unsigned kBaseIdBits = 11;
inline constexpr unsigned kIdExtensionBits = 18;
inline constexpr unsigned kDlcBits = 4;
inline constexpr unsigned kCrcBits = 15;

}  // namespace k5320::can
