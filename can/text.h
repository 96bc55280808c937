// The text forms of CAN frames that the Linux CAN tools read and write: the cansend frame
// syntax, candump log lines, candump filters, and bit rates as people type them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// `<id>:<mask>` (accept when received & mask == id & mask) or `<id>~<mask>` (accept the rest),
// both in hex.
struct Filter {
    uint32_t id = 0;
    uint32_t mask = 0;
    bool inverted = false;
    bool accepts(uint32_t received_id) const {
        return ((received_id & mask) == (id & mask)) != inverted;
    }
};
bool parse_filter(std::string_view text, Filter* filter, ParseError* error);

// A bit rate in bit/s: digits with an optional k or M suffix ("125000", "125k", "1M").
bool parse_bit_rate(std::string_view text, uint32_t* bits_per_second, ParseError* error);

// Hex bytes as one string ("DEADBEEF") or separated ("DE AD BE EF", "de.ad").
bool parse_hex_bytes(std::string_view text, std::string* bytes, ParseError* error);

}  // namespace k5320::cantext
