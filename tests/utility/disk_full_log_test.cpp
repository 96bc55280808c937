// The receive log on a disk that fills up while logging: the dialog over the machine's own file
// writes, in a process that write_limit_shim makes run out of space. ctest preloads the shim.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/utility/fake_dialog_parts.h"
#include "utility/main/utility_dialog.h"

namespace k5320::utility::test {
namespace {

namespace fs = std::filesystem;
using C = ControlId;

constexpr const char* kHeader =
    "Mode,MsgID,RTR,DataLen,B0,B1,B2,B3,B4,B5,B6,B7,TimeStamp(0.1ms)\r\n";
constexpr const char* kLine = "2.0A,100,0,1,1,0,0,0,0,0,0,0,0\r\n";

// The machine's file writes, with the program placed in a directory of the test's own (tests
// that run side by side must not log into one file).
class FilesInDirectory final : public FileServices {
  public:
    explicit FilesInDirectory(fs::path directory) : directory_(std::move(directory)) {}
    std::string program_path() override { return (directory_ / "K5320W_Utility").string(); }
    std::string home_directory() override { return {}; }
    LocalTime local_time() override { return system_file_services().local_time(); }
    std::unique_ptr<LogFile> create_file(const std::string& path) override {
        return system_file_services().create_file(path);
    }

  private:
    fs::path directory_;
};

// The preloaded shim's switch; null when the shim is missing.
using DiskFullAfter = void (*)(long long bytes);
DiskFullAfter disk_full_after() {
    return reinterpret_cast<DiskFullAfter>(dlsym(RTLD_DEFAULT, "k5320_disk_full_after"));
}

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

ReceivedMessage frame() {
    ReceivedMessage message;
    message.id = 0x100;
    message.length = 1;
    message.data[0] = 1;
    return message;
}

TEST(DiskFullWhileLogging, TheCutLineIsReportedOnceTheFileEndsAndMonitoringGoesOn) {
    const DiskFullAfter k5320_disk_full_after = disk_full_after();
    ASSERT_NE(k5320_disk_full_after, nullptr) << "run with LD_PRELOAD=write_limit_shim";
    std::string directory = (fs::temp_directory_path() / "k5320-disk-full-XXXXXX").string();
    ASSERT_NE(mkdtemp(directory.data()), nullptr);
    FilesInDirectory files{fs::path(directory)};
    FakeView view;
    FakeModule module;
    FakeBoxes boxes;
    UtilityDialog dialog{view, module, boxes, files};
    dialog.start();
    dialog.initialize();

    // Room for the header, one line and half of the next.
    const std::string header = kHeader;
    const std::string line = kLine;
    k5320_disk_full_after(static_cast<long long>(header.size() + line.size() + line.size() / 2));
    view.checked[C::kSaveToFile] = true;
    dialog.save_to_file_clicked();
    ASSERT_TRUE(dialog.state().log_open);
    const fs::path log = dialog.log_path();
    for (int tick = 0; tick < 3; ++tick) {
        module.waiting.push_back(frame());
        module.waiting.push_back(frame());
        dialog.poll_tick();
        dialog.refresh_view();
        view.runPosted();
    }
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "Can not write to the log file");
    EXPECT_FALSE(dialog.state().log_open);
    EXPECT_EQ(contentOf(log), header + line + line.substr(0, line.size() / 2));
    EXPECT_EQ(dialog.state().rx_count, 6u);  // listing and counting went on

    // A new file on the still full disk cannot even take its header: reported, nothing open.
    view.checked[C::kSaveToFile] = false;
    dialog.save_to_file_clicked();
    view.checked[C::kSaveToFile] = true;
    dialog.save_to_file_clicked();
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[1].text, "Can not create a new file\n" + dialog.log_path());
    EXPECT_FALSE(dialog.state().log_open);

    k5320_disk_full_after(-1);
    dialog.destroyed();
    fs::remove_all(directory);
}

}  // namespace
}  // namespace k5320::utility::test
