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

}  // namespace
