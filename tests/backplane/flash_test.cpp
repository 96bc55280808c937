// Where the backplane keeps each module's flash: one file per slot in the state directory, read
// again by the next backplane, and a module swapped into the slot brings its factory flash.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "backplane/host.h"
#include "emulator/flash_store.h"
#include "emulator/module_probe.h"
#include "k5320/commands.h"
#include "k5320/crc16.h"
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
        InProcessHost next(config);
        EXPECT_EQ(emulator::ModuleProbe(*next.module(kSlot)).flash_state(), emulator::FlashState::kEmpty);
        EXPECT_EQ(emulator::ModuleProbe(*next.module(kSlot)).mode(), answer::kLoaderMode);
    }

    module = test::fresh_slot(kSlot);
    ASSERT_NE(module, nullptr);
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(emulator::ModuleProbe(*module).flash(), emulator::builtin_firmware());
    EXPECT_EQ(emulator::ModuleProbe(*module).mode(), answer::kProgramMode);
    EXPECT_TRUE(in_process_host().replace_module(kSlot, ""));
}

// A state directory of the test's own, in place of the one ctest names, for the life of the
// object.
class OwnStateDirectory {
  public:
    OwnStateDirectory() {
        char path[] = "/tmp/k5320-state-test-XXXXXX";
        if (mkdtemp(path) != nullptr) path_ = path;
        if (const char* old = std::getenv(emulator::kStateEnvironmentVariable)) saved_ = old;
        setenv(emulator::kStateEnvironmentVariable, path_.c_str(), 1);
    }
    ~OwnStateDirectory() {
        if (saved_) {
            setenv(emulator::kStateEnvironmentVariable, saved_->c_str(), 1);
        } else {
            unsetenv(emulator::kStateEnvironmentVariable);
        }
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path flash() const { return emulator::flash_file_for_slot(path_, kSlot); }

  private:
    std::filesystem::path path_;
    std::optional<std::string> saved_;
};

Config one_module() {
    Config config;
    config.slots[kSlot].type = "5320";
    return config;
}

TEST(BackplaneFlashTest, FlashInADirectoryOpenToOthersIsNotBooted) {
    const OwnStateDirectory state;
    emulator::FlashContents planted = emulator::builtin_firmware();
    planted.image.front() ^= 1;
    emulator::record::set_crc(planted.record,
                              crc16::compute(planted.image.data(), planted.image.size()));
    ASSERT_TRUE(emulator::FlashStore(state.flash()).write(planted));
    ASSERT_EQ(chmod(state.path().c_str(), 0777), 0);

    InProcessHost backplane(one_module());
    EXPECT_EQ(emulator::ModuleProbe(*backplane.module(kSlot)).flash(), emulator::builtin_firmware());
    EXPECT_NE(backplane.problems().find("is not a directory private to this user"),
              std::string::npos)
        << backplane.problems();
}

TEST(BackplaneFlashTest, AFlashFileThatIsNotARegularFileIsReported) {
    const OwnStateDirectory state;
    std::filesystem::create_directory(state.flash());
    InProcessHost backplane(one_module());
    EXPECT_EQ(emulator::ModuleProbe(*backplane.module(kSlot)).mode(), answer::kLoaderMode);
    EXPECT_NE(backplane.problems().find("slot-6.flash is not a regular file: slot 6"),
              std::string::npos)
        << backplane.problems();
}

TEST(BackplaneFlashTest, TemporaryFilesAKilledWriteLeftAreRemovedAtStart) {
    const OwnStateDirectory state;
    const std::filesystem::path stale = state.flash().string() + ".Ab12Cd";
    const std::filesystem::path other = state.path() / "notes.txt";
    std::ofstream(stale) << "half a flash file";
    std::ofstream(other) << "not ours";
    { const InProcessHost backplane(one_module()); }
    EXPECT_FALSE(std::filesystem::exists(stale));
    EXPECT_TRUE(std::filesystem::exists(other));
}

}  // namespace
}  // namespace k5320::backplane
