// The text of the socketcand protocol in raw mode: the server's replies and frames, and the
// client's commands. No sockets here: the server feeds bytes in and writes the strings out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "can/frame.h"

namespace k5320::bridges::socketcand {

inline constexpr uint16_t kDefaultPort = 29536;
inline constexpr const char* kDefaultAddress = "127.0.0.1";

// A command longer than this without its closing '>' is not one: the longest valid command,
// "< send 1FFFFFFF 8 ff ff ff ff ff ff ff ff >", has 43 characters.
inline constexpr std::size_t kMaxCommandLength = 128;

inline constexpr std::string_view kHello = "< hi >";
inline constexpr std::string_view kOk = "< ok >";

struct Open {
    std::string bus;
};
struct RawMode {};
struct Echo {};
struct Send {
    can::Frame frame;
};
struct Invalid {
    std::string reason;
};
using Command = std::variant<Open, RawMode, Echo, Send, Invalid>;

// One command, from '<' to '>' inclusive.
Command parse_command(std::string_view text);

// "< error REASON >".
std::string error_reply(std::string_view reason);

// "< frame ID SECS.USECS DATA >": ID %03X or %08X, DATA upper-case hex without blanks. A
// remote frame has no data in this protocol and goes out as a frame without data.
std::string frame_message(const can::Frame& frame, uint64_t wall_time_us);

// Splits a client's byte stream into commands.
class CommandSplitter {
  public:
    void append(std::string_view bytes) { buffer_.append(bytes); }
    // The next complete command, or bytes that cannot be one (text outside '<' .. '>', or a
    // command grown beyond kMaxCommandLength), which come back as an Invalid. None when more
    // bytes are needed.
    std::optional<Command> next();
    // Whether a command has begun and not yet ended; meaningful once next() has given none.
    bool partial() const { return !buffer_.empty(); }

  private:
    std::string buffer_;
};

}  // namespace k5320::bridges::socketcand
