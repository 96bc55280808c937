// The port-access trace: exact order and content of SDK calls, and which came from the
// interrupt service.
#include <algorithm>

#include "k5320/commands.h"
#include "sdk_test_support.h"

namespace k5320::backplane {
namespace {

using namespace test;

constexpr int kSlot = 2;
Deliveries& g_deliveries = *new Deliveries;

int read_answer_routine() {
    g_deliveries.add(read_dpram(kSlot, dpram::kAnswerByte));
    return 0;
}

TEST(TraceTest, RecordsEveryCallInOrderAndMarksTheInterruptThread) {
    ASSERT_NE(fresh_slot(kSlot), nullptr);
    g_deliveries.clear();
    const int interrupt_mask = host().controller_register(0x7004);
    Trace& trace = host().trace();
    trace.clear();
    trace.start();

    char name[TRN_MODULE_NAME_SIZE];
    trn_GetModuleName(kSlot, name);
    trn_UnregisterSlotInterrupt(kSlot);
    trn_EnableSlotInterrupt(kSlot, 0);
    trn_InterruptDone(kSlot);
    _trn_outp(0x7006, 0x32);
    _trn_inp(0x7004);
    trn_SetTriggerType(kSlot, 1);
    trn_RegisterSlotInterrupt(kSlot, read_answer_routine);
    trn_SetSlotInterruptPriority(kSlot, 0);
    trn_EnableSlotInterrupt(kSlot, 1);
    write_dpram(kSlot, dpram::kCommandByte, cmd::kModeQuery);
    ASSERT_TRUE(g_deliveries.wait_for(1));
    trace.stop();
    trn_UnregisterSlotInterrupt(kSlot);  // not recorded any more
    _trn_outp(0x7006, 0);

    using K = CallKind;
    const std::vector<TraceEntry> expected_caller = {
        {K::kGetModuleName, kSlot, 0, 0, false},
        {K::kUnregister, kSlot, 0, 0, false},
        {K::kEnable, kSlot, 0, 0, false},
        {K::kInterruptDone, kSlot, 0, 0, false},
        {K::kControllerOut, 0, 0x7006, 0x32, false},
        {K::kControllerIn, 0, 0x7004, interrupt_mask, false},
        {K::kSetTriggerType, kSlot, 0, 1, false},
        {K::kRegister, kSlot, 0, 0, false},
        {K::kSetPriority, kSlot, 0, 0, false},
        {K::kEnable, kSlot, 0, 1, false},
        {K::kSlotOut, kSlot, dpram::kPortPageRegister, 7, false},
        {K::kSlotOut, kSlot, 0x7FF, cmd::kModeQuery, false},
    };
    const std::vector<TraceEntry> expected_service = {
        {K::kSlotOut, kSlot, dpram::kPortPageRegister, 7, true},
        {K::kSlotIn, kSlot, 0x7FE, answer::kProgramMode, true},
    };
    std::vector<TraceEntry> caller;
    std::vector<TraceEntry> service;
    for (const TraceEntry& entry : trace.snapshot()) {
        (entry.on_interrupt_thread ? service : caller).push_back(entry);
    }
    EXPECT_EQ(caller, expected_caller);
    EXPECT_EQ(service, expected_service);

    trace.clear();
    EXPECT_TRUE(trace.snapshot().empty());
}

TEST(TraceTest, StoppedTraceRecordsNothing) {
    Trace& trace = host().trace();
    trace.stop();
    trace.clear();
    _trn_slot_inp(kSlot, dpram::kPortDataWindow);
    EXPECT_TRUE(trace.snapshot().empty());
    trace.start();
    _trn_slot_inp(kSlot, dpram::kPortDataWindow);
    trace.stop();
    EXPECT_EQ(trace.snapshot().size(), 1u);
}

}  // namespace
}  // namespace k5320::backplane
