// How the texts of the send boxes become the message handed to the library.
#include <gtest/gtest.h>

#include "utility/main/send_parser.h"

namespace k5320::utility {
namespace {

using Bytes = std::array<uint8_t, 8>;

TEST(SendParser, DataTokensBecomeBytesUpToTheLength) {
    EXPECT_EQ(data_bytes("FF FF", 8), (Bytes{0xFF, 0xFF, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(data_bytes("1 2  3", 4), (Bytes{1, 2, 0, 3, 0, 0, 0, 0}));
    EXPECT_EQ(data_bytes(" 5", 2), (Bytes{0, 5, 0, 0, 0, 0, 0, 0}));  // leading blank: a 0 first
    EXPECT_EQ(data_bytes("123 G1 a5", 3), (Bytes{0x23, 0, 0xA5, 0, 0, 0, 0, 0}));
    EXPECT_EQ(data_bytes("", 8), (Bytes{}));
    // Bytes beyond the length are not sent.
    EXPECT_EQ(data_bytes("11 22 33 44", 2), (Bytes{0x11, 0x22, 0, 0, 0, 0, 0, 0}));
    // Only the first eight tokens count.
    EXPECT_EQ(data_bytes("1 2 3 4 5 6 7 8 9 A", 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(SendParser, NumbersEndAtTheFirstCharacterThatIsNoDigit) {
    EXPECT_EQ(hex_prefix("3FF"), 0x3FFu);
    EXPECT_EQ(hex_prefix("1fffffff"), 0x1FFFFFFFu);
    EXPECT_EQ(hex_prefix("FFFFFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(hex_prefix("12G4"), 0x12u);
    EXPECT_EQ(hex_prefix("G1"), 0u);
    EXPECT_EQ(hex_prefix(""), 0u);
    EXPECT_EQ(hex_prefix(" 12"), 0u);                 // a blank is no digit either
    EXPECT_EQ(hex_prefix("0x1F"), 0u);                // nor is a prefix
    EXPECT_EQ(hex_prefix("123456789"), 0x23456789u);  // the low byte stays the last two digits
}

TEST(SendParser, LengthIsTheFirstDigitAtMostEight) {
    EXPECT_EQ(data_length(""), 0);
    EXPECT_EQ(data_length("0"), 0);
    EXPECT_EQ(data_length("5"), 5);
    EXPECT_EQ(data_length("8"), 8);
    EXPECT_EQ(data_length("9"), 8);
    EXPECT_EQ(data_length("x"), 0);
}

TEST(SendParser, WholeMessageFromTheBoxes) {
    const OutgoingMessage standard = outgoing_message(false, "FFF", false, "", "FF FF");
    EXPECT_EQ(standard.mode, 0);
    EXPECT_EQ(standard.id, 0xFFFu);  // passed unchanged, the library picks its bits
    EXPECT_EQ(standard.rtr, 0);
    EXPECT_EQ(standard.length, 0);
    EXPECT_EQ(standard.data, Bytes{});

    const OutgoingMessage remote =
        outgoing_message(true, "1ABCDEF", true, "9", "1 2 3 4 5 6 7 8 9");
    EXPECT_EQ(remote.mode, 1);
    EXPECT_EQ(remote.id, 0x1ABCDEFu);
    EXPECT_EQ(remote.rtr, 1);
    EXPECT_EQ(remote.length, 8);
    EXPECT_EQ(remote.data, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

}  // namespace
}  // namespace k5320::utility
