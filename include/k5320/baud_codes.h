// Baud codes of the configuration block: the bit rate the firmware loads into the CAN controller.
// One definition for the driver, which turns the caller's rate index into a code, and for the
// emulated firmware, which turns the code into bus timing values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

namespace k5320::baud {

inline constexpr uint8_t k10kbit = 0x01;
inline constexpr uint8_t k20kbit = 0x02;
inline constexpr uint8_t k50kbit = 0x04;
inline constexpr uint8_t k125kbit = 0x06;
inline constexpr uint8_t k250kbit = 0x08;
inline constexpr uint8_t k500kbit = 0x09;
inline constexpr uint8_t k800kbit = 0x0A;
inline constexpr uint8_t k1000kbit = 0x0B;
// The caller's own BT0/BT1 values; with every other code the host writes 0 for both.
inline constexpr uint8_t kUserDefined = 0x0C;

// Rate indices 1..8 choose a standard rate, in this order. The codes are not a running count:
// 0x03, 0x05 and 0x07 are never chosen by an index.
inline constexpr uint8_t kFirstStandardIndex = 1;
inline constexpr uint8_t kStandardRateCodes[] = {k10kbit,  k20kbit,  k50kbit,  k125kbit,
                                                 k250kbit, k500kbit, k800kbit, k1000kbit};
inline constexpr std::size_t kStandardRateCount = std::size(kStandardRateCodes);
// The bit rates of those codes, in bit/s.
inline constexpr uint32_t kStandardBitRates[] = {10'000,  20'000,  50'000,  125'000,
                                                 250'000, 500'000, 800'000, 1'000'000};
static_assert(std::size(kStandardBitRates) == kStandardRateCount);

// The rate index of a standard bit rate; 0 (the caller's own timing) for any other rate.
inline constexpr uint8_t index_for_bit_rate(uint32_t bits_per_second) {
    for (std::size_t i = 0; i < kStandardRateCount; ++i)
        if (kStandardBitRates[i] == bits_per_second)
            return static_cast<uint8_t>(kFirstStandardIndex + i);
    return 0;
}

// The code for a rate index; index 0 and every index past the standard rates mean the caller's
// own timing values.
inline constexpr uint8_t code_for_index(uint8_t index) {
    const std::size_t position = static_cast<std::size_t>(index) - kFirstStandardIndex;
    if (index < kFirstStandardIndex || position >= kStandardRateCount) return kUserDefined;
    return kStandardRateCodes[position];
}

}  // namespace k5320::baud
