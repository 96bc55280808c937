// How long a frame occupies the bus: its exact bit count on the wire, stuff bits included.
#pragma once

#include <cstdint>

#include "can/frame.h"

namespace k5320::can {

// Bits from start of frame to the end of the intermission that follows it. Stuff bits are
// counted over SOF..CRC, where the controller inserts them. Identifier bits beyond the frame's
// format are dropped and a length above 8 counts as 8, as the DPRAM record codec does.
unsigned frame_bit_length(const Frame& frame);

// Bits a transmitter drives up to and including its first recessive one (at the latest the stuff
// bit after five dominant bits): where a bus stuck at dominant shows it a bit error.
unsigned bits_to_first_recessive(const Frame& frame);

}  // namespace k5320::can
