// Turns the texts of the "Send CAN Message" boxes into the message handed to the library.
// Malformed input is never refused: a number ends at the first character that is not a digit of
// its base, missing data bytes are 0, and a length above 8 is cut to 8.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace k5320::utility {

inline constexpr uint8_t kMaxDataLength = 8;
// How much of the Data box is read; its text limit keeps it shorter.
inline constexpr std::size_t kDataTextRead = 45;

struct OutgoingMessage {
    uint8_t mode = 0;  // 0: 11-bit identifier, 1: 29-bit identifier
    uint32_t id = 0;
    uint8_t rtr = 0;
    uint8_t length = 0;
    std::array<uint8_t, kMaxDataLength> data{};  // bytes from index length on are 0
};

// The hexadecimal number at the start of text; no digit gives 0. Digits beyond the eighth push
// the high ones out, so the low byte is always the last two digits.
uint32_t hex_prefix(std::string_view text);

// First character as a decimal digit (anything else, or nothing, gives 0), at most 8.
uint8_t data_length(std::string_view text);

// Up to eight blank-separated hexadecimal tokens, each giving its low byte; an empty token (two
// neighbouring blanks, a leading blank) gives 0. Bytes at or beyond length are 0.
std::array<uint8_t, kMaxDataLength> data_bytes(std::string_view text, uint8_t length);

OutgoingMessage outgoing_message(bool extended, std::string_view id_text, bool rtr,
                                 std::string_view length_text, std::string_view data_text);

}  // namespace k5320::utility
