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

inline constexpr const char* kDefaultChannel = "can0";

// Every message of either side runs from the one to the other.
inline constexpr char kMessageOpen = '<';
inline constexpr char kMessageClose = '>';

// A server and the channel (CAN interface) to open there.
struct RemoteEndpoint {
    std::string host;  // a name or an IPv4 address
    uint16_t port = kDefaultPort;
    std::string channel = kDefaultChannel;

    bool operator==(const RemoteEndpoint&) const = default;
};
// "HOST:PORT/CHANNEL".
std::string endpoint_text(const RemoteEndpoint& endpoint);

// A command longer than this without its closing '>' is not one: the longest valid command,
// "< send 1FFFFFFF 8 ff ff ff ff ff ff ff ff >", has 43 characters.
inline constexpr std::size_t kMaxCommandLength = 128;

inline constexpr std::string_view kHello = "< hi >";
inline constexpr std::string_view kOk = "< ok >";
inline constexpr std::string_view kRawModeCommand = "< rawmode >";

struct Open {
    std::string bus;
};
struct RawMode {};
struct Echo {};
struct Send {
    can::Frame frame;
};
// Not in the protocol of socketcand: a link of another backplane says so after its raw-mode
// reply, so that the server sends it only frames first sent on this backplane (see can::Origin).
// A socketcand daemon answers it with an error, which the link ignores.
inline constexpr std::string_view kBackplaneLinkCommand = "< backplane >";
// Which backplane: sixteen hex digits. The link says "< backplane ID >" after the bare command
// (which servers of the previous version take), and the server answers with its own in the same
// words, so that each side knows whom it reaches.
using BackplaneId = uint64_t;
// "%016X".
std::string backplane_id_text(BackplaneId id);
// "< backplane ID >".
std::string backplane_message(BackplaneId id);
struct BackplaneLink {
    std::optional<BackplaneId> id;  // none: the bare command, of a link that does not say
};
struct Invalid {
    std::string reason;
};
using Command = std::variant<Open, RawMode, Echo, Send, BackplaneLink, Invalid>;

// What a server says to a client.
struct Hello {};
struct Ok {};
struct Error {
    std::string reason;
};
struct Received {
    can::Frame frame;
};
// The server's backplane, in answer to the link's.
struct Backplane {
    BackplaneId id = 0;
};
using ServerMessage = std::variant<Hello, Ok, Error, Received, Backplane, Invalid>;

// One command, from '<' to '>' inclusive.
Command parse_command(std::string_view text);
// One message of a server, from '<' to '>' inclusive. Frames of 8 identifier digits, or with an
// identifier no 11-bit frame can carry, are extended.
ServerMessage parse_server_message(std::string_view text);

// "< open CHANNEL >".
std::string open_command(std::string_view channel);
// "< send ID DLC B0 .. >": ID %03X or %08X, the bytes in hex. A remote frame cannot be said in
// this protocol: the caller keeps it back.
std::string send_command(const can::Frame& frame);

// "< error REASON >".
std::string error_reply(std::string_view reason);

// "< frame ID SECS.USECS DATA >": ID %03X or %08X, DATA upper-case hex without blanks. A
// remote frame has no data in this protocol and goes out as a frame without data.
std::string frame_message(const can::Frame& frame, uint64_t wall_time_us);

// Splits a byte stream of either side into messages.
class CommandSplitter {
  public:
    void append(std::string_view bytes) { buffer_.append(bytes); }
    // The next complete message from '<' to '>', or bytes that cannot be one (text outside
    // '<' .. '>', or a message grown beyond kMaxCommandLength), which come back as an Invalid.
    // None when more bytes are needed.
    std::optional<std::variant<std::string, Invalid>> next_text();
    // next_text() read as a client's command.
    std::optional<Command> next();
    // Whether a command has begun and not yet ended; meaningful once next() has given none.
    bool partial() const { return !buffer_.empty(); }

  private:
    std::string buffer_;
};

}  // namespace k5320::bridges::socketcand
