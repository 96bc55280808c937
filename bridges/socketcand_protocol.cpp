#include "bridges/socketcand_protocol.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <vector>

namespace k5320::bridges::socketcand {
namespace {

constexpr char kOpen = '<';
constexpr char kClose = '>';
constexpr int kHexBase = 16;
constexpr std::size_t kMaxIdDigits = 8;
constexpr std::size_t kStandardIdDigits = 3;
constexpr std::size_t kMaxByteDigits = 2;
constexpr uint64_t kMicrosecondsPerSecond = 1'000'000;

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::vector<std::string_view> words_of(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && is_blank(text[pos])) ++pos;
        const std::size_t start = pos;
        while (pos < text.size() && !is_blank(text[pos])) ++pos;
        if (pos > start) words.push_back(text.substr(start, pos - start));
    }
    return words;
}

std::optional<uint32_t> hex_of(std::string_view text, std::size_t max_digits) {
    if (text.empty() || text.size() > max_digits) return std::nullopt;
    uint32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, kHexBase);
    if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

Command parse_send(const std::vector<std::string_view>& words) {
    // send ID DLC B0 .. B(DLC-1)
    if (words.size() < 3) return Invalid{"send needs an identifier and a length"};
    const std::optional<uint32_t> id = hex_of(words[1], kMaxIdDigits);
    if (!id || *id > can::kExtendedIdMask) return Invalid{"bad identifier"};
    const std::optional<uint32_t> length = hex_of(words[2], kMaxByteDigits);
    if (!length || *length > can::kMaxDataLength) return Invalid{"bad length"};
    if (words.size() != 3 + *length) return Invalid{"data does not match the length"};
    can::Frame frame;
    frame.id = *id;
    // Eight digits, or an identifier no 11-bit frame can carry, make an extended frame.
    frame.extended = words[1].size() > kStandardIdDigits || *id > can::kStandardIdMask;
    frame.length = static_cast<uint8_t>(*length);
    for (std::size_t i = 0; i < *length; ++i) {
        const std::optional<uint32_t> byte = hex_of(words[3 + i], kMaxByteDigits);
        if (!byte) return Invalid{"bad data byte"};
        frame.data[i] = static_cast<uint8_t>(*byte);
    }
    return Send{frame};
}

}  // namespace

Command parse_command(std::string_view text) {
    if (text.size() < 2 || text.front() != kOpen || text.back() != kClose) {
        return Invalid{"not a command"};
    }
    const std::vector<std::string_view> words = words_of(text.substr(1, text.size() - 2));
    if (words.empty()) return Invalid{"empty command"};
    if (words[0] == "open") {
        if (words.size() != 2) return Invalid{"open needs one bus name"};
        return Open{std::string(words[1])};
    }
    if (words[0] == "rawmode") {
        if (words.size() != 1) return Invalid{"rawmode takes no arguments"};
        return RawMode{};
    }
    if (words[0] == "echo") {
        if (words.size() != 1) return Invalid{"echo takes no arguments"};
        return Echo{};
    }
    if (words[0] == "send") return parse_send(words);
    return Invalid{"unknown command"};
}

std::string error_reply(std::string_view reason) {
    return "< error " + std::string(reason) + " >";
}

std::string frame_message(const can::Frame& frame, uint64_t wall_time_us) {
    char head[64];
    std::snprintf(head, sizeof head,
                  frame.extended ? "< frame %08X %llu.%06llu " : "< frame %03X %llu.%06llu ",
                  frame.id, static_cast<unsigned long long>(wall_time_us / kMicrosecondsPerSecond),
                  static_cast<unsigned long long>(wall_time_us % kMicrosecondsPerSecond));
    std::string message = head;
    if (!frame.remote) {
        static constexpr char kDigits[] = "0123456789ABCDEF";
        const uint8_t length = can::clamp_length(frame.length);
        for (std::size_t i = 0; i < length; ++i) {
            message += kDigits[frame.data[i] >> 4];
            message += kDigits[frame.data[i] & 0x0F];
        }
    }
    message += " >";
    return message;
}

std::optional<Command> CommandSplitter::next() {
    const std::size_t open = buffer_.find(kOpen);
    // Anything before a command is garbage; it is answered once per run of it.
    const std::size_t skip = open == std::string::npos ? buffer_.size() : open;
    const std::string_view skipped = std::string_view(buffer_).substr(0, skip);
    const bool garbage =
        std::any_of(skipped.begin(), skipped.end(), [](char c) { return !is_blank(c); });
    buffer_.erase(0, skip);
    if (garbage) return Invalid{"text outside a command"};
    if (buffer_.empty()) return std::nullopt;
    const std::size_t close = buffer_.find(kClose);
    const std::size_t nested = buffer_.find(kOpen, 1);
    if (nested != std::string::npos && (close == std::string::npos || nested < close)) {
        buffer_.erase(0, nested);
        return Invalid{"unterminated command"};
    }
    if (close == std::string::npos) {
        if (buffer_.size() > kMaxCommandLength) {
            buffer_.clear();
            return Invalid{"command too long"};
        }
        return std::nullopt;
    }
    const std::string text = buffer_.substr(0, close + 1);
    buffer_.erase(0, close + 1);
    if (text.size() > kMaxCommandLength) return Invalid{"command too long"};
    return parse_command(text);
}

}  // namespace k5320::bridges::socketcand
