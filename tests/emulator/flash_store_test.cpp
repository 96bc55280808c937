// The module's flash store: what a fresh module holds, what survives a new store on the same
// file, and that neither a failed write nor a damaged file can leave a mix of old and new.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "emulator/flash_store.h"
#include "k5320/crc16.h"
#include "tests/emulator/temporary_directory.h"

namespace k5320::emulator {
namespace {

namespace fs = std::filesystem;

// The record as the host lays it out, built here byte by byte rather than with the store's own
// helpers, so a wrong offset in either shows up.
constexpr std::size_t kNameChars = 12, kCrcAt = 19, kSizeAt = 21, kSizeBytes = 4, kMonthAt = 14;

FlashContents image_with_record(std::vector<uint8_t> image, const char* name) {
    FlashContents contents;
    std::strncpy(reinterpret_cast<char*>(contents.record.data()), name, kNameChars);
    const uint16_t crc = crc16::compute(image.data(), image.size());
    contents.record[kCrcAt] = static_cast<uint8_t>(crc);
    contents.record[kCrcAt + 1] = static_cast<uint8_t>(crc >> 8);
    const auto size = static_cast<uint32_t>(image.size());
    for (std::size_t i = 0; i < kSizeBytes; ++i) {
        contents.record[kSizeAt + i] = static_cast<uint8_t>(size >> (8 * i));
    }
    contents.image = std::move(image);
    return contents;
}

std::vector<uint8_t> read_bytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_bytes(const fs::path& file, const std::vector<uint8_t>& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> directory_entries(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

class FlashStoreTest : public ::testing::Test {
  protected:
    TemporaryDirectory directory;
    fs::path file = directory.path() / "state" / "slot-3.flash";
    FlashContents first = image_with_record(std::vector<uint8_t>(5000, 0x11), "FIRST.EXE");
    FlashContents second = image_with_record(std::vector<uint8_t>(7000, 0x22), "SECOND.EXE");
};

TEST(Crc16Test, IsXmodem) {
    const char digits[] = "123456789";
    EXPECT_EQ(crc16::compute(reinterpret_cast<const uint8_t*>(digits), 9), 0x31C3);
    EXPECT_EQ(crc16::compute(nullptr, 0), 0);
    // Eight bytes at a time, the rest one by one: every split agrees with the plain byte loop.
    std::vector<uint8_t> bytes(41);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 37 + 11);
    for (size_t length = 0; length <= bytes.size(); ++length) {
        uint16_t bytewise = 0;
        for (size_t i = 0; i < length; ++i)
            bytewise = crc16::update(bytewise, bytes[i], crc16::kTable);
        EXPECT_EQ(crc16::compute(bytes.data(), length), bytewise) << length << " bytes";
    }
}

TEST_F(FlashStoreTest, FreshModuleHoldsTheBuiltInFirmwareWithItsTrueRecord) {
    const FlashStore in_memory;
    const FlashStore from_missing_file(file);
    for (const FlashStore* store : {&in_memory, &from_missing_file}) {
        ASSERT_EQ(store->state(), FlashState::kImage);
        ASSERT_TRUE(store->contents());
        const FlashContents& builtin = *store->contents();
        EXPECT_TRUE(store->holds_valid_image());
        EXPECT_STREQ(reinterpret_cast<const char*>(builtin.record.data()), "K5320FW.EXE");
        const FlashContents expected = image_with_record(builtin.image, "K5320FW.EXE");
        EXPECT_TRUE(std::equal(builtin.record.begin() + kCrcAt, builtin.record.end(),
                               expected.record.begin() + kCrcAt))
            << "CRC or size";
        EXPECT_GE(builtin.image.size(), 1024u);
        EXPECT_NE(builtin.record[kMonthAt], 0) << "a real month";
    }
    EXPECT_EQ(in_memory.contents(), from_missing_file.contents()) << "always the same image";
    EXPECT_FALSE(fs::exists(file)) << "reading a fresh module writes nothing";
}

TEST_F(FlashStoreTest, WritesSurviveANewStoreOnTheSameFile) {
    {
        FlashStore store(file);
        ASSERT_TRUE(store.write(first));
    }
    EXPECT_EQ(fs::status(file.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
    {
        FlashStore store(file);
        EXPECT_EQ(store.state(), FlashState::kImage);
        EXPECT_EQ(store.contents(), first);
        ASSERT_TRUE(store.write(std::nullopt));
        EXPECT_EQ(store.state(), FlashState::kEmpty);
    }
    {
        FlashStore store(file);
        EXPECT_EQ(store.state(), FlashState::kEmpty) << "erased is not fresh";
        EXPECT_FALSE(store.contents());
        EXPECT_FALSE(store.holds_valid_image());
        // An image that does not match its record is stored as it is: the loader judges it.
        FlashContents mismatched = first;
        mismatched.image.back() ^= 1;
        ASSERT_TRUE(store.write(mismatched));
        EXPECT_FALSE(FlashStore(file).holds_valid_image());
        EXPECT_EQ(FlashStore(file).contents(), mismatched);
    }
}

TEST_F(FlashStoreTest, FailedWriteLeavesTheOldFlashInMemoryAndOnDisk) {
    FlashStore store(file);
    ASSERT_TRUE(store.write(first));
    store.fail_writes(true);
    EXPECT_FALSE(store.write(second));
    EXPECT_FALSE(store.write(std::nullopt));
    EXPECT_EQ(store.contents(), first);
    EXPECT_EQ(FlashStore(file).contents(), first);
    store.fail_writes(false);
    EXPECT_TRUE(store.write(second));
    EXPECT_EQ(FlashStore(file).contents(), second);
}

TEST_F(FlashStoreTest, WriteCutOffHalfWayNeverReplacesTheOldFile) {
    FlashStore store(file);
    ASSERT_TRUE(store.write(first));
    const std::vector<uint8_t> before = read_bytes(file);
    // The file size limit makes the kernel cut the temporary file short in the middle of the
    // write, as a full disk would.
    rlimit old_limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    const sighandler_t old_handler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = old_limit;
    small.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = store.write(second);
    setrlimit(RLIMIT_FSIZE, &old_limit);
    signal(SIGXFSZ, old_handler);

    EXPECT_FALSE(written);
    EXPECT_EQ(store.contents(), first);
    EXPECT_EQ(read_bytes(file), before);
    EXPECT_EQ(directory_entries(file.parent_path()), std::vector<std::string>{"slot-3.flash"})
        << "the temporary file is cleaned up";
}

TEST_F(FlashStoreTest, UnwritableStateDirectoryFailsTheWriteAndKeepsTheFlash) {
    const fs::path blocked = directory.path() / "not-a-directory";
    write_bytes(blocked, {1});
    FlashStore store(blocked / "slot-1.flash");
    EXPECT_FALSE(store.write(first));
    EXPECT_TRUE(store.holds_valid_image()) << "still the built-in firmware";
}

TEST_F(FlashStoreTest, DamagedFileIsUnreadableFlashUntilRewritten) {
    const std::vector<uint8_t> good = flash_file::encode(first);
    ASSERT_EQ(good.size(), flash_file::kHeaderSize + first.image.size());
    const auto flipped = [&](std::size_t at) {
        std::vector<uint8_t> bytes = good;
        bytes[at] ^= 0x40;
        return bytes;
    };
    const std::vector<std::pair<const char*, std::vector<uint8_t>>> damages = {
        {"empty file", {}},
        {"half a header", {good.begin(), good.begin() + flash_file::kHeaderSize / 2}},
        {"header only", {good.begin(), good.begin() + flash_file::kHeaderSize}},
        {"last image byte missing", {good.begin(), good.end() - 1}},
        {"one byte too many",
         [&] {
             std::vector<uint8_t> bytes = good;
             bytes.push_back(0);
             return bytes;
         }()},
        {"magic", flipped(0)},
        {"record byte", flipped(20)},
        {"image length", flipped(40)},
        {"image byte", flipped(flash_file::kHeaderSize + 1234)},
        {"text", {'h', 'e', 'l', 'l', 'o'}},
    };
    fs::create_directories(file.parent_path());
    for (const auto& [what, bytes] : damages) {
        SCOPED_TRACE(what);
        write_bytes(file, bytes);
        FlashStore store(file);
        EXPECT_EQ(store.state(), FlashState::kUnreadable);
        EXPECT_FALSE(store.contents());
        EXPECT_FALSE(store.holds_valid_image());
    }
    FlashStore store(file);
    ASSERT_TRUE(store.write(second));
    EXPECT_EQ(FlashStore(file).contents(), second);

    write_bytes(file, flash_file::encode(std::nullopt));
    EXPECT_EQ(FlashStore(file).state(), FlashState::kEmpty);
}

class StateDirectoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : kVariables) {
            const char* value = std::getenv(name);
            saved_.push_back(value ? std::optional<std::string>(value) : std::nullopt);
            unsetenv(name);
        }
    }
    void TearDown() override {
        for (std::size_t i = 0; i < std::size(kVariables); ++i) {
            if (saved_[i]) {
                setenv(kVariables[i], saved_[i]->c_str(), 1);
            } else {
                unsetenv(kVariables[i]);
            }
        }
    }
    static constexpr const char* kVariables[] = {"TARN_BACKPLANE_STATE", "XDG_STATE_HOME", "HOME"};
    std::vector<std::optional<std::string>> saved_;
};

TEST_F(StateDirectoryTest, BackplaneVariableThenXdgThenHome) {
    EXPECT_FALSE(flash_state_directory());
    setenv("HOME", "/home/u", 1);
    EXPECT_EQ(flash_state_directory(), fs::path("/home/u/.local/state/tarn-backplane"));
    setenv("XDG_STATE_HOME", "", 1);  // empty counts as unset
    EXPECT_EQ(flash_state_directory(), fs::path("/home/u/.local/state/tarn-backplane"));
    setenv("XDG_STATE_HOME", "/xdg", 1);
    EXPECT_EQ(flash_state_directory(), fs::path("/xdg/tarn-backplane"));
    setenv("TARN_BACKPLANE_STATE", "/tmp/bp", 1);
    EXPECT_EQ(flash_state_directory(), fs::path("/tmp/bp"));
    EXPECT_EQ(flash_file_for_slot("/tmp/bp", 4), fs::path("/tmp/bp/slot-4.flash"));
}

}  // namespace
}  // namespace k5320::emulator
