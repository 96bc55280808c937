#include "emulator/acceptance_filter.h"

#include <cstddef>

namespace k5320::emulator::sja1000 {

namespace {

constexpr uint32_t STANDARD_ID_MASK = 0x7FF;
constexpr uint32_t EXTENDED_ID_MASK = 0x1FFFFFFF;
constexpr unsigned BYTE_BITS = 8;
constexpr uint8_t ALL_BITS = 0xFF;
constexpr uint8_t HIGH_NIBBLE = 0xF0;
constexpr uint8_t LOW_NIBBLE = 0x0F;
constexpr unsigned NIBBLE_BITS = 4;

// Standard frame: ID10..3 fill one byte; ID2..0 sit in bits 7..5 of the next, RTR in bit 4.
constexpr unsigned STD_ID_HIGH_SHIFT = 3;
constexpr uint32_t STD_ID_LOW_MASK = 0x07;
constexpr unsigned STD_ID_LOW_POSITION = 5;
constexpr uint8_t STD_RTR_BIT = 0x10;
constexpr uint8_t STD_ID_LOW_AND_RTR_BITS = HIGH_NIBBLE;

// Extended frame: ID28..21, ID20..13, ID12..5 fill three bytes; ID4..0 sit in bits 7..3 of the
// fourth, RTR in bit 2, and bits 1..0 are unused.
constexpr unsigned EXT_ID_BYTE0_SHIFT = 21;
constexpr unsigned EXT_ID_BYTE1_SHIFT = 13;
constexpr unsigned EXT_ID_BYTE2_SHIFT = 5;
constexpr uint32_t EXT_ID_LOW_MASK = 0x1F;
constexpr unsigned EXT_ID_LOW_POSITION = 3;
constexpr uint8_t EXT_RTR_BIT = 0x04;
constexpr uint8_t EXT_ID_LOW_AND_RTR_BITS = 0xFC;

constexpr uint8_t MAX_DATA_BYTES = 8;

enum Register : std::size_t { REG0 = 0, REG1 = 1, REG2 = 2, REG3 = 3 };

bool bits_match(uint8_t received, uint8_t code, uint8_t mask, uint8_t compared = ALL_BITS) {
    return ((received ^ code) & ~mask & compared) == 0;
}

bool register_matches(const FilterRegisters& f, Register r, uint8_t received,
                      uint8_t compared = ALL_BITS) {
    return bits_match(received, f.acr[r], f.amr[r], compared);
}

uint8_t low_byte(uint32_t value) {
    return static_cast<uint8_t>(value & ALL_BITS);
}

// How many data bytes the frame really carries for the filter to look at.
uint8_t data_bytes(const FilterFrame& frame) {
    if (frame.remote || frame.data == nullptr) return 0;
    return frame.dlc < MAX_DATA_BYTES ? frame.dlc : MAX_DATA_BYTES;
}

uint8_t standard_id_high(const FilterFrame& frame) {
    return low_byte((frame.id & STANDARD_ID_MASK) >> STD_ID_HIGH_SHIFT);
}

uint8_t standard_id_low_and_rtr(const FilterFrame& frame) {
    return static_cast<uint8_t>(((frame.id & STD_ID_LOW_MASK) << STD_ID_LOW_POSITION) |
                                (frame.remote ? STD_RTR_BIT : 0));
}

uint8_t extended_id_byte(const FilterFrame& frame, unsigned shift) {
    return low_byte((frame.id & EXTENDED_ID_MASK) >> shift);
}

uint8_t extended_id_low_and_rtr(const FilterFrame& frame) {
    return static_cast<uint8_t>(((frame.id & EXT_ID_LOW_MASK) << EXT_ID_LOW_POSITION) |
                                (frame.remote ? EXT_RTR_BIT : 0));
}

bool single_standard(const FilterRegisters& f, const FilterFrame& frame) {
    const uint8_t present = data_bytes(frame);
    return register_matches(f, REG0, standard_id_high(frame)) &&
           register_matches(f, REG1, standard_id_low_and_rtr(frame), STD_ID_LOW_AND_RTR_BITS) &&
           (present < 1 || register_matches(f, REG2, frame.data[0])) &&
           (present < 2 || register_matches(f, REG3, frame.data[1]));
}

bool single_extended(const FilterRegisters& f, const FilterFrame& frame) {
    return register_matches(f, REG0, extended_id_byte(frame, EXT_ID_BYTE0_SHIFT)) &&
           register_matches(f, REG1, extended_id_byte(frame, EXT_ID_BYTE1_SHIFT)) &&
           register_matches(f, REG2, extended_id_byte(frame, EXT_ID_BYTE2_SHIFT)) &&
           register_matches(f, REG3, extended_id_low_and_rtr(frame), EXT_ID_LOW_AND_RTR_BITS);
}

bool dual_standard(const FilterRegisters& f, const FilterFrame& frame) {
    const uint8_t id_high = standard_id_high(frame);
    const uint8_t id_low_and_rtr = standard_id_low_and_rtr(frame);
    // Filter 1 splits data byte 1 over two registers: its high nibble against the low nibble of
    // ACR1, its low nibble against the low nibble of ACR3.
    bool data_matches = true;
    if (data_bytes(frame) >= 1) {
        const uint8_t data = frame.data[0];
        data_matches = register_matches(f, REG1, data >> NIBBLE_BITS, LOW_NIBBLE) &&
                       register_matches(f, REG3, data & LOW_NIBBLE, LOW_NIBBLE);
    }
    const bool filter1 = register_matches(f, REG0, id_high) &&
                         register_matches(f, REG1, id_low_and_rtr, STD_ID_LOW_AND_RTR_BITS) &&
                         data_matches;
    const bool filter2 = register_matches(f, REG2, id_high) &&
                         register_matches(f, REG3, id_low_and_rtr, STD_ID_LOW_AND_RTR_BITS);
    return filter1 || filter2;
}

bool dual_extended(const FilterRegisters& f, const FilterFrame& frame) {
    const uint8_t id_byte0 = extended_id_byte(frame, EXT_ID_BYTE0_SHIFT);
    const uint8_t id_byte1 = extended_id_byte(frame, EXT_ID_BYTE1_SHIFT);
    const bool filter1 = register_matches(f, REG0, id_byte0) && register_matches(f, REG1, id_byte1);
    const bool filter2 = register_matches(f, REG2, id_byte0) && register_matches(f, REG3, id_byte1);
    return filter1 || filter2;
}

}  // namespace

FilterRegisters filter_from_code_and_mask(uint32_t code, uint32_t mask) {
    FilterRegisters f;
    for (std::size_t i = 0; i < ACCEPTANCE_REGISTERS; ++i) {
        const unsigned shift = (ACCEPTANCE_REGISTERS - 1 - i) * BYTE_BITS;
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
