// Where the backplane keeps each module's flash: one file per slot in the state directory, read
// again by the next backplane, and a module swapped into the slot brings its factory flash.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "backplane/host.h"
#include "emulator/flash_store.h"
#include "emulator/module_probe.h"
#include "k5320/commands.h"
#include "tests/backplane/sdk_test_support.h"

namespace k5320::backplane {
namespace {

using test::kTimeout;

constexpr int kSlot = 6;  // empty on the default backplane: no other test uses it

// One command through the slot ports, as the driver sends it; the answer byte as it reads it.
int exchange(emulator::Module& module, uint8_t command) {
    const uint64_t seen = emulator::ModuleProbe(module).commands_seen(command);
    test::write_dpram(kSlot, dpram::kCommandByte, command);
    if (!emulator::ModuleProbe(module).wait_for_commands(command, seen + 1, kTimeout)) return -1;
    return test::read_dpram(kSlot, dpram::kAnswerByte);
}

TEST(BackplaneFlashTest, SlotFlashLivesInTheStateDirectoryAndASwappedModuleIsFresh) {
    // Never let a test write into the user's own state directory.
    if (std::getenv(emulator::kStateEnvironmentVariable) == nullptr) {
        GTEST_SKIP() << "needs " << emulator::kStateEnvironmentVariable << " (set by ctest)";
    }
    const std::filesystem::path file =
        emulator::flash_file_for_slot(*emulator::flash_state_directory(), kSlot);

    emulator::Module* module = test::fresh_slot(kSlot);
    ASSERT_NE(module, nullptr);
    EXPECT_FALSE(std::filesystem::exists(file)) << "a fresh module has stored nothing";
    ASSERT_EQ(exchange(*module, cmd::kLoaderMode), answer::kLoaderMode);
    ASSERT_EQ(exchange(*module, cmd::kLoaderDelete), answer::kLoaderDeleted);
    EXPECT_EQ(emulator::FlashStore(file).state(), emulator::FlashState::kEmpty);

    // The next backplane (another process, later) finds the module as it was left.
    {
        Config config;
        config.slots[kSlot].type = "5320";
        Host next(config);
        EXPECT_EQ(emulator::ModuleProbe(*next.module(kSlot)).flash_state(),
                  emulator::FlashState::kEmpty);
        EXPECT_EQ(emulator::ModuleProbe(*next.module(kSlot)).mode(), answer::kLoaderMode);
    }

    module = test::fresh_slot(kSlot);
    ASSERT_NE(module, nullptr);
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(emulator::ModuleProbe(*module).flash(), emulator::builtin_firmware());
    EXPECT_EQ(emulator::ModuleProbe(*module).mode(), answer::kProgramMode);
    EXPECT_TRUE(host().replace_module(kSlot, ""));
}

}  // namespace
}  // namespace k5320::backplane
