// Rows of the message list, lines of the receive log and the conversion of data cells between
// the Msg Format choices.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "utility/main/message_format.h"

namespace k5320::utility {
namespace {

ReceivedMessage dataFrame(uint32_t id, std::vector<uint8_t> bytes, uint64_t time = 0) {
    ReceivedMessage message;
    message.id = id;
    message.length = static_cast<uint8_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), message.data.begin());
    message.time_high = static_cast<uint32_t>(time >> 32);
    message.time_low = static_cast<uint32_t>(time);
    return message;
}

std::vector<std::string> cells(const MessageRow& row) {
    std::vector<std::string> texts;
    for (const CellText& cell : row) texts.emplace_back(cell.view());
    return texts;
}

using Cells = std::vector<std::string>;

TEST(MessageFormat, ListRowsInEachFormat) {
    ReceivedMessage message = dataFrame(0x3FF, {0x0A, 0xFF, 0x41}, 12345);
    EXPECT_EQ(
        cells(list_row(message, 7, DisplayMode::kHex)),
        (Cells{"007", "2.0A", "3FF", "N", "3", "0A", "FF", "41", "", "", "", "", "", "12345"}));
    EXPECT_EQ(
        cells(list_row(message, 42, DisplayMode::kDec)),
        (Cells{"042", "2.0A", "3FF", "N", "3", "010", "255", "065", "", "", "", "", "", "12345"}));
    // As characters, a byte 0 leaves its cell empty; bytes past the length are not shown.
    message.data[1] = 0;
    message.data[5] = 'x';
    EXPECT_EQ(cells(list_row(message, 999, DisplayMode::kAscii)),
              (Cells{"999", "2.0A", "3FF", "N", "3", "\n", "", "A", "", "", "", "", "", "12345"}));

    ReceivedMessage extended = dataFrame(0x1ABCDEF, {}, 0);
    extended.mode = 1;
    EXPECT_EQ(cells(list_row(extended, 0, DisplayMode::kHex)),
              (Cells{"000", "2.0B", "1ABCDEF", "N", "0", "", "", "", "", "", "", "", "", "0"}));
}

TEST(MessageFormat, RemoteFrameShowsItsLengthWithoutDataAndLogsEightZeros) {
    ReceivedMessage remote = dataFrame(0x123, {}, 99);
    remote.rtr = 1;
    remote.length = 4;
    remote.data = {1, 2, 3, 4, 5, 6, 7, 8};  // whatever the buffer held before
    EXPECT_EQ(cells(list_row(remote, 1, DisplayMode::kHex)),
              (Cells{"001", "2.0A", "123", "Y", "4", "", "", "", "", "", "", "", "", "99"}));
    for (const DisplayMode format : {DisplayMode::kHex, DisplayMode::kDec, DisplayMode::kAscii})
        EXPECT_EQ(log_line(remote, format).view(), "2.0A,123,1,4,0,0,0,0,0,0,0,0,99\r\n");
}

TEST(MessageFormat, LogLinesTakeAllEightBytesInTheFormatOfTheMoment) {
    const ReceivedMessage message = dataFrame(0x3FF, {0x0A, 0xFF}, 12345);
    EXPECT_EQ(log_line(message, DisplayMode::kHex).view(),
              "2.0A,3ff,0,2,a,ff,0,0,0,0,0,0,12345\r\n");
    EXPECT_EQ(log_line(message, DisplayMode::kDec).view(),
              "2.0A,3ff,0,2,10,255,0,0,0,0,0,0,12345\r\n");

    ReceivedMessage text = dataFrame(0x1FFFFFFF, {'O', 'K', 0, '!'}, 7);
    text.mode = 1;
    text.data[6] = 0xE9;  // beyond the length, still logged
    EXPECT_EQ(log_line(text, DisplayMode::kAscii).view(), "2.0B,1fffffff,0,4,O,K,,!,,,\xE9,,7\r\n");
}

TEST(MessageFormat, CharacterLogEscapesCommaCrAndLfSoTheLineKeepsItsFields) {
    const ReceivedMessage message = dataFrame(0x100, {',', '\r', '\n', '\\', 'x'}, 9);
    const std::string line(log_line(message, DisplayMode::kAscii).view());
    EXPECT_EQ(line, "2.0A,100,0,5,\\x2c,\\x0d,\\x0a,\\,x,,,,9\r\n");
    EXPECT_EQ(std::count(line.begin(), line.end(), ','), 12);
    EXPECT_EQ(line.find_first_of("\r\n"), line.size() - 2);
    // The list shows the bytes themselves; only the file's line structure needs the escape.
    EXPECT_EQ(list_row(message, 0, DisplayMode::kAscii)[kFirstDataColumn].view(), ",");
}

TEST(MessageFormat, TimeStampIsUnsignedWholeSixtyFourBits) {
    ReceivedMessage message = dataFrame(0x100, {}, 0);
    message.time_high = 1;
    message.time_low = 5;
    EXPECT_EQ(list_row(message, 0, DisplayMode::kHex)[kTimeColumn].view(), "4294967301");
    EXPECT_EQ(log_line(message, DisplayMode::kHex).view(),
              "2.0A,100,0,0,0,0,0,0,0,0,0,0,4294967301\r\n");

    message.time_high = 0xFFFFFFFF;
    message.time_low = 0xFFFFFFFF;
    EXPECT_EQ(list_row(message, 0, DisplayMode::kHex)[kTimeColumn].view(), "18446744073709551615");
    EXPECT_TRUE(log_line(message, DisplayMode::kHex).view().ends_with(",18446744073709551615\r\n"));
}

TEST(MessageFormat, LongestLineFitsItsBuffer) {
    ReceivedMessage message = dataFrame(0x1FFFFFFF, {255, 255, 255, 255, 255, 255, 255, 255});
    message.mode = 1;
    message.rtr = 0;
    message.time_high = message.time_low = 0xFFFFFFFF;
    const std::string line(log_line(message, DisplayMode::kDec).view());
    EXPECT_EQ(line, "2.0B,1fffffff,0,8,255,255,255,255,255,255,255,255,18446744073709551615\r\n");
    EXPECT_LT(line.size(), LogLine::kCapacity);
}

std::string converted(std::string_view text, DisplayMode from, DisplayMode to) {
    return std::string(convert_cell(text, from, to).view());
}

TEST(MessageFormat, ConversionsReadTheOldFormatAndWriteTheNewWithoutPadding) {
    using enum DisplayMode;
    EXPECT_EQ(converted("0A", kHex, kDec), "10");
    EXPECT_EQ(converted("10", kDec, kHex), "A");
    EXPECT_EQ(converted("065", kDec, kAscii), "A");
    EXPECT_EQ(converted("A", kAscii, kHex), "41");
    EXPECT_EQ(converted("\xFF", kAscii, kDec), "255");  // the character's code is unsigned
    EXPECT_EQ(converted("008", kDec, kHex), "8");       // leading zeros are decimal, not octal
    EXPECT_EQ(converted("1FF", kHex, kDec), "255");     // cut to the low byte
    // A byte 0 written as a character is an empty cell, and empty cells stay empty.
    EXPECT_EQ(converted("00", kHex, kAscii), "");
    EXPECT_EQ(converted("", kAscii, kHex), "");
}

}  // namespace
}  // namespace k5320::utility
