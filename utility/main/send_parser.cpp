#include "utility/main/send_parser.h"

#include <string>

namespace k5320::utility {
namespace {

constexpr int kHexBase = 16;
constexpr int kDecimalBase = 10;
constexpr char kTokenSeparator = ' ';

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + kDecimalBase;
    if (c >= 'A' && c <= 'F') return c - 'A' + kDecimalBase;
    return -1;
}

}  // namespace

uint32_t hex_prefix(std::string_view text) {
    uint32_t value = 0;
    for (const char c : text) {
        const int digit = hex_digit(c);
        if (digit < 0) break;
        value = value * kHexBase + static_cast<uint32_t>(digit);
    }
    return value;
}

uint8_t data_length(std::string_view text) {
    if (text.empty() || text.front() < '0' || text.front() > '9') return 0;
    const int value = text.front() - '0';
    return static_cast<uint8_t>(value > kMaxDataLength ? kMaxDataLength : value);
}

std::array<uint8_t, kMaxDataLength> data_bytes(std::string_view text, uint8_t length) {
    // The appended blank ends the last token, so every token is closed by a separator.
    std::string walk(text.substr(0, kDataTextRead));
    walk += kTokenSeparator;
    std::array<uint8_t, kMaxDataLength> bytes{};
    std::size_t found = 0;
    std::size_t token_start = 0;
    for (std::size_t i = 0; i < walk.size() && found < kMaxDataLength; ++i) {
        if (walk[i] != kTokenSeparator) continue;
        const uint32_t value =
            hex_prefix(std::string_view(walk).substr(token_start, i - token_start));
        if (found < length) bytes[found] = static_cast<uint8_t>(value);
        ++found;
        token_start = i + 1;
    }
    return bytes;
}

OutgoingMessage outgoing_message(bool extended, std::string_view id_text, bool rtr,
                                 std::string_view length_text, std::string_view data_text) {
    OutgoingMessage message;
    message.mode = extended ? 1 : 0;
    message.id = hex_prefix(id_text);
    message.rtr = rtr ? 1 : 0;
    message.length = data_length(length_text);
    message.data = data_bytes(data_text, message.length);
    return message;
}

}  // namespace k5320::utility
