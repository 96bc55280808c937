// The Linux CAN tools' text forms: what cansend syntax accepts and refuses, and that what we
// write reads back as the same frame.
#include <gtest/gtest.h>

#include <string>

#include "can/text.h"

namespace {

using k5320::can::Frame;
namespace text = k5320::cantext;

Frame parse_ok(const std::string& t) {
    Frame f;
    text::ParseError error;
    EXPECT_TRUE(text::parse_frame(t, &f, &error)) << t << ": " << error.message;
    return f;
}

TEST(CanText, FramesParseAsCansendReadsThem) {
    Frame f = parse_ok("123#DEADBEEF");
    EXPECT_EQ(f.id, 0x123u);
    EXPECT_FALSE(f.extended);
    EXPECT_FALSE(f.remote);
    ASSERT_EQ(f.length, 4);
    EXPECT_EQ(f.data[0], 0xDE);
    EXPECT_EQ(f.data[3], 0xEF);

    f = parse_ok("00000123#11.22.33");  // 8 digits make an extended id, however small
    EXPECT_TRUE(f.extended);
    EXPECT_EQ(f.id, 0x123u);
    EXPECT_EQ(f.length, 3);
    EXPECT_EQ(f.data[2], 0x33);

    f = parse_ok("1FFFFFFF#R");
    EXPECT_TRUE(f.remote);
    EXPECT_EQ(f.length, 0);
    EXPECT_EQ(parse_ok("7ff#r8").length, 8);
    EXPECT_EQ(parse_ok("7FF#").length, 0);
    EXPECT_EQ(parse_ok("000#0102030405060708").data[7], 8);
}

TEST(CanText, EveryMalformedFrameIsRefusedWithAReason) {
    for (const char* bad :
         {"", "123", "#00", "12#00", "1234#00", "123456789#00", "800#00", "20000000#00", "12G#00",
          "123#0", "123#ABC", "123#00..1", "123#000102030405060708", "123#R9", "123#R10", "123#RX",
          "123##1DEAD", "123#DE AD", "123#-1"}) {
        Frame f;
        f.id = 0x5A5;
        text::ParseError error;
        EXPECT_FALSE(text::parse_frame(bad, &f, &error)) << bad;
        EXPECT_FALSE(error.message.empty()) << bad;
        EXPECT_EQ(f.id, 0x5A5u) << bad << ": a refused frame leaves the output alone";
    }
}

TEST(CanText, WrittenFramesReadBackUnchanged) {
    for (const char* t : {"123#DEADBEEF", "7FF#", "000#0102030405060708", "1FFFFFFF#R",
                          "00000001#R3", "12345678#00", "400#R"}) {
        const Frame f = parse_ok(t);
        EXPECT_EQ(text::format_frame(f), t);
        EXPECT_EQ(parse_ok(text::format_frame(f)), f);
    }
    EXPECT_EQ(text::format_frame(parse_ok("7ff#0a.0b")), "7FF#0A0B");
    EXPECT_EQ(text::format_log_line(1436509052249713, "can0", parse_ok("123#DEADBEEF")),
              "(1436509052.249713) can0 123#DEADBEEF");
    EXPECT_EQ(text::format_log_line(1'000'500, "k5320-2", parse_ok("321#R2")),
              "(0000000001.000500) k5320-2 321#R2");
}

TEST(CanText, FiltersRatesAndHexBytes) {
    text::Filter filter;
    text::ParseError error;
    ASSERT_TRUE(text::parse_filter("120:7F0", &filter, &error));
    EXPECT_TRUE(filter.accepts(0x12F));
    EXPECT_FALSE(filter.accepts(0x130));
    ASSERT_TRUE(text::parse_filter("120~7F0", &filter, &error));
    EXPECT_FALSE(filter.accepts(0x12F));
    EXPECT_TRUE(filter.accepts(0x130));
    for (const char* bad : {"120", "120:", ":7F0", "12X:7F0", "123456789:1"})
        EXPECT_FALSE(text::parse_filter(bad, &filter, &error)) << bad;

    uint32_t rate = 0;
    EXPECT_TRUE(text::parse_bit_rate("125k", &rate, &error));
    EXPECT_EQ(rate, 125'000u);
    EXPECT_TRUE(text::parse_bit_rate("1M", &rate, &error));
    EXPECT_EQ(rate, 1'000'000u);
    EXPECT_TRUE(text::parse_bit_rate("500000", &rate, &error));
    EXPECT_EQ(rate, 500'000u);
    for (const char* bad : {"", "k", "0", "12.5k", "-1", "99999999999", "5000M"})
        EXPECT_FALSE(text::parse_bit_rate(bad, &rate, &error)) << bad;

    std::string bytes;
    ASSERT_TRUE(text::parse_hex_bytes("DEAD be.ef", &bytes, &error));
    EXPECT_EQ(bytes, std::string("\xDE\xAD\xBE\xEF"));
    for (const char* bad : {"ABC", "A BC", "XY"})
        EXPECT_FALSE(text::parse_hex_bytes(bad, &bytes, &error)) << bad;
}

TEST(CanText, CandumpFiltersTakeWhatCandumpTakes) {
    text::FilterSet set;
    text::ParseError error;
    // 7FF: any frame whose id ends so, 11-bit or 29-bit, data or remote.
    ASSERT_TRUE(text::parse_filter_list("123:7FF", &set, &error)) << error.message;
    EXPECT_TRUE(set.accepts(parse_ok("123#00")));
    EXPECT_TRUE(set.accepts(parse_ok("00000123#00")));
    EXPECT_TRUE(set.accepts(parse_ok("123#R")));
    EXPECT_FALSE(set.accepts(parse_ok("124#00")));
    // C00007FF: 11-bit data frames only (the flags are compared).
    set = {};
    ASSERT_TRUE(text::parse_filter_list("123:C00007FF", &set, &error));
    EXPECT_TRUE(set.accepts(parse_ok("123#00")));
    EXPECT_FALSE(set.accepts(parse_ok("00000123#00")));
    EXPECT_FALSE(set.accepts(parse_ok("123#R")));
    // 8 digits: the extended flag; DFFFFFFF takes that extended id and nothing else.
    set = {};
    ASSERT_TRUE(text::parse_filter_list("12345678:DFFFFFFF", &set, &error));
    EXPECT_TRUE(set.accepts(parse_ok("12345678#00")));
    EXPECT_FALSE(set.accepts(parse_ok("12345678#R")));
    // Several: one that takes the frame is enough; after j all must; ~ takes the rest.
    set = {};
    ASSERT_TRUE(text::parse_filter_list("100:7FF,200~700,#FFFFFFFF", &set, &error));
    EXPECT_TRUE(set.accepts(parse_ok("100#00")));
    EXPECT_TRUE(set.accepts(parse_ok("300#00")));
    EXPECT_FALSE(set.accepts(parse_ok("201#00")));
    EXPECT_EQ(set.error_mask, text::error_class::kAll);
    set = {};
    ASSERT_TRUE(text::parse_filter_list("100:700,0:C0000000,j", &set, &error));
    EXPECT_TRUE(set.join);
    EXPECT_TRUE(set.accepts(parse_ok("1AB#00")));
    EXPECT_FALSE(set.accepts(parse_ok("1AB#R")));
    EXPECT_FALSE(set.accepts(parse_ok("2AB#00")));
    EXPECT_TRUE(text::FilterSet{}.accepts(parse_ok("7FF#")));
    for (const char* bad : {"123", "#xyz", "123:7FF,,1:2x", "j:1"})
        EXPECT_FALSE(text::parse_filter_list(bad, &set, &error)) << bad;
}

TEST(CanText, CandumpColumnsStampsAndNames) {
    // can-utils' lib.c: id, blanks to column 5 or 10, [len], data or "remote request".
    EXPECT_EQ(text::format_columns(parse_ok("123#DEADBEEF")), "123   [4]  DE AD BE EF");
    EXPECT_EQ(text::format_columns(parse_ok("12345678#R3")), "12345678   [3]  remote request");
    EXPECT_EQ(text::format_columns(parse_ok("7FF#")), "7FF   [0] ");
    text::ErrorFrame error;
    error.classes = text::error_class::kController | text::error_class::kCounters;
    error.data[1] = text::controller::kRxWarning;
    error.data[6] = 8;
    error.data[7] = 96;
    EXPECT_EQ(text::format_columns(error),
              "20000204   [8]  00 04 00 00 00 00 08 60   ERRORFRAME");
    EXPECT_EQ(text::format_error_frame(error), "20000204#0004000000000860");
    EXPECT_EQ(text::describe_error_frame(error, " / "),
              "controller-problem{rx-error-warning} / error-counter-tx-rx{{8}{96}}");
    error = {};
    error.classes = text::error_class::kProtocol | text::error_class::kBusError;
    error.data[2] = text::protocol::kStuff;
    EXPECT_EQ(text::describe_error_frame(error),
              "protocol-violation{{bit-stuffing-error}{unspecified}}\n\tbus-error");

    EXPECT_EQ(text::format_absolute_stamp(1436509052249713), "(1436509052.249713) ");
    EXPECT_EQ(text::format_relative_stamp(12'000), "(000.012000) ");
    EXPECT_EQ(text::format_relative_stamp(1'234'000'001), "(1234.000001) ");
    const std::string dated = text::format_date_stamp(1436509052249713);
    EXPECT_EQ(dated.size(), std::string("(2015-07-10 08:17:32.249713) ").size()) << dated;
    EXPECT_EQ(dated.substr(20), ".249713) ");
    const std::string name = text::candump_log_name(1436509052);
    EXPECT_EQ(name.size(), std::string("candump-2015-07-10_061732.log").size()) << name;
    EXPECT_EQ(name.substr(0, 13), "candump-2015-");
    EXPECT_EQ(name.substr(name.size() - 4), ".log");

    // canbusload: name@rate, frames, bits, payload bits, percent, a bar of 5 % steps.
    EXPECT_EQ(text::format_busload_line("can0", 500000, 796, 75140, 37728, true),
              " can0@500000   796   75140  37728  15% |XXX.................|");
    EXPECT_EQ(text::format_busload_line("can1", 125000, 0, 0, 0, false),
              " can1@125000     0       0      0   0%");
}

TEST(CanText, LogLinesReadBack) {
    text::LogLine line;
    text::ParseError error;
    ASSERT_TRUE(text::parse_log_line("(1436509052.249713) can0 123#DEADBEEF\n", &line, &error))
        << error.message;
    EXPECT_EQ(line.microseconds, 1436509052249713u);
    EXPECT_EQ(line.channel, "can0");
    EXPECT_EQ(line.frame, parse_ok("123#DEADBEEF"));
    EXPECT_FALSE(line.error);
    ASSERT_TRUE(text::parse_log_line("(0000000001.5) k5320-2 12345678#R3", &line, &error));
    EXPECT_EQ(line.microseconds, 1'500'000u);
    EXPECT_TRUE(line.frame.remote);
    ASSERT_TRUE(text::parse_log_line("(1.000000) can0 20000004#0004000000000000", &line, &error));
    EXPECT_TRUE(line.error);
    for (const char* bad : {"", "1.0 can0 123#00", "(1.0) can0", "(x.0) can0 123#00",
                            "(1.0) can0 1234#00", "(1.0 can0 123#00"})
        EXPECT_FALSE(text::parse_log_line(bad, &line, &error)) << bad;
}

}  // namespace
