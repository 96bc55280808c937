#include "emulator/bit_timing.h"

#include <algorithm>

#include "k5320/baud_codes.h"

namespace k5320::emulator::sja1000 {

namespace {

// The host never writes the codes between the standard ones. The firmware fills the gaps with
// rates that keep the table in rising order and the same 16-quantum bit, rather than refusing a
// code inside the documented range.
constexpr uint8_t kCode33kbit = 0x03;
constexpr uint8_t kCode100kbit = 0x05;
constexpr uint8_t kCode166kbit = 0x07;

struct BaudCodeTiming {
    uint8_t code;
    BtrPair btr;
};

// 16 time quanta per bit, sample point 87.5 %, for the rates up to 500 kbit/s; fewer quanta for
// the faster ones, which a 8 MHz clock cannot divide into 16.
constexpr BaudCodeTiming kBaudCodeTimings[] = {
    {baud::k10kbit, {0x31, 0x1C}},  {baud::k20kbit, {0x18, 0x1C}},   {baud::k50kbit, {0x09, 0x1C}},
    {baud::k125kbit, {0x03, 0x1C}}, {baud::k250kbit, {0x01, 0x1C}},  {baud::k500kbit, {0x00, 0x1C}},
    {baud::k800kbit, {0x00, 0x16}}, {baud::k1000kbit, {0x00, 0x14}}, {kCode33kbit, {0x0E, 0x1C}},
    {kCode100kbit, {0x04, 0x1C}},   {kCode166kbit, {0x02, 0x1C}},
};

}  // namespace

bool is_runnable(const BitTiming& timing) {
    const bool in_chip_range =
        timing.prescaler >= kPrescalerMin && timing.prescaler <= kPrescalerMax &&
        timing.tseg1 >= kTseg1Min && timing.tseg1 <= kTseg1Max && timing.tseg2 >= kTseg2Min &&
        timing.tseg2 <= kTseg2Max && timing.sjw >= kSjwMin && timing.sjw <= kSjwMax;
    // CAN's own limits: 8 quanta per bit at the least, 1 Mbit/s at the most.
    const bool quanta_enough = timing.quanta_per_bit() >= kMinQuantaPerBit;
    const bool rate_in_can = uint64_t{timing.clocks_per_bit()} * kMaxBitRate >= kCanClockHz;
    // Stricter than the chip, as python-can is: a sample point before the middle of the bit
    // misreads a bus with real propagation delay. Kept in integers so that exactly 50 % passes.
    const bool sample_point_late_enough = 2 * (1 + timing.tseg1) >= timing.quanta_per_bit();
    return in_chip_range && quanta_enough && rate_in_can && sample_point_late_enough;
}

std::optional<BitTiming> decode(uint8_t btr0, uint8_t btr1) {
    BitTiming timing;
    timing.prescaler = (btr0 & BTR0_BRP_MASK) + 1u;
    timing.sjw = (btr0 >> BTR0_SJW_SHIFT) + 1u;
    timing.tseg1 = (btr1 & BTR1_TSEG1_MASK) + 1u;
    timing.tseg2 = ((btr1 >> BTR1_TSEG2_SHIFT) & BTR1_TSEG2_MASK) + 1u;
    timing.triple_sampling = (btr1 & BTR1_SAM) != 0;
    if (!is_runnable(timing)) return std::nullopt;
    timing.sjw = std::min(timing.sjw, timing.tseg2);
    return timing;
}

std::optional<BtrPair> encode(const BitTiming& timing) {
    if (!is_runnable(timing)) return std::nullopt;
    BtrPair pair;
    pair.btr0 = static_cast<uint8_t>(((timing.sjw - 1) << BTR0_SJW_SHIFT) | (timing.prescaler - 1));
    pair.btr1 = static_cast<uint8_t>((timing.triple_sampling ? BTR1_SAM : 0) |
                                     ((timing.tseg2 - 1) << BTR1_TSEG2_SHIFT) | (timing.tseg1 - 1));
    return pair;
}

std::optional<BtrPair> btr_for_baud_code(uint8_t code, uint8_t bt0, uint8_t bt1) {
    if (code == baud::kUserDefined) {
        if (!decode(bt0, bt1)) return std::nullopt;
        return BtrPair{bt0, bt1};
    }
    for (const BaudCodeTiming& entry : kBaudCodeTimings)
        if (entry.code == code) return entry.btr;
    return std::nullopt;
}

}  // namespace k5320::emulator::sja1000
