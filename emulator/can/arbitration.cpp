#include "emulator/can/arbitration.h"

#include "can/wire_format.h"

namespace k5320::can {
namespace {

constexpr unsigned kFieldTopBit = kExtendedArbitrationBits - 1;

// The arbitration field sent first in bit 31; the bits after a standard field's IDE are 0.
uint32_t arbitration_field(const Frame& frame) {
    const uint32_t rtr = frame.remote ? kRecessive : kDominant;
    if (frame.extended) {
        const uint32_t id = frame.id & kExtendedIdMask;
        const uint32_t base = id >> kIdExtensionBits;
        const uint32_t extension = id & ((1u << kIdExtensionBits) - 1);
        return base << (kExtendedArbitrationBits - kBaseIdBits) |
               uint32_t{kRecessive} << (kExtendedArbitrationBits - kBaseIdBits - 1) |  // SRR
               uint32_t{kRecessive} << (kExtendedArbitrationBits - kBaseIdBits - 2) |  // IDE
               extension << 1 | rtr;
    }
    return (frame.id & kStandardIdMask) << (kExtendedArbitrationBits - kBaseIdBits) |
           rtr << (kExtendedArbitrationBits - kBaseIdBits - 1) |
           uint32_t{kDominant} << (kExtendedArbitrationBits - kBaseIdBits - 2);  // IDE
}

}  // namespace

bool wins_arbitration(const Frame& a, const Frame& b) {
    // Dominant is 0, so the first differing bit decides exactly as an integer comparison does.
    return arbitration_field(a) < arbitration_field(b);
}

std::optional<unsigned> arbitration_lost_at(const Frame& winner, const Frame& loser) {
    if (!wins_arbitration(winner, loser)) return std::nullopt;
    const uint32_t difference = arbitration_field(winner) ^ arbitration_field(loser);
    unsigned bit = 0;
    while ((difference >> (kFieldTopBit - bit) & 1) == 0) ++bit;
    return bit;
}

}  // namespace k5320::can
