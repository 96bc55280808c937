// The text forms of CAN frames that the Linux CAN tools read and write: the cansend frame
// syntax, candump log lines, columns, time stamps and filters, SocketCAN error frames,
// canbusload lines, and bit rates as people type them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "can/frame.h"

namespace k5320::cantext {

// A parse that failed says why, in words fit for a command line.
struct ParseError {
    std::string message;
};

// `<id>#<data>`: 3 hex digits for a standard id (up to 7FF), 8 for an extended one; data 0..8
// bytes as hex pairs with optional '.' between bytes; `<id>#R` or `<id>#R<len>` for a remote
// frame. false (error tells why) for anything else, CAN FD frames (`##`) included.
bool parse_frame(std::string_view text, can::Frame* frame, ParseError* error);

// The same syntax back: upper-case hex, the id padded to 3 or 8 digits, `R` plus the length
// for a remote frame with one.
std::string format_frame(const can::Frame& frame);

// A candump log line: `(<seconds>.<microseconds>) <channel> <frame>`.
std::string format_log_line(uint64_t microseconds, std::string_view channel,
                            const can::Frame& frame);

// SocketCAN's identifier flags, as candump's filters and error frames see an identifier.
inline constexpr uint32_t kExtendedFlag = 0x80000000;  // CAN_EFF_FLAG
inline constexpr uint32_t kRemoteFlag = 0x40000000;    // CAN_RTR_FLAG
inline constexpr uint32_t kErrorFlag = 0x20000000;     // CAN_ERR_FLAG
// The identifier of a frame as SocketCAN gives it: the id with the extended and remote flags.
uint32_t socketcan_id(const can::Frame& frame);

// One of candump's filters: `<id>:<mask>` (accept when received & mask == id & mask) or
// `<id>~<mask>` (accept the rest), in hex; an id of 8 digits sets the extended flag. The
// received identifier carries SocketCAN's flags, so a mask of 7FF takes 11-bit and 29-bit frames
// alike and C00007FF only 11-bit data frames, as in candump.
struct Filter {
    uint32_t id = 0;
    uint32_t mask = 0;
    bool inverted = false;
    // received_id: the SocketCAN identifier (socketcan_id).
    bool accepts(uint32_t received_id) const {
        return ((received_id & mask) == (id & mask)) != inverted;
    }
    bool accepts(const can::Frame& frame) const { return accepts(socketcan_id(frame)); }
};
bool parse_filter(std::string_view text, Filter* filter, ParseError* error);

// The filters candump takes after an interface: `can0,123:7FF,200~700,#FFFFFFFF,j`. A frame
// passes when one filter accepts it (all of them after `j`), or when there is none; `#MASK`
// selects the error classes shown (see ErrorFrame).
struct FilterSet {
    std::vector<Filter> filters;
    bool join = false;
    uint32_t error_mask = 0;
    bool accepts(const can::Frame& frame) const;
};
// text: what follows the interface's comma ("123:7FF,200~700,j"); adds to set.
bool parse_filter_list(std::string_view text, FilterSet* set, ParseError* error);

// An error frame as SocketCAN reports it (linux/can/error.h): the error classes in the
// identifier (beside kErrorFlag) and 8 data bytes that detail them.
struct ErrorFrame {
    uint32_t classes = 0;
    std::array<uint8_t, can::kMaxDataLength> data{};
    bool operator==(const ErrorFrame&) const = default;
};
namespace error_class {
inline constexpr uint32_t kTxTimeout = 0x001;
inline constexpr uint32_t kLostArbitration = 0x002;  // data[0]: the bit
inline constexpr uint32_t kController = 0x004;       // data[1]: controller::*
inline constexpr uint32_t kProtocol = 0x008;         // data[2]: protocol::*, data[3]: location
inline constexpr uint32_t kTransceiver = 0x010;
inline constexpr uint32_t kNoAck = 0x020;
inline constexpr uint32_t kBusOff = 0x040;
inline constexpr uint32_t kBusError = 0x080;
inline constexpr uint32_t kRestarted = 0x100;
inline constexpr uint32_t kCounters = 0x200;  // data[6]: transmit, data[7]: receive errors
inline constexpr uint32_t kAll = 0x1FFFFFFF;
}  // namespace error_class
namespace controller {
inline constexpr uint8_t kRxOverflow = 0x01;
inline constexpr uint8_t kTxOverflow = 0x02;
inline constexpr uint8_t kRxWarning = 0x04;
inline constexpr uint8_t kTxWarning = 0x08;
inline constexpr uint8_t kRxPassive = 0x10;
inline constexpr uint8_t kTxPassive = 0x20;
inline constexpr uint8_t kActive = 0x40;
}  // namespace controller
namespace protocol {
inline constexpr uint8_t kBit = 0x01;
inline constexpr uint8_t kForm = 0x02;
inline constexpr uint8_t kStuff = 0x04;
inline constexpr uint8_t kLocationAckSlot = 0x19;
inline constexpr uint8_t kLocationAckDelimiter = 0x1B;
}  // namespace protocol
// `20000004#0004000000000000`, as candump logs it.
std::string format_error_frame(const ErrorFrame& frame);
std::string format_log_line(uint64_t microseconds, std::string_view channel,
                            const ErrorFrame& frame);
// What candump -e prints below an error frame: `controller-problem{rx-error-warning}`, the
// classes joined by separator.
std::string describe_error_frame(const ErrorFrame& frame, std::string_view separator = "\n\t");

// candump's columns for a frame: `123   [4]  DE AD BE EF`, `12345678   [0]  remote request`,
// `20000004   [8]  00 04 00 00 00 00 00 00   ERRORFRAME`.
std::string format_columns(const can::Frame& frame);
std::string format_columns(const ErrorFrame& frame);

// candump's time stamps (-t): absolute `(1436509052.249713) `, with the local date
// `(2015-07-10 08:17:32.249713) `, or relative (a delta, or since the first frame)
// `(000.012000) `; each ends with a blank.
std::string format_absolute_stamp(uint64_t microseconds);
std::string format_date_stamp(uint64_t microseconds);
std::string format_relative_stamp(uint64_t microseconds);

// The name candump -l gives its log, from the local time: `candump-2024-03-09_070503.log`.
std::string candump_log_name(int64_t seconds_since_epoch);

// A candump log line read back: stamp, channel, and a data frame or an error frame.
struct LogLine {
    uint64_t microseconds = 0;
    std::string channel;
    can::Frame frame;     // a data or remote frame
    bool error = false;   // an error frame instead (frame is not set)
};
bool parse_log_line(std::string_view text, LogLine* line, ParseError* error);

// canbusload's line for a bus, ` can0@500000   796   75140  37728  15%`, with its 5 % bar
// ` |XXX.................|` when bar is set. Load: bits in the second / bit rate.
std::string format_busload_line(std::string_view name, uint32_t bit_rate, uint64_t frames,
                                uint64_t bits, uint64_t payload_bits, bool bar);

// A bit rate in bit/s: digits with an optional k or M suffix ("125000", "125k", "1M").
bool parse_bit_rate(std::string_view text, uint32_t* bits_per_second, ParseError* error);

// Hex bytes as one string ("DEADBEEF") or separated ("DE AD BE EF", "de.ad").
bool parse_hex_bytes(std::string_view text, std::string* bytes, ParseError* error);

}  // namespace k5320::cantext
