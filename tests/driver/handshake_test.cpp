// The command handshake against the emulated firmware: answers, refusals, repeat requests, the
// interrupt recovery, and firmware that stays silent.
#include <gtest/gtest.h>

#include <chrono>

#include "backplane/inspect.h"
#include "driver/dpram/handshake.h"
#include "emulator/module_probe.h"
#include "k5320.h"
#include "k5320/commands.h"
#include "k5320/dpram_map.h"

namespace {

using k5320::driver::Field;
using k5320::driver::Handshake;
using k5320::driver::run_handshake;
using k5320::driver::slot_context;
using namespace std::chrono_literals;
namespace cmd = k5320::cmd;
namespace answer = k5320::answer;

constexpr uint8_t kSlot = 1;

// A code no firmware command has, so the firmware leaves it unanswered and tests decide.
constexpr uint8_t kTestCommand = 222;
constexpr uint8_t kTestSuccess = answer::kBufferStatusCleared;

class HandshakeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // A fresh module for every test, also when the whole suite runs in one process.
        ASSERT_TRUE(k5320::backplane::in_process_host().replace_module(kSlot, "5320"));
        ASSERT_EQ(K5320_Init(kSlot), K5320_SUCCESS);
        for (int c = 0; c < 256; ++c) baseline_[c] = probe().commands_seen(static_cast<uint8_t>(c));
    }
    void TearDown() override {
        for (uint8_t c : {kTestCommand, cmd::kModeQuery}) {
            probe().silence(c, false);
            probe().override_answer(c, std::nullopt);
            probe().answer_after_repeats(c, 0);
            probe().stray_before(c, std::nullopt);
        }
    }
    k5320::emulator::Module& module() { return *k5320::backplane::in_process_host().module(kSlot); }
    k5320::emulator::ModuleProbe probe() { return k5320::emulator::ModuleProbe(module()); }
    // Commands of this code the firmware took during this test.
    uint64_t seen(uint8_t command) { return probe().commands_seen(command) - baseline_[command]; }
    uint64_t repeats() { return seen(cmd::kRepeatRequest); }

  private:
    uint64_t baseline_[256] = {};
};

TEST_F(HandshakeTest, StandardHandshakeGetsTheAnswer) {
    const auto outcome = run_handshake(kSlot, Handshake{.command = cmd::kModeQuery,
                                                        .field = Field::PingAnswer,
                                                        .success_low = answer::kProgramMode,
                                                        .success_high = answer::kLoaderMode});
    EXPECT_EQ(outcome.result, K5320_SUCCESS);
    EXPECT_EQ(outcome.answer, answer::kProgramMode);
    EXPECT_EQ(repeats(), 0u);
}

TEST_F(HandshakeTest, RefusalEndsTheWaitAtOnceWithoutRepeatRequests) {
    probe().override_answer(kTestCommand, answer::kConfigRefused);
    const auto outcome =
        run_handshake(kSlot, Handshake{.command = kTestCommand,
                                       .field = Field::CmdAnswer,
                                       .success_low = kTestSuccess,
                                       .refusals = {{answer::kConfigRefused, K5320_ERR_REFUSED}}});
    EXPECT_EQ(outcome.result, K5320_ERR_REFUSED);
    EXPECT_EQ(repeats(), 0u);
}

TEST_F(HandshakeTest, SilentFirmwareWithoutRepeatsOrRecoveryGivesTheNoAnswerResult) {
    auto& trace = k5320::backplane::in_process_host().trace();
    trace.clear();
    trace.start();
    const auto outcome = run_handshake(kSlot, Handshake{.command = kTestCommand,
                                                        .field = Field::CmdAnswer,
                                                        .success_low = kTestSuccess,
                                                        .repeat_requests = 0,
                                                        .recovery = false,
                                                        .no_answer_result = 31});
    trace.stop();
    EXPECT_EQ(outcome.result, 31);
    // Exactly one command byte write: the command itself, never a repeat request or mode query.
    int command_writes = 0;
    for (const auto& e : trace.snapshot()) {
        if (e.kind == k5320::backplane::CallKind::kSlotOut &&
            e.port == k5320::dpram::window_port_of(k5320::dpram::kCommandByte)) {
            ++command_writes;
            EXPECT_EQ(e.value, kTestCommand);
        }
    }
    EXPECT_EQ(command_writes, 1);
    EXPECT_EQ(seen(cmd::kModeQuery), 0u);
}

TEST_F(HandshakeTest, FirmwareThatAnswersAfterTheSecondRepeatRequestSucceeds) {
    probe().override_answer(kTestCommand, kTestSuccess);
    probe().answer_after_repeats(kTestCommand, 2);
    const auto outcome = run_handshake(
        kSlot,
        Handshake{.command = kTestCommand, .field = Field::CmdAnswer, .success_low = kTestSuccess});
    EXPECT_EQ(outcome.result, K5320_SUCCESS);
    EXPECT_EQ(repeats(), 2u);
    EXPECT_EQ(seen(cmd::kModeQuery), 0u);  // no recovery was needed
}

TEST_F(HandshakeTest, AnswerOfAnotherCommandInTheFieldKeepsThePollGoing) {
    probe().override_answer(kTestCommand, kTestSuccess);
    probe().stray_before(kTestCommand, answer::kBankReleased);  // a general answer, not ours
    const auto outcome = run_handshake(
        kSlot,
        Handshake{.command = kTestCommand, .field = Field::CmdAnswer, .success_low = kTestSuccess});
    EXPECT_EQ(outcome.result, K5320_SUCCESS);
    EXPECT_EQ(outcome.answer, kTestSuccess);
    EXPECT_EQ(repeats(), 0u);
}

TEST_F(HandshakeTest, AnAnswerThatNeverComesRightEndsWithTheNoAnswerResult) {
    probe().override_answer(kTestCommand, answer::kBankReleased);
    const auto outcome = run_handshake(kSlot, Handshake{.command = kTestCommand,
                                                        .field = Field::CmdAnswer,
                                                        .success_low = kTestSuccess,
                                                        .repeat_requests = 1,
                                                        .recovery = false});
    EXPECT_EQ(outcome.result, K5320_ERR_NO_ANSWER);
    EXPECT_EQ(repeats(), 1u);
}

TEST_F(HandshakeTest, RecoveryDeliversTheAnswerWhoseInterruptWasLost) {
    probe().override_answer(kTestCommand, kTestSuccess);
    probe().lose_interrupts(4);  // the answer and its three repetitions
    const auto outcome = run_handshake(
        kSlot,
        Handshake{.command = kTestCommand, .field = Field::CmdAnswer, .success_low = kTestSuccess});
    EXPECT_EQ(outcome.result, K5320_SUCCESS);
    EXPECT_EQ(slot_context(kSlot).record.get(Field::CmdAnswer), kTestSuccess);
    EXPECT_EQ(repeats(), 3u);
    EXPECT_EQ(seen(cmd::kModeQuery), 1u);
    // The slot is armed again: the next command is answered through the interrupt.
    EXPECT_EQ(run_handshake(kSlot, Handshake{.command = cmd::kModeQuery,
                                             .field = Field::PingAnswer,
                                             .success_low = answer::kProgramMode})
                  .result,
              K5320_SUCCESS);
    EXPECT_TRUE(k5320::backplane::in_process_host().registered(kSlot));
}

TEST_F(HandshakeTest, RecoveryThatGetsNoModeAnswerFails) {
    probe().silence(cmd::kModeQuery, true);
    const auto outcome = run_handshake(
        kSlot,
        Handshake{.command = kTestCommand, .field = Field::CmdAnswer, .success_low = kTestSuccess});
    EXPECT_EQ(outcome.result, K5320_ERR_NO_ANSWER);
    EXPECT_EQ(seen(cmd::kModeQuery), 1u);
}

}  // namespace
