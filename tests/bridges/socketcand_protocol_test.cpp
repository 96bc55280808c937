// The socketcand text: the commands python-can writes, frames as it reads them, and every
// malformed command refused with a reason.
#include "bridges/socketcand_protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace k5320::bridges::socketcand {
namespace {

can::Frame sent(const std::string& text) {
    const Command command = parse_command(text);
    const auto* send = std::get_if<Send>(&command);
    if (send == nullptr) {
        ADD_FAILURE() << text << " refused: " << std::get<Invalid>(command).reason;
        return {};
    }
    return send->frame;
}

TEST(SocketcandProtocolTest, SendAsPythonCanWritesIt) {
    // python-can: ids and length in unpadded upper-case hex, bytes in unpadded lower-case hex.
    EXPECT_EQ(sent("< send 123 4 de ad be ef >"),
              (can::Frame{0x123, false, false, 4, {0xDE, 0xAD, 0xBE, 0xEF}}));
    EXPECT_EQ(sent("< send 7FF 2 0 a >"), (can::Frame{0x7FF, false, false, 2, {0x00, 0x0A}}));
    EXPECT_EQ(sent("< send 800 0  >"), (can::Frame{0x800, true, false, 0, {}}));
    EXPECT_EQ(sent("< send 00000001 1 ff >"), (can::Frame{1, true, false, 1, {0xFF}}));
    EXPECT_EQ(sent("< send 1FFFFFFF 8 1 2 3 4 5 6 7 8 >"),
              (can::Frame{0x1FFFFFFF, true, false, 8, {1, 2, 3, 4, 5, 6, 7, 8}}));
    EXPECT_TRUE(std::holds_alternative<Open>(parse_command("< open can0 >")));
    EXPECT_EQ(std::get<Open>(parse_command("< open can0 >")).bus, "can0");
    EXPECT_TRUE(std::holds_alternative<RawMode>(parse_command("< rawmode >")));
}

TEST(SocketcandProtocolTest, EveryMalformedCommandIsRefused) {
    for (const char* text : {"",
                             "<",
                             ">",
                             "<>",
                             "< >",
                             "open can0",
                             "< open >",
                             "< open can0 can1 >",
                             "< rawmode x >",
                             "< bcmmode >",
                             "< send >",
                             "< send 123 >",
                             "< send 123 1 >",
                             "< send 123 1 1 2 >",
                             "< send 123 9 1 2 3 4 5 6 7 8 9 >",
                             "< send 20000000 0  >",
                             "< send 123456789 0  >",
                             "< send xyz 0  >",
                             "< send 123 1 100 >",
                             "< send 123 1 g >",
                             "< send 123 -1  >",
                             "< send -123 0  >",
                             "< send 123 1 +1 >",
                             "< send 123 08 1 2 3 4 5 6 7 8 9 >"}) {
        EXPECT_TRUE(std::holds_alternative<Invalid>(parse_command(text))) << text;
    }
}

TEST(SocketcandProtocolTest, FramesAsPythonCanReadsThem) {
    const uint64_t time_us = 1436509052'249713;
    EXPECT_EQ(frame_message(can::Frame{0x123, false, false, 4, {0xDE, 0xAD, 0xBE, 0xEF}}, time_us),
              "< frame 123 1436509052.249713 DEADBEEF >");
    EXPECT_EQ(frame_message(can::Frame{0x5, false, false, 0, {}}, 7), "< frame 005 0.000007  >");
    EXPECT_EQ(frame_message(can::Frame{0x1ABCDEF, true, false, 1, {0x0A}}, 0),
              "< frame 01ABCDEF 0.000000 0A >");
    EXPECT_EQ(frame_message(can::Frame{0x321, false, true, 3, {}}, 0), "< frame 321 0.000000  >");
}

TEST(SocketcandProtocolTest, SplitterCutsTheStreamAndReportsGarbageOnce) {
    CommandSplitter splitter;
    splitter.append("< open can0 >< raw");
    ASSERT_TRUE(std::holds_alternative<Open>(*splitter.next()));
    EXPECT_FALSE(splitter.next().has_value());
    splitter.append("mode >\r\nhello world\n< send 1 0  >");
    EXPECT_TRUE(std::holds_alternative<RawMode>(*splitter.next()));
    EXPECT_TRUE(std::holds_alternative<Invalid>(*splitter.next()));
    EXPECT_TRUE(std::holds_alternative<Send>(*splitter.next()));
    EXPECT_FALSE(splitter.next().has_value());
    // An opening without its end, then a good command: the broken one is refused alone.
    splitter.append("< send 1 < echo >");
    EXPECT_TRUE(std::holds_alternative<Invalid>(*splitter.next()));
    EXPECT_TRUE(std::holds_alternative<Echo>(*splitter.next()));
    // A command that never ends is refused and dropped, not buffered without bound.
    splitter.append("<" + std::string(kMaxCommandLength * 4, 'x'));
    EXPECT_TRUE(std::holds_alternative<Invalid>(*splitter.next()));
    splitter.append("< rawmode >");
    EXPECT_TRUE(std::holds_alternative<RawMode>(*splitter.next()));
}

}  // namespace
}  // namespace k5320::bridges::socketcand
