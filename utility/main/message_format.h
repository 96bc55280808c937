// How a received message is written: as a row of the message list and as a line of the receive
// log, in the three data formats of the Msg Format choice, and how a data cell already in the
// list is turned from one format into another.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace k5320::utility {

inline constexpr std::size_t kMessageDataBytes = 8;

// A message as the library delivers it.
struct ReceivedMessage {
    uint8_t mode = 0;  // 0: 11-bit identifier, 1: 29-bit identifier
    uint32_t id = 0;
    uint8_t rtr = 0;
    uint8_t length = 0;
    std::array<uint8_t, kMessageDataBytes> data{};  // of a data frame, bytes beyond length are 0
    uint32_t time_high = 0;
    uint32_t time_low = 0;

    // In units of 100 us.
    uint64_t time_stamp() const { return (uint64_t{time_high} << 32) | time_low; }
};

enum class DisplayMode : int { kHex = 0, kDec = 1, kAscii = 2 };

// Columns of the message list.
inline constexpr int kNumberColumn = 0;
inline constexpr int kModeColumn = 1;
inline constexpr int kIdColumn = 2;
inline constexpr int kRtrColumn = 3;
inline constexpr int kLengthColumn = 4;
inline constexpr int kFirstDataColumn = 5;
inline constexpr int kLastDataColumn = kFirstDataColumn + static_cast<int>(kMessageDataBytes) - 1;
inline constexpr int kTimeColumn = 13;
inline constexpr int kListColumnCount = 14;

// One cell's text, held in place: a row of the list costs no allocation. Wide enough for the
// longest cell, a 64-bit time stamp in decimal.
class CellText {
  public:
    static constexpr std::size_t kCapacity = 23;

    std::string_view view() const { return {text_.data(), size_}; }
    bool empty() const { return size_ == 0; }
    // Longer text is cut to the capacity.
    void assign(std::string_view text);

  private:
    std::array<char, kCapacity> text_{};
    uint8_t size_ = 0;
};

using MessageRow = std::array<CellText, kListColumnCount>;

// The row the list gets for a message: number (the list's row count before the row, "%03d"),
// mode, identifier, RTR, length, the data cells of a data frame in the display format ("%02X",
// "%03d" or the byte as a character, where a byte 0 leaves the cell empty) and the time stamp.
MessageRow list_row(const ReceivedMessage& message, unsigned number, DisplayMode format);

// A data cell written in one format, rewritten in another: its value is read as the old format
// says and cut to a byte, then written without padding ("%X", "%d", or the character). An empty
// cell stays empty.
CellText convert_cell(std::string_view text, DisplayMode from, DisplayMode to);

// A line of the receive log, CR LF included. It is built in a buffer of a fixed size that the
// longest line fits with room to spare.
class LogLine {
  public:
    static constexpr std::size_t kCapacity = 100;

    std::string_view view() const { return {text_.data(), size_}; }
    void append(std::string_view text);

  private:
    std::array<char, kCapacity> text_{};
    std::size_t size_ = 0;
};

inline constexpr std::string_view kLogHeader =
    "Mode,MsgID,RTR,DataLen,B0,B1,B2,B3,B4,B5,B6,B7,TimeStamp(0.1ms)\r\n";

// Mode, identifier in lower-case hexadecimal, RTR, length, the eight data fields and the time
// stamp, comma-separated. A remote frame logs 0 in every data field; a data frame logs all eight
// bytes of its data ("%x", "%d" or the byte as a character). In the character format a byte 0
// logs as an empty field: the byte itself would end the line's text early, and a reader of the
// file would lose the fields after it. A comma, CR or LF byte logs as \xHH (two lower-case hex
// digits), so the line keeps its 13 fields and its one line end.
LogLine log_line(const ReceivedMessage& message, DisplayMode format);

}  // namespace k5320::utility
