// The receive log on the machine's own file services: where the file goes, what it is called,
// that it is written through and held by one writer only.
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "utility/main/receive_log.h"

namespace k5320::utility {
namespace {

namespace fs = std::filesystem;

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ReceiveLogNames, FileNameDirectoryAndApplicationName) {
    EXPECT_EQ(log_file_name({2024, 3, 9, 7, 5, 3}), "20240309_070503.txt");
    EXPECT_EQ(log_file_name({1999, 12, 31, 23, 59, 59}), "19991231_235959.txt");
    EXPECT_EQ(directory_of("/opt/k5320/K5320W_Utility"), "/opt/k5320/");
    EXPECT_EQ(directory_of("K5320W_Utility"), "");
    EXPECT_EQ(application_name_of("/opt/k5320/K5320W_Utility"), "K5320W_Utility");
    EXPECT_EQ(application_name_of("/opt/k5.3/K5320W_Utility.exe"), "K5320W_Utility");
    EXPECT_EQ(application_name_of("/opt/.hidden"), ".hidden");
}

class SystemFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("k5320-log-test-" + std::to_string(getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir;
    FileServices& files = system_file_services();
};

TEST_F(SystemFiles, ProgramPathAndLocalTimeAreThoseOfThisProcess) {
    const std::string program = files.program_path();
    EXPECT_EQ(application_name_of(program), "utility_tests");
    EXPECT_TRUE(fs::exists(program));
    const LocalTime now = files.local_time();
    EXPECT_GE(now.year, 2024);
    EXPECT_GE(now.month, 1);
    EXPECT_LE(now.month, 12);
}

TEST_F(SystemFiles, TheHomeFolderIsThePasswordDatabasesWhateverTheEnvironmentSays) {
    const std::string saved = getenv("HOME") != nullptr ? getenv("HOME") : "";
    setenv("HOME", dir.c_str(), 1);
    const std::string home = files.home_directory();
    setenv("HOME", saved.c_str(), 1);
    const passwd* entry = getpwuid(getuid());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(home, entry->pw_dir);
}

TEST_F(SystemFiles, AFileIsReplacedWrittenThroughAndHeldByOneWriter) {
    const fs::path path = dir / "log.txt";
    { std::ofstream(path) << "older content, longer than what replaces it"; }
    auto file = files.create_file(path.string());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(contentOf(path), "");
    ASSERT_TRUE(file->write("2.0A,3ff,0,2,a,ff,0,0,0,0,0,0,12345\r\n"));
    // Written through: readable before the file is closed.
    EXPECT_EQ(contentOf(path), "2.0A,3ff,0,2,a,ff,0,0,0,0,0,0,12345\r\n");

    // Not shared: a second writer is refused and the first one's content stays.
    EXPECT_EQ(files.create_file(path.string()), nullptr);
    EXPECT_EQ(contentOf(path), "2.0A,3ff,0,2,a,ff,0,0,0,0,0,0,12345\r\n");
    file.reset();
    EXPECT_NE(files.create_file(path.string()), nullptr);

    EXPECT_EQ(files.create_file((dir / "missing" / "log.txt").string()), nullptr);
}

TEST_F(SystemFiles, ALinkInTheLogsPlaceIsNotFollowed) {
    const fs::path target = dir / "someone-elses.txt";
    { std::ofstream(target) << "keep"; }
    fs::create_symlink(target, dir / "log.txt");
    EXPECT_EQ(files.create_file((dir / "log.txt").string()), nullptr);
    EXPECT_EQ(contentOf(target), "keep");
}

TEST_F(SystemFiles, TheLogGoesBesideTheProgramNamedAfterTheTimeItWasOpened) {
    ReceiveLog log(files);
    const LocalTime before = files.local_time();
    ASSERT_TRUE(log.open());
    const fs::path path = log.path();
    const LocalTime after = files.local_time();
    // Beside the program first. Another test process logging from this folder in the same
    // second holds that name, and the log then goes to the home folder, the second place.
    ASSERT_FALSE(log.tried().empty());
    EXPECT_EQ(fs::path(log.tried().front()).parent_path(),
              fs::path(files.program_path()).parent_path());
    EXPECT_EQ(path, fs::path(log.tried().back()));
    if (log.tried().size() > 1) {
        EXPECT_EQ(path.parent_path(), fs::path(files.home_directory()));
    }
    const std::string name = path.filename().string();
    EXPECT_TRUE(name == log_file_name(before) || name == log_file_name(after)) << name;
    ASSERT_TRUE(log.write("2.0B,18ff0001,0,8,0,0,0,64,0,0,0,1,42\r\n"));
    log.close();
    EXPECT_FALSE(log.write("after closing\r\n"));
    EXPECT_EQ(contentOf(path),
              "Mode,MsgID,RTR,DataLen,B0,B1,B2,B3,B4,B5,B6,B7,TimeStamp(0.1ms)\r\n"
              "2.0B,18ff0001,0,8,0,0,0,64,0,0,0,1,42\r\n");
    fs::remove(path);
}

}  // namespace
}  // namespace k5320::utility
