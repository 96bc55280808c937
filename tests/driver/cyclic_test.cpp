// Cyclic transmission's host side against firmware answers set up through fault injection, and
// against the emulated firmware's own table.
#include <gtest/gtest.h>

#include <set>

#include "backplane/inspect.h"
#include "emulator/cyclic_table.h"
#include "emulator/module_probe.h"
#include "k5320.h"
#include "k5320/commands.h"
#include "k5320/dpram_map.h"

namespace {

namespace cmd = k5320::cmd;
namespace answer = k5320::answer;
namespace dp = k5320::dpram;

constexpr uint8_t kSlot = 1;

class Cyclic : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(k5320::backplane::in_process_host().replace_module(kSlot, "5320"));
        ASSERT_EQ(K5320_Init(kSlot), K5320_SUCCESS);  // initialised, not configured
    }
    k5320::emulator::Module& module() { return *k5320::backplane::in_process_host().module(kSlot); }
    k5320::emulator::ModuleProbe probe() { return k5320::emulator::ModuleProbe(module()); }
};

TEST_F(Cyclic, AddWritesTheWholeBlockAndTakesTheHandle) {
    const uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    uint8_t handle = dp::kCyclicNoHandle;
    ASSERT_EQ(K5320_AddCyclicTxMsg(kSlot, 1, 0x12345678, 0, 3, data, 10, 50, &handle),
              K5320_SUCCESS);
    EXPECT_NE(handle, dp::kCyclicNoHandle);
    const uint8_t frame[] = {0x83, 0x91, 0xA2, 0xB3, 0xC0, 1, 2, 3, 0, 0, 0, 0, 0};
    for (uint16_t i = 0; i < sizeof frame; ++i)
        EXPECT_EQ(probe().peek(dp::kCyclicFrame + i), frame[i]) << i;
    EXPECT_EQ(probe().peek(dp::kCyclicTime), 10);
    EXPECT_EQ(probe().peek(dp::kCyclicCount), 50);
    EXPECT_EQ(probe().peek(dp::kCyclicHandle), dp::kCyclicNoHandle);  // handed back
    EXPECT_EQ(probe().commands_seen(cmd::kCyclicAdd), 1u);
    uint32_t rest = 0;
    ASSERT_EQ(K5320_CheckCyclicTxRestMsg(kSlot, handle, &rest), K5320_SUCCESS);
    EXPECT_EQ(rest, 50u);  // the firmware has the entry under that handle

    ASSERT_EQ(K5320_AddCyclicTxMsg(kSlot, 0, 0x7FF, 0, 12, data, 10, 0, &handle), K5320_SUCCESS);
    EXPECT_EQ(probe().peek(dp::kCyclicFrame), 0x08);  // length clamped to 8, 8 bytes copied
    EXPECT_EQ(probe().peek(dp::kCyclicFrame + 10), 8);
}

TEST_F(Cyclic, NoHandleOrARefusalIs24) {
    // The firmware refuses a cycle time of 0 and leaves no handle; 244 injected in place of its
    // 245 makes an add that succeeded without a handle.
    probe().override_answer(cmd::kCyclicAdd, answer::kCyclicDone);
    uint8_t handle = 0;
    EXPECT_EQ(K5320_AddCyclicTxMsg(kSlot, 0, 1, 1, 0, nullptr, 0, 1, &handle),
              K5320_ERR_CYCLIC_REFUSED);
    EXPECT_EQ(handle, dp::kCyclicNoHandle);
    probe().override_answer(cmd::kCyclicAdd, std::nullopt);
    handle = 7;
    EXPECT_EQ(K5320_AddCyclicTxMsg(kSlot, 0, 1, 1, 0, nullptr, 0, 1, &handle),
              K5320_ERR_CYCLIC_REFUSED);
    EXPECT_EQ(handle, 7);  // not written on a refusal
    EXPECT_EQ(probe().commands_seen(cmd::kRepeatRequest), 0u);
}

TEST_F(Cyclic, EntryCommandsNameTheHandleAndRestIsLittleEndian) {
    for (uint8_t c :
         {cmd::kCyclicDelete, cmd::kCyclicEnable, cmd::kCyclicDisable, cmd::kCyclicRest})
        probe().override_answer(c, answer::kCyclicDone);
    EXPECT_EQ(K5320_DisableCyclicTxMsg(kSlot, 5), K5320_SUCCESS);
    EXPECT_EQ(probe().peek(dp::kCyclicHandle), 5);
    EXPECT_EQ(K5320_EnableCyclicTxMsg(kSlot, 6), K5320_SUCCESS);
    EXPECT_EQ(probe().peek(dp::kCyclicHandle), 6);
    probe().poke(dp::kCyclicCount, 0x10);
    probe().poke(dp::kCyclicCount + 1, 0x27);
    probe().poke(dp::kCyclicCount + 2, 0);
    probe().poke(dp::kCyclicCount + 3, 0);
    uint32_t rest = 0;
    ASSERT_EQ(K5320_CheckCyclicTxRestMsg(kSlot, 6, &rest), K5320_SUCCESS);
    EXPECT_EQ(rest, 10000u);
    probe().override_answer(cmd::kCyclicDelete, answer::kCyclicRefused);
    EXPECT_EQ(K5320_DeleteCyclicTxMsg(kSlot, 9), K5320_ERR_CYCLIC_REFUSED);
    probe().override_answer(cmd::kCyclicRest, answer::kCyclicRefused);
    rest = 1;
    EXPECT_EQ(K5320_CheckCyclicTxRestMsg(kSlot, 9, &rest), K5320_ERR_CYCLIC_REFUSED);
    EXPECT_EQ(rest, 1u);
}

TEST_F(Cyclic, FirmwareGivesHandlesOnAnUnconfiguredSlotUntilItsTableIsFull) {
    const uint8_t data[3] = {1, 2, 3};
    std::set<uint8_t> handles;
    for (std::size_t i = 0; i < k5320::emulator::CyclicTable::kEntries; ++i) {
        uint8_t handle = dp::kCyclicNoHandle;
        ASSERT_EQ(K5320_AddCyclicTxMsg(kSlot, 0, 0x100, 0, 3, data, 1000, 10000, &handle),
                  K5320_SUCCESS)
            << i;
        EXPECT_EQ(probe().peek(dp::kCyclicHandle), dp::kCyclicNoHandle);
        handles.insert(handle);
    }
    EXPECT_EQ(handles.size(), k5320::emulator::CyclicTable::kEntries);
    EXPECT_EQ(handles.count(dp::kCyclicNoHandle), 0u);
    uint32_t rest = 0;
    ASSERT_EQ(K5320_CheckCyclicTxRestMsg(kSlot, *handles.begin(), &rest), K5320_SUCCESS);
    EXPECT_EQ(rest, 10000u);  // not configured: nothing sent

    uint8_t handle = 0x42;
    EXPECT_EQ(K5320_AddCyclicTxMsg(kSlot, 0, 0x100, 0, 3, data, 1000, 10000, &handle),
              K5320_ERR_CYCLIC_REFUSED);
    EXPECT_EQ(handle, 0x42);
    EXPECT_EQ(K5320_DeleteCyclicTxMsg(kSlot, *handles.begin()), K5320_SUCCESS);
    EXPECT_EQ(K5320_AddCyclicTxMsg(kSlot, 0, 0x100, 0, 3, data, 1000, 10000, &handle),
              K5320_SUCCESS);
    EXPECT_EQ(handles.count(handle), 0u);
}

TEST(CyclicSlotChecks, BadOrUninitialisedSlotsAreRefusedBeforeTheModule) {
    uint8_t handle = 0x42;
    uint32_t rest = 7;
    const uint8_t data[1] = {};
    for (const uint8_t slot : {0, 8, 255}) {
        EXPECT_EQ(K5320_AddCyclicTxMsg(slot, 0, 1, 0, 1, data, 10, 1, &handle), K5320_ERR_BAD_SLOT);
        EXPECT_EQ(K5320_DeleteCyclicTxMsg(slot, 0), K5320_ERR_BAD_SLOT);
        EXPECT_EQ(K5320_EnableCyclicTxMsg(slot, 0), K5320_ERR_BAD_SLOT);
        EXPECT_EQ(K5320_DisableCyclicTxMsg(slot, 0), K5320_ERR_BAD_SLOT);
        EXPECT_EQ(K5320_CheckCyclicTxRestMsg(slot, 0, &rest), K5320_ERR_BAD_SLOT);
    }
    constexpr uint8_t kUninitialised = 2;
    EXPECT_EQ(K5320_AddCyclicTxMsg(kUninitialised, 0, 1, 0, 1, data, 10, 1, &handle),
              K5320_ERR_NOT_INITIALIZED);
    EXPECT_EQ(K5320_DeleteCyclicTxMsg(kUninitialised, 0), K5320_ERR_NOT_INITIALIZED);
    EXPECT_EQ(K5320_EnableCyclicTxMsg(kUninitialised, 0), K5320_ERR_NOT_INITIALIZED);
    EXPECT_EQ(K5320_DisableCyclicTxMsg(kUninitialised, 0), K5320_ERR_NOT_INITIALIZED);
    EXPECT_EQ(K5320_CheckCyclicTxRestMsg(kUninitialised, 0, &rest), K5320_ERR_NOT_INITIALIZED);
    EXPECT_EQ(handle, 0x42);
    EXPECT_EQ(rest, 7u);
    EXPECT_EQ(k5320::emulator::ModuleProbe(*k5320::backplane::in_process_host().module(kUninitialised))
                  .commands_seen(cmd::kCyclicAdd),
              0u);
}

}  // namespace
