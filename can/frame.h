// A CAN frame and its DPRAM record layout (the SJA1000 frame information byte and identifier
// bytes): one encoder and one decoder, shared by the driver and the emulated firmware.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace k5320::can {

inline constexpr uint8_t kMaxDataLength = 8;
inline constexpr uint32_t kStandardIdMask = 0x7FF;
inline constexpr uint32_t kExtendedIdMask = 0x1FFFFFFF;

// Frame information byte.
inline constexpr uint8_t kInfoExtended = 0x80;
inline constexpr uint8_t kInfoRemote = 0x40;
inline constexpr uint8_t kInfoLengthMask = 0x0F;

// Bytes before the data: information byte and two (11-bit) or four (29-bit) identifier bytes.
inline constexpr size_t kStandardHeaderSize = 3;
inline constexpr size_t kExtendedHeaderSize = 5;
inline constexpr size_t kMaxRecordSize = kExtendedHeaderSize + kMaxDataLength;  // 13

// Identifier bits below the identifier in its last byte: 11-bit ids end at bit 5 of byte 2,
// 29-bit ids at bit 3 of byte 4.
inline constexpr int kStandardIdShift = 5;
inline constexpr int kStandardIdHighShift = 8 - kStandardIdShift;  // byte 1 holds bits 10..3
inline constexpr int kExtendedIdShift = 3;

struct Frame {
    uint32_t id = 0;
    bool extended = false;
    bool remote = false;
    uint8_t length = 0;  // 0..8; a remote frame's requested length
    std::array<uint8_t, kMaxDataLength> data{};

    bool operator==(const Frame&) const = default;
};

constexpr uint8_t clamp_length(uint8_t length) {
    return length > kMaxDataLength ? kMaxDataLength : length;
}

constexpr size_t header_size(bool extended) {
    return extended ? kExtendedHeaderSize : kStandardHeaderSize;
}

// Writes the record of `frame` to out (at least kMaxRecordSize bytes) and returns its size:
// the header, then the data bytes of a data frame. Identifier bits beyond the format are dropped.
constexpr size_t encode(const Frame& frame, uint8_t* out) {
    const uint8_t length = clamp_length(frame.length);
    out[0] = static_cast<uint8_t>((frame.extended ? kInfoExtended : 0) |
                                  (frame.remote ? kInfoRemote : 0) | length);
    if (frame.extended) {
        const uint32_t bits = (frame.id & kExtendedIdMask) << kExtendedIdShift;
        out[1] = static_cast<uint8_t>(bits >> 24);
        out[2] = static_cast<uint8_t>(bits >> 16);
        out[3] = static_cast<uint8_t>(bits >> 8);
        out[4] = static_cast<uint8_t>(bits);
    } else {
        const uint32_t bits = (frame.id & kStandardIdMask) << kStandardIdShift;
        out[1] = static_cast<uint8_t>(bits >> 8);
        out[2] = static_cast<uint8_t>(bits);
    }
    const size_t header = header_size(frame.extended);
    if (frame.remote) return header;
    for (size_t i = 0; i < length; ++i) out[header + i] = frame.data[i];
    return header + length;
}

// Reads a record (at least kMaxRecordSize bytes). The length is clamped to 8; a remote frame
// carries no data, and bytes past the length read as 0.
constexpr Frame decode(const uint8_t* record) {
    Frame frame;
    frame.extended = (record[0] & kInfoExtended) != 0;
    frame.remote = (record[0] & kInfoRemote) != 0;
    frame.length = clamp_length(record[0] & kInfoLengthMask);
    if (frame.extended) {
        const uint32_t bits = static_cast<uint32_t>(record[1]) << 24 |
                              static_cast<uint32_t>(record[2]) << 16 |
                              static_cast<uint32_t>(record[3]) << 8 | record[4];
        frame.id = bits >> kExtendedIdShift;
    } else {
        frame.id = static_cast<uint32_t>(record[1]) << kStandardIdHighShift |
                   record[2] >> kStandardIdShift;
    }
    if (!frame.remote) {
        const size_t header = header_size(frame.extended);
        for (size_t i = 0; i < frame.length; ++i) frame.data[i] = record[header + i];
    }
    return frame;
}

}  // namespace k5320::can
