// The CAN channel's host side against firmware answers set up through fault injection: the
// configuration block and start sequence, the transmit record, the bank fetch and the receive
// decoding, the status pair and the buffer clears.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "backplane/inspect.h"
#include "driver/frame/slot_state.h"
#include "emulator/module_probe.h"
#include "k5320.h"
#include "can/frame.h"
#include "k5320/commands.h"
#include "k5320/dpram_map.h"

namespace {

using k5320::driver::Field;
using k5320::driver::slot_context;
using namespace std::chrono_literals;
namespace cmd = k5320::cmd;
namespace answer = k5320::answer;
namespace dp = k5320::dpram;

constexpr uint8_t kSlot = 1;
constexpr uint8_t kIdleStatus = 0x0C;

class CanChannel : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(k5320::backplane::in_process_host().replace_module(kSlot, "5320"));
        // Off the bus: these tests set the firmware's answers and bank contents themselves, and
        // frames from the bus would make the firmware write banks of its own.
        module().connect(nullptr);
        ASSERT_EQ(K5320_Init(kSlot), K5320_SUCCESS);
    }
    void TearDown() override {
        if (status_writer_.joinable()) status_writer_.join();
    }
    k5320::emulator::Module& module() { return *k5320::backplane::in_process_host().module(kSlot); }
    k5320::emulator::ModuleProbe probe() { return k5320::emulator::ModuleProbe(module()); }
    uint32_t field(Field f) { return slot_context(kSlot).record.get(f); }

    // Answers the configuration, start and clear commands as a firmware would, and shows the
    // running controller's status pair once the start command has come.
    void answer_configuration(uint8_t status = kIdleStatus) {
        probe().override_answer(cmd::kApplyConfig, answer::kConfigApplied);
        probe().override_answer(cmd::kStartCan, answer::kCanStarted);
        probe().override_answer(cmd::kClearBufferStatus, answer::kBufferStatusCleared);
        const uint64_t starts = probe().commands_seen(cmd::kStartCan) + 1;
        if (status_writer_.joinable()) status_writer_.join();
        status_writer_ = std::thread([this, starts, status] {
            if (!probe().wait_for_commands(cmd::kStartCan, starts, 10s)) return;
            probe().poke(dp::kCanStatus, status);
            probe().poke(dp::kCanStatusComplement, static_cast<uint8_t>(~status));
        });
    }
    int configure(uint8_t baud_rate = 4) {
        answer_configuration();
        const int rc = K5320_ConfigWithoutStruct(kSlot, 0, 0xFFFFFFFF, baud_rate, 0, 0);
        status_writer_.join();
        return rc;
    }
    // Puts records into bank 0 as the firmware would and answers the fetch with `fetch_answer`.
    void fill_bank0(const std::vector<k5320::can::Frame>& frames, uint64_t first_stamp,
                    uint8_t fetch_answer = answer::kBank0Ready) {
        for (size_t i = 0; i < frames.size(); ++i) {
            uint8_t record[dp::kRxRecordSize] = {};
            k5320::can::encode(frames[i], record);
            const uint64_t stamp = first_stamp + 10 * i;
            for (int b = 0; b < 4; ++b) {
                record[dp::kRxRecordStampHigh + b] = static_cast<uint8_t>(stamp >> (32 + 8 * b));
                record[dp::kRxRecordStampLow + b] = static_cast<uint8_t>(stamp >> (8 * b));
            }
            for (uint16_t b = 0; b < dp::kRxRecordSize; ++b)
                probe().poke(static_cast<uint16_t>(dp::kRxBank0 + dp::kRxRecordSize * i + b),
                             record[b]);
        }
        probe().poke(dp::kRxBank0Count, static_cast<uint8_t>(frames.size()));
        probe().override_answer(cmd::kFetchReceived, fetch_answer);
        probe().override_answer(cmd::kBankRead, answer::kBankReleased);
    }

  private:
    std::thread status_writer_;
};

TEST_F(CanChannel, ConfigurationBlockAndStartSequence) {
    answer_configuration();
    ASSERT_EQ(K5320_ConfigWithoutStruct(kSlot, 0x12345678, 0x9ABCDEF0, 4, 0x55, 0x66),
              K5320_SUCCESS);
    EXPECT_EQ(field(Field::Configured), 1u);
    const uint8_t expected[] = {0x06, 0, 0, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    for (uint16_t i = 0; i < sizeof expected; ++i)
        EXPECT_EQ(probe().peek(dp::kConfigBlock + i), expected[i]) << i;
    EXPECT_EQ(probe().commands_seen(cmd::kRepeatRequest), 0u);
}

TEST_F(CanChannel, BaudIndicesMapToCodesAndOnlyUserDefinedKeepsTheCallersTiming) {
    const struct {
        uint8_t index;
        uint8_t code;
        uint8_t bt0;
    } cases[] = {{0, 0x0C, 0x31}, {1, 0x01, 0},    {3, 0x04, 0},     {4, 0x06, 0},
                 {8, 0x0B, 0},    {9, 0x0C, 0x31}, {255, 0x0C, 0x31}};
    probe().override_answer(cmd::kApplyConfig, answer::kConfigApplied);
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.index));
        ASSERT_EQ(K5320_SJA1000Config(kSlot, 0, 0xFFFFFFFF, c.index, 0x31, 0x1C), K5320_SUCCESS);
        EXPECT_EQ(probe().peek(dp::kConfigBaudCode), c.code);
        EXPECT_EQ(probe().peek(dp::kConfigBt0), c.bt0);
    }
    EXPECT_EQ(field(Field::Configured), 0u);  // applying a block alone does not configure
    CanConfig config{{0x12, 0x34, 0x56, 0x78}, {0, 0, 0, 1}, 0, 0x31, 0x1C};
    answer_configuration();
    EXPECT_EQ(K5320_Config(kSlot, &config), K5320_SUCCESS);
    EXPECT_EQ(probe().peek(dp::kConfigAccCode), 0x12);
    EXPECT_EQ(probe().peek(dp::kConfigAccCode + 3), 0x78);
    EXPECT_EQ(probe().peek(dp::kConfigAccMask + 3), 0x01);
}

TEST_F(CanChannel, RefusedConfigurationEndsAtOnceAndLeavesTheSlotUnconfigured) {
    ASSERT_EQ(configure(), K5320_SUCCESS);
    probe().override_answer(cmd::kApplyConfig, answer::kConfigRefused);
    EXPECT_EQ(K5320_ConfigWithoutStruct(kSlot, 0, 0xFFFFFFFF, 4, 0, 0), K5320_ERR_REFUSED);
    EXPECT_EQ(probe().commands_seen(cmd::kRepeatRequest), 0u);
    EXPECT_EQ(field(Field::Configured), 0u);
    uint8_t data[8] = {};
    EXPECT_EQ(K5320_SendWithoutStruct(kSlot, 0, 1, 0, 1, data), K5320_ERR_NOT_CONFIGURED);
}

TEST_F(CanChannel, StatusPairTheHostWroteItselfNeverCountsAsStarted) {
    probe().freeze_status_pair(true);
    EXPECT_EQ(K5320_ConfigWithoutStruct(kSlot, 0, 0xFFFFFFFF, 4, 0, 0), K5320_ERR_NO_ANSWER);
    EXPECT_EQ(probe().peek(dp::kCanStatus), 0x00);
    EXPECT_EQ(probe().peek(dp::kCanStatusComplement), 0xFF);
    EXPECT_EQ(field(Field::Configured), 0u);
}

TEST_F(CanChannel, TransmitRecordsAreByteExact) {
    ASSERT_EQ(configure(), K5320_SUCCESS);
    probe().override_answer(cmd::kTransmit, answer::kTxAccepted);
    const uint8_t data[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    ASSERT_EQ(K5320_SendWithoutStruct(kSlot, 0, 0x7FF, 0, 12, data), K5320_SUCCESS);
    const uint8_t standard[] = {0x08, 0xFF, 0xE0, 1, 2, 3, 4, 5, 6, 7, 8};
    for (uint16_t i = 0; i < sizeof standard; ++i)
        EXPECT_EQ(probe().peek(dp::kTxRecord + i), standard[i]) << i;
    ASSERT_EQ(K5320_SendWithoutStruct(kSlot, 1, 0x1FFFFFFF, 1, 3, nullptr), K5320_SUCCESS);
    const uint8_t remote[] = {0xC3, 0xFF, 0xFF, 0xFF, 0xF8};
    for (uint16_t i = 0; i < sizeof remote; ++i)
        EXPECT_EQ(probe().peek(dp::kTxRecord + i), remote[i]) << i;
    EXPECT_EQ(probe().peek(dp::kTxRecord + 5), 3);  // bytes past the record stay as they were
}

TEST_F(CanChannel, RefusedTransmitIs22AndSetsTheFlag) {
    ASSERT_EQ(configure(), K5320_SUCCESS);
    probe().override_answer(cmd::kTransmit, answer::kTxRefused);
    const uint8_t data[1] = {1};
    EXPECT_EQ(K5320_SendWithoutStruct(kSlot, 0, 1, 0, 1, data), K5320_ERR_TX_REFUSED);
    EXPECT_EQ(field(Field::BufferStatus) & 0x20, 0x20u);
}

TEST_F(CanChannel, BankIsReadRecordByRecordAndHandedBackAfterTheLast) {
    ASSERT_EQ(configure(), K5320_SUCCESS);
    fill_bank0({{.id = 0x123, .length = 4, .data = {0xDE, 0xAD, 0xBE, 0xEF}},
                {.id = 0x12345678, .extended = true, .length = 8, .data = {1, 2, 3, 4, 5, 6, 7, 8}},
                {.id = 0x55, .remote = true, .length = 2}},
               0x100000005ULL);
    uint16_t count = 0;
    ASSERT_EQ(K5320_RxMsgCount(kSlot, &count), K5320_SUCCESS);
    EXPECT_EQ(count, 3);

    CanMsg msg{};
    ASSERT_EQ(K5320_ReceiveMsg(kSlot, &msg), K5320_SUCCESS);
    EXPECT_EQ(msg.Mode, 0);
    EXPECT_EQ(msg.MsgID, 0x123u);
    EXPECT_EQ(msg.DataLen, 4);
    EXPECT_EQ(msg.Data[3], 0xEF);
    EXPECT_EQ(msg.Data[4], 0);  // the rest of the eight bytes is filled with 0
    EXPECT_EQ(msg.TimeStamp, 0x100000005ULL);
    ASSERT_EQ(K5320_ReceiveMsg(kSlot, &msg), K5320_SUCCESS);
    EXPECT_EQ(msg.Mode, 1);
    EXPECT_EQ(msg.MsgID, 0x12345678u);
    EXPECT_EQ(msg.TimeStamp, 0x100000005ULL + 10);
    EXPECT_EQ(probe().commands_seen(cmd::kBankRead), 0u);

    msg.Data[0] = 0xAA;
    ASSERT_EQ(K5320_ReceiveMsg(kSlot, &msg), K5320_SUCCESS);
    EXPECT_EQ(msg.RTR, 1);
    EXPECT_EQ(msg.DataLen, 2);
    EXPECT_EQ(msg.Data[0], 0xAA);  // a remote frame leaves the data alone
    EXPECT_TRUE(probe().wait_for_commands(cmd::kBankRead, 1, 10s));
    EXPECT_EQ(field(Field::RxPending), 0u);
}

TEST_F(CanChannel, OverflowMakesEveryReceive22UntilCleared) {
    ASSERT_EQ(configure(), K5320_SUCCESS);
    fill_bank0({{.id = 1, .length = 1}, {.id = 2, .length = 1}}, 0, answer::kBank0ReadyOverflow);
    CanMsg msg{};
    EXPECT_EQ(K5320_ReceiveMsg(kSlot, &msg), K5320_RX_DELIVERED_AFTER_OVERFLOW);
    EXPECT_EQ(msg.MsgID, 1u);  // delivered all the same
    // Clearing only the transmit flag leaves the overflow standing.
    probe().override_answer(cmd::kClearTxSoftBuffer, answer::kTxSoftBufferCleared);
    ASSERT_EQ(K5320_ClearTxSoftBuffer(kSlot), K5320_SUCCESS);
    EXPECT_EQ(K5320_ReceiveMsg(kSlot, &msg), K5320_RX_DELIVERED_AFTER_OVERFLOW);
    ASSERT_EQ(K5320_ClearBufferStatus(kSlot), K5320_SUCCESS);
    fill_bank0({{.id = 3, .length = 1}}, 0);
    EXPECT_EQ(K5320_ReceiveMsg(kSlot, &msg), K5320_SUCCESS);
}

TEST_F(CanChannel, BankCountsAboveTheBankAreNeverRead) {
    ASSERT_EQ(configure(), K5320_SUCCESS);
    fill_bank0({{.id = 1, .length = 1}}, 0);
    probe().poke(dp::kRxBank0Count, 200);
    CanMsg msg{};
    msg.MsgID = 0xBEEF;
    EXPECT_EQ(K5320_ReceiveMsg(kSlot, &msg), K5320_ERR_NO_MESSAGE);
    EXPECT_EQ(msg.MsgID, 0xBEEFu);
    uint16_t count = 9;
    EXPECT_EQ(K5320_RxMsgCount(kSlot, &count), K5320_SUCCESS);
    EXPECT_EQ(count, 0);
    // The next bank with a count it can hold is read as usual.
    fill_bank0({{.id = 2, .length = 1}, {.id = 3, .length = 1}}, 0);
    EXPECT_EQ(K5320_RxMsgCount(kSlot, &count), K5320_SUCCESS);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(K5320_ReceiveMsg(kSlot, &msg), K5320_SUCCESS);
    EXPECT_EQ(msg.MsgID, 2u);
}

TEST_F(CanChannel, StatusKeepsTheLastGoodValue) {
    uint8_t status = 0xEE;
    probe().poke(dp::kCanStatus, 0);
    probe().poke(dp::kCanStatusComplement, 0);
    ASSERT_EQ(K5320_Status(kSlot, &status), K5320_SUCCESS);
    EXPECT_EQ(status, 0);
    probe().poke(dp::kCanStatus, 0x0C);
    probe().poke(dp::kCanStatusComplement, 0xF3);
    ASSERT_EQ(K5320_Status(kSlot, &status), K5320_SUCCESS);
    EXPECT_EQ(status, 0x0C);
    probe().poke(dp::kCanStatus, 0x4C);
    probe().poke(dp::kCanStatusComplement, 0x00);
    ASSERT_EQ(K5320_Status(kSlot, &status), K5320_SUCCESS);
    EXPECT_EQ(status, 0x0C);
}

TEST_F(CanChannel, ClearThatTimesOutLeavesTheReceiveStateAlone) {
    ASSERT_EQ(configure(), K5320_SUCCESS);
    slot_context(kSlot).record.set(Field::RxPending, 5);
    slot_context(kSlot).record.set(Field::BufferStatus, 0x30);
    probe().silence(cmd::kClearSoftBuffers, true);
    EXPECT_EQ(K5320_ClearSoftBuffer(kSlot), K5320_ERR_NO_ANSWER);
    EXPECT_EQ(field(Field::RxPending), 5u);
    EXPECT_EQ(field(Field::BufferStatus), 0x30u);
    probe().override_answer(cmd::kClearRxSoftBuffer, answer::kRxSoftBufferCleared);
    EXPECT_EQ(K5320_ClearRxSoftBuffer(kSlot), K5320_SUCCESS);
    EXPECT_EQ(field(Field::RxPending), 0u);
    EXPECT_EQ(field(Field::BufferStatus), 0x20u);
}

TEST_F(CanChannel, SystemMessagesDataOverrunAndTheTimeOutFlag) {
    probe().override_answer(cmd::kSystemMsgOn, answer::kSystemMsgSwitched);
    EXPECT_EQ(K5320_SetSystemMsg(kSlot, 2), K5320_SUCCESS);
    EXPECT_EQ(probe().commands_seen(cmd::kSystemMsgOn), 1u);
    probe().override_answer(cmd::kSystemMsgOff, answer::kSystemMsgRefused);
    EXPECT_EQ(K5320_SetSystemMsg(kSlot, 0), K5320_ERR_SYSTEM_MSG_REFUSED);

    uint8_t flag = 9;
    probe().set_tx_timeout_flag(true);
    ASSERT_EQ(K5320_IsTxTimeout(kSlot, &flag), K5320_SUCCESS);  // needs no configuration
    EXPECT_NE(flag, 0);

    EXPECT_EQ(K5320_ClearDataOverrun(kSlot), K5320_ERR_NOT_CONFIGURED);
    ASSERT_EQ(configure(), K5320_SUCCESS);
    slot_context(kSlot).record.set(Field::BufferStatus, 0x20);
    EXPECT_EQ(K5320_ClearDataOverrun(kSlot), K5320_SUCCESS);  // no overrun: nothing changes
    EXPECT_EQ(field(Field::BufferStatus), 0x20u);
}

}  // namespace
