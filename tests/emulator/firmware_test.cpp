// The firmware's commands as the host sees them through the dual-port RAM: user program, reset
// and restore, SJA1000 register access, the module clock and command records.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "emulator/module_probe.h"
#include "emulator/sja1000.h"
#include "k5320/commands.h"
#include "tests/emulator/module_fixture.h"

namespace k5320::emulator {
namespace {

using namespace std::chrono_literals;
using namespace sja1000;

constexpr uint8_t kUntouched = 0xA5;  // a DPRAM byte the firmware is not meant to write

// --- user program -----------------------------------------------------------------------------

TEST_F(ModuleTest, UserProgramRunsAfterBootAndRefusesToStartOrEndTwice) {
    EXPECT_TRUE(probe().user_program_running());
    EXPECT_EQ(handshake(cmd::kRunUserProgram), answer::kUserProgramEnded);  // already running
    EXPECT_TRUE(probe().user_program_running());

    EXPECT_EQ(handshake(cmd::kEndUserProgram), answer::kUserProgramEnded);
    EXPECT_FALSE(probe().user_program_running());
    EXPECT_EQ(handshake(cmd::kEndUserProgram), answer::kUserProgramRunning);  // refused
    EXPECT_FALSE(probe().user_program_running());

    EXPECT_EQ(handshake(cmd::kRunUserProgram), answer::kUserProgramRunning);
    EXPECT_TRUE(probe().user_program_running());
    // A repeat request signals the answer again without starting anything twice.
    EXPECT_EQ(handshake(cmd::kRepeatRequest), answer::kUserProgramRunning);
    EXPECT_TRUE(probe().user_program_running());
}

TEST_F(ModuleTest, LoaderServesNoProgramModeCommandAndStopsTheUserProgram) {
    EXPECT_EQ(handshake(cmd::kLoaderMode), answer::kLoaderMode);
    EXPECT_FALSE(probe().user_program_running());

    ram->host_write(dpram::kRegisterAddress, SJA1000_BTR0);
    ram->host_write(dpram::kRegisterValue, 0x31);
    write_word(dpram::kOutCmdLength, 1);
    for (uint8_t code : {cmd::kRunUserProgram, cmd::kEndUserProgram, cmd::kWriteRegister,
                         cmd::kReadRegister, cmd::kSetClock, cmd::kCommandRecord}) {
        command(code);
        expect_handled(code);
        EXPECT_FALSE(probe().answer_pending()) << "command " << int(code);
    }
    EXPECT_FALSE(probe().user_program_running());
    EXPECT_EQ(probe().sja1000_register(SJA1000_BTR0), 0);
    EXPECT_FALSE(probe().clock());
    EXPECT_EQ(ram->host_read(dpram::kRegisterValue), 0x31);
}

// --- restore and reset -------------------------------------------------------------------------

struct ResetCase {
    uint8_t command;
    uint8_t answer;
    bool from_loader;
};

class ResetTest : public ModuleTest, public ::testing::WithParamInterface<ResetCase> {};

TEST_P(ResetTest, BringsTheChannelToItsPowerOnStateInEitherMode) {
    const ResetCase c = GetParam();
    // Make the channel state anything but the power-on one.
    ASSERT_EQ(write_register(SJA1000_BTR0, 0x03), answer::kRegisterWritten);
    ASSERT_EQ(write_register(SJA1000_MOD, 0x00), answer::kRegisterWritten);
    ASSERT_EQ(probe().sja1000_register(SJA1000_SR), SR_TCS | SR_TBS);
    probe().set_tx_timeout_flag(true);
    ASSERT_EQ(ram->host_read(dpram::kTxTimeoutFlag), dpram::kTxTimeoutFlagSet);
    ASSERT_TRUE(probe().user_program_running());
    if (c.from_loader) {
        ASSERT_EQ(handshake(cmd::kLoaderMode), answer::kLoaderMode);
    }

    EXPECT_EQ(handshake(c.command), c.answer);
    EXPECT_FALSE(probe().user_program_running());
    EXPECT_EQ(probe().sja1000_register(SJA1000_MOD), MOD_RM);
    EXPECT_EQ(probe().sja1000_register(SJA1000_SR), 0x3C);
    EXPECT_EQ(probe().sja1000_register(SJA1000_BTR0), 0);
    EXPECT_EQ(ram->host_read(dpram::kTxTimeoutFlag), dpram::kTxTimeoutFlagClear);
    // The flag itself is cleared, not only its byte: a clock setting puts 0 back.
    if (!c.from_loader) {
        ram->host_write(dpram::kClockSecond, 30);
        handshake(cmd::kSetClock);
        EXPECT_EQ(ram->host_read(dpram::kTxTimeoutFlag), dpram::kTxTimeoutFlagClear);
    }
    EXPECT_EQ(probe().mode(), c.from_loader ? answer::kLoaderMode : answer::kProgramMode);
}

std::string reset_case_name(const ::testing::TestParamInfo<ResetCase>& param) {
    return std::string(param.param.command == cmd::kRestore ? "Restore" : "Reset") +
           (param.param.from_loader ? "FromLoader" : "FromProgram");
}

INSTANTIATE_TEST_SUITE_P(RestoreAndReset, ResetTest,
                         ::testing::Values(ResetCase{cmd::kRestore, answer::kRestored, false},
                                           ResetCase{cmd::kRestore, answer::kRestored, true},
                                           ResetCase{cmd::kReset, answer::kResetDone, false},
                                           ResetCase{cmd::kReset, answer::kResetDone, true}),
                         reset_case_name);

// The host's reset sequences end with a run command that must be accepted, whichever mode the
// module was in.
TEST_F(ModuleTest, HostResetSequencesEndWithTheUserProgramStarted) {
    const std::vector<std::vector<std::pair<uint8_t, uint8_t>>> sequences = {
        {{cmd::kProgramMode, answer::kProgramMode},
         {cmd::kRestore, answer::kRestored},
         {cmd::kRunUserProgram, answer::kUserProgramRunning}},
        {{cmd::kReset, answer::kResetDone},
         {cmd::kProgramMode, answer::kProgramMode},
         {cmd::kRunUserProgram, answer::kUserProgramRunning}},
    };
    for (const auto& sequence : sequences) {
        for (bool from_loader : {false, true}) {
            if (from_loader) {
                ASSERT_EQ(handshake(cmd::kLoaderMode), answer::kLoaderMode);
            }
            for (auto [code, expected] : sequence) {
                EXPECT_EQ(handshake(code), expected)
                    << "command " << int(code) << (from_loader ? " from the loader" : "");
            }
        }
    }
}

// --- SJA1000 registers -------------------------------------------------------------------------

TEST_F(ModuleTest, RegisterWriteAndReadRoundTripWithTheValueInPlaceBeforeTheAnswer) {
    // Many rounds: a firmware that answered before writing the value would be caught by some.
    // The read helper leaves the complement in the value byte before it asks.
    for (unsigned round = 0; round < 300; ++round) {
        const uint8_t addr = static_cast<uint8_t>(SJA1000_RAM + round % SJA1000_RAM_SIZE);
        const uint8_t value = static_cast<uint8_t>(round * 13 + 1);
        ASSERT_EQ(write_register(addr, value), answer::kRegisterWritten);
        ASSERT_EQ(probe().sja1000_register(addr), value);
        ASSERT_EQ(read_register(addr), value) << "round " << round;
    }
}

TEST_F(ModuleTest, RegisterCommandsGoThroughTheChipsAccessRules) {
    EXPECT_EQ(write_register(SJA1000_BTR0, 0x31), answer::kRegisterWritten);
    EXPECT_EQ(write_register(SJA1000_MOD, 0), answer::kRegisterWritten);  // BTR0 now locked
    EXPECT_EQ(write_register(SJA1000_BTR0, 0x00), answer::kRegisterWritten);
    EXPECT_EQ(write_register(SJA1000_CMR, CMR_TR), answer::kRegisterWritten);
    EXPECT_EQ(read_register(SJA1000_BTR0), 0x31);
    EXPECT_EQ(read_register(0x80 | SJA1000_BTR0), 0x31);
    EXPECT_EQ(read_register(SJA1000_SR), SR_TCS | SR_TBS);
    EXPECT_EQ(read_register(SJA1000_CMR), 0);
}

// --- module clock ------------------------------------------------------------------------------

class ClockTest : public ModuleTest {
  protected:
    // Writes a setting as the host does and returns the firmware's answer.
    std::optional<uint8_t> set_clock(const ModuleClock& c) {
        write_word(dpram::kClockYear, c.year);
        ram->host_write(dpram::kClockMonth, c.month);
        ram->host_write(dpram::kClockDay, c.day);
        ram->host_write(dpram::kClockHour, c.hour);
        ram->host_write(dpram::kClockMinute, c.minute);
        ram->host_write(dpram::kClockSecond, c.second);
        return handshake(cmd::kSetClock);
    }
};

TEST_F(ClockTest, AcceptsOnlyRealDatesWithinTheModulesYears) {
    const ModuleClock valid[] = {
        {2012, 2, 29, 12, 0, 0}, {1980, 1, 1, 0, 0, 0},     {2099, 12, 31, 23, 59, 59},
        {2000, 2, 29, 0, 0, 0},  {2013, 4, 30, 10, 20, 30}, {2013, 1, 31, 0, 0, 0},
    };
    const ModuleClock invalid[] = {
        {2013, 2, 29, 12, 0, 0}, {1979, 12, 31, 23, 59, 59}, {2100, 1, 1, 0, 0, 0},
        {2013, 0, 1, 0, 0, 0},   {2013, 13, 1, 0, 0, 0},     {2013, 4, 31, 0, 0, 0},
        {2013, 1, 0, 0, 0, 0},   {2013, 1, 1, 24, 0, 0},     {2013, 1, 1, 0, 60, 0},
        {2013, 1, 1, 0, 0, 60},
    };
    for (const ModuleClock& c : valid) {
        EXPECT_EQ(set_clock(c), answer::kClockSet)
            << c.year << "-" << int(c.month) << "-" << int(c.day);
        EXPECT_EQ(probe().clock(), c);
    }
    const ModuleClock last_valid = valid[std::size(valid) - 1];
    for (const ModuleClock& c : invalid) {
        EXPECT_EQ(set_clock(c), answer::kClockRefused)
            << c.year << "-" << int(c.month) << "-" << int(c.day) << " " << int(c.hour) << ":"
            << int(c.minute) << ":" << int(c.second);
        EXPECT_EQ(probe().clock(), last_valid) << "a refused setting must not replace the clock";
    }
}

TEST_F(ClockTest, SecondsByteIsTheTransmitTimeoutFlagAgainAfterEitherAnswer) {
    for (bool flag : {false, true}) {
        probe().set_tx_timeout_flag(flag);
        const uint8_t expected = flag ? dpram::kTxTimeoutFlagSet : dpram::kTxTimeoutFlagClear;
        EXPECT_EQ(set_clock({2013, 5, 17, 10, 20, 30}), answer::kClockSet);
        EXPECT_EQ(ram->host_read(dpram::kTxTimeoutFlag), expected);
        EXPECT_EQ(probe().clock()->second, 30);
        EXPECT_EQ(set_clock({2013, 2, 29, 10, 20, 30}), answer::kClockRefused);
        EXPECT_EQ(ram->host_read(dpram::kTxTimeoutFlag), expected);
    }
}

TEST_F(ClockTest, ModuleTimeRunsOnFromTheSetting) {
    EXPECT_FALSE(probe().clock_now());
    const ModuleClock setting{2013, 5, 17, 10, 20, 30};
    ASSERT_EQ(set_clock(setting), answer::kClockSet);
    const auto now = probe().clock_now();
    ASSERT_TRUE(now);
    // Within the test's own time, the module clock is the setting or a few seconds on.
    bool near = false;
    for (int s = 0; s <= 10 && !near; ++s)
        near = *now == advanced(setting, std::chrono::seconds(s));
    EXPECT_TRUE(near) << int(now->hour) << ":" << int(now->minute) << ":" << int(now->second);
}

TEST(ModuleClockTest, AdvancingCrossesDaysMonthsAndLeapDays) {
    EXPECT_EQ(advanced({2012, 2, 28, 23, 59, 59}, 1s), (ModuleClock{2012, 2, 29, 0, 0, 0}));
    EXPECT_EQ(advanced({2013, 2, 28, 23, 59, 59}, 1s), (ModuleClock{2013, 3, 1, 0, 0, 0}));
    EXPECT_EQ(advanced({2013, 12, 31, 23, 59, 58}, 3s), (ModuleClock{2014, 1, 1, 0, 0, 1}));
    EXPECT_EQ(advanced({2013, 5, 17, 10, 20, 30}, 0s), (ModuleClock{2013, 5, 17, 10, 20, 30}));
    EXPECT_EQ(advanced({2013, 5, 17, 10, 20, 30}, 24h * 365),
              (ModuleClock{2014, 5, 17, 10, 20, 30}));
}

// --- command records ---------------------------------------------------------------------------

class CommandRecordTest : public ModuleTest {
  protected:
    static std::vector<uint8_t> pattern(std::size_t length, uint8_t seed) {
        std::vector<uint8_t> bytes(length);
        for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 3);
        return bytes;
    }
    void post_record(std::span<const uint8_t> data, uint16_t length) {
        for (std::size_t i = 0; i < data.size(); ++i) {
            ram->host_write(static_cast<uint16_t>(dpram::kOutCmdData + i), data[i]);
        }
        write_word(dpram::kOutCmdLength, length);
        command(cmd::kCommandRecord);
    }
    std::vector<uint8_t> incoming_record() {
        std::vector<uint8_t> bytes(read_word(dpram::kInCmdLength));
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = ram->host_read(static_cast<uint16_t>(dpram::kInCmdData + i));
        }
        return bytes;
    }
    // Marks the incoming area so that a write to it shows.
    void mark_incoming_area() {
        write_word(dpram::kInCmdLength, kUntouched);
        for (uint16_t i = 0; i < dpram::kCmdRecordMax; ++i) {
            ram->host_write(static_cast<uint16_t>(dpram::kInCmdData + i), kUntouched);
        }
    }
    bool incoming_area_untouched() {
        if (read_word(dpram::kInCmdLength) != kUntouched) return false;
        for (uint16_t i = 0; i < dpram::kCmdRecordMax; ++i) {
            if (ram->host_read(static_cast<uint16_t>(dpram::kInCmdData + i)) != kUntouched) {
                return false;
            }
        }
        return true;
    }
};

TEST_F(CommandRecordTest, DefaultUserProgramEchoesRecordsOfOneTo512Bytes) {
    for (uint16_t length : {uint16_t{1}, uint16_t{2}, uint16_t{511}, dpram::kCmdRecordMax}) {
        const std::vector<uint8_t> record = pattern(length, static_cast<uint8_t>(length));
        post_record(record, length);
        ASSERT_EQ(next_answer(), answer::kCommandRecordArrived) << "length " << length;
        EXPECT_EQ(incoming_record(), record) << "length " << length;
    }
    // The echo never reaches past the incoming area into the outgoing length behind it.
    EXPECT_EQ(read_word(dpram::kOutCmdLength), dpram::kCmdRecordMax);
}

TEST_F(CommandRecordTest, LengthsOutsideTheMailboxAreIgnored) {
    // A program that answers whatever it gets: the length check must come before it.
    unsigned calls = 0;
    probe().set_user_program([&calls](std::span<const uint8_t> record) {
        ++calls;
        return echo_user_program(record);
    });
    const std::vector<uint8_t> record = pattern(dpram::kCmdRecordMax + 1, 1);
    mark_incoming_area();
    uint64_t posted = 0;
    for (uint16_t length :
         {uint16_t{0}, static_cast<uint16_t>(dpram::kCmdRecordMax + 1), uint16_t{0xFFFF}}) {
        post_record(record, length);
        expect_handled(cmd::kCommandRecord, ++posted);
        EXPECT_FALSE(probe().answer_pending()) << "length " << length;
    }
    EXPECT_TRUE(incoming_area_untouched());
    EXPECT_EQ(calls, 0u);
    // Still serving: a valid record right after is echoed.
    post_record(record, 3);
    EXPECT_EQ(next_answer(), answer::kCommandRecordArrived);
    EXPECT_EQ(incoming_record(), pattern(3, 1));
    EXPECT_EQ(calls, 1u);
}

TEST_F(CommandRecordTest, NothingIsAnsweredWhileTheUserProgramIsEnded) {
    ASSERT_EQ(handshake(cmd::kEndUserProgram), answer::kUserProgramEnded);
    mark_incoming_area();
    post_record(pattern(4, 9), 4);
    expect_handled(cmd::kCommandRecord);
    EXPECT_FALSE(probe().answer_pending());
    EXPECT_TRUE(incoming_area_untouched());

    ASSERT_EQ(handshake(cmd::kRunUserProgram), answer::kUserProgramRunning);
    post_record(pattern(4, 9), 4);
    EXPECT_EQ(next_answer(), answer::kCommandRecordArrived);
    EXPECT_EQ(incoming_record(), pattern(4, 9));
}

TEST_F(CommandRecordTest, ReplacedUserProgramAnswersWithItsOwnRecordsOrNone) {
    // First byte 0: no answer; 1: an empty record; 2: one too long for the mailbox; else the
    // length and the sum of the record.
    unsigned calls = 0;
    probe().set_user_program([&calls](std::span<const uint8_t> record) {
        ++calls;
        using Answer = std::optional<std::vector<uint8_t>>;
        if (record[0] == 0) return Answer{};
        if (record[0] == 1) return Answer{std::vector<uint8_t>{}};
        if (record[0] == 2) return Answer{std::vector<uint8_t>(dpram::kCmdRecordMax + 1, 0x11)};
        std::vector<uint8_t> sum{static_cast<uint8_t>(record.size()), 0};
        for (uint8_t b : record) sum[1] = static_cast<uint8_t>(sum[1] + b);
        return Answer{sum};
    });

    post_record(std::vector<uint8_t>{3, 2, 1}, 3);
    EXPECT_EQ(next_answer(), answer::kCommandRecordArrived);
    EXPECT_EQ(incoming_record(), (std::vector<uint8_t>{3, 6}));
    // A repeat request signals the answer again without running the program again.
    EXPECT_EQ(handshake(cmd::kRepeatRequest), answer::kCommandRecordArrived);
    EXPECT_EQ(calls, 1u);

    // An answer that is none, or that the incoming area cannot hold, is not posted: a too long
    // one would overwrite the outgoing length behind the area.
    for (uint8_t kind : {0, 1, 2}) {
        mark_incoming_area();
        post_record(std::vector<uint8_t>{kind}, 1);
        expect_handled(cmd::kCommandRecord, 2u + kind);
        EXPECT_FALSE(probe().answer_pending()) << "kind " << int(kind);
        EXPECT_TRUE(incoming_area_untouched()) << "kind " << int(kind);
        EXPECT_EQ(read_word(dpram::kOutCmdLength), 1) << "kind " << int(kind);
    }
    EXPECT_EQ(calls, 4u);

    // An empty program brings the echo back.
    probe().set_user_program({});
    post_record(std::vector<uint8_t>{0, 7}, 2);
    EXPECT_EQ(next_answer(), answer::kCommandRecordArrived);
    EXPECT_EQ(incoming_record(), (std::vector<uint8_t>{0, 7}));
}

// --- faults on the new commands ----------------------------------------------------------------

TEST_F(ModuleTest, FaultHooksApplyToTheNewCommands) {
    // Withheld: the value is in place and the state changed, the answer comes on request.
    probe().answer_after_repeats(cmd::kReadRegister, 1);
    ram->host_write(dpram::kRegisterAddress, SJA1000_SR);
    command(cmd::kReadRegister);
    expect_handled(cmd::kReadRegister);
    EXPECT_FALSE(probe().answer_pending());
    EXPECT_EQ(ram->host_read(dpram::kRegisterValue), 0x3C);
    EXPECT_EQ(handshake(cmd::kRepeatRequest), answer::kRegisterRead);

    // Silenced: the module still ends its user program, it only does not say so.
    probe().silence(cmd::kEndUserProgram, true);
    command(cmd::kEndUserProgram);
    expect_handled(cmd::kEndUserProgram);
    EXPECT_FALSE(probe().answer_pending());
    EXPECT_FALSE(probe().user_program_running());

    // Dropped: taken from the doorbell, never executed, and a repeat request finds no answer.
    ASSERT_EQ(handshake(cmd::kRunUserProgram), answer::kUserProgramRunning);
    probe().drop(cmd::kEndUserProgram, true);
    command(cmd::kEndUserProgram);
    expect_handled(cmd::kEndUserProgram, 2);
    command(cmd::kRepeatRequest);
    expect_handled(cmd::kRepeatRequest, 2);
    EXPECT_FALSE(probe().answer_pending());
    EXPECT_TRUE(probe().user_program_running());
    probe().clear_faults();
    EXPECT_EQ(handshake(cmd::kEndUserProgram), answer::kUserProgramEnded);
    EXPECT_FALSE(probe().user_program_running());

    // Overridden and lost interrupts.
    probe().override_answer(cmd::kSetClock, answer::kClockRefused);
    probe().lose_interrupts(1);
    ram->host_write(dpram::kClockMonth, 1);
    write_word(dpram::kClockYear, 2013);
    ram->host_write(dpram::kClockDay, 1);
    command(cmd::kSetClock);
    expect_handled(cmd::kSetClock);
    EXPECT_TRUE(probe().answer_pending());
    EXPECT_FALSE(ram->line_raised());
    EXPECT_EQ(handshake(cmd::kRepeatRequest), answer::kClockRefused);
}

}  // namespace
}  // namespace k5320::emulator
