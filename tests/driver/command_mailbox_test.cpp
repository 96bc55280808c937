// Command records exchanged with the firmware's user program, and the module clock.
#include <gtest/gtest.h>

#include <chrono>
#include <numeric>
#include <vector>

#include "backplane/inspect.h"
#include "driver/frame/slot_state.h"
#include "emulator/module_probe.h"
#include "k5320.h"
#include "k5320/commands.h"
#include "k5320/dpram_map.h"
#include "platform/clock.h"

namespace {

using k5320::driver::Field;
using k5320::driver::slot_context;
using namespace std::chrono_literals;
namespace cmd = k5320::cmd;
namespace answer = k5320::answer;
namespace dp = k5320::dpram;

constexpr uint8_t kSlot = 1;

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), seed);
    return v;
}

class CommandMailbox : public ::testing::Test {
  protected:
    void SetUp()
        override {  // A fresh module for every test, also when the whole suite runs in one process.
        ASSERT_TRUE(k5320::backplane::in_process_host().replace_module(kSlot, "5320"));
        ASSERT_EQ(K5320_Init(kSlot), K5320_SUCCESS);
    }
    void TearDown() override {
        k5320::platform::set_tick_offset_for_test(0);
        k5320::platform::set_local_time_for_test(nullptr);
    }
    k5320::emulator::Module& module() { return *k5320::backplane::in_process_host().module(kSlot); }
    k5320::emulator::ModuleProbe probe() { return k5320::emulator::ModuleProbe(module()); }
    uint16_t module_word(uint16_t address) {
        return static_cast<uint16_t>(probe().peek(address) | probe().peek(address + 1) << 8);
    }
    // Announces a record from the firmware side, as a user program would.
    void firmware_posts(const std::vector<uint8_t>& data, uint16_t length) {
        for (size_t i = 0; i < data.size(); ++i)
            probe().poke(static_cast<uint16_t>(dp::kInCmdData + i), data[i]);
        probe().poke(dp::kInCmdLength, static_cast<uint8_t>(length));
        probe().poke(dp::kInCmdLength + 1, static_cast<uint8_t>(length >> 8));
        probe().post_answer(answer::kCommandRecordArrived);
    }
    static void place_tick_before_wrap(uint32_t ms) {
        k5320::platform::set_tick_offset_for_test(0);
        k5320::platform::set_tick_offset_for_test(0xFFFFFFFFu - ms - k5320::platform::tick_count());
    }
    bool wait_arrived() {
        for (auto until = std::chrono::steady_clock::now() + 10s;
             std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(1ms))
            if (slot_context(kSlot).record.get(Field::CmdArrived) != 0) return true;
        return false;
    }
};

TEST_F(CommandMailbox, SendAcceptsOneTo512BytesAndWritesNothingOtherwise) {
    ASSERT_EQ(K5320_EndUserProgram(kSlot), K5320_SUCCESS);  // no echo to disturb the areas
    const auto data = pattern(513, 1);
    ASSERT_EQ(K5320_SendCmd(kSlot, data.data(), 512), K5320_SUCCESS);
    EXPECT_EQ(module_word(dp::kOutCmdLength), 512);
    EXPECT_EQ(probe().peek(dp::kOutCmdData), 1);
    EXPECT_EQ(probe().peek(dp::kOutCmdData + 511), static_cast<uint8_t>(512));
    EXPECT_EQ(probe().peek(dp::kCommandByte), cmd::kCommandRecord);

    const auto other = pattern(513, 100);
    EXPECT_EQ(K5320_SendCmd(kSlot, other.data(), 513), K5320_ERR_RANGE);
    EXPECT_EQ(K5320_SendCmd(kSlot, other.data(), 0), K5320_ERR_RANGE);
    EXPECT_EQ(module_word(dp::kOutCmdLength), 512);
    EXPECT_EQ(probe().peek(dp::kOutCmdData), 1);
    // The outgoing area ends where the cyclic block begins.
    EXPECT_EQ(dp::kOutCmdData + dp::kCmdRecordMax, dp::kCyclicFrame);
}

TEST_F(CommandMailbox, TheUserProgramsEchoIsReceived) {
    uint8_t buffer[512] = {};
    uint16_t length = 0;
    EXPECT_EQ(K5320_ReceiveCmd(kSlot, buffer, &length), K5320_ERR_NO_COMMAND);
    const auto data = pattern(512, 7);
    ASSERT_EQ(K5320_SendCmd(kSlot, data.data(), 512), K5320_SUCCESS);
    ASSERT_TRUE(wait_arrived());
    ASSERT_EQ(K5320_ReceiveCmd(kSlot, buffer, &length), K5320_SUCCESS);
    EXPECT_EQ(length, 512);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer));
    EXPECT_EQ(K5320_ReceiveCmd(kSlot, buffer, &length), K5320_ERR_NO_COMMAND);
}

TEST_F(CommandMailbox, ReceivedLengthsOutsideTheRangeDropTheRecord) {
    uint8_t buffer[600];
    for (uint16_t bad : {uint16_t{0}, uint16_t{513}, uint16_t{0xFFFF}}) {
        SCOPED_TRACE(bad);
        std::fill(std::begin(buffer), std::end(buffer), 0xEE);
        uint16_t length = 0x1234;
        firmware_posts(pattern(4, 1), bad);
        ASSERT_TRUE(wait_arrived());
        EXPECT_EQ(K5320_ReceiveCmd(kSlot, buffer, &length), K5320_ERR_RANGE);
        EXPECT_EQ(length, 0x1234);
        EXPECT_EQ(buffer[0], 0xEE);  // nothing was copied
        EXPECT_EQ(K5320_ReceiveCmd(kSlot, buffer, &length), K5320_ERR_NO_COMMAND);
    }
    // A record with a length in range is received as usual afterwards.
    firmware_posts(pattern(4, 9), 4);
    ASSERT_TRUE(wait_arrived());
    uint16_t length = 0;
    ASSERT_EQ(K5320_ReceiveCmd(kSlot, buffer, &length), K5320_SUCCESS);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(buffer[3], 12);
}

TEST_F(CommandMailbox, ClearDropsAnAnnouncedRecord) {
    firmware_posts(pattern(3, 1), 3);
    ASSERT_TRUE(wait_arrived());
    EXPECT_EQ(K5320_ClearReceiveCmd(kSlot), K5320_SUCCESS);
    uint8_t buffer[512];
    uint16_t length = 0;
    EXPECT_EQ(K5320_ReceiveCmd(kSlot, buffer, &length), K5320_ERR_NO_COMMAND);
}

TEST_F(CommandMailbox, BlockingSendReceiveGetsTheAnswerRecord) {
    const auto data = pattern(100, 3);
    uint8_t buffer[512] = {};
    uint16_t length = 0;
    ASSERT_EQ(K5320_SendReceiveCmd(kSlot, 1, data.data(), 100, buffer, &length, 5000),
              K5320_SUCCESS);
    EXPECT_EQ(length, 100);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer));
    EXPECT_EQ(slot_context(kSlot).record.get(Field::CmdPending), 0u);
    EXPECT_EQ(K5320_SendReceiveCmd(kSlot, 1, data.data(), 0, buffer, &length, 5000),
              K5320_ERR_RANGE);
    EXPECT_EQ(K5320_SendReceiveCmd(kSlot, 1, data.data(), 513, buffer, &length, 5000),
              K5320_ERR_RANGE);
}

TEST_F(CommandMailbox, AnAlreadyAnnouncedRecordIsReturnedAtOnceWithoutSending) {
    firmware_posts(pattern(5, 40), 5);
    ASSERT_TRUE(wait_arrived());
    slot_context(kSlot).record.set(Field::CmdPending, 1);
    slot_context(kSlot).record.set(Field::CmdSentTick, k5320::platform::tick_count());
    const uint64_t sent_before = probe().commands_seen(cmd::kCommandRecord);
    const auto data = pattern(9, 1);
    uint8_t buffer[512] = {};
    uint16_t length = 0;
    ASSERT_EQ(K5320_SendReceiveCmd(kSlot, 1, data.data(), 9, buffer, &length, 5000), K5320_SUCCESS);
    EXPECT_EQ(length, 5);
    EXPECT_EQ(buffer[0], 40);
    EXPECT_EQ(probe().commands_seen(cmd::kCommandRecord), sent_before);
}

// With nothing pending, an announced record is returned before this call's command goes out;
// that command stays pending, so its echo is the next call's answer and nothing is sent twice.
TEST_F(CommandMailbox, AnUnsolicitedRecordIsReturnedFirstAndTheNewCommandStaysPending) {
    firmware_posts(pattern(5, 40), 5);
    ASSERT_TRUE(wait_arrived());
    const uint64_t sent_before = probe().commands_seen(cmd::kCommandRecord);
    const auto own = pattern(9, 1);
    const auto ignored = pattern(7, 200);
    uint8_t buffer[512] = {};
    uint16_t length = 0;
    ASSERT_EQ(K5320_SendReceiveCmd(kSlot, 1, own.data(), 9, buffer, &length, 5000), K5320_SUCCESS);
    EXPECT_EQ(length, 5);
    EXPECT_EQ(buffer[0], 40);
    EXPECT_EQ(slot_context(kSlot).record.get(Field::CmdPending), 1u);

    ASSERT_EQ(K5320_SendReceiveCmd(kSlot, 1, ignored.data(), 7, buffer, &length, 5000),
              K5320_SUCCESS);
    EXPECT_EQ(length, 9);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(probe().commands_seen(cmd::kCommandRecord), sent_before + 1);
    EXPECT_EQ(K5320_ReceiveCmd(kSlot, buffer, &length), K5320_ERR_NO_COMMAND);
}

TEST_F(CommandMailbox, NonBlockingCallsReturnPendingUntilTheRecordIsThereAndNeverResend) {
    ASSERT_EQ(K5320_EndUserProgram(kSlot),
              K5320_SUCCESS);  // the firmware will not answer by itself
    const auto first = pattern(8, 1);
    const auto second = pattern(8, 200);
    uint8_t buffer[512] = {};
    uint16_t length = 0;
    EXPECT_EQ(K5320_SendReceiveCmd(kSlot, 0, first.data(), 8, buffer, &length, 60000),
              K5320_ERR_ANSWER_PENDING);
    ASSERT_TRUE(probe().wait_for_commands(cmd::kCommandRecord, 1, 10s));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(K5320_SendReceiveCmd(kSlot, 0, second.data(), 8, buffer, &length, 60000),
                  K5320_ERR_ANSWER_PENDING);
    EXPECT_EQ(probe().commands_seen(cmd::kCommandRecord), 1u);
    EXPECT_EQ(probe().peek(dp::kOutCmdData), 1);  // the second call's data were not sent

    firmware_posts(pattern(6, 50), 6);
    ASSERT_TRUE(wait_arrived());
    EXPECT_EQ(K5320_SendReceiveCmd(kSlot, 0, second.data(), 8, buffer, &length, 60000),
              K5320_SUCCESS);
    EXPECT_EQ(length, 6);
    EXPECT_EQ(buffer[5], 55);
    EXPECT_EQ(slot_context(kSlot).record.get(Field::CmdPending), 0u);
}

TEST_F(CommandMailbox, TimeOutIsMeasuredAcrossTheTickWrapAround) {
    ASSERT_EQ(K5320_EndUserProgram(kSlot), K5320_SUCCESS);
    // The tick 20 ms before the wrap: the 60 ms time-out ends after it.
    place_tick_before_wrap(20);
    const auto data = pattern(4, 1);
    uint8_t buffer[512];
    uint16_t length = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(K5320_SendReceiveCmd(kSlot, 1, data.data(), 4, buffer, &length, 60),
              K5320_ERR_NO_ANSWER);
    // 60 ticks of a millisecond clock: at least 59 ms, as the first tick may be nearly over.
    EXPECT_GE(std::chrono::steady_clock::now() - start, 59ms);
    EXPECT_LT(k5320::platform::tick_count(), 0x10000u);  // the tick did wrap meanwhile
    EXPECT_EQ(slot_context(kSlot).record.get(Field::CmdPending), 0u);

    // Non-blocking across the wrap: pending first, run out later.
    place_tick_before_wrap(20);
    EXPECT_EQ(K5320_SendReceiveCmd(kSlot, 0, data.data(), 4, buffer, &length, 60),
              K5320_ERR_ANSWER_PENDING);
    std::this_thread::sleep_for(70ms);
    EXPECT_EQ(K5320_SendReceiveCmd(kSlot, 0, data.data(), 4, buffer, &length, 60),
              K5320_ERR_NO_ANSWER);
}

TEST_F(CommandMailbox, ClockIsWrittenLittleEndianAndTakenByTheModule) {
    const k5320::platform::LocalTime when{.year = 2013,
                                          .month = 5,
                                          .day_of_week = 5,
                                          .day = 17,
                                          .hour = 10,
                                          .minute = 20,
                                          .second = 30,
                                          .milliseconds = 0};
    k5320::platform::set_local_time_for_test(&when);
    probe().set_tx_timeout_flag(true);
    ASSERT_EQ(K5320_AdjustDateTime(kSlot), K5320_SUCCESS);
    EXPECT_EQ(probe().peek(dp::kClockYear), 0xDD);
    EXPECT_EQ(probe().peek(dp::kClockYear + 1), 0x07);
    EXPECT_EQ(probe().peek(dp::kClockMonth), 5);
    EXPECT_EQ(probe().peek(dp::kClockDay), 17);
    EXPECT_EQ(probe().peek(dp::kClockHour), 10);
    EXPECT_EQ(probe().peek(dp::kClockMinute), 20);
    // The seconds byte is the firmware's transmit time-out flag again once it took the clock.
    EXPECT_NE(probe().peek(dp::kTxTimeoutFlag), 30);
    EXPECT_NE(probe().peek(dp::kTxTimeoutFlag), 0);
    const auto clock = probe().clock();
    ASSERT_TRUE(clock.has_value());
    EXPECT_EQ(clock->year, 2013);
    EXPECT_EQ(clock->second, 30);
}

TEST_F(CommandMailbox, ClockRefusedByTheModuleIs36) {
    const k5320::platform::LocalTime no_such_day{.year = 2013,
                                                 .month = 2,
                                                 .day_of_week = 0,
                                                 .day = 29,
                                                 .hour = 0,
                                                 .minute = 0,
                                                 .second = 0,
                                                 .milliseconds = 0};
    k5320::platform::set_local_time_for_test(&no_such_day);
    EXPECT_EQ(K5320_AdjustDateTime(kSlot), K5320_ERR_CLOCK_REFUSED);
    EXPECT_EQ(probe().commands_seen(cmd::kRepeatRequest), 0u);
}

}  // namespace
