#include "emulator/acceptance_filter.h"

#include <cstddef>

#include "can/frame.h"

namespace k5320::emulator::sja1000 {

namespace {

constexpr unsigned kByteBits = 8;
constexpr uint8_t kAllBits = 0xFF;
constexpr uint8_t kHighNibble = 0xF0;
constexpr uint8_t kLowNibble = 0x0F;
constexpr unsigned kNibbleBits = 4;

// Standard frame: ID10..3 fill one byte; ID2..0 sit in bits 7..5 of the next, RTR in bit 4.
constexpr unsigned kStdIdHighShift = 3;
constexpr uint32_t kStdIdLowMask = 0x07;
constexpr unsigned kStdIdLowPosition = 5;
constexpr uint8_t kStdRtrBit = 0x10;
constexpr uint8_t kStdIdLowAndRtrBits = kHighNibble;

// Extended frame: ID28..21, ID20..13, ID12..5 fill three bytes; ID4..0 sit in bits 7..3 of the
// fourth, RTR in bit 2, and bits 1..0 are unused.
constexpr unsigned kExtIdByte0Shift = 21;
constexpr unsigned kExtIdByte1Shift = 13;
constexpr unsigned kExtIdByte2Shift = 5;
constexpr uint32_t kExtIdLowMask = 0x1F;
constexpr unsigned kExtIdLowPosition = 3;
constexpr uint8_t kExtRtrBit = 0x04;
constexpr uint8_t kExtIdLowAndRtrBits = 0xFC;

enum Register : std::size_t { kReg0 = 0, kReg1 = 1, kReg2 = 2, kReg3 = 3 };

bool bits_match(uint8_t received, uint8_t code, uint8_t mask, uint8_t compared = kAllBits) {
    return ((received ^ code) & ~mask & compared) == 0;
}

bool register_matches(const FilterRegisters& f, Register r, uint8_t received,
                      uint8_t compared = kAllBits) {
    return bits_match(received, f.acr[r], f.amr[r], compared);
}

uint8_t low_byte(uint32_t value) {
    return static_cast<uint8_t>(value & kAllBits);
}

// How many data bytes the frame really carries for the filter to look at.
uint8_t data_bytes(const FilterFrame& frame) {
    if (frame.remote || frame.data == nullptr) return 0;
    return frame.dlc < k5320::can::kMaxDataLength ? frame.dlc : k5320::can::kMaxDataLength;
}

uint8_t standard_id_high(const FilterFrame& frame) {
    return low_byte((frame.id & k5320::can::kStandardIdMask) >> kStdIdHighShift);
}

uint8_t standard_id_low_and_rtr(const FilterFrame& frame) {
    return static_cast<uint8_t>(((frame.id & kStdIdLowMask) << kStdIdLowPosition) |
                                (frame.remote ? kStdRtrBit : 0));
}

uint8_t extended_id_byte(const FilterFrame& frame, unsigned shift) {
    return low_byte((frame.id & k5320::can::kExtendedIdMask) >> shift);
}

uint8_t extended_id_low_and_rtr(const FilterFrame& frame) {
    return static_cast<uint8_t>(((frame.id & kExtIdLowMask) << kExtIdLowPosition) |
                                (frame.remote ? kExtRtrBit : 0));
}

bool single_standard(const FilterRegisters& f, const FilterFrame& frame) {
    const uint8_t present = data_bytes(frame);
    return register_matches(f, kReg0, standard_id_high(frame)) &&
           register_matches(f, kReg1, standard_id_low_and_rtr(frame), kStdIdLowAndRtrBits) &&
           (present < 1 || register_matches(f, kReg2, frame.data[0])) &&
           (present < 2 || register_matches(f, kReg3, frame.data[1]));
}

bool single_extended(const FilterRegisters& f, const FilterFrame& frame) {
    return register_matches(f, kReg0, extended_id_byte(frame, kExtIdByte0Shift)) &&
           register_matches(f, kReg1, extended_id_byte(frame, kExtIdByte1Shift)) &&
           register_matches(f, kReg2, extended_id_byte(frame, kExtIdByte2Shift)) &&
           register_matches(f, kReg3, extended_id_low_and_rtr(frame), kExtIdLowAndRtrBits);
}

bool dual_standard(const FilterRegisters& f, const FilterFrame& frame) {
    const uint8_t id_high = standard_id_high(frame);
    const uint8_t id_low_and_rtr = standard_id_low_and_rtr(frame);
    // Filter 1 splits data byte 1 over two registers: its high nibble against the low nibble of
    // ACR1, its low nibble against the low nibble of ACR3.
    bool data_matches = true;
    if (data_bytes(frame) >= 1) {
        const uint8_t data = frame.data[0];
        data_matches = register_matches(f, kReg1, data >> kNibbleBits, kLowNibble) &&
                       register_matches(f, kReg3, data & kLowNibble, kLowNibble);
    }
    const bool filter1 = register_matches(f, kReg0, id_high) &&
                         register_matches(f, kReg1, id_low_and_rtr, kStdIdLowAndRtrBits) &&
                         data_matches;
    const bool filter2 = register_matches(f, kReg2, id_high) &&
                         register_matches(f, kReg3, id_low_and_rtr, kStdIdLowAndRtrBits);
    return filter1 || filter2;
}

bool dual_extended(const FilterRegisters& f, const FilterFrame& frame) {
    const uint8_t id_byte0 = extended_id_byte(frame, kExtIdByte0Shift);
    const uint8_t id_byte1 = extended_id_byte(frame, kExtIdByte1Shift);
    const bool filter1 =
        register_matches(f, kReg0, id_byte0) && register_matches(f, kReg1, id_byte1);
    const bool filter2 =
        register_matches(f, kReg2, id_byte0) && register_matches(f, kReg3, id_byte1);
    return filter1 || filter2;
}

}  // namespace

FilterRegisters filter_from_code_and_mask(uint32_t code, uint32_t mask) {
    FilterRegisters f;
    for (std::size_t i = 0; i < kAcceptanceRegisters; ++i) {
        const unsigned shift = (kAcceptanceRegisters - 1 - i) * kByteBits;
        f.acr[i] = low_byte(code >> shift);
        f.amr[i] = low_byte(mask >> shift);
    }
    return f;
}

bool accepts_single(const FilterRegisters& acr_amr, const FilterFrame& frame) {
    return frame.extended ? single_extended(acr_amr, frame) : single_standard(acr_amr, frame);
}

bool accepts(const FilterRegisters& acr_amr, uint32_t id, bool extended, bool remote, uint8_t dlc,
             const uint8_t* data) {
    return accepts_single(acr_amr, FilterFrame{id, extended, remote, dlc, data});
}

bool accepts_dual(const FilterRegisters& acr_amr, const FilterFrame& frame) {
    return frame.extended ? dual_extended(acr_amr, frame) : dual_standard(acr_amr, frame);
}

}  // namespace k5320::emulator::sja1000
