// The utility's text conversions on arbitrary text: the hexadecimal boxes (identifier,
// acceptance code and mask, BT0/BT1), the length and Data boxes of "Send CAN Message", the
// message list's cells and their conversion between Hex, Dec and ASCII, and the receive log's
// line. Beyond not crashing, every result is read back: a number parsed from a box equals the
// value of its leading hexadecimal digits, data bytes written out parse back to themselves, and a
// cell converted to another format and back holds the same byte.
//
// Input: a flags byte, then the texts of the identifier, length and Data boxes and one list cell,
// separated by line feeds.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "utility/main/message_format.h"
#include "utility/main/message_list.h"
#include "utility/main/send_parser.h"

namespace {

using namespace k5320::utility;

constexpr int kFormats = 3;
constexpr uint8_t kFlagExtended = 0x01;
constexpr uint8_t kFlagRemote = 0x02;
constexpr int kFromShift = 2;
constexpr int kToShift = 4;
constexpr uint8_t kFormatMask = 0x03;
constexpr int kRowsShift = 6;  // rows added to the message list: 1..4
constexpr unsigned kHexDigitsKept = 8;
constexpr int kHexBase = 16;
constexpr int kDecimalBase = 10;

void require(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "utility text fuzz: %s\n", what);
    std::abort();
}

DisplayMode format_of(uint8_t bits) {
    return static_cast<DisplayMode>((bits & kFormatMask) % kFormats);
}

// The next line-feed-separated field; the last field takes the rest.
std::string_view next_field(std::string_view& rest) {
    const size_t end = std::min(rest.find('\n'), rest.size());
    const std::string_view field = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    return field;
}

// The value of the leading hexadecimal digits, by the standard library: the last eight digits.
uint32_t leading_hex_value(std::string_view text) {
    const auto end = std::find_if(text.begin(), text.end(), [](char c) {
        return !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'));
    });
    std::string digits(text.begin(), end);
    if (digits.empty()) return 0;
    if (digits.size() > kHexDigitsKept) digits.erase(0, digits.size() - kHexDigitsKept);
    return static_cast<uint32_t>(std::strtoul(digits.c_str(), nullptr, kHexBase));
}

uint64_t decimal_value(std::string_view text) {
    return std::strtoull(std::string(text).c_str(), nullptr, kDecimalBase);
}

void check_send_boxes(uint8_t flags, std::string_view id, std::string_view length,
                      std::string_view data) {
    require(hex_prefix(id) == leading_hex_value(id), "identifier box misread");
    const OutgoingMessage m = outgoing_message((flags & kFlagExtended) != 0, id,
                                               (flags & kFlagRemote) != 0, length, data);
    require(m.mode == ((flags & kFlagExtended) != 0 ? 1 : 0), "mode");
    require(m.rtr == ((flags & kFlagRemote) != 0 ? 1 : 0), "RTR");
    require(m.id == hex_prefix(id), "identifier");
    require(m.length <= kMaxDataLength && m.length == data_length(length), "length");
    for (size_t i = m.length; i < kMaxDataLength; ++i) require(m.data[i] == 0, "byte past length");

    // The bytes written out as the Data box would show them parse back to the same bytes.
    std::string written;
    for (size_t i = 0; i < m.length; ++i) {
        char byte[3];
        std::snprintf(byte, sizeof byte, "%02X", m.data[i]);
        if (i != 0) written += ' ';  // appended: "x" + std::string trips GCC 12's -Wrestrict at -O3
        written += byte;
    }
    require(data_bytes(written, m.length) == m.data, "data bytes do not read back");
}

void check_cell(std::string_view cell, DisplayMode from, DisplayMode to) {
    const CellText converted = convert_cell(cell, from, to);
    if (cell.empty()) {
        require(converted.empty(), "empty cell filled");
        return;
    }
    // Dec is never empty: it names the byte the cell holds in any format.
    const CellText value = convert_cell(cell, from, DisplayMode::kDec);
    require(!value.empty() && decimal_value(value.view()) <= UINT8_MAX, "cell value not a byte");
    if (converted.empty()) {
        require(to == DisplayMode::kAscii && value.view() == "0", "non-zero byte converted away");
        return;
    }
    require(convert_cell(converted.view(), to, DisplayMode::kDec).view() == value.view(),
            "cell converted and back holds another byte");
}

ReceivedMessage received_from(const OutgoingMessage& m, std::string_view cell) {
    ReceivedMessage r;
    r.mode = m.mode;
    r.id = m.id;
    r.rtr = m.rtr;
    r.length = m.length;
    if (r.rtr == 0) r.data = m.data;
    r.time_high = hex_prefix(cell);
    r.time_low = ~r.time_high;
    return r;
}

void check_row_and_log(const ReceivedMessage& message, DisplayMode format, unsigned number) {
    const MessageRow row = list_row(message, number, format);
    require(decimal_value(row[kNumberColumn].view()) == number, "row number");
    for (size_t i = 0; i < kMessageDataBytes; ++i) {
        const CellText& cell = row[kFirstDataColumn + i];
        const bool shown = message.rtr == 0 && i < message.length;
        if (!shown || (format == DisplayMode::kAscii && message.data[i] == 0)) {
            require(cell.empty(), "data cell where no byte is shown");
            continue;
        }
        require(decimal_value(convert_cell(cell.view(), format, DisplayMode::kDec).view()) ==
                    message.data[i],
                "data cell holds another byte");
    }
    require(decimal_value(row[kTimeColumn].view()) == message.time_stamp(), "time stamp cell");

    const LogLine line = log_line(message, format);
    const std::string_view text = line.view();
    require(text.size() < LogLine::kCapacity, "log line filled its buffer");
    require(text.ends_with("\r\n"), "log line without its end");
    // In ASCII a data byte may itself be a comma; the other formats have exactly 13 fields.
    constexpr size_t kLogSeparators = 12;
    if (format != DisplayMode::kAscii)
        require(static_cast<size_t>(std::count(text.begin(), text.end(), ',')) == kLogSeparators,
                "log line fields");
}

void check_list(const ReceivedMessage& message, DisplayMode from, DisplayMode to, int rows) {
    // One list for all runs, emptied first: a new one would cost the ring's thousand rows.
    static MessageList& list = *new MessageList;
    list.clear();
    std::array<MessageRow, 4> added;
    for (int i = 0; i < rows; ++i) added[i] = list_row(message, static_cast<unsigned>(i), from);
    list.append(std::span<const MessageRow>(added.data(), static_cast<size_t>(rows)));
    list.convert_current_run(from, to);
    require(list.size() == rows, "list size");
    for (int row = 0; row < rows; ++row)
        for (int column = kFirstDataColumn; column <= kLastDataColumn; ++column) {
            const std::string_view before = added[row][static_cast<size_t>(column)].view();
            require(list.cell(row, column) == convert_cell(before, from, to).view(),
                    "list cell converted otherwise than a lone cell");
        }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t flags = data[0];
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string_view id = next_field(rest);
    const std::string_view length = next_field(rest);
    const std::string_view bytes = next_field(rest);
    const std::string_view cell = rest;
    const DisplayMode from = format_of(static_cast<uint8_t>(flags >> kFromShift));
    const DisplayMode to = format_of(static_cast<uint8_t>(flags >> kToShift));

    check_send_boxes(flags, id, length, bytes);
    check_cell(cell, from, to);
    const OutgoingMessage outgoing = outgoing_message((flags & kFlagExtended) != 0, id,
                                                      (flags & kFlagRemote) != 0, length, bytes);
    const ReceivedMessage message = received_from(outgoing, cell);
    check_row_and_log(message, from, static_cast<unsigned>(hex_prefix(bytes)));
    check_list(message, from, to, 1 + (flags >> kRowsShift));
    return 0;
}
