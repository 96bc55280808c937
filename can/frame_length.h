// How long a frame occupies the bus: its exact bit count on the wire, stuff bits included.
#pragma once

#include <cstdint>

#include "can/frame.h"

namespace k5320::can {

// Bits from start of frame to the end of the intermission that follows it. Stuff bits are
// counted over SOF..CRC, where the controller inserts them. Identifier bits beyond the frame's
// format are dropped and a length above 8 counts as 8, as the DPRAM record codec does.
unsigned frame_bit_length(const Frame& frame);

}  // namespace k5320::can
