// The DPRAM record layout of a CAN frame, byte for byte, and the round trip through it.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "can/frame.h"

namespace {

using k5320::can::Frame;

std::vector<uint8_t> record_of(const Frame& frame) {
    std::vector<uint8_t> out(k5320::can::kMaxRecordSize, 0xEE);
    out.resize(k5320::can::encode(frame, out.data()));
    return out;
}

TEST(FrameCodec, IdentifiersAreLaidOutAsTheSja1000Does) {
    EXPECT_EQ(record_of({.id = 0x7FF}), (std::vector<uint8_t>{0x00, 0xFF, 0xE0}));
    EXPECT_EQ(record_of({.id = 0x1FFFFFFF, .extended = true}),
              (std::vector<uint8_t>{0x80, 0xFF, 0xFF, 0xFF, 0xF8}));
    EXPECT_EQ(record_of({.id = 0x123, .length = 4, .data = {0xDE, 0xAD, 0xBE, 0xEF}}),
              (std::vector<uint8_t>{0x04, 0x24, 0x60, 0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(record_of({.id = 0x12345678, .extended = true, .length = 1, .data = {0x11}}),
              (std::vector<uint8_t>{0x81, 0x91, 0xA2, 0xB3, 0xC0, 0x11}));
    // Bits beyond the format are dropped.
    EXPECT_EQ(record_of({.id = 0xFFFFF800}), (std::vector<uint8_t>{0x00, 0x00, 0x00}));
}

TEST(FrameCodec, LengthsAreClampedAndRemoteFramesCarryNoData) {
    const Frame long_frame{.id = 1, .length = 12, .data = {1, 2, 3, 4, 5, 6, 7, 8}};
    const auto record = record_of(long_frame);
    EXPECT_EQ(record.size(), 11u);
    EXPECT_EQ(record[0], 0x08);
    EXPECT_EQ(record_of({.id = 0x10, .remote = true, .length = 3, .data = {9, 9, 9}}),
              (std::vector<uint8_t>{0x43, 0x02, 0x00}));
    EXPECT_EQ(record_of({.id = 0x10, .extended = true, .remote = true, .length = 8}).size(), 5u);
    EXPECT_EQ(record_of({.id = 0x10, .extended = true, .remote = true, .length = 8})[0], 0xC8);

    // A record whose length code is above 8 decodes as 8 bytes, never more.
    uint8_t odd[13] = {0x0F, 0x00, 0x20, 1, 2, 3, 4, 5, 6, 7, 8, 0xAA, 0xBB};
    const Frame decoded = k5320::can::decode(odd);
    EXPECT_EQ(decoded.length, 8);
    EXPECT_EQ(decoded.id, 1u);
    EXPECT_EQ(decoded.data[7], 8);
    // A remote record's data bytes are not taken.
    uint8_t remote[13] = {0x44, 0x00, 0x20, 1, 2, 3, 4};
    EXPECT_EQ(k5320::can::decode(remote).data, (std::array<uint8_t, 8>{}));
    EXPECT_EQ(k5320::can::decode(remote).length, 4);
}

TEST(FrameCodec, EveryFrameSurvivesTheRoundTrip) {
    std::mt19937 random(5320);
    for (int i = 0; i < 20000; ++i) {
        Frame frame;
        frame.extended = random() & 1;
        frame.remote = (random() & 3) == 0;
        frame.id =
            random() & (frame.extended ? k5320::can::kExtendedIdMask : k5320::can::kStandardIdMask);
        frame.length = static_cast<uint8_t>(random() % 9);
        if (!frame.remote)
            for (int b = 0; b < frame.length; ++b) frame.data[b] = static_cast<uint8_t>(random());
        uint8_t record[k5320::can::kMaxRecordSize] = {};
        k5320::can::encode(frame, record);
        ASSERT_EQ(k5320::can::decode(record), frame) << i;
    }
}

}  // namespace
