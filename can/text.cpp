#include "can/text.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <iterator>

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
    std::string line = format_absolute_stamp(microseconds);
    line += channel;
    line += ' ';
    line += format_frame(frame);
    return line;
}

uint32_t socketcan_id(const can::Frame& frame) {
    const uint32_t id = frame.id & (frame.extended ? can::kExtendedIdMask : can::kStandardIdMask);
    return id | (frame.extended ? kExtendedFlag : 0) | (frame.remote ? kRemoteFlag : 0);
}

bool parse_filter(std::string_view text, Filter* filter, ParseError* error) {
    const std::size_t at = text.find_first_of(":~");
    Filter parsed;
    if (at == std::string_view::npos || !parse_hex_number(text.substr(0, at), &parsed.id) ||
        !parse_hex_number(text.substr(at + 1), &parsed.mask))
        return fail(error, "a filter is <id>:<mask> or <id>~<mask> in hex, for example 100:7F0");
    parsed.inverted = text[at] == '~';
    // As candump: 8 digits make an extended id; the error flag is not the data filters' to test.
    if (at == kExtendedIdDigits) parsed.id |= kExtendedFlag;
    parsed.mask &= ~kErrorFlag;
    *filter = parsed;
    return true;
}

bool FilterSet::accepts(const can::Frame& frame) const {
    if (filters.empty()) return true;
    const uint32_t id = socketcan_id(frame);
    for (const Filter& f : filters) {
        if (f.accepts(id) != join) return !join;
    }
    return join;
}

bool parse_filter_list(std::string_view text, FilterSet* set, ParseError* error) {
    FilterSet parsed = *set;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        if (item == "j" || item == "J") {
            parsed.join = true;
        } else if (!item.empty() && item.front() == '#') {
            uint32_t mask = 0;
            if (!parse_hex_number(item.substr(1), &mask))
                return fail(error, "an error mask is #<hex>, for example #FFFFFFFF");
            parsed.error_mask |= mask & error_class::kAll;
        } else {
            Filter filter;
            if (!parse_filter(item, &filter, error)) return false;
            parsed.filters.push_back(filter);
        }
    }
    *set = std::move(parsed);
    return true;
}

namespace {

constexpr const char* kErrorClassNames[] = {
    "tx-timeout",   "lost-arbitration", "controller-problem",      "protocol-violation",
    "transceiver-status", "no-acknowledgement-on-tx", "bus-off", "bus-error",
    "restarted-after-bus-off", "error-counter-tx-rx"};
constexpr const char* kControllerProblems[] = {"rx-overflow",      "tx-overflow",
                                               "rx-error-warning", "tx-error-warning",
                                               "rx-error-passive", "tx-error-passive",
                                               "back-to-error-active"};
constexpr const char* kProtocolTypes[] = {
    "single-bit-error", "frame-format-error", "bit-stuffing-error",
    "tried-to-send-dominant-bit-but-got-recessive",
    "tried-to-send-recessive-bit-but-got-dominant", "bus-overload", "active-error",
    "error-on-transmission"};

std::string bit_names(uint8_t bits, const char* const* names, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        if ((bits & (1u << i)) == 0) continue;
        if (!out.empty()) out += ',';
        out += names[i];
    }
    return out;
}

std::string protocol_location(uint8_t location) {
    switch (location) {
        case 0x00: return "unspecified";
        case 0x03: return "start-of-frame";
        case 0x08: return "crc-sequence";
        case 0x0A: return "data-field";
        case 0x18: return "crc-delimiter";
        case protocol::kLocationAckSlot: return "ack-slot";
        case 0x1A: return "end-of-frame";
        case protocol::kLocationAckDelimiter: return "ack-delimiter";
        case 0x12: return "intermission";
        default: return "unknown";
    }
}

std::string hex_byte(uint8_t byte) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", byte);
    return text;
}

std::string stamp_text(const char* format, uint64_t seconds, uint64_t micros) {
    char text[48];
    const int n = std::snprintf(text, sizeof text, format, seconds, micros);
    return std::string(text, static_cast<std::size_t>(n));
}

}  // namespace

std::string format_error_frame(const ErrorFrame& frame) {
    char id[16];
    std::snprintf(id, sizeof id, "%08" PRIX32 "#", kErrorFlag | (frame.classes & error_class::kAll));
    std::string out = id;
    for (uint8_t byte : frame.data) out += hex_byte(byte);
    return out;
}

std::string format_log_line(uint64_t microseconds, std::string_view channel,
                            const ErrorFrame& frame) {
    std::string line = format_absolute_stamp(microseconds);
    line += channel;
    line += ' ';
    line += format_error_frame(frame);
    return line;
}

std::string describe_error_frame(const ErrorFrame& frame, std::string_view separator) {
    std::string out;
    int classes = 0;
    for (std::size_t i = 0; i + 1 < std::size(kErrorClassNames); ++i) {
        const uint32_t bit = 1u << i;
        if ((frame.classes & bit) == 0) continue;
        if (classes++ > 0) out += separator;
        out += kErrorClassNames[i];
        if (bit == error_class::kLostArbitration) {
            out += "{at bit " + std::to_string(frame.data[0]) + "}";
        } else if (bit == error_class::kController) {
            out += "{" + bit_names(frame.data[1], kControllerProblems,
                                   std::size(kControllerProblems)) + "}";
        } else if (bit == error_class::kProtocol) {
            out += "{{" + bit_names(frame.data[2], kProtocolTypes, std::size(kProtocolTypes)) +
                   "}{" + protocol_location(frame.data[3]) + "}}";
        }
    }
    if (frame.classes & error_class::kCounters) {
        if (classes > 0) out += separator;
        out += "error-counter-tx-rx{{" + std::to_string(frame.data[6]) + "}{" +
               std::to_string(frame.data[7]) + "}}";
    }
    return out;
}

std::string format_columns(const can::Frame& frame) {
    // As can-utils' lib.c: the id, blanks to column 5 (11-bit) or 10 (29-bit), "[len]", then
    // each byte after a blank, or "remote request".
    std::string out = format_frame(frame);
    out.resize(out.find('#'));
    out.append(3, ' ');
    out += '[';
    out += static_cast<char>('0' + can::clamp_length(frame.length));
    out += "] ";
    if (frame.remote) return out + " remote request";
    for (uint8_t i = 0; i < can::clamp_length(frame.length); ++i) out += " " + hex_byte(frame.data[i]);
    return out;
}

std::string format_columns(const ErrorFrame& frame) {
    std::string out = format_error_frame(frame);
    out.resize(out.find('#'));
    out += "   [8] ";
    for (uint8_t byte : frame.data) out += " " + hex_byte(byte);
    return out + "   ERRORFRAME";
}

std::string format_absolute_stamp(uint64_t microseconds) {
    return stamp_text("(%010" PRIu64 ".%06" PRIu64 ") ", microseconds / kMicrosecondsPerSecond,
                      microseconds % kMicrosecondsPerSecond);
}

std::string format_date_stamp(uint64_t microseconds) {
    const auto seconds = static_cast<std::time_t>(microseconds / kMicrosecondsPerSecond);
    std::tm local{};
    localtime_r(&seconds, &local);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
    char text[64];
    const int n = std::snprintf(text, sizeof text, "(%s.%06" PRIu64 ") ", date,
                                microseconds % kMicrosecondsPerSecond);
    return std::string(text, static_cast<std::size_t>(n));
}

std::string format_relative_stamp(uint64_t microseconds) {
    return stamp_text("(%03" PRIu64 ".%06" PRIu64 ") ", microseconds / kMicrosecondsPerSecond,
                      microseconds % kMicrosecondsPerSecond);
}

std::string candump_log_name(int64_t seconds_since_epoch) {
    const auto seconds = static_cast<std::time_t>(seconds_since_epoch);
    std::tm local{};
    localtime_r(&seconds, &local);
    char name[64];
    std::strftime(name, sizeof name, "candump-%Y-%m-%d_%H%M%S.log", &local);
    return name;
}

bool parse_log_line(std::string_view text, LogLine* line, ParseError* error) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    constexpr const char* kForm = "a log line is (<seconds>.<microseconds>) <channel> <frame>";
    if (text.empty() || text.front() != '(') return fail(error, kForm);
    const std::size_t close = text.find(')');
    const std::size_t dot = text.find('.');
    if (close == std::string_view::npos || dot == std::string_view::npos || dot > close)
        return fail(error, kForm);
    uint64_t seconds = 0;
    uint64_t micros = 0;
    const std::string_view whole = text.substr(1, dot - 1);
    std::string_view fraction = text.substr(dot + 1, close - dot - 1);
    if (whole.empty() || fraction.empty() || whole.size() > 12) return fail(error, kForm);
    for (char c : whole) {
        if (c < '0' || c > '9') return fail(error, kForm);
        seconds = seconds * 10 + static_cast<uint64_t>(c - '0');
    }
    // Six digits as candump writes them; fewer or more are read as the fraction they are.
    int digits = 0;
    for (char c : fraction) {
        if (c < '0' || c > '9') return fail(error, kForm);
        if (digits++ < 6) micros = micros * 10 + static_cast<uint64_t>(c - '0');
    }
    for (; digits < 6; ++digits) micros *= 10;
    std::string_view rest = text.substr(close + 1);
    const auto skip_blanks = [&rest] {
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    };
    skip_blanks();
    const std::size_t blank = rest.find_first_of(" \t");
    if (rest.empty() || blank == std::string_view::npos) return fail(error, kForm);
    LogLine parsed;
    parsed.microseconds = seconds * kMicrosecondsPerSecond + micros;
    parsed.channel = std::string(rest.substr(0, blank));
    rest.remove_prefix(blank);
    skip_blanks();
    // Anything after the frame (candump -l of newer can-utils writes a direction flag) is left.
    const std::string_view frame_text = rest.substr(0, rest.find_first_of(" \t"));
    const std::size_t hash = frame_text.find('#');
    uint32_t id = 0;
    if (hash == kExtendedIdDigits && parse_hex_number(frame_text.substr(0, hash), &id) &&
        (id & kErrorFlag) != 0) {
        parsed.error = true;
    } else if (!parse_frame(frame_text, &parsed.frame, error)) {
        return false;
    }
    *line = std::move(parsed);
    return true;
}

std::string format_busload_line(std::string_view name, uint32_t bit_rate, uint64_t frames,
                                uint64_t bits, uint64_t payload_bits, bool bar) {
    constexpr int kBarSteps = 20;  // 5 % each
    constexpr uint64_t kPercent = 100;
    const uint64_t percent = bit_rate == 0 ? 0 : bits * kPercent / bit_rate;
    char text[160];
    int n = std::snprintf(text, sizeof text, " %.*s@%" PRIu32 " %5" PRIu64 " %7" PRIu64
                                             " %6" PRIu64 " %3" PRIu64 "%%",
                          static_cast<int>(name.size()), name.data(), bit_rate, frames, bits,
                          payload_bits, percent);
    std::string out(text, static_cast<std::size_t>(n));
    if (bar) {
        const auto filled = static_cast<int>(std::min<uint64_t>(percent, kPercent) * kBarSteps /
                                             kPercent);
        out += " |" + std::string(static_cast<std::size_t>(filled), 'X') +
               std::string(static_cast<std::size_t>(kBarSteps - filled), '.') + "|";
    }
    return out;
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
