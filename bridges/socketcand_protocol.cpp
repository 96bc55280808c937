#include "bridges/socketcand_protocol.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <vector>

namespace k5320::bridges::socketcand {
namespace {

constexpr int kHexBase = 16;
constexpr std::size_t kMaxIdDigits = 8;
constexpr std::size_t kStandardIdDigits = 3;
constexpr std::size_t kMaxByteDigits = 2;
constexpr std::size_t kBackplaneIdDigits = 16;
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

template <typename Value = uint32_t>
std::optional<Value> hex_of(std::string_view text, std::size_t max_digits) {
    if (text.empty() || text.size() > max_digits) return std::nullopt;
    Value value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, kHexBase);
    if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// Eight digits, or an identifier no 11-bit frame can carry, make an extended frame.
bool extended_id(std::string_view digits, uint32_t id) {
    return digits.size() > kStandardIdDigits || id > can::kStandardIdMask;
}

// "ID SECS.USECS DATA": DATA is the bytes in hex without blanks, absent for a frame without data.
ServerMessage parse_frame(const std::vector<std::string_view>& words) {
    constexpr std::size_t kWithoutData = 3;
    constexpr std::size_t kWithData = 4;
    if (words.size() != kWithoutData && words.size() != kWithData) return Invalid{"bad frame"};
    const std::optional<uint32_t> id = hex_of(words[1], kMaxIdDigits);
    if (!id || *id > can::kExtendedIdMask) return Invalid{"bad identifier"};
    can::Frame frame;
    frame.id = *id;
    frame.extended = extended_id(words[1], *id);
    const std::string_view data = words.size() == kWithData ? words[3] : std::string_view();
    if (data.size() % kMaxByteDigits != 0 || data.size() / kMaxByteDigits > can::kMaxDataLength) {
        return Invalid{"bad frame data"};
    }
    frame.length = static_cast<uint8_t>(data.size() / kMaxByteDigits);
    for (std::size_t i = 0; i < frame.length; ++i) {
        const std::optional<uint32_t> byte =
            hex_of(data.substr(i * kMaxByteDigits, kMaxByteDigits), kMaxByteDigits);
        if (!byte) return Invalid{"bad frame data"};
        frame.data[i] = static_cast<uint8_t>(*byte);
    }
    return Received{frame};
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
    frame.extended = extended_id(words[1], *id);
    frame.length = static_cast<uint8_t>(*length);
    for (std::size_t i = 0; i < *length; ++i) {
        const std::optional<uint32_t> byte = hex_of(words[3 + i], kMaxByteDigits);
        if (!byte) return Invalid{"bad data byte"};
        frame.data[i] = static_cast<uint8_t>(*byte);
    }
    return Send{frame};
}

// "backplane ID": all sixteen digits, so that no other text reads as the same identity.
std::optional<BackplaneId> backplane_id_of(const std::vector<std::string_view>& words) {
    if (words.size() != 2 || words[1].size() != kBackplaneIdDigits) return std::nullopt;
    return hex_of<BackplaneId>(words[1], kBackplaneIdDigits);
}

// The words between '<' and '>'; none when text is not a message.
std::vector<std::string_view> message_words(std::string_view text) {
    if (text.size() < 2 || text.front() != kMessageOpen || text.back() != kMessageClose) return {};
    return words_of(text.substr(1, text.size() - 2));
}

}  // namespace

ServerMessage parse_server_message(std::string_view text) {
    const std::vector<std::string_view> words = message_words(text);
    if (words.empty()) return Invalid{"not a message"};
    if (words[0] == "hi" && words.size() == 1) return Hello{};
    if (words[0] == "ok" && words.size() == 1) return Ok{};
    if (words[0] == "error") {
        std::string reason;
        for (std::size_t i = 1; i < words.size(); ++i) {
            if (!reason.empty()) reason += ' ';
            reason += words[i];
        }
        return Error{reason};
    }
    if (words[0] == "frame") return parse_frame(words);
    if (words[0] == "backplane") {
        if (const std::optional<BackplaneId> id = backplane_id_of(words)) return Backplane{*id};
        return Invalid{"bad backplane"};
    }
    return Invalid{"unknown message"};
}

std::string endpoint_text(const RemoteEndpoint& endpoint) {
    return endpoint.host + ":" + std::to_string(endpoint.port) + "/" + endpoint.channel;
}

std::string open_command(std::string_view channel) {
    return "< open " + std::string(channel) + " >";
}

std::string send_command(const can::Frame& frame) {
    char head[32];
    const uint8_t length = can::clamp_length(frame.length);
    std::snprintf(head, sizeof head, frame.extended ? "< send %08X %u" : "< send %03X %u", frame.id,
                  static_cast<unsigned>(length));
    std::string command = head;
    for (std::size_t i = 0; i < length; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, " %02X", frame.data[i]);
        command += byte;
    }
    command += " >";
    return command;
}

Command parse_command(std::string_view text) {
    if (text.size() < 2 || text.front() != kMessageOpen || text.back() != kMessageClose) {
        return Invalid{"not a command"};
    }
    const std::vector<std::string_view> words = message_words(text);
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
    if (words[0] == "backplane") {
        if (words.size() == 1) return BackplaneLink{};
        if (const std::optional<BackplaneId> id = backplane_id_of(words)) return BackplaneLink{id};
        return Invalid{"backplane takes one identity of sixteen hex digits"};
    }
    return Invalid{"unknown command"};
}

std::string backplane_id_text(BackplaneId id) {
    char text[kBackplaneIdDigits + 1];
    std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(id));
    return text;
}

std::string backplane_message(BackplaneId id) {
    return "< backplane " + backplane_id_text(id) + " >";
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
    std::optional<std::variant<std::string, Invalid>> text = next_text();
    if (!text) return std::nullopt;
    if (auto* invalid = std::get_if<Invalid>(&*text)) return std::move(*invalid);
    return parse_command(std::get<std::string>(*text));
}

std::optional<std::variant<std::string, Invalid>> CommandSplitter::next_text() {
    const std::size_t open = buffer_.find(kMessageOpen);
    // Anything before a command is garbage; it is answered once per run of it.
    const std::size_t skip = open == std::string::npos ? buffer_.size() : open;
    const std::string_view skipped = std::string_view(buffer_).substr(0, skip);
    const bool garbage =
        std::any_of(skipped.begin(), skipped.end(), [](char c) { return !is_blank(c); });
    buffer_.erase(0, skip);
    if (garbage) return Invalid{"text outside a command"};
    if (buffer_.empty()) return std::nullopt;
    const std::size_t close = buffer_.find(kMessageClose);
    const std::size_t nested = buffer_.find(kMessageOpen, 1);
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
    std::string text = buffer_.substr(0, close + 1);
    buffer_.erase(0, close + 1);
    if (text.size() > kMaxCommandLength) return Invalid{"command too long"};
    return text;
}

}  // namespace k5320::bridges::socketcand
