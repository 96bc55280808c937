// Bitwise arbitration: while several nodes send their arbitration fields at once, a dominant bit
// overwrites a recessive one and a node that reads back dominant where it sent recessive stops.
#pragma once

#include <cstdint>
#include <optional>

#include "can/frame.h"

namespace k5320::can {

// Bits of the arbitration field after SOF: 11-bit id, RTR, IDE for a standard frame; base id,
// SRR, IDE, 18-bit extension, RTR for an extended one. The standard field is shorter, but two
// frames of different formats always differ by the IDE bit, within the shorter field.
inline constexpr unsigned kStandardArbitrationBits = 13;
inline constexpr unsigned kExtendedArbitrationBits = 32;

// True when a wins arbitration against b. Frames with equal fields win against neither.
bool wins_arbitration(const Frame& a, const Frame& b);

// The bit of the arbitration field at which loser stopped sending against winner, numbered from
// 0 for the first identifier bit as the SJA1000's arbitration lost capture numbers it; none when
// loser does not lose against winner.
std::optional<unsigned> arbitration_lost_at(const Frame& winner, const Frame& loser);

}  // namespace k5320::can
