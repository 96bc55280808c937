#include "can/text.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>

namespace k5320::cantext {

namespace {

constexpr std::size_t kStandardIdDigits = 3;
constexpr std::size_t kExtendedIdDigits = 8;
constexpr uint64_t kMicrosecondsPerSecond = 1'000'000;
constexpr uint32_t kKilo = 1'000;
constexpr uint32_t kMega = 1'000'000;

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool fail(ParseError* error, std::string message) {
    if (error != nullptr) error->message = std::move(message);
    return false;
}

// All of text as a hex number of at most 8 digits.
bool parse_hex_number(std::string_view text, uint32_t* value) {
    if (text.empty() || text.size() > kExtendedIdDigits) return false;
    uint32_t v = 0;
    for (char c : text) {
        const int digit = hex_value(c);
        if (digit < 0) return false;
        v = v << 4 | static_cast<uint32_t>(digit);
    }
    *value = v;
    return true;
}

bool parse_data(std::string_view text, can::Frame* frame, ParseError* error) {
    uint8_t count = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '.') {
            ++i;
            continue;
        }
        if (i + 1 >= text.size() || hex_value(text[i]) < 0 || hex_value(text[i + 1]) < 0)
            return fail(error, "data must be pairs of hex digits, optionally separated by '.'");
        if (count == can::kMaxDataLength) return fail(error, "more than 8 data bytes");
        frame->data[count++] =
            static_cast<uint8_t>(hex_value(text[i]) << 4 | hex_value(text[i + 1]));
        i += 2;
    }
    frame->length = count;
    return true;
}

}  // namespace

bool parse_frame(std::string_view text, can::Frame* frame, ParseError* error) {
    const std::size_t hash = text.find('#');
    if (hash == std::string_view::npos)
        return fail(error, "a frame is <id>#<data>, for example 123#DEADBEEF");
    const std::string_view id_text = text.substr(0, hash);
    std::string_view rest = text.substr(hash + 1);
    if (!rest.empty() && rest.front() == '#')
        return fail(error, "CAN FD frames (##) are not supported by the module");
    can::Frame parsed;
    uint32_t id = 0;
    if ((id_text.size() != kStandardIdDigits && id_text.size() != kExtendedIdDigits) ||
        !parse_hex_number(id_text, &id))
        return fail(error, "the id must be 3 hex digits (standard) or 8 (extended)");
    parsed.extended = id_text.size() == kExtendedIdDigits;
    if (id > (parsed.extended ? can::kExtendedIdMask : can::kStandardIdMask)) {
        return fail(error, parsed.extended ? "an extended id is at most 1FFFFFFF"
                                           : "a standard id is at most 7FF");
    }
    parsed.id = id;
    if (!rest.empty() && (rest.front() == 'R' || rest.front() == 'r')) {
        parsed.remote = true;
        rest.remove_prefix(1);
        if (rest.size() > 1 || (rest.size() == 1 && (rest[0] < '0' || rest[0] > '8')))
            return fail(error, "a remote frame is <id>#R or <id>#R<length 0..8>");
        parsed.length = rest.empty() ? 0 : static_cast<uint8_t>(rest[0] - '0');
    } else if (!parse_data(rest, &parsed, error)) {
        return false;
    }
    *frame = parsed;
    return true;
}

std::string format_frame(const can::Frame& frame) {
    char text[32];
    const uint32_t id = frame.id & (frame.extended ? can::kExtendedIdMask : can::kStandardIdMask);
    int n =
        std::snprintf(text, sizeof text, frame.extended ? "%08" PRIX32 "#" : "%03" PRIX32 "#", id);
    std::string out(text, static_cast<std::size_t>(n));
    const uint8_t length = can::clamp_length(frame.length);
    if (frame.remote) {
        out += 'R';
        if (length > 0) out += static_cast<char>('0' + length);
        return out;
    }
    for (uint8_t i = 0; i < length; ++i) {
        n = std::snprintf(text, sizeof text, "%02X", frame.data[i]);
        out.append(text, static_cast<std::size_t>(n));
    }
    return out;
}

std::string format_log_line(uint64_t microseconds, std::string_view channel,
                            const can::Frame& frame) {
    char stamp[48];
    const int n =
        std::snprintf(stamp, sizeof stamp, "(%010" PRIu64 ".%06" PRIu64 ") ",
                      microseconds / kMicrosecondsPerSecond, microseconds % kMicrosecondsPerSecond);
    std::string line(stamp, static_cast<std::size_t>(n));
    line += channel;
    line += ' ';
    line += format_frame(frame);
    return line;
}

bool parse_filter(std::string_view text, Filter* filter, ParseError* error) {
    const std::size_t at = text.find_first_of(":~");
    Filter parsed;
    if (at == std::string_view::npos || !parse_hex_number(text.substr(0, at), &parsed.id) ||
        !parse_hex_number(text.substr(at + 1), &parsed.mask))
        return fail(error, "a filter is <id>:<mask> or <id>~<mask> in hex, for example 100:7F0");
    parsed.inverted = text[at] == '~';
    *filter = parsed;
    return true;
}

bool parse_bit_rate(std::string_view text, uint32_t* bits_per_second, ParseError* error) {
    uint32_t scale = 1;
    if (!text.empty() && (text.back() == 'k' || text.back() == 'K')) {
        scale = kKilo;
        text.remove_suffix(1);
    } else if (!text.empty() && text.back() == 'M') {
        scale = kMega;
        text.remove_suffix(1);
    }
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || value > UINT32_MAX)
            return fail(error, "a bit rate is digits with an optional k or M, for example 125k");
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    value *= scale;
    if (text.empty() || value == 0 || value > UINT32_MAX)
        return fail(error, "a bit rate is digits with an optional k or M, for example 125k");
    *bits_per_second = static_cast<uint32_t>(value);
    return true;
}

bool parse_hex_bytes(std::string_view text, std::string* bytes, ParseError* error) {
    std::string out;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '.' || c == ':') {
            if (high >= 0) return fail(error, "hex bytes come in pairs of digits");
            continue;
        }
        const int digit = hex_value(c);
        if (digit < 0) return fail(error, std::string("not a hex digit: '") + c + "'");
        if (high < 0) {
            high = digit;
        } else {
            out += static_cast<char>(high << 4 | digit);
            high = -1;
        }
    }
    if (high >= 0) return fail(error, "hex bytes come in pairs of digits");
    *bytes = std::move(out);
    return true;
}

}  // namespace k5320::cantext
