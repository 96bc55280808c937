// Rows of the message list, lines of the receive log and the conversion of data cells between
// the Msg Format choices.
#include <gtest/gtest.h>

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
    message.timeHigh = static_cast<uint32_t>(time >> 32);
    message.timeLow = static_cast<uint32_t>(time);
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
        cells(listRow(message, 7, DisplayMode::Hex)),
        (Cells{"007", "2.0A", "3FF", "N", "3", "0A", "FF", "41", "", "", "", "", "", "12345"}));
    EXPECT_EQ(
        cells(listRow(message, 42, DisplayMode::Dec)),
        (Cells{"042", "2.0A", "3FF", "N", "3", "010", "255", "065", "", "", "", "", "", "12345"}));
    // As characters, a byte 0 leaves its cell empty; bytes past the length are not shown.
    message.data[1] = 0;
    message.data[5] = 'x';
    EXPECT_EQ(cells(listRow(message, 999, DisplayMode::Ascii)),
              (Cells{"999", "2.0A", "3FF", "N", "3", "\n", "", "A", "", "", "", "", "", "12345"}));

    ReceivedMessage extended = dataFrame(0x1ABCDEF, {}, 0);
    extended.mode = 1;
    EXPECT_EQ(cells(listRow(extended, 0, DisplayMode::Hex)),
              (Cells{"000", "2.0B", "1ABCDEF", "N", "0", "", "", "", "", "", "", "", "", "0"}));
}

TEST(MessageFormat, RemoteFrameShowsItsLengthWithoutDataAndLogsEightZeros) {
    ReceivedMessage remote = dataFrame(0x123, {}, 99);
    remote.rtr = 1;
    remote.length = 4;
    remote.data = {1, 2, 3, 4, 5, 6, 7, 8};  // whatever the buffer held before
    EXPECT_EQ(cells(listRow(remote, 1, DisplayMode::Hex)),
              (Cells{"001", "2.0A", "123", "Y", "4", "", "", "", "", "", "", "", "", "99"}));
    for (const DisplayMode format : {DisplayMode::Hex, DisplayMode::Dec, DisplayMode::Ascii})
        EXPECT_EQ(logLine(remote, format).view(), "2.0A,123,1,4,0,0,0,0,0,0,0,0,99\r\n");
}

TEST(MessageFormat, LogLinesTakeAllEightBytesInTheFormatOfTheMoment) {
    const ReceivedMessage message = dataFrame(0x3FF, {0x0A, 0xFF}, 12345);
    EXPECT_EQ(logLine(message, DisplayMode::Hex).view(), "2.0A,3ff,0,2,a,ff,0,0,0,0,0,0,12345\r\n");
    EXPECT_EQ(logLine(message, DisplayMode::Dec).view(),
              "2.0A,3ff,0,2,10,255,0,0,0,0,0,0,12345\r\n");

    ReceivedMessage text = dataFrame(0x1FFFFFFF, {'O', 'K', 0, '!'}, 7);
    text.mode = 1;
    text.data[6] = 0xE9;  // beyond the length, still logged
    EXPECT_EQ(logLine(text, DisplayMode::Ascii).view(), "2.0B,1fffffff,0,4,O,K,,!,,,\xE9,,7\r\n");
}

TEST(MessageFormat, TimeStampIsUnsignedWholeSixtyFourBits) {
    ReceivedMessage message = dataFrame(0x100, {}, 0);
    message.timeHigh = 1;
    message.timeLow = 5;
    EXPECT_EQ(listRow(message, 0, DisplayMode::Hex)[kTimeColumn].view(), "4294967301");
    EXPECT_EQ(logLine(message, DisplayMode::Hex).view(),
              "2.0A,100,0,0,0,0,0,0,0,0,0,0,4294967301\r\n");

    message.timeHigh = 0xFFFFFFFF;
    message.timeLow = 0xFFFFFFFF;
    EXPECT_EQ(listRow(message, 0, DisplayMode::Hex)[kTimeColumn].view(), "18446744073709551615");
    EXPECT_TRUE(logLine(message, DisplayMode::Hex).view().ends_with(",18446744073709551615\r\n"));
}

TEST(MessageFormat, LongestLineFitsItsBuffer) {
    ReceivedMessage message = dataFrame(0x1FFFFFFF, {255, 255, 255, 255, 255, 255, 255, 255});
    message.mode = 1;
    message.rtr = 0;
    message.timeHigh = message.timeLow = 0xFFFFFFFF;
    const std::string line(logLine(message, DisplayMode::Dec).view());
    EXPECT_EQ(line, "2.0B,1fffffff,0,8,255,255,255,255,255,255,255,255,18446744073709551615\r\n");
    EXPECT_LT(line.size(), LogLine::kCapacity);
}

std::string converted(std::string_view text, DisplayMode from, DisplayMode to) {
    return std::string(convertCell(text, from, to).view());
}

TEST(MessageFormat, ConversionsReadTheOldFormatAndWriteTheNewWithoutPadding) {
    using enum DisplayMode;
    EXPECT_EQ(converted("0A", Hex, Dec), "10");
    EXPECT_EQ(converted("10", Dec, Hex), "A");
    EXPECT_EQ(converted("065", Dec, Ascii), "A");
    EXPECT_EQ(converted("A", Ascii, Hex), "41");
    EXPECT_EQ(converted("\xFF", Ascii, Dec), "255");  // the character's code is unsigned
    EXPECT_EQ(converted("008", Dec, Hex), "8");       // leading zeros are decimal, not octal
    EXPECT_EQ(converted("1FF", Hex, Dec), "255");     // cut to the low byte
    // A byte 0 written as a character is an empty cell, and empty cells stay empty.
    EXPECT_EQ(converted("00", Hex, Ascii), "");
    EXPECT_EQ(converted("", Ascii, Hex), "");
}

}  // namespace
}  // namespace k5320::utility
