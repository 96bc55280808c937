// What the driver does at port level: the interrupt registration, the release, and how the page
// register is used by single values and blocks.
#include <gtest/gtest.h>

#include <vector>

#include "backplane/inspect.h"
#include "driver/sdk/tarn_sdk.h"
#include "emulator/module_probe.h"
#include "k5320.h"

namespace {

using k5320::backplane::CallKind;
using k5320::backplane::TraceEntry;

constexpr int kPage = 1;

TraceEntry call(CallKind kind, int slot, int port = 0, int value = 0) {
    return TraceEntry{kind, slot, port, value, false};
}
TraceEntry slot_out(int slot, int port, int value) {
    return call(CallKind::kSlotOut, slot, port, value);
}
TraceEntry slot_in(int slot, int port, int value) {
    return call(CallKind::kSlotIn, slot, port, value);
}
TraceEntry ctl_out(int port, int value) {
    return call(CallKind::kControllerOut, 0, port, value);
}
TraceEntry ctl_in(int port, int value) {
    return call(CallKind::kControllerIn, 0, port, value);
}

// The calls the test thread made (the interrupt service's own accesses run on the backplane's
// interrupt threads and are left out).
class PortTrace {
  public:
    PortTrace() {
        trace().clear();
        trace().start();
    }
    ~PortTrace() { trace().stop(); }
    std::vector<TraceEntry> calls() const {
        std::vector<TraceEntry> mine;
        for (const TraceEntry& e : trace().snapshot())
            if (!e.on_interrupt_thread) mine.push_back(e);
        return mine;
    }

  private:
    static k5320::backplane::Trace& trace() { return k5320::backplane::in_process_host().trace(); }
};

TEST(PortSequence, InitRegistersTheSlotInterruptInTheControllersOrder) {
    for (int slot : {1, 2}) {
        SCOPED_TRACE(slot);
        const int bit = 1 << slot;
        // Other bits already set in the registers must survive the read-modify-writes.
        _trn_outp(0x7004, 0x81);
        _trn_outp(0x7008, 0xFF);
        _trn_outp(0x700A, 0x0F);
        _trn_outp(0x700C, 0x00);
        const int answer =
            k5320::emulator::ModuleProbe(*k5320::backplane::in_process_host().module(slot)).peek(0x1FFE);

        PortTrace trace;
        ASSERT_EQ(K5320_Init(static_cast<uint8_t>(slot)), K5320_SUCCESS);
        const std::vector<TraceEntry> expected = {
            call(CallKind::kGetModuleName, slot),
            call(CallKind::kUnregister, slot),
            call(CallKind::kEnable, slot, 0, 0),
            call(CallKind::kInterruptDone, slot),
            slot_out(slot, kPage, 7),
            slot_in(slot, 0x7FE, answer),
            ctl_out(0x7006, 0x32),
            ctl_in(0x7004, 0x81),
            ctl_out(0x7004, 0x81 | bit),
            ctl_in(0x7008, 0xFF),
            ctl_out(0x7008, 0xFF & ~bit),
            ctl_in(0x700A, 0x0F),
            ctl_out(0x700A, 0x0F & ~bit),
            ctl_in(0x700C, 0x00),
            ctl_out(0x700C, 0x00),
            ctl_out(0x7009, bit),
            ctl_out(0x700B, bit),
            ctl_out(0x700D, bit),
            ctl_out(0x7003, bit),
            call(CallKind::kSetTriggerType, slot, 0, 1),
            call(CallKind::kRegister, slot),
            call(CallKind::kSetPriority, slot, 0, 0),
            call(CallKind::kEnable, slot, 0, 1),
        };
        EXPECT_EQ(trace.calls(), expected);
    }
}

TEST(PortSequence, SlotSevenUsesTheTopBit) {
    k5320::backplane::in_process_host().replace_module(7, "5324");
    PortTrace trace;
    ASSERT_EQ(K5320_Init(7), K5320_SUCCESS);
    EXPECT_EQ(k5320::backplane::in_process_host().controller_register(0x7003), 0x80);
    EXPECT_EQ(k5320::backplane::in_process_host().controller_register(0x7004) & 0x80, 0x80);
}

TEST(PortSequence, RemoveIrqDisablesAcknowledgesAndUnregisters) {
    ASSERT_EQ(K5320_Init(1), K5320_SUCCESS);
    const int answer =
        k5320::emulator::ModuleProbe(*k5320::backplane::in_process_host().module(1)).peek(0x1FFE);
    PortTrace trace;
    ASSERT_EQ(K5320_RemoveIrq(1), K5320_SUCCESS);
    const std::vector<TraceEntry> expected = {
        call(CallKind::kEnable, 1, 0, 0), slot_out(1, kPage, 7),
        slot_in(1, 0x7FE, answer),        call(CallKind::kInterruptDone, 1),
        call(CallKind::kUnregister, 1),
    };
    EXPECT_EQ(trace.calls(), expected);
}

TEST(PortSequence, BlocksWriteThePageRegisterBeforeEveryByte) {
    ASSERT_EQ(K5320_Init(1), K5320_SUCCESS);
    auto* module = k5320::backplane::in_process_host().module(1);
    k5320::emulator::ModuleProbe(*module).poke(0x03FE, 0xA1);
    k5320::emulator::ModuleProbe(*module).poke(0x03FF, 0xA2);
    k5320::emulator::ModuleProbe(*module).poke(0x0400, 0xA3);
    PortTrace trace;
    uint8_t buf[3] = {};
    ASSERT_EQ(K5320_DPRAMReadMultiByte(1, 0x03FE, buf, 3), K5320_SUCCESS);
    const uint8_t data[2] = {0xAB, 0xCD};
    ASSERT_EQ(K5320_DPRAMWriteMultiByte(1, 0x0010, data, 2), K5320_SUCCESS);
    ASSERT_EQ(K5320_DPRAMMemset(1, 0x0800, 0x11, 2), K5320_SUCCESS);
    const std::vector<TraceEntry> expected = {
        slot_out(1, kPage, 0),    slot_in(1, 0x7FE, 0xA1),  slot_out(1, kPage, 0),
        slot_in(1, 0x7FF, 0xA2),  slot_out(1, kPage, 1),    slot_in(1, 0x400, 0xA3),
        slot_out(1, kPage, 0),    slot_out(1, 0x410, 0xAB), slot_out(1, kPage, 0),
        slot_out(1, 0x411, 0xCD), slot_out(1, kPage, 2),    slot_out(1, 0x400, 0x11),
        slot_out(1, kPage, 2),    slot_out(1, 0x401, 0x11),
    };
    EXPECT_EQ(trace.calls(), expected);
}

TEST(PortSequence, WordsAndDoubleWordsTouchThePageRegisterOnlyAtPageBoundaries) {
    ASSERT_EQ(K5320_Init(1), K5320_SUCCESS);
    auto* module = k5320::backplane::in_process_host().module(1);
    for (uint16_t i = 0; i < 4; ++i)
        k5320::emulator::ModuleProbe(*module).poke(0x07FE + i, static_cast<uint8_t>(0xB1 + i));
    PortTrace trace;
    ASSERT_EQ(K5320_DPRAMWriteWord(1, 0x03FF, 0x1234), K5320_SUCCESS);
    ASSERT_EQ(K5320_DPRAMWriteDword(1, 0x0100, 0x11223344), K5320_SUCCESS);
    uint32_t d = 0;
    ASSERT_EQ(K5320_DPRAMReadDword(1, 0x07FE, &d), K5320_SUCCESS);
    const std::vector<TraceEntry> expected = {
        slot_out(1, kPage, 0),    slot_out(1, 0x7FF, 0x34), slot_out(1, kPage, 1),
        slot_out(1, 0x400, 0x12), slot_out(1, kPage, 0),    slot_out(1, 0x500, 0x44),
        slot_out(1, 0x501, 0x33), slot_out(1, 0x502, 0x22), slot_out(1, 0x503, 0x11),
        slot_out(1, kPage, 1),    slot_in(1, 0x7FE, 0xB1),  slot_in(1, 0x7FF, 0xB2),
        slot_out(1, kPage, 2),    slot_in(1, 0x400, 0xB3),  slot_in(1, 0x401, 0xB4),
    };
    EXPECT_EQ(trace.calls(), expected);
    EXPECT_EQ(d, 0xB4B3B2B1u);
}

}  // namespace
