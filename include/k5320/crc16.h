// CRC-16/XMODEM (polynomial 0x1021, initial value 0, most significant bit first, no final
// XOR): the checksum of a firmware image in its information record, computed by the host and
// checked by the module's resident loader.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace k5320::crc16 {

inline constexpr uint16_t kPolynomial = 0x1021;
inline constexpr uint16_t kTopBit = 0x8000;
inline constexpr int kBitsPerByte = 8;
inline constexpr unsigned kByteMask = 0xFF;
inline constexpr int kTableSize = 256;
using Table = std::array<uint16_t, kTableSize>;

constexpr uint16_t table_entry(int index) {
    uint16_t crc = 0;
    auto a = static_cast<uint16_t>(index << kBitsPerByte);
    for (int bit = 0; bit < kBitsPerByte; ++bit) {
        const bool top = ((crc ^ a) & kTopBit) != 0;
        crc = static_cast<uint16_t>(crc << 1);
        if (top) crc = static_cast<uint16_t>(crc ^ kPolynomial);
        a = static_cast<uint16_t>(a << 1);
    }
    return crc;
}

constexpr Table make_table() {
    Table t{};
    for (int i = 0; i < kTableSize; ++i) t[i] = table_entry(i);
    return t;
}

constexpr uint16_t update(uint16_t crc, uint8_t byte, const Table& table) {
    return static_cast<uint16_t>((crc << kBitsPerByte) ^
                                 table[((crc >> kBitsPerByte) ^ byte) & kByteMask]);
}

inline constexpr Table kTable = make_table();

constexpr uint16_t compute(const uint8_t* data, size_t length) {
    uint16_t crc = 0;
    for (size_t i = 0; i < length; ++i) crc = update(crc, data[i], kTable);
    return crc;
}

static_assert(table_entry(1) == kPolynomial);

}  // namespace k5320::crc16
