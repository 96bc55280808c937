// Every fault the emulated module can inject, against an operation of each answer field through
// the C API and the real firmware: the call gives the result its operation names, and once the
// fault is lifted the same call and a mode query succeed again on the same slot.
//
// Each faulted call follows a mode query, so a lost answer of any operation differs from the
// answer before it and the interrupt recovery files it. A silenced call that follows a call with
// the same answer is tested on its own below: the recovery must not take the old answer for it.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "backplane/inspect.h"
#include "emulator/module_probe.h"
#include "k5320.h"
#include "k5320/commands.h"
#include "k5320/sja1000_registers.h"

namespace {

namespace cmd = k5320::cmd;
namespace answer = k5320::answer;
using namespace k5320::sja1000;

constexpr uint8_t kSlot = 1;
constexpr uint8_t kBaudIndex125k = 4;
constexpr uint32_t kAcceptAll = 0xFFFFFFFF;
constexpr uint8_t kSja1000Status = 2;
constexpr uint32_t kCycleMs = 60000;  // never due while the test runs
constexpr uint32_t kOnce = 1;
// The handshake sends three repeat requests before it gives up and runs the recovery.
constexpr unsigned kLastRepeat = 3;
// An answer of another command, written just before the real one.
constexpr uint8_t kStray = answer::kBankReleased;

struct Operation {
    const char* name;
    uint8_t command;
    std::function<int()> call;
    std::optional<uint8_t> refusal;  // the firmware's refusal answer, if the command has one
    int refusal_result;
};

const Operation kOperations[] = {
    {"mode query", cmd::kModeQuery,
     [] {
         uint8_t mode = 0;
         return K5320_Check186Mode(kSlot, &mode);
     },
     std::nullopt, K5320_SUCCESS},
    {"configuration", cmd::kApplyConfig,
     [] { return K5320_ConfigWithoutStruct(kSlot, 0, kAcceptAll, kBaudIndex125k, 0, 0); },
     answer::kConfigRefused, K5320_ERR_REFUSED},
    {"transmit", cmd::kTransmit,
     [] {
         const uint8_t data[2] = {0x12, 0x34};
         return K5320_SendWithoutStruct(kSlot, 0, 0x123, 0, sizeof data, data);
     },
     answer::kTxRefused, K5320_ERR_TX_REFUSED},
    {"bank fetch", cmd::kFetchReceived,
     [] {
         uint16_t count = 0;
         return K5320_RxMsgCount(kSlot, &count);
     },
     std::nullopt, K5320_SUCCESS},
    {"cyclic add", cmd::kCyclicAdd,
     [] {
         const uint8_t data[1] = {0x55};
         uint8_t handle = 0;
         const int rc =
             K5320_AddCyclicTxMsg(kSlot, 0, 0x321, 0, sizeof data, data, kCycleMs, kOnce, &handle);
         // The table has room for a few dozen entries only.
         if (rc == K5320_SUCCESS) K5320_DeleteCyclicTxMsg(kSlot, handle);
         return rc;
     },
     answer::kCyclicRefused, K5320_ERR_CYCLIC_REFUSED},
    {"clock", cmd::kSetClock, [] { return K5320_AdjustDateTime(kSlot); }, answer::kClockRefused,
     K5320_ERR_CLOCK_REFUSED},
    {"register read", cmd::kReadRegister,
     [] {
         uint8_t value = 0;
         return K5320_InputByte(kSlot, kSja1000Status, &value);
     },
     std::nullopt, K5320_SUCCESS},
    {"system messages", cmd::kSystemMsgOn, [] { return K5320_SetSystemMsg(kSlot, 1); },
     answer::kSystemMsgRefused, K5320_ERR_SYSTEM_MSG_REFUSED},
};

struct Fault {
    const char* name;
    // Injects the fault for the command; the result the operation then gives.
    std::function<int(k5320::emulator::ModuleProbe&, const Operation&)> inject;
    std::function<void(k5320::emulator::ModuleProbe&, const Operation&)> lift;
    bool needs_refusal;
};

const Fault kFaults[] = {
    {"silence",
     [](auto& probe, const Operation& op) {
         probe.silence(op.command, true);
         return K5320_ERR_NO_ANSWER;
     },
     [](auto& probe, const Operation& op) { probe.silence(op.command, false); }, false},
    // The answer and its three repetitions raise no interrupt; the recovery finds it.
    {"lost interrupts",
     [](auto& probe, const Operation&) {
         probe.lose_interrupts(kLastRepeat + 1);
         return K5320_SUCCESS;
     },
     [](auto& probe, const Operation&) { probe.lose_interrupts(0); }, false},
    {"answer at the last repeat request",
     [](auto& probe, const Operation& op) {
         probe.answer_after_repeats(op.command, kLastRepeat);
         return K5320_SUCCESS;
     },
     [](auto& probe, const Operation& op) { probe.answer_after_repeats(op.command, 0); }, false},
    {"answer later than the last repeat request",
     [](auto& probe, const Operation& op) {
         probe.answer_after_repeats(op.command, kLastRepeat + 1);
         return K5320_ERR_NO_ANSWER;
     },
     [](auto& probe, const Operation& op) { probe.answer_after_repeats(op.command, 0); }, false},
    {"stray answer first",
     [](auto& probe, const Operation& op) {
         probe.stray_before(op.command, kStray);
         return K5320_SUCCESS;
     },
     [](auto& probe, const Operation& op) { probe.stray_before(op.command, std::nullopt); }, false},
    {"refusal",
     [](auto& probe, const Operation& op) {
         probe.override_answer(op.command, op.refusal);
         return op.refusal_result;
     },
     [](auto& probe, const Operation& op) { probe.override_answer(op.command, std::nullopt); },
     true},
};

// Slot 1 initialised and configured, its module off the bus: sent frames wait in the transmit
// buffer, no received frame disturbs.
class ConfiguredSlot : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(k5320::backplane::in_process_host().replace_module(kSlot, "5320"));
        module().connect(nullptr);
        ASSERT_EQ(K5320_Init(kSlot), K5320_SUCCESS);
        ASSERT_EQ(K5320_ConfigWithoutStruct(kSlot, 0, kAcceptAll, kBaudIndex125k, 0, 0),
                  K5320_SUCCESS);
    }
    k5320::emulator::Module& module() { return *k5320::backplane::in_process_host().module(kSlot); }
    k5320::emulator::ModuleProbe probe() { return k5320::emulator::ModuleProbe(module()); }
};

class ModuleFaults : public ConfiguredSlot, public ::testing::WithParamInterface<const Fault*> {};

// One test per fault, so that ctest runs the slow ones (silence, late answers) side by side.
TEST_P(ModuleFaults, GivesItsResultAndTheSlotWorksOnceItIsLifted) {
    const Fault& fault = *GetParam();
    for (const Operation& op : kOperations) {
        if (fault.needs_refusal && !op.refusal) continue;
        SCOPED_TRACE(op.name);
        uint8_t mode = 0;
        ASSERT_EQ(K5320_Check186Mode(kSlot, &mode), K5320_SUCCESS);
        k5320::emulator::ModuleProbe module_probe = probe();
        const int expected = fault.inject(module_probe, op);
        EXPECT_EQ(op.call(), expected);
        fault.lift(module_probe, op);
        // The same call again: for the configuration also the way out of the unconfigured state
        // its failure left.
        EXPECT_EQ(op.call(), K5320_SUCCESS);
        EXPECT_EQ(K5320_Check186Mode(kSlot, &mode), K5320_SUCCESS);
        EXPECT_EQ(mode, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryFault, ModuleFaults, ::testing::ValuesIn([] {
                             std::vector<const Fault*> all;
                             for (const Fault& fault : kFaults) all.push_back(&fault);
                             return all;
                         }()),
                         [](const ::testing::TestParamInfo<const Fault*>& param) {
                             // "lost interrupts" -> "LostInterrupts"
                             std::string name;
                             bool word_start = true;
                             for (const char* c = param.param->name; *c; ++c) {
                                 const auto ch = static_cast<unsigned char>(*c);
                                 if (std::isalnum(ch))
                                     name += static_cast<char>(word_start ? std::toupper(ch) : ch);
                                 word_start = !std::isalnum(ch);
                             }
                             return name;
                         });

// A silenced command whose predecessor got the answer it would get: the answer byte still holds
// that answer when the recovery reads it, which is no answer to the silenced command.
struct Repeated {
    const char* name;
    uint8_t silenced;
    std::function<int()> first;  // the predecessor, through the same field
    int first_result;
    std::function<int()> second;
};

int send_one() {
    const uint8_t data[1] = {0x42};
    return K5320_SendWithoutStruct(kSlot, 0, 0x123, 0, sizeof data, data);
}

int add_and_delete_cyclic() {
    const uint8_t data[1] = {0x55};
    uint8_t handle = 0;
    if (int rc =
            K5320_AddCyclicTxMsg(kSlot, 0, 0x321, 0, sizeof data, data, kCycleMs, kOnce, &handle);
        rc != K5320_SUCCESS)
        return rc;
    return K5320_DeleteCyclicTxMsg(kSlot, handle);
}

int read_status_register() {
    uint8_t value = 0;
    return K5320_InputByte(kSlot, SJA1000_SR, &value);
}

int count_received() {
    uint16_t count = 0;
    return K5320_RxMsgCount(kSlot, &count);
}

const Repeated kRepeated[] = {
    {"OutputByte", cmd::kWriteRegister, [] { return K5320_OutputByte(kSlot, SJA1000_ACR0, 0x12); },
     K5320_SUCCESS, [] { return K5320_OutputByte(kSlot, SJA1000_ACR0, 0x34); }},
    {"InputByte", cmd::kReadRegister, read_status_register, K5320_SUCCESS, read_status_register},
    {"AdjustDateTimeAfterRefusal", cmd::kSetClock, [] { return K5320_AdjustDateTime(kSlot); },
     K5320_ERR_CLOCK_REFUSED, [] { return K5320_AdjustDateTime(kSlot); }},
    {"SendAfterAcceptedSend", cmd::kTransmit, send_one, K5320_SUCCESS, send_one},
    {"SendAfterRefusedSend", cmd::kTransmit, send_one, K5320_ERR_TX_REFUSED, send_one},
    {"ClearTxSoftBuffer", cmd::kClearTxSoftBuffer, [] { return K5320_ClearTxSoftBuffer(kSlot); },
     K5320_SUCCESS, [] { return K5320_ClearTxSoftBuffer(kSlot); }},
    {"DeleteCyclicTxMsg", cmd::kCyclicDelete, add_and_delete_cyclic, K5320_SUCCESS,
     add_and_delete_cyclic},
    {"RxMsgCount", cmd::kFetchReceived, count_received, K5320_SUCCESS, count_received},
};

class SilencedAfterTheSameAnswer : public ConfiguredSlot,
                                   public ::testing::WithParamInterface<const Repeated*> {};

TEST_P(SilencedAfterTheSameAnswer, GivesNoAnswerNotTheEarlierResult) {
    const Repeated& c = *GetParam();
    // A refusal first, where the case names one.
    const bool refused = c.first_result != K5320_SUCCESS;
    if (c.first_result == K5320_ERR_CLOCK_REFUSED)
        probe().override_answer(c.silenced, answer::kClockRefused);
    if (c.first_result == K5320_ERR_TX_REFUSED)
        probe().override_answer(c.silenced, answer::kTxRefused);
    ASSERT_EQ(c.first(), c.first_result);
    if (refused) probe().override_answer(c.silenced, std::nullopt);

    probe().silence(c.silenced, true);
    EXPECT_EQ(c.second(), K5320_ERR_NO_ANSWER);
    probe().silence(c.silenced, false);
    // The recovery left the slot working.
    EXPECT_EQ(c.second(), K5320_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(EveryAnswerField, SilencedAfterTheSameAnswer, ::testing::ValuesIn([] {
                             std::vector<const Repeated*> all;
                             for (const Repeated& c : kRepeated) all.push_back(&c);
                             return all;
                         }()),
                         [](const ::testing::TestParamInfo<const Repeated*>& param) {
                             return std::string(param.param->name);
                         });

}  // namespace
