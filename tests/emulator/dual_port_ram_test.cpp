// The mailbox flags and the interrupt line as each side of the dual-port RAM sees them.
#include "emulator/dual_port_ram.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace k5320::emulator {
namespace {

using dpram::kAnswerByte;
using dpram::kCommandByte;

class DualPortRamTest : public ::testing::Test {
  protected:
    std::unique_ptr<DualPortRam> ram = std::make_unique<DualPortRam>();
};

TEST_F(DualPortRamTest, CommandByteWriteRingsDoorbellUntilModuleReadsIt) {
    const uint32_t wakeups = ram->module_wakeups.current();
    ram->host_write(kCommandByte, 242);
    EXPECT_TRUE(ram->doorbell_rung());
    EXPECT_NE(ram->module_wakeups.current(), wakeups);

    EXPECT_EQ(ram->module_read(kCommandByte), 242);
    EXPECT_FALSE(ram->doorbell_rung());
    // The byte stays readable; only the doorbell is taken.
    EXPECT_EQ(ram->module_read(kCommandByte), 242);
    EXPECT_EQ(ram->host_read(kCommandByte), 242);
}

TEST_F(DualPortRamTest, ModuleTakesTheLastCommandWrittenBeforeItLooked) {
    ram->host_write(kCommandByte, 1);
    ram->host_write(kCommandByte, 2);
    EXPECT_EQ(ram->module_read(kCommandByte), 2);
    EXPECT_FALSE(ram->doorbell_rung());
}

TEST_F(DualPortRamTest, HostReadOfAnswerAcknowledgesItAndLowersTheLine) {
    ram->post_answer(240, true);
    EXPECT_TRUE(ram->answer_unread());
    EXPECT_TRUE(ram->line_raised());

    const uint32_t wakeups = ram->module_wakeups.current();
    EXPECT_EQ(ram->host_read(kAnswerByte), 240);
    EXPECT_FALSE(ram->answer_unread());
    EXPECT_FALSE(ram->line_raised());
    // Without more answers to post, the module has no reason to wake up.
    EXPECT_EQ(ram->module_wakeups.current(), wakeups);
}

TEST_F(DualPortRamTest, HostReadWakesAModuleThatWaitsToPostMore) {
    ram->post_answer(240, true);
    EXPECT_TRUE(ram->wake_on_answer_read());
    const uint32_t wakeups = ram->module_wakeups.current();
    EXPECT_EQ(ram->host_read(kAnswerByte), 240);
    EXPECT_NE(ram->module_wakeups.current(), wakeups) << "the module must learn it may post again";
    // Once read, asking is refused: the module posts at once instead of waiting.
    EXPECT_FALSE(ram->wake_on_answer_read());
    // A new answer starts without the request.
    ram->post_answer(241, true);
    const uint32_t before = ram->module_wakeups.current();
    EXPECT_EQ(ram->host_read(kAnswerByte), 241);
    EXPECT_EQ(ram->module_wakeups.current(), before);
}

TEST_F(DualPortRamTest, AnswerWithoutInterruptLeavesTheLineLow) {
    const uint32_t line_wakeups = ram->line_wakeups.current();
    ram->post_answer(7, false);
    EXPECT_TRUE(ram->answer_unread());
    EXPECT_FALSE(ram->line_raised());
    EXPECT_EQ(ram->line_wakeups.current(), line_wakeups);
}

TEST_F(DualPortRamTest, PlainAccessesMoveBytesWithoutMailboxEffects) {
    ram->host_write(0x1234, 0xA5);
    EXPECT_EQ(ram->module_read(0x1234), 0xA5);
    ram->module_write(0x0000, 0x5A);
    EXPECT_EQ(ram->host_read(0x0000), 0x5A);
    EXPECT_FALSE(ram->doorbell_rung());
    EXPECT_FALSE(ram->answer_unread());

    // A plain module write of the answer byte is no answer: no flag, no line.
    ram->module_write(kAnswerByte, 9);
    EXPECT_EQ(ram->peek(kAnswerByte), 9);
    EXPECT_FALSE(ram->answer_unread());
    EXPECT_FALSE(ram->line_raised());
}

TEST_F(DualPortRamTest, BlockReadAppendsWhatByteReadsGiveAndTakesTheDoorbellInIt) {
    for (uint16_t i = 0; i < 16; ++i) ram->host_write(static_cast<uint16_t>(0x0100 + i), i);
    std::vector<uint8_t> out{0xEE};
    ram->module_read_block(0x0100, 16, out);
    ASSERT_EQ(out.size(), 17u);
    for (uint8_t i = 0; i < 16; ++i) EXPECT_EQ(out[1 + i], i);

    // Up to the top: the answer byte comes from its mailbox, the command byte takes the doorbell.
    ram->post_answer(240, false);
    ram->host_write(kCommandByte, 242);
    out.clear();
    ram->module_read_block(kAnswerByte, 2, out);
    EXPECT_EQ(out, (std::vector<uint8_t>{240, 242}));
    EXPECT_FALSE(ram->doorbell_rung());
}

}  // namespace
}  // namespace k5320::emulator
