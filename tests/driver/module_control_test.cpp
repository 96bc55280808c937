// Module reset, operating modes, release and SJA1000 register access through the C API.
#include <gtest/gtest.h>

#include <chrono>

#include "backplane/inspect.h"
#include "driver/frame/slot_state.h"
#include "emulator/module_probe.h"
#include "k5320.h"
#include "k5320/commands.h"

namespace {

using k5320::driver::Field;
using k5320::driver::slot_context;
namespace cmd = k5320::cmd;
namespace answer = k5320::answer;

constexpr uint8_t kSlot = 1;
constexpr uint8_t kSja1000Mod = 0;
constexpr uint8_t kSja1000Sr = 2;
constexpr uint8_t kSja1000Btr0 = 6;

class ModuleControl : public ::testing::Test {
  protected:
    void SetUp() override {
        // A fresh module for every test, also when the whole suite runs in one process.
        ASSERT_TRUE(k5320::backplane::in_process_host().replace_module(kSlot, "5320"));
        ASSERT_EQ(K5320_Init(kSlot), K5320_SUCCESS);
        for (int c = 0; c < 256; ++c) baseline_[c] = probe().commands_seen(static_cast<uint8_t>(c));
    }
    k5320::emulator::Module& module() { return *k5320::backplane::in_process_host().module(kSlot); }
    k5320::emulator::ModuleProbe probe() { return k5320::emulator::ModuleProbe(module()); }
    uint64_t seen(uint8_t command) { return probe().commands_seen(command) - baseline_[command]; }
    uint32_t field(Field f) { return slot_context(kSlot).record.get(f); }

  private:
    uint64_t baseline_[256] = {};
};

TEST_F(ModuleControl, Check186ModeReportsProgramAndLoaderMode) {
    uint8_t mode = 7;
    ASSERT_EQ(K5320_Check186Mode(kSlot, &mode), K5320_SUCCESS);
    EXPECT_EQ(mode, 1);
    probe().override_answer(cmd::kModeQuery, answer::kLoaderMode);
    ASSERT_EQ(K5320_Check186Mode(kSlot, &mode), K5320_SUCCESS);
    EXPECT_EQ(mode, 0);
    // No answer at all: 23, and the out byte is left alone.
    probe().silence(cmd::kModeQuery, true);
    mode = 7;
    EXPECT_EQ(K5320_Check186Mode(kSlot, &mode), K5320_ERR_NO_ANSWER);
    EXPECT_EQ(mode, 7);
}

TEST_F(ModuleControl, UserProgramStartsAndEndsWithRefusalsInTheWrongState) {
    EXPECT_TRUE(probe().user_program_running());  // it runs after boot
    EXPECT_EQ(K5320_RunUserProgram(kSlot), K5320_ERR_WRONG_STATE);
    EXPECT_EQ(K5320_EndUserProgram(kSlot), K5320_SUCCESS);
    EXPECT_FALSE(probe().user_program_running());
    EXPECT_EQ(K5320_EndUserProgram(kSlot), K5320_ERR_WRONG_STATE);
    slot_context(kSlot).record.set(Field::CmdPending, 1);
    EXPECT_EQ(K5320_RunUserProgram(kSlot), K5320_SUCCESS);
    EXPECT_EQ(field(Field::CmdPending), 0u);
    EXPECT_EQ(seen(cmd::kRepeatRequest), 0u);
}

TEST_F(ModuleControl, HardwareResetBringsTheModuleToARunningUserProgram) {
    slot_context(kSlot).record.set(Field::Configured, 1);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(K5320_HardwareReset(kSlot), K5320_SUCCESS);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    RecordProperty(
        "hardware_reset_ms",
        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
    EXPECT_EQ(field(Field::Initialized), 1u);
    EXPECT_EQ(field(Field::Configured), 0u);
    EXPECT_EQ(field(Field::PingAnswer), answer::kProgramMode);
    EXPECT_TRUE(probe().user_program_running());
    EXPECT_EQ(probe().sja1000_register(kSja1000Mod) & 0x01, 0x01);  // controller in reset mode
    EXPECT_EQ(seen(cmd::kProgramMode), 1u);
    EXPECT_EQ(seen(cmd::kRestore), 1u);
    EXPECT_EQ(seen(cmd::kRunUserProgram), 1u);
}

TEST_F(ModuleControl, HardwareResetOfAModuleAnsweringFromItsLoaderIsWrongState) {
    probe().override_answer(cmd::kProgramMode, answer::kLoaderMode);
    slot_context(kSlot).record.set(Field::Configured, 1);
    EXPECT_EQ(K5320_HardwareReset(kSlot), K5320_ERR_WRONG_STATE);
    EXPECT_EQ(field(Field::Initialized), 1u);
    EXPECT_EQ(field(Field::Configured), 0u);
    EXPECT_EQ(seen(cmd::kRestore), 1u);  // the restore step ran before the verdict
    EXPECT_EQ(seen(cmd::kRunUserProgram), 0u);
}

TEST_F(ModuleControl, RefusedUserProgramIsWrongStateForHardwareResetButNoAnswerForReset) {
    probe().override_answer(cmd::kRunUserProgram, answer::kUserProgramEnded);
    EXPECT_EQ(K5320_HardwareReset(kSlot), K5320_ERR_WRONG_STATE);
    EXPECT_EQ(seen(cmd::kRepeatRequest), 0u);

    EXPECT_EQ(K5320_Reset(kSlot), K5320_ERR_NO_ANSWER);
    EXPECT_EQ(seen(cmd::kRepeatRequest), 3u);  // all of them, then the recovery
    EXPECT_EQ(seen(cmd::kModeQuery), 1u);
    EXPECT_EQ(field(Field::Configured), 0u);
}

TEST_F(ModuleControl, ResetClearsTheChannelStateAndRunsTheUserProgram) {
    auto& record = slot_context(kSlot).record;
    for (Field f : {Field::Configured, Field::RxReadIndex, Field::RxPending, Field::BufferStatus,
                    Field::CmdPending})
        record.set(f, 5);
    ASSERT_EQ(K5320_EndUserProgram(kSlot), K5320_SUCCESS);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(K5320_Reset(kSlot), K5320_SUCCESS);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    RecordProperty(
        "reset_ms",
        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
    for (Field f : {Field::Configured, Field::RxReadIndex, Field::RxPending, Field::BufferStatus,
                    Field::CmdPending})
        EXPECT_EQ(record.get(f), 0u) << static_cast<int>(f);
    EXPECT_EQ(field(Field::PingAnswer), answer::kProgramMode);
    EXPECT_EQ(field(Field::Initialized), 1u);
    EXPECT_TRUE(probe().user_program_running());
}

TEST_F(ModuleControl, ResetOfAModuleInLoaderModeIsWrongState) {
    probe().override_answer(cmd::kProgramMode, answer::kLoaderMode);
    EXPECT_EQ(K5320_Reset(kSlot), K5320_ERR_WRONG_STATE);
    EXPECT_EQ(seen(cmd::kRunUserProgram), 0u);
}

TEST_F(ModuleControl, RestoreRightAfterInitSkipsTheRestoreCommandAndReleasesTheSlot) {
    EXPECT_EQ(K5320_RestoreK5320(kSlot), K5320_SUCCESS);
    EXPECT_EQ(seen(cmd::kRestore), 0u);  // no mode answer seen yet
    EXPECT_FALSE(k5320::backplane::in_process_host().registered(kSlot));
    uint8_t b = 0;
    EXPECT_EQ(K5320_DPRAMReadByte(kSlot, 0, &b), K5320_ERR_NOT_INITIALIZED);
    EXPECT_EQ(K5320_Init(kSlot), K5320_SUCCESS);
}

TEST_F(ModuleControl, RestoreAfterAResetAsksTheModuleToRestoreItself) {
    ASSERT_EQ(K5320_HardwareReset(kSlot), K5320_SUCCESS);
    const uint64_t restores = seen(cmd::kRestore);
    EXPECT_EQ(K5320_RestoreK5320(kSlot), K5320_SUCCESS);
    EXPECT_EQ(seen(cmd::kRestore), restores + 1);
    EXPECT_FALSE(probe().user_program_running());
    EXPECT_EQ(K5320_RestoreK5320(kSlot), K5320_ERR_NOT_INITIALIZED);
}

TEST_F(ModuleControl, RestoreOfASilentModuleStillReleasesTheSlot) {
    ASSERT_EQ(K5320_HardwareReset(kSlot), K5320_SUCCESS);
    probe().silence(cmd::kRestore, true);
    EXPECT_EQ(K5320_RestoreK5320(kSlot), K5320_SUCCESS);
    EXPECT_EQ(seen(cmd::kModeQuery), 0u);  // no recovery on the way out
    EXPECT_EQ(K5320_Init(kSlot), K5320_SUCCESS);
}

TEST_F(ModuleControl, RegistersAreWrittenAndReadThroughTheFirmware) {
    uint8_t value = 0;
    ASSERT_EQ(K5320_InputByte(kSlot, kSja1000Sr, &value), K5320_SUCCESS);
    EXPECT_EQ(value, 0x3C);  // status after a hardware reset
    ASSERT_EQ(K5320_OutputByte(kSlot, kSja1000Btr0, 0x31), K5320_SUCCESS);
    EXPECT_EQ(probe().sja1000_register(kSja1000Btr0), 0x31);
    value = 0;
    ASSERT_EQ(K5320_InputByte(kSlot, kSja1000Btr0, &value), K5320_SUCCESS);
    EXPECT_EQ(value, 0x31);
}

TEST_F(ModuleControl, NothingTouchesTheModuleOfAnUninitialisedSlot) {
    ASSERT_EQ(K5320_RemoveIrq(kSlot), K5320_SUCCESS);
    uint8_t value = 0;
    EXPECT_EQ(K5320_OutputByte(kSlot, kSja1000Btr0, 1), K5320_ERR_NOT_INITIALIZED);
    EXPECT_EQ(K5320_InputByte(kSlot, kSja1000Btr0, &value), K5320_ERR_NOT_INITIALIZED);
    EXPECT_EQ(K5320_Check186Mode(kSlot, &value), K5320_ERR_NOT_INITIALIZED);
    EXPECT_EQ(K5320_HardwareReset(kSlot), K5320_ERR_NOT_INITIALIZED);
    EXPECT_EQ(K5320_Reset(kSlot), K5320_ERR_NOT_INITIALIZED);
    EXPECT_EQ(K5320_RunUserProgram(kSlot), K5320_ERR_NOT_INITIALIZED);
    EXPECT_EQ(K5320_EndUserProgram(kSlot), K5320_ERR_NOT_INITIALIZED);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(K5320_RestoreK5320(kSlot), K5320_ERR_NOT_INITIALIZED);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5));
    for (int c = 0; c < 256; ++c) EXPECT_EQ(seen(static_cast<uint8_t>(c)), 0u) << c;
}

}  // namespace
