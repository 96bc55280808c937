#include "utility/main/send_parser.h"

#include <string>

namespace k5320::utility {
namespace {

constexpr int kHexBase = 16;
constexpr int kDecimalBase = 10;
constexpr char kTokenSeparator = ' ';

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + kDecimalBase;
    if (c >= 'A' && c <= 'F') return c - 'A' + kDecimalBase;
    return -1;
}

}  // namespace

uint32_t hexPrefix(std::string_view text) {
    uint32_t value = 0;
    for (const char c : text) {
        const int digit = hexDigit(c);
        if (digit < 0) break;
        value = value * kHexBase + static_cast<uint32_t>(digit);
    }
    return value;
}

uint8_t dataLength(std::string_view text) {
    if (text.empty() || text.front() < '0' || text.front() > '9') return 0;
    const int value = text.front() - '0';
    return static_cast<uint8_t>(value > kMaxDataLength ? kMaxDataLength : value);
}

std::array<uint8_t, kMaxDataLength> dataBytes(std::string_view text, uint8_t length) {
    // The appended blank ends the last token, so every token is closed by a separator.
    std::string walk(text.substr(0, kDataTextRead));
    walk += kTokenSeparator;
    std::array<uint8_t, kMaxDataLength> bytes{};
    std::size_t found = 0;
    std::size_t tokenStart = 0;
    for (std::size_t i = 0; i < walk.size() && found < kMaxDataLength; ++i) {
        if (walk[i] != kTokenSeparator) continue;
        const uint32_t value = hexPrefix(std::string_view(walk).substr(tokenStart, i - tokenStart));
        if (found < length) bytes[found] = static_cast<uint8_t>(value);
        ++found;
        tokenStart = i + 1;
    }
    return bytes;
}

OutgoingMessage outgoingMessage(bool extended, std::string_view idText, bool rtr,
                                std::string_view lengthText, std::string_view dataText) {
    OutgoingMessage message;
    message.mode = extended ? 1 : 0;
    message.id = hexPrefix(idText);
    message.rtr = rtr ? 1 : 0;
    message.length = dataLength(lengthText);
    message.data = dataBytes(dataText, message.length);
    return message;
}

}  // namespace k5320::utility
