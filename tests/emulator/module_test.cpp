// The module's firmware as the host sees it through the dual-port RAM: mode commands, the
// answer queue, repeat requests and the injected faults.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>

#include "emulator/module_probe.h"
#include "k5320/commands.h"
#include "tests/emulator/module_fixture.h"

namespace k5320::emulator {
namespace {

using dpram::kAnswerByte;
using dpram::kCommandByte;
using namespace std::chrono_literals;

constexpr auto kQuietPeriod = 100ms;  // how long a wrong firmware gets to show itself
constexpr uint8_t kUnservedCommand = 100;

// --- modes ---------------------------------------------------------------------------------

TEST_F(ModuleTest, BootsIntoProgramModeAndSwitchesModesOnCommand) {
    EXPECT_EQ(probe().mode(), answer::kProgramMode);
    EXPECT_EQ(handshake(cmd::kModeQuery), answer::kProgramMode);
    EXPECT_EQ(handshake(cmd::kLoaderMode), answer::kLoaderMode);
    EXPECT_EQ(handshake(cmd::kModeQuery), answer::kLoaderMode);
    EXPECT_EQ(probe().mode(), answer::kLoaderMode);
    EXPECT_EQ(handshake(cmd::kProgramMode), answer::kProgramMode);
    EXPECT_EQ(handshake(cmd::kModeQuery), answer::kProgramMode);
    // Asking for the mode it is already in answers the same.
    EXPECT_EQ(handshake(cmd::kProgramMode), answer::kProgramMode);
}

TEST_F(ModuleTest, WithoutValidFirmwareProgramModeIsRefusedAndLoaderStays) {
    EXPECT_EQ(handshake(cmd::kLoaderMode), answer::kLoaderMode);
    ASSERT_EQ(handshake(cmd::kLoaderDelete), answer::kLoaderDeleted);
    EXPECT_EQ(handshake(cmd::kProgramMode), answer::kLoaderEmpty);
    EXPECT_EQ(next_answer(), answer::kLoaderMode);
    EXPECT_EQ(probe().mode(), answer::kLoaderMode);
    EXPECT_EQ(handshake(cmd::kModeQuery), answer::kLoaderMode);
}

TEST_F(ModuleTest, UnservedCommandIsCountedButNotAnswered) {
    command(kUnservedCommand);
    expect_handled(kUnservedCommand);
    EXPECT_FALSE(probe().answer_pending());
    EXPECT_EQ(probe().commands_seen(kUnservedCommand), 1u);
    // Still alive afterwards.
    EXPECT_EQ(handshake(cmd::kModeQuery), answer::kProgramMode);
}

TEST_F(ModuleTest, ModuleOfUnknownTypeWorksAsHardware) {
    module.reset();
    module = std::make_unique<Module>("9999", *ram);
    EXPECT_EQ(module->type(), "9999");
    EXPECT_EQ(handshake(cmd::kModeQuery), answer::kProgramMode);
}

// --- answer queue --------------------------------------------------------------------------

TEST_F(ModuleTest, AnswersWaitWhileUnreadAndArriveInOrder) {
    probe().post_answer(1);
    probe().post_answer(2);
    command(cmd::kModeQuery);
    expect_handled(cmd::kModeQuery);
    // The first answer is still there: later ones never overwrite it.
    EXPECT_EQ(probe().peek(kAnswerByte), 1);
    EXPECT_TRUE(probe().answer_pending());

    EXPECT_EQ(next_answer(), 1);
    EXPECT_EQ(next_answer(), 2);
    EXPECT_EQ(next_answer(), answer::kProgramMode);
    EXPECT_FALSE(probe().answer_pending());
}

TEST_F(ModuleTest, FullQueueLeavesTheDoorbellRungUntilTheHostReads) {
    // One answer in the byte, the queue filled behind it.
    for (uint8_t value = 0; value <= Module::kAnswerQueueDepth; ++value) probe().post_answer(value);
    command(cmd::kModeQuery);
    EXPECT_FALSE(probe().wait_for_commands(cmd::kModeQuery, 1, kQuietPeriod));
    EXPECT_TRUE(ram->doorbell_rung());

    for (uint8_t value = 0; value <= Module::kAnswerQueueDepth; ++value) {
        EXPECT_EQ(next_answer(), value);
    }
    EXPECT_EQ(next_answer(), answer::kProgramMode);
}

TEST_F(ModuleTest, ManyHandshakesInARowAllGetTheirAnswer) {
    for (int round = 0; round < 500; ++round) {
        const uint8_t code = round % 2 == 0 ? cmd::kLoaderMode : cmd::kProgramMode;
        const uint8_t expected = round % 2 == 0 ? answer::kLoaderMode : answer::kProgramMode;
        ASSERT_EQ(handshake(code), expected) << "round " << round;
    }
}

// --- repeat requests -----------------------------------------------------------------------

TEST_F(ModuleTest, RepeatRequestRaisesTheLineAgainForAnUnreadAnswer) {
    command(cmd::kModeQuery);
    expect_handled(cmd::kModeQuery);
    ASSERT_TRUE(ram->take_line());  // the line was seen but the byte never read

    command(cmd::kRepeatRequest);
    EXPECT_EQ(next_answer(), answer::kProgramMode);
    expect_handled(cmd::kRepeatRequest);
    EXPECT_EQ(probe().commands_seen(cmd::kRepeatRequest), 1u);
    // Raised again, not queued twice.
    EXPECT_FALSE(probe().answer_pending());
    EXPECT_FALSE(ram->line_raised());
}

TEST_F(ModuleTest, RepeatRequestAfterTheHostReadSignalsTheAnswerAgain) {
    EXPECT_EQ(handshake(cmd::kLoaderMode), answer::kLoaderMode);
    EXPECT_EQ(handshake(cmd::kRepeatRequest), answer::kLoaderMode);
    EXPECT_EQ(handshake(cmd::kRepeatRequest), answer::kLoaderMode);
    EXPECT_EQ(probe().commands_seen(cmd::kRepeatRequest), 2u);
}

TEST_F(ModuleTest, RepeatRequestQueuesBehindAnotherUnreadAnswer) {
    EXPECT_EQ(handshake(cmd::kModeQuery), answer::kProgramMode);
    probe().post_answer(5);  // an unrelated answer arrives and the host misses its line
    ASSERT_TRUE(ram->take_line());

    command(cmd::kRepeatRequest);
    EXPECT_EQ(next_answer(), 5);
    EXPECT_EQ(next_answer(), answer::kProgramMode);
}

TEST_F(ModuleTest, RepeatRequestNeverRepeatsTheAnswerOfAnEarlierCommand) {
    EXPECT_EQ(handshake(cmd::kModeQuery), answer::kProgramMode);
    command(kUnservedCommand);
    expect_handled(kUnservedCommand);
    command(cmd::kRepeatRequest);
    expect_handled(cmd::kRepeatRequest);
    EXPECT_FALSE(probe().answer_pending());
    EXPECT_FALSE(ram->line_raised());
}

// --- faults --------------------------------------------------------------------------------

TEST_F(ModuleTest, SilencedCommandIsNeverAnsweredNotEvenOnRepeat) {
    probe().silence(cmd::kModeQuery, true);
    command(cmd::kModeQuery);
    expect_handled(cmd::kModeQuery);
    command(cmd::kRepeatRequest);
    expect_handled(cmd::kRepeatRequest);
    EXPECT_FALSE(probe().answer_pending());

    probe().silence(cmd::kModeQuery, false);
    EXPECT_EQ(handshake(cmd::kModeQuery), answer::kProgramMode);
}

TEST_F(ModuleTest, OverriddenAnswerReplacesTheFirmwaresUntilCleared) {
    probe().override_answer(cmd::kModeQuery, uint8_t{7});
    EXPECT_EQ(handshake(cmd::kModeQuery), 7);
    EXPECT_EQ(handshake(cmd::kRepeatRequest), 7);
    probe().override_answer(cmd::kModeQuery, std::nullopt);
    EXPECT_EQ(handshake(cmd::kModeQuery), answer::kProgramMode);
}

TEST_F(ModuleTest, OverriddenAnswerAlsoAnswersACommandTheFirmwareLeavesUnanswered) {
    probe().override_answer(kUnservedCommand, uint8_t{9});
    EXPECT_EQ(handshake(kUnservedCommand), 9);
    probe().silence(kUnservedCommand, true);  // silence wins over the override
    command(kUnservedCommand);
    expect_handled(kUnservedCommand, 2);
    EXPECT_FALSE(probe().answer_pending());
}

TEST_F(ModuleTest, LostInterruptWritesTheAnswerWithoutRaisingTheLine) {
    probe().lose_interrupts(1);
    command(cmd::kModeQuery);
    expect_handled(cmd::kModeQuery);
    EXPECT_TRUE(probe().answer_pending());
    EXPECT_FALSE(ram->line_raised());

    // Only the next answer was affected: the repeat request raises the line.
    EXPECT_EQ(handshake(cmd::kRepeatRequest), answer::kProgramMode);
}

TEST_F(ModuleTest, WithheldAnswerArrivesOnlyAtTheKthRepeatRequest) {
    probe().answer_after_repeats(cmd::kModeQuery, 2);
    command(cmd::kModeQuery);
    expect_handled(cmd::kModeQuery);
    command(cmd::kRepeatRequest);
    expect_handled(cmd::kRepeatRequest);
    EXPECT_FALSE(probe().answer_pending());
    EXPECT_EQ(handshake(cmd::kRepeatRequest), answer::kProgramMode);
    // From then on it is the pending command's answer like any other.
    EXPECT_EQ(handshake(cmd::kRepeatRequest), answer::kProgramMode);
    // A new command while an answer is withheld drops the withheld one.
    command(cmd::kModeQuery);
    expect_handled(cmd::kModeQuery, 2);
    probe().answer_after_repeats(cmd::kModeQuery, 0);
    EXPECT_EQ(handshake(cmd::kModeQuery), answer::kProgramMode);
    EXPECT_FALSE(probe().answer_pending());
}

TEST_F(ModuleTest, StrayValueComesJustBeforeTheRealAnswer) {
    probe().stray_before(cmd::kModeQuery, uint8_t{219});
    EXPECT_EQ(handshake(cmd::kModeQuery), 219);
    EXPECT_EQ(next_answer(), answer::kProgramMode);
    probe().stray_before(cmd::kModeQuery, std::nullopt);
    EXPECT_EQ(handshake(cmd::kModeQuery), answer::kProgramMode);
}

TEST_F(ModuleTest, PokeAndPeekBypassTheMailbox) {
    probe().poke(kCommandByte, cmd::kModeQuery);
    EXPECT_FALSE(ram->doorbell_rung());
    EXPECT_EQ(probe().peek(kCommandByte), cmd::kModeQuery);
    probe().poke(0x0100, 0x5A);
    EXPECT_EQ(ram->host_read(0x0100), 0x5A);
}

}  // namespace
}  // namespace k5320::emulator
