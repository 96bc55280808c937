// Which frame wins the bus when several start at once, and where the losers drop out.
#include "emulator/can/arbitration.h"

#include <gtest/gtest.h>

namespace k5320::can {
namespace {

Frame standard(uint32_t id, bool remote = false) {
    return Frame{.id = id, .extended = false, .remote = remote};
}
Frame extended(uint32_t id, bool remote = false) {
    return Frame{.id = id, .extended = true, .remote = remote};
}

TEST(ArbitrationTest, DominantBitsOfTheArbitrationFieldWin) {
    // Lower identifiers win within a format.
    EXPECT_TRUE(wins_arbitration(standard(0x100), standard(0x101)));
    EXPECT_FALSE(wins_arbitration(standard(0x101), standard(0x100)));
    EXPECT_TRUE(wins_arbitration(extended(0x0000FFFF), extended(0x00010000)));
    // Across formats the 11 base bits decide first.
    EXPECT_TRUE(wins_arbitration(extended(0x0FF << 18 | 0x3FFFF), standard(0x100)));
    EXPECT_TRUE(wins_arbitration(standard(0x0FF), extended(0x100 << 18)));
    // Same base identifier: a standard frame, data or remote, beats an extended one.
    EXPECT_TRUE(wins_arbitration(standard(0x123), extended(0x123 << 18)));
    EXPECT_TRUE(wins_arbitration(standard(0x123, true), extended(0x123 << 18)));
    EXPECT_FALSE(wins_arbitration(extended(0x123 << 18), standard(0x123, true)));
    // Data beats remote with the same identifier.
    EXPECT_TRUE(wins_arbitration(standard(0x123), standard(0x123, true)));
    EXPECT_TRUE(wins_arbitration(extended(0x123), extended(0x123, true)));
    // Equal fields: neither wins.
    EXPECT_FALSE(wins_arbitration(standard(0x123), standard(0x123)));
    EXPECT_FALSE(wins_arbitration(extended(0x123), extended(0x123)));
}

TEST(ArbitrationTest, LostBitIsNumberedFromTheFirstIdentifierBit) {
    EXPECT_EQ(arbitration_lost_at(standard(0x000), standard(0x400)), 0u);  // ID10 / ID28
    EXPECT_EQ(arbitration_lost_at(standard(0x122), standard(0x123)), 10u);
    EXPECT_EQ(arbitration_lost_at(standard(0x123), standard(0x123, true)), 11u);  // RTR
    EXPECT_EQ(arbitration_lost_at(standard(0x123), extended(0x123 << 18)), 11u);  // RTR vs SRR
    EXPECT_EQ(arbitration_lost_at(standard(0x123, true), extended(0x123 << 18)), 12u);  // IDE
    EXPECT_EQ(arbitration_lost_at(extended(0x123 << 18), extended(0x123 << 18 | 0x20000)), 13u);
    EXPECT_EQ(arbitration_lost_at(extended(0x10), extended(0x11)), 30u);        // ID0
    EXPECT_EQ(arbitration_lost_at(extended(0x10), extended(0x10, true)), 31u);  // RTR
    // A frame that does not lose has no such bit.
    EXPECT_EQ(arbitration_lost_at(standard(0x123), standard(0x122)), std::nullopt);
    EXPECT_EQ(arbitration_lost_at(standard(0x123), standard(0x123)), std::nullopt);
}

}  // namespace
}  // namespace k5320::can
