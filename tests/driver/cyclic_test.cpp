// Cyclic transmission's host side against firmware answers set up through fault injection.
#include <gtest/gtest.h>

#include "backplane/inspect.h"
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
        ASSERT_TRUE(k5320::backplane::host().replace_module(kSlot, "5320"));
        ASSERT_EQ(K5320_Init(kSlot), K5320_SUCCESS);  // initialised, not configured
    }
    k5320::emulator::Module& module() { return *k5320::backplane::host().module(kSlot); }
    // The firmware's side of an add: a new handle in the handle byte, then 244.
    void firmware_adds_as(uint8_t new_handle) {
        module().poke(dp::kCyclicHandle, new_handle);
        module().override_answer(cmd::kCyclicAdd, answer::kCyclicDone);
    }
};

TEST_F(Cyclic, AddWritesTheWholeBlockAndTakesTheHandle) {
    firmware_adds_as(3);
    const uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    uint8_t handle = 0;
    ASSERT_EQ(K5320_AddCyclicTxMsg(kSlot, 1, 0x12345678, 0, 3, data, 10, 50, &handle),
              K5320_SUCCESS);
    EXPECT_EQ(handle, 3);
    const uint8_t frame[] = {0x83, 0x91, 0xA2, 0xB3, 0xC0, 1, 2, 3, 0, 0, 0, 0, 0};
    for (uint16_t i = 0; i < sizeof frame; ++i)
        EXPECT_EQ(module().peek(dp::kCyclicFrame + i), frame[i]) << i;
    EXPECT_EQ(module().peek(dp::kCyclicTime), 10);
    EXPECT_EQ(module().peek(dp::kCyclicCount), 50);
    EXPECT_EQ(module().peek(dp::kCyclicHandle), dp::kCyclicNoHandle);  // handed back
    EXPECT_EQ(module().commands_seen(cmd::kCyclicAdd), 1u);

    firmware_adds_as(4);
    ASSERT_EQ(K5320_AddCyclicTxMsg(kSlot, 0, 0x7FF, 0, 12, data, 10, 0, &handle), K5320_SUCCESS);
    EXPECT_EQ(module().peek(dp::kCyclicFrame), 0x08);  // length clamped to 8, 8 bytes copied
    EXPECT_EQ(module().peek(dp::kCyclicFrame + 10), 8);
}

TEST_F(Cyclic, NoHandleOrARefusalIs24) {
    firmware_adds_as(dp::kCyclicNoHandle);
    uint8_t handle = 0;
    EXPECT_EQ(K5320_AddCyclicTxMsg(kSlot, 0, 1, 1, 0, nullptr, 10, 1, &handle),
              K5320_ERR_CYCLIC_REFUSED);
    EXPECT_EQ(handle, dp::kCyclicNoHandle);
    module().override_answer(cmd::kCyclicAdd, answer::kCyclicRefused);
    handle = 7;
    EXPECT_EQ(K5320_AddCyclicTxMsg(kSlot, 0, 1, 1, 0, nullptr, 10, 1, &handle),
              K5320_ERR_CYCLIC_REFUSED);
    EXPECT_EQ(handle, 7);  // not written on a refusal
    EXPECT_EQ(module().commands_seen(cmd::kRepeatRequest), 0u);
}

TEST_F(Cyclic, EntryCommandsNameTheHandleAndRestIsLittleEndian) {
    for (uint8_t c :
         {cmd::kCyclicDelete, cmd::kCyclicEnable, cmd::kCyclicDisable, cmd::kCyclicRest})
        module().override_answer(c, answer::kCyclicDone);
    EXPECT_EQ(K5320_DisableCyclicTxMsg(kSlot, 5), K5320_SUCCESS);
    EXPECT_EQ(module().peek(dp::kCyclicHandle), 5);
    EXPECT_EQ(K5320_EnableCyclicTxMsg(kSlot, 6), K5320_SUCCESS);
    EXPECT_EQ(module().peek(dp::kCyclicHandle), 6);
    module().poke(dp::kCyclicCount, 0x10);
    module().poke(dp::kCyclicCount + 1, 0x27);
    module().poke(dp::kCyclicCount + 2, 0);
    module().poke(dp::kCyclicCount + 3, 0);
    uint32_t rest = 0;
    ASSERT_EQ(K5320_CheckCyclicTxRestMsg(kSlot, 6, &rest), K5320_SUCCESS);
    EXPECT_EQ(rest, 10000u);
    module().override_answer(cmd::kCyclicDelete, answer::kCyclicRefused);
    EXPECT_EQ(K5320_DeleteCyclicTxMsg(kSlot, 9), K5320_ERR_CYCLIC_REFUSED);
    module().override_answer(cmd::kCyclicRest, answer::kCyclicRefused);
    rest = 1;
    EXPECT_EQ(K5320_CheckCyclicTxRestMsg(kSlot, 9, &rest), K5320_ERR_CYCLIC_REFUSED);
    EXPECT_EQ(rest, 1u);
}

}  // namespace
