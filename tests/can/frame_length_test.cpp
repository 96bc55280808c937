// Exact bit lengths of frames on the wire, stuff bits included.
#include "can/frame_length.h"

#include <gtest/gtest.h>

#include <random>

namespace k5320::can {
namespace {

Frame frame(uint32_t id, bool extended, std::initializer_list<uint8_t> bytes) {
    Frame result{.id = id, .extended = extended, .length = static_cast<uint8_t>(bytes.size())};
    std::copy(bytes.begin(), bytes.end(), result.data.begin());
    return result;
}

TEST(FrameLengthTest, KnownFramesHaveTheirExactLength) {
    EXPECT_EQ(frame_bit_length(frame(0x123, false, {0xDE, 0xAD, 0xBE, 0xEF})), 81u);
    EXPECT_EQ(
        frame_bit_length(frame(0x123, false, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88})),
        112u);
    EXPECT_EQ(frame_bit_length(frame(0x000, false, {0, 0, 0, 0, 0, 0, 0, 0})), 127u);
    EXPECT_EQ(
        frame_bit_length(frame(0x12345678, true, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88})),
        134u);
}

// A stuff bit starts the next run: after 00000 the stuff bit 1 and four more 1s make five, and
// another stuff bit follows. These identifiers and data are full of such runs.
TEST(FrameLengthTest, StuffBitsCountTowardsTheNextRun) {
    EXPECT_EQ(frame_bit_length(frame(0x078, false, {})), 52u);
    EXPECT_EQ(frame_bit_length(frame(0x078, false, {0x0F, 0x83})), 70u);
    EXPECT_EQ(frame_bit_length(frame(0x0F83E0F, true, {0x07, 0xC1, 0xF0})), 102u);
}

// Without stuffing a standard frame has 47 + 8n bits and an extended one 67 + 8n; stuffing adds
// at most one bit per four after the first five, which bounds them by 55 + 10n and 80 + 10n.
TEST(FrameLengthTest, RandomFramesStayWithinTheStuffingBounds) {
    std::mt19937 random(5320);
    std::uniform_int_distribution<uint32_t> any(0, UINT32_MAX);
    for (int i = 0; i < 20000; ++i) {
        Frame f;
        f.extended = (any(random) & 1) != 0;
        f.remote = any(random) % 4 == 0;
        f.id = any(random) & (f.extended ? kExtendedIdMask : kStandardIdMask);
        f.length = static_cast<uint8_t>(any(random) % (kMaxDataLength + 1));
        for (uint8_t& byte : f.data) byte = static_cast<uint8_t>(any(random));
        const unsigned n = f.remote ? 0 : f.length;
        const unsigned length = frame_bit_length(f);
        if (f.extended) {
            ASSERT_GE(length, 67 + 8 * n) << i;
            ASSERT_LE(length, 80 + 10 * n) << i;
        } else {
            ASSERT_GE(length, 47 + 8 * n) << i;
            ASSERT_LE(length, 55 + 10 * n) << i;
        }
    }
}

TEST(FrameLengthTest, RemoteFramesCarryNoDataButSendTheirLength) {
    Frame remote = frame(0x123, false, {0xDE, 0xAD, 0xBE, 0xEF});
    remote.remote = true;
    Frame empty = remote;
    empty.data = {};
    // Data bytes in a remote frame's struct do not reach the wire.
    EXPECT_EQ(frame_bit_length(remote), frame_bit_length(empty));
    EXPECT_LE(frame_bit_length(remote), 55u);
    // The requested length is sent in the DLC field, so it can change the stuffing but adds no
    // data bits.
    Frame other_length = remote;
    other_length.length = 0;
    EXPECT_LE(frame_bit_length(other_length), 55u);
}

TEST(FrameLengthTest, OutOfFormatFieldsAreCountedAsTheRecordCodecSendsThem) {
    // A length above 8 goes out as 8 data bytes; identifier bits beyond the format are dropped.
    Frame long_frame = frame(0x123, false, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88});
    Frame too_long = long_frame;
    too_long.length = 15;
    EXPECT_EQ(frame_bit_length(too_long), frame_bit_length(long_frame));
    Frame wide_id = long_frame;
    wide_id.id = 0x123 | 0x800;
    EXPECT_EQ(frame_bit_length(wide_id), 112u);
}

}  // namespace
}  // namespace k5320::can
