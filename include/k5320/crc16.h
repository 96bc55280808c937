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

// Eight bytes per step ("slicing by eight"): slice[k][x] is what byte x contributes with k bytes
// after it, so the eight lookups of a step do not wait on each other. A whole firmware image is
// checked while the host waits for the answer to its last block.
inline constexpr int kSliceBytes = 8;
using SliceTables = std::array<Table, kSliceBytes>;

constexpr SliceTables make_slice_tables() {
    SliceTables slice{};
    slice[0] = kTable;
    for (int k = 1; k < kSliceBytes; ++k)
        for (int x = 0; x < kTableSize; ++x) slice[k][x] = update(slice[k - 1][x], 0, kTable);
    return slice;
}

inline constexpr SliceTables kSliceTables = make_slice_tables();

constexpr uint16_t compute(const uint8_t* data, size_t length) {
    const SliceTables& t = kSliceTables;
    uint16_t crc = 0;
    size_t i = 0;
    for (; i + kSliceBytes <= length; i += kSliceBytes) {
        // The register meets the first two bytes; the other six enter as they are.
        const auto high = static_cast<uint8_t>((crc >> kBitsPerByte) ^ data[i]);
        const auto low = static_cast<uint8_t>((crc & kByteMask) ^ data[i + 1]);
        crc = static_cast<uint16_t>(t[7][high] ^ t[6][low] ^ t[5][data[i + 2]] ^ t[4][data[i + 3]] ^
                                    t[3][data[i + 4]] ^ t[2][data[i + 5]] ^ t[1][data[i + 6]] ^
                                    t[0][data[i + 7]]);
    }
    for (; i < length; ++i) crc = update(crc, data[i], kTable);
    return crc;
}

static_assert(table_entry(1) == kPolynomial);

}  // namespace k5320::crc16
