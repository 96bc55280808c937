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

// What a link reads from a server: the handshake replies, errors and frames of both formats,
// and frames the link cannot take refused.
TEST(SocketcandProtocolTest, ServerMessagesAsTheLinkReadsThem) {
    EXPECT_TRUE(std::holds_alternative<Hello>(parse_server_message("< hi >")));
    EXPECT_TRUE(std::holds_alternative<Ok>(parse_server_message("< ok >")));
    EXPECT_EQ(std::get<Error>(parse_server_message("< error no such  bus >")).reason,
              "no such bus");
    const auto received = [](const std::string& text) {
        const ServerMessage message = parse_server_message(text);
        const auto* frame = std::get_if<Received>(&message);
        if (frame == nullptr) ADD_FAILURE() << text << " is no frame";
        return frame == nullptr ? can::Frame{} : frame->frame;
    };
    EXPECT_EQ(received("< frame 123 1436509052.249713 DEADBEEF >"),
              (can::Frame{0x123, false, false, 4, {0xDE, 0xAD, 0xBE, 0xEF}}));
    EXPECT_EQ(received("< frame 00000123 1.000000 01 >"), (can::Frame{0x123, true, false, 1, {1}}));
    EXPECT_EQ(received("< frame 7FF 1.000000  >"), (can::Frame{0x7FF, false, false, 0, {}}));
    for (const char* bad :
         {"< frame 123 1.0 ABC >", "< frame 123 1.0 001122334455667788 >", "< frame 123 1.0 ZZ >",
          "< frame 20000000 1.0 >", "< frame >", "< hello >", "hi"}) {
        EXPECT_TRUE(std::holds_alternative<Invalid>(parse_server_message(bad))) << bad;
    }
}

// What the link writes reads back, through the server's own parser, as the frame it was.
TEST(SocketcandProtocolTest, TheLinksCommandsReadBackAsSent) {
    for (const can::Frame& frame : {can::Frame{0x123, false, false, 4, {0xDE, 0xAD, 0xBE, 0xEF}},
                                    can::Frame{0x5, false, false, 0, {}},
                                    can::Frame{0x5, true, false, 8, {1, 2, 3, 4, 5, 6, 7, 8}},
                                    can::Frame{0x1FFFFFFF, true, false, 1, {0xFF}}}) {
        EXPECT_EQ(sent(send_command(frame)), frame) << send_command(frame);
    }
    EXPECT_EQ(send_command(can::Frame{0x5, true, false, 2, {0xA, 0xB}}),
              "< send 00000005 2 0A 0B >");
    EXPECT_EQ(open_command("vcan0"), "< open vcan0 >");
    EXPECT_TRUE(std::holds_alternative<BackplaneLink>(parse_command(kBackplaneLinkCommand)));
    EXPECT_TRUE(std::holds_alternative<Invalid>(parse_command("< backplane x >")));
}

// Each side names its backplane in the same words; the bare command of a link of the previous
// version names none, and an identity that is not all sixteen hex digits is refused.
TEST(SocketcandProtocolTest, BackplanesNameThemselves) {
    const BackplaneId id = 0x0123456789ABCDEF;
    EXPECT_EQ(backplane_message(id), "< backplane 0123456789ABCDEF >");
    const Command command = parse_command(backplane_message(id));
    ASSERT_TRUE(std::holds_alternative<BackplaneLink>(command));
    EXPECT_EQ(std::get<BackplaneLink>(command).id, id);
    EXPECT_EQ(std::get<BackplaneLink>(parse_command(kBackplaneLinkCommand)).id, std::nullopt);
    const ServerMessage answer = parse_server_message(backplane_message(UINT64_MAX));
    ASSERT_TRUE(std::holds_alternative<Backplane>(answer));
    EXPECT_EQ(std::get<Backplane>(answer).id, UINT64_MAX);
    for (const char* bad :
         {"< backplane 123 >", "< backplane 0123456789ABCDEF0 >", "< backplane 0123456789ABCDEG >",
          "< backplane +123456789ABCDEF >", "< backplane 0123456789ABCDEF 1 >"}) {
        EXPECT_TRUE(std::holds_alternative<Invalid>(parse_command(bad))) << bad;
        EXPECT_TRUE(std::holds_alternative<Invalid>(parse_server_message(bad))) << bad;
    }
    EXPECT_TRUE(std::holds_alternative<Invalid>(parse_server_message(kBackplaneLinkCommand)));
}

}  // namespace
}  // namespace k5320::bridges::socketcand
