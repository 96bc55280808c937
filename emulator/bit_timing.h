// SJA1000 bus timing: what the BTR0/BTR1 pair means for the module's 16 MHz crystal, and which
// pair the firmware loads for each baud code of the configuration block.
#pragma once

#include <cstdint>
#include <optional>

namespace k5320::emulator::sja1000 {

// The chip divides the 16 MHz crystal by two to get its CAN clock.
inline constexpr uint32_t kCanClockHz = 8'000'000;
inline constexpr uint32_t kNanosecondsPerSecond = 1'000'000'000;

// BTR0: bits 7..6 SJW - 1, bits 5..0 BRP.
inline constexpr uint8_t BTR0_BRP_MASK = 0x3F;
inline constexpr uint8_t BTR0_SJW_SHIFT = 6;
// BTR1: bit 7 SAM, bits 6..4 TSEG2 - 1, bits 3..0 TSEG1 - 1.
inline constexpr uint8_t BTR1_SAM = 0x80;
inline constexpr uint8_t BTR1_TSEG2_SHIFT = 4;
inline constexpr uint8_t BTR1_TSEG2_MASK = 0x07;
inline constexpr uint8_t BTR1_TSEG1_MASK = 0x0F;

// What the chip can run: the register fields' widths.
inline constexpr unsigned kPrescalerMin = 1;
inline constexpr unsigned kPrescalerMax = 64;
inline constexpr unsigned kTseg1Min = 1;
inline constexpr unsigned kTseg1Max = 16;
inline constexpr unsigned kTseg2Min = 1;
inline constexpr unsigned kTseg2Max = 8;
inline constexpr unsigned kSjwMin = 1;
inline constexpr unsigned kSjwMax = 4;
// What CAN allows: at least 8 time quanta per bit, at most 1 Mbit/s.
inline constexpr unsigned kMinQuantaPerBit = 8;
inline constexpr uint32_t kMaxBitRate = 1'000'000;

struct BtrPair {
    uint8_t btr0 = 0;
    uint8_t btr1 = 0;
    bool operator==(const BtrPair&) const = default;
};

// A decoded bit timing; lengths in time quanta.
struct BitTiming {
    unsigned prescaler = kPrescalerMin;  // BRP + 1: CAN clocks per time quantum
    unsigned sjw = kSjwMin;              // synchronisation jump width
    unsigned tseg1 = kTseg1Min;          // from the end of the sync quantum to the sample point
    unsigned tseg2 = kTseg2Min;          // from the sample point to the end of the bit
    bool triple_sampling = false;        // SAM: the bus is sampled three times per bit

    unsigned brp() const { return prescaler - 1; }
    unsigned quanta_per_bit() const { return 1 + tseg1 + tseg2; }
    uint32_t clocks_per_bit() const { return prescaler * quanta_per_bit(); }
    // Not always a whole number (e.g. 33 333.3 bit/s), hence floating point.
    double bit_rate() const { return static_cast<double>(kCanClockHz) / clocks_per_bit(); }
    // Exact: one CAN clock is 125 ns.
    uint32_t bit_time_ns() const {
        return clocks_per_bit() * (kNanosecondsPerSecond / kCanClockHz);
    }
    // Fraction of the bit before the sample point.
    double sample_point() const { return static_cast<double>(1 + tseg1) / quanta_per_bit(); }
};

// Whether an SJA1000 runs this timing and we accept it.
bool is_runnable(const BitTiming& timing);

// The timing a BTR0/BTR1 pair selects; none for one we refuse to run. A jump width above TSEG2
// is taken as TSEG2: a resynchronisation never jumps past the phase after the sample point.
std::optional<BitTiming> decode(uint8_t btr0, uint8_t btr1);

// The pair for a timing; none for one we refuse to run.
std::optional<BtrPair> encode(const BitTiming& timing);

// The pair the firmware loads for a configuration baud code: the standard pairs for the fixed
// rates, the caller's bt0/bt1 for the user-defined code. None for an unknown code or a pair we
// refuse to run.
std::optional<BtrPair> btr_for_baud_code(uint8_t code, uint8_t bt0, uint8_t bt1);

}  // namespace k5320::emulator::sja1000
