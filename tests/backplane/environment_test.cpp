// Where the process's backplane comes from: TARN_BACKPLANE_CONFIG, or the default; a bad file
// gives an empty backplane and one message, never a partial one.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "backplane/config.h"
#include "backplane/inspect.h"
#include "driver/sdk/tarn_sdk.h"

namespace k5320::backplane {
namespace {

class ConfigFile {
  public:
    explicit ConfigFile(const std::string& text) {
        path_ = ::testing::TempDir() + "backplane-" + std::to_string(getpid()) + "-" +
                std::to_string(counter_++) + ".conf";
        std::ofstream(path_) << text;
    }
    ~ConfigFile() { remove(); }
    // A death test's child writes a file of its own and leaves by exit, past the destructor.
    void remove() const { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

  private:
    static inline int counter_ = 0;
    std::string path_;
};

// Nothing of a refused file: no buses, every slot empty.
bool holds_nothing(const Config& config) {
    return config.buses.empty() && config.slots == Config::empty_backplane().slots;
}

class EnvironmentTest : public ::testing::Test {
  protected:
    void TearDown() override { unsetenv(kConfigEnvironmentVariable); }
    void use(const std::string& path) { setenv(kConfigEnvironmentVariable, path.c_str(), 1); }
    std::ostringstream diagnostics;
};

TEST_F(EnvironmentTest, WithoutTheVariableTheDefaultBackplaneIsUsed) {
    unsetenv(kConfigEnvironmentVariable);
    EXPECT_EQ(config_from_environment(diagnostics), Config::default_backplane());
    use("");
    EXPECT_EQ(config_from_environment(diagnostics), Config::default_backplane());
    EXPECT_EQ(diagnostics.str(), "");
}

TEST_F(EnvironmentTest, NamedFileReplacesTheDefault) {
    const ConfigFile file("bus b rate=500000\nslot 5 5324 bus=b\n");
    use(file.path());
    const Config config = config_from_environment(diagnostics);
    EXPECT_EQ(diagnostics.str(), "");
    EXPECT_EQ(config.slots[5], (SlotConfig{"5324", "b"}));
    EXPECT_TRUE(config.slots[1].type.empty()) << "the default must not be merged in";
}

TEST_F(EnvironmentTest, BadFileGivesAnEmptyBackplaneAndNamesTheLine) {
    // The first lines are fine: nothing of them may survive.
    const ConfigFile file("bus b\nslot 1 5320 bus=b\nslot 9 5320\n");
    use(file.path());
    const Config refused = config_from_environment(diagnostics);
    EXPECT_TRUE(holds_nothing(refused));
    EXPECT_EQ(refused.problem, file.path() + ": line 3: slot number must be 1..7");
    EXPECT_EQ(diagnostics.str(), "TarnSDK_CE: " + refused.problem + "\n");
}

TEST_F(EnvironmentTest, UnreadableFileGivesAnEmptyBackplane) {
    use(::testing::TempDir() + "no-such-backplane.conf");
    EXPECT_TRUE(holds_nothing(config_from_environment(diagnostics)));
    EXPECT_NE(diagnostics.str().find("no-such-backplane.conf: cannot open"), std::string::npos)
        << diagnostics.str();

    // Neither a directory nor a FIFO (whose open would wait for a writer) is read.
    std::ostringstream again;
    use(::testing::TempDir());
    EXPECT_TRUE(holds_nothing(config_from_environment(again)));
    EXPECT_NE(again.str().find("not a regular file"), std::string::npos) << again.str();
    const std::string fifo = ::testing::TempDir() + "fifo-" + std::to_string(getpid()) + ".conf";
    ASSERT_EQ(mkfifo(fifo.c_str(), S_IRUSR | S_IWUSR), 0);
    use(fifo);
    std::ostringstream fifo_diagnostics;
    EXPECT_TRUE(holds_nothing(config_from_environment(fifo_diagnostics)));
    EXPECT_NE(fifo_diagnostics.str().find("not a regular file"), std::string::npos)
        << fifo_diagnostics.str();
    std::remove(fifo.c_str());
}

// The process's own backplane is built once per process; a child process shows it fresh.
class ProcessBackplaneDeathTest : public EnvironmentTest {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

bool all_slots_empty() {
    for (int slot = kFirstSlot; slot <= kLastSlot; ++slot) {
        char name[TRN_MODULE_NAME_SIZE] = "x";
        trn_GetModuleName(slot, name);
        if (in_process_host().module(slot) != nullptr || name[0] != '\0') return false;
        if (_trn_slot_inp(slot, dpram::kPortDataWindow) != kFloatingBus) return false;
    }
    return true;
}

TEST_F(ProcessBackplaneDeathTest, BadFileRunsAnEmptyBackplaneAfterOneMessage) {
    const ConfigFile file("slot 1 5320\nslot 2 5320 bus=nowhere\n");
    use(file.path());
    EXPECT_EXIT(
        {
            const bool empty = all_slots_empty();
            file.remove();
            std::exit(empty ? 0 : 1);
        },
        ::testing::ExitedWithCode(0),
        "^TarnSDK_CE: .*backplane-.*\\.conf: line 2: slot 2: bus 'nowhere' is not "
        "declared\n$");
}

TEST_F(ProcessBackplaneDeathTest, NamedFileDecidesWhatTheSlotsHold) {
    const ConfigFile file("slot 6 5323\n");
    use(file.path());
    EXPECT_EXIT(
        {
            char name[TRN_MODULE_NAME_SIZE] = {};
            trn_GetModuleName(6, name);
            const bool ok = std::string(name) == "5323" && in_process_host().module(1) == nullptr &&
                            in_process_host().module(6) != nullptr;
            file.remove();
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "^$");
}

}  // namespace
}  // namespace k5320::backplane
