#include "can/frame_length.h"

#include <array>
#include <cstddef>

#include "can/wire_format.h"

namespace k5320::can {
namespace {

constexpr uint16_t kCrcPolynomial = 0x4599;
constexpr unsigned kCrcTopBit = kCrcBits - 1;
constexpr uint16_t kCrcMask = (1u << kCrcBits) - 1;

// A transmitter inserts the opposite bit after this many equal bits; the stuff bit itself starts
// the next run.
constexpr unsigned kStuffRun = 5;

// After the CRC: CRC delimiter, ACK slot, ACK delimiter, end of frame and intermission. None of
// them is stuffed.
constexpr unsigned kEndOfFrameBits = 7;
constexpr unsigned kIntermissionBits = 3;
constexpr unsigned kTrailerBits = 1 + 1 + 1 + kEndOfFrameBits + kIntermissionBits;

// The longest stuffed part: an extended data frame with 8 bytes, SOF..CRC.
constexpr size_t kMaxStuffedBits =
    1 + kBaseIdBits + 1 + 1 + kIdExtensionBits + 1 + 2 + kDlcBits + kMaxDataLength * 8 + kCrcBits;

class BitSequence {
  public:
    // Appends the width low bits of value, most significant first.
    void append(uint32_t value, unsigned width) {
        for (unsigned bit = width; bit-- > 0;)
            bits_[size_++] = static_cast<uint8_t>(value >> bit & 1);
    }
    size_t size() const { return size_; }
    uint8_t operator[](size_t index) const { return bits_[index]; }

  private:
    std::array<uint8_t, kMaxStuffedBits> bits_{};
    size_t size_ = 0;
};

uint16_t crc15(const BitSequence& bits) {
    uint16_t crc = 0;
    for (size_t i = 0; i < bits.size(); ++i) {
        const bool feedback = (bits[i] ^ (crc >> kCrcTopBit & 1)) != 0;
        crc = static_cast<uint16_t>(crc << 1 & kCrcMask);
        if (feedback) crc ^= kCrcPolynomial;
    }
    return crc;
}

unsigned count_stuff_bits(const BitSequence& bits) {
    unsigned stuff_bits = 0;
    unsigned run = 0;
    uint8_t level = kRecessive;  // the idle bus before SOF
    for (size_t i = 0; i < bits.size(); ++i) {
        if (bits[i] == level) {
            ++run;
        } else {
            level = bits[i];
            run = 1;
        }
        if (run == kStuffRun) {
            ++stuff_bits;
            level = static_cast<uint8_t>(!level);
            run = 1;
        }
    }
    return stuff_bits;
}

// The frame's bits from SOF to the CRC, before stuffing.
BitSequence unstuffed_bits(const Frame& frame) {
    const uint8_t length = clamp_length(frame.length);
    const uint8_t rtr = frame.remote ? kRecessive : kDominant;
    BitSequence bits;
    bits.append(kDominant, 1);  // SOF
    if (frame.extended) {
        const uint32_t id = frame.id & kExtendedIdMask;
        bits.append(id >> kIdExtensionBits, kBaseIdBits);
        bits.append(kRecessive, 1);  // SRR
        bits.append(kRecessive, 1);  // IDE
        bits.append(id, kIdExtensionBits);
        bits.append(rtr, 1);
        bits.append(kDominant, 1);  // r1
        bits.append(kDominant, 1);  // r0
    } else {
        bits.append(frame.id & kStandardIdMask, kBaseIdBits);
        bits.append(rtr, 1);
        bits.append(kDominant, 1);  // IDE
        bits.append(kDominant, 1);  // r0
    }
    bits.append(length, kDlcBits);
    if (!frame.remote) {
        for (uint8_t i = 0; i < length; ++i) bits.append(frame.data[i], 8);
    }
    bits.append(crc15(bits), kCrcBits);
    return bits;
}

}  // namespace

unsigned frame_bit_length(const Frame& frame) {
    const BitSequence bits = unstuffed_bits(frame);
    return static_cast<unsigned>(bits.size()) + count_stuff_bits(bits) + kTrailerBits;
}

unsigned bits_to_first_recessive(const Frame& frame) {
    const BitSequence bits = unstuffed_bits(frame);
    // Five dominant bits in a row are followed by a recessive stuff bit at the latest.
    unsigned index = 0;
    while (index < kStuffRun && bits[index] == kDominant) ++index;
    return index + 1;
}

}  // namespace k5320::can
