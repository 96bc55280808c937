#include "utility/main/message_format.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "utility/main/send_parser.h"

namespace k5320::utility {
namespace {

constexpr std::string_view kStandardMode = "2.0A";
constexpr std::string_view kExtendedMode = "2.0B";
constexpr std::string_view kRemote = "Y";
constexpr std::string_view kDataFrame = "N";
constexpr std::string_view kRemoteLogData = "0";
constexpr char kLogSeparator = ',';
constexpr std::string_view kLineEnd = "\r\n";
constexpr uint32_t kDecimalBase = 10;

// snprintf into a small stack buffer, for texts known to fit.
class Printed {
  public:
    Printed() = default;
    __attribute__((format(printf, 2, 3))) Printed(const char* format, ...) {
        va_list args;
        va_start(args, format);
        const int written = std::vsnprintf(text_.data(), text_.size(), format, args);
        va_end(args);
        size_ = written < 0 ? 0 : std::min(static_cast<std::size_t>(written), text_.size() - 1);
    }
    std::string_view view() const { return {text_.data(), size_}; }

  private:
    std::array<char, CellText::kCapacity + 1> text_{};
    std::size_t size_ = 0;
};

// A byte in one of the display formats; padded is the list's format for new rows.
Printed byte_text(uint8_t byte, DisplayMode format, bool padded) {
    switch (format) {
        case DisplayMode::kHex:
            return padded ? Printed("%02X", byte) : Printed("%X", byte);
        case DisplayMode::kDec:
            return padded ? Printed("%03d", byte) : Printed("%d", byte);
        case DisplayMode::kAscii:
            break;
    }
    // A byte 0 as a character ends the text: the cell stays empty.
    if (byte == 0) return Printed();
    return Printed("%c", static_cast<char>(byte));
}

// A byte in the log's character format. A comma, CR or LF written as itself would split the
// line's fields or the line; it is written as \xHH, which no one-character field can be, so the
// byte can still be told.
Printed log_character(uint8_t byte) {
    const char c = static_cast<char>(byte);
    if (c == kLogSeparator || kLineEnd.find(c) != std::string_view::npos)
        return Printed("\\x%02x", byte);
    return byte_text(byte, DisplayMode::kAscii, false);
}

std::string_view mode_text(uint8_t mode) {
    return mode == 0 ? kStandardMode : kExtendedMode;
}

uint32_t decimal_prefix(std::string_view text) {
    uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') break;
        value = value * kDecimalBase + static_cast<uint32_t>(c - '0');
    }
    return value;
}

std::size_t data_length_of(const ReceivedMessage& message) {
    return std::min<std::size_t>(message.length, kMessageDataBytes);
}

}  // namespace

void CellText::assign(std::string_view text) {
    size_ = static_cast<uint8_t>(std::min(text.size(), kCapacity));
    std::copy_n(text.data(), size_, text_.data());
}

void LogLine::append(std::string_view text) {
    const std::size_t room = kCapacity - size_;
    const std::size_t n = std::min(text.size(), room);
    std::copy_n(text.data(), n, text_.data() + size_);
    size_ += n;
}

MessageRow list_row(const ReceivedMessage& message, unsigned number, DisplayMode format) {
    MessageRow row;
    row[kNumberColumn].assign(Printed("%03u", number).view());
    row[kModeColumn].assign(mode_text(message.mode));
    row[kIdColumn].assign(Printed("%" PRIX32, message.id).view());
    row[kRtrColumn].assign(message.rtr != 0 ? kRemote : kDataFrame);
    row[kLengthColumn].assign(Printed("%d", message.length).view());
    if (message.rtr == 0) {
        for (std::size_t i = 0; i < data_length_of(message); ++i)
            row[kFirstDataColumn + i].assign(byte_text(message.data[i], format, true).view());
    }
    // Unsigned: a time stamp is a count, and one past 2^63 must not show as negative.
    row[kTimeColumn].assign(Printed("%" PRIu64, message.time_stamp()).view());
    return row;
}

CellText convert_cell(std::string_view text, DisplayMode from, DisplayMode to) {
    CellText cell;
    if (text.empty()) return cell;
    uint32_t value = 0;
    switch (from) {
        case DisplayMode::kHex:
            value = hex_prefix(text);
            break;
        case DisplayMode::kDec:
            value = decimal_prefix(text);
            break;
        case DisplayMode::kAscii:
            value = static_cast<unsigned char>(text.front());
            break;
    }
    cell.assign(byte_text(static_cast<uint8_t>(value), to, false).view());
    return cell;
}

LogLine log_line(const ReceivedMessage& message, DisplayMode format) {
    LogLine line;
    line.append(mode_text(message.mode));
    line.append(Printed(",%" PRIx32 ",%d,%d", message.id, message.rtr, message.length).view());
    for (std::size_t i = 0; i < kMessageDataBytes; ++i) {
        line.append({&kLogSeparator, 1});
        if (message.rtr != 0) {
            line.append(kRemoteLogData);
            continue;
        }
        const uint8_t byte = message.data[i];
        switch (format) {
            case DisplayMode::kHex:
                line.append(Printed("%x", byte).view());
                break;
            case DisplayMode::kDec:
                line.append(Printed("%d", byte).view());
                break;
            case DisplayMode::kAscii:
                line.append(log_character(byte).view());
                break;
        }
    }
    line.append(Printed(",%" PRIu64, message.time_stamp()).view());
    line.append(kLineEnd);
    return line;
}

}  // namespace k5320::utility
