// The firmware download protocol against the emulated resident loader, and the CRC-16.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "backplane/inspect.h"
#include "driver/frame/slot_state.h"
#include "emulator/flash_store.h"
#include "emulator/module_probe.h"
#include "k5320.h"
#include "k5320/commands.h"
#include "k5320/dpram_map.h"
#include "tests/driver/driver_test_support.h"

namespace {

using k5320::driver::Field;
using k5320::driver::slot_context;
using namespace std::chrono_literals;
namespace cmd = k5320::cmd;
namespace answer = k5320::answer;
namespace dp = k5320::dpram;

constexpr uint8_t kSlot = 2;
constexpr uint16_t kBlock = 8186;

TEST(Crc16, CheckValueAndEmptyInput) {
    const char* digits = "123456789";
    EXPECT_EQ(K5320_Load_CalculatedCRC(reinterpret_cast<const uint8_t*>(digits), 9), 0x31C3);
    EXPECT_EQ(K5320_Load_CalculatedCRC(nullptr, 0), 0);
    const uint8_t one = 0x01;
    EXPECT_EQ(K5320_Load_CalculatedCRC(&one, 1), 0x1021);
}

TEST(Crc16, TableBuiltFromTwoThreadsAtOnceGivesOneResult) {
    std::vector<uint8_t> data(4096);
    std::mt19937 random(7);
    for (auto& b : data) b = static_cast<uint8_t>(random());
    uint16_t a = 0, b = 0;
    std::thread first([&] { a = K5320_Load_CalculatedCRC(data.data(), 4096); });
    std::thread second([&] { b = K5320_Load_CalculatedCRC(data.data(), 4096); });
    first.join();
    second.join();
    EXPECT_EQ(a, b);
}

FirmwareInfo record_for(const std::vector<uint8_t>& image, const char* name) {
    FirmwareInfo info{};
    std::snprintf(info.fileName, sizeof info.fileName, "%s", name);
    info.year = 34;
    info.month = 3;
    info.day = 5;
    info.hour = 9;
    info.minute = 7;
    info.second = 5;
    info.crc = K5320_Load_CalculatedCRC(image.data(), static_cast<uint32_t>(image.size()));
    info.size = static_cast<uint32_t>(image.size());
    return info;
}

std::vector<uint8_t> image_of(size_t size, unsigned seed) {
    std::vector<uint8_t> image(size);
    std::mt19937 random(seed);
    for (auto& b : image) b = static_cast<uint8_t>(random());
    return image;
}

class Loader : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(k5320::backplane::in_process_host().replace_module(kSlot, "5320"));
        ASSERT_EQ(K5320_Init(kSlot), K5320_SUCCESS);
    }
    k5320::emulator::Module& module() { return *k5320::backplane::in_process_host().module(kSlot); }
    k5320::emulator::ModuleProbe probe() { return k5320::emulator::ModuleProbe(module()); }
    uint16_t module_word(uint16_t address) {
        return static_cast<uint16_t>(probe().peek(address) | probe().peek(address + 1) << 8);
    }

    // The calling order of a complete update; returns the first failing result.
    int download(const std::vector<uint8_t>& image, const FirmwareInfo& info) {
        if (int rc = K5320_Load_IntoDownloadMode(kSlot)) return rc;
        if (int rc = K5320_Load_DeleteFirmware(kSlot)) return rc;
        if (int rc = K5320_Load_DownloadInfo(kSlot, info)) return rc;
        uint16_t block = 1;
        for (size_t offset = 0; offset < image.size(); offset += kBlock, ++block) {
            const auto length =
                static_cast<uint16_t>(std::min<size_t>(kBlock, image.size() - offset));
            if (int rc = K5320_Load_DownloadData(kSlot, block, image.data() + offset, length))
                return rc;
        }
        return K5320_SUCCESS;
    }
};

TEST_F(Loader, EveryCallButInitNeedsDownloadMode) {
    FirmwareInfo info{};
    uint8_t data[4] = {};
    EXPECT_EQ(K5320_Load_IntoDownloadMode(kSlot), K5320_ERR_NOT_DOWNLOAD_MODE);
    EXPECT_EQ(K5320_Load_GetFirmwareInfo(kSlot, &info), K5320_ERR_NOT_DOWNLOAD_MODE);
    EXPECT_EQ(K5320_Load_DeleteFirmware(kSlot), K5320_ERR_NOT_DOWNLOAD_MODE);
    EXPECT_EQ(K5320_Load_DownloadInfo(kSlot, info), K5320_ERR_NOT_DOWNLOAD_MODE);
    EXPECT_EQ(K5320_Load_DownloadData(kSlot, 1, data, 9000), K5320_ERR_NOT_DOWNLOAD_MODE);
    EXPECT_EQ(K5320_Load_RunProgram(kSlot), K5320_ERR_NOT_DOWNLOAD_MODE);
    EXPECT_EQ(K5320_Load_Reset(kSlot), K5320_ERR_NOT_DOWNLOAD_MODE);
    for (uint8_t bad : {0, 8}) {
        EXPECT_EQ(K5320_Load_Init(bad), K5320_ERR_BAD_SLOT);
        EXPECT_EQ(K5320_Load_RunProgram(bad), K5320_ERR_BAD_SLOT);
    }
    EXPECT_EQ(K5320_Load_Init(1), K5320_ERR_NOT_INITIALIZED);  // never initialised
}

TEST_F(Loader, InitEntersDownloadModeAndRunProgramLeavesIt) {
    ASSERT_EQ(K5320_Load_Init(kSlot), K5320_SUCCESS);
    EXPECT_EQ(slot_context(kSlot).record.get(Field::DownloadMode), 1u);
    EXPECT_EQ(probe().mode(), answer::kLoaderMode);
    FirmwareInfo info{};
    ASSERT_EQ(K5320_Load_GetFirmwareInfo(kSlot, &info), K5320_SUCCESS);
    EXPECT_GT(uint32_t{info.size}, 0u);  // a fresh module holds its built-in firmware
    EXPECT_EQ(K5320_Load_Reset(kSlot), K5320_SUCCESS);
    ASSERT_EQ(K5320_Load_RunProgram(kSlot), K5320_SUCCESS);
    EXPECT_EQ(slot_context(kSlot).record.get(Field::DownloadMode), 0u);
    EXPECT_EQ(probe().mode(), answer::kProgramMode);
    EXPECT_EQ(K5320_Load_GetFirmwareInfo(kSlot, &info), K5320_ERR_NOT_DOWNLOAD_MODE);
}

TEST_F(Loader, DataFramesUpTo8186BytesAndNothingWrittenBeyond) {
    ASSERT_EQ(K5320_Load_Init(kSlot), K5320_SUCCESS);
    const std::vector<uint8_t> image = image_of(kBlock + 1, 3);
    ASSERT_EQ(K5320_Load_DeleteFirmware(kSlot), K5320_SUCCESS);
    FirmwareInfo info =
        record_for(std::vector<uint8_t>(image.begin(), image.begin() + kBlock), "BLOCK.EXE");
    ASSERT_EQ(K5320_Load_DownloadInfo(kSlot, info), K5320_SUCCESS);
    ASSERT_EQ(K5320_Load_DownloadData(kSlot, 1, image.data(), kBlock), K5320_SUCCESS);
    EXPECT_EQ(module_word(dp::kLoaderLength), kBlock + 2);
    EXPECT_EQ(probe().peek(dp::kLoaderPayload + kBlock - 1), image[kBlock - 1]);
    probe().poke(dp::kLoaderLength, 0x77);
    EXPECT_EQ(K5320_Load_DownloadData(kSlot, 2, image.data(), kBlock + 1),
              K5320_ERR_BLOCK_TOO_LONG);
    EXPECT_EQ(probe().peek(dp::kLoaderLength), 0x77);  // nothing written
}

TEST_F(Loader, EmptyImageIsAnnouncedAndAnEmptyDataFrameHasLengthTwo) {
    ASSERT_EQ(K5320_Load_Init(kSlot), K5320_SUCCESS);
    ASSERT_EQ(download({}, record_for({}, "EMPTY.EXE")), K5320_SUCCESS);
    FirmwareInfo info{};
    ASSERT_EQ(K5320_Load_GetFirmwareInfo(kSlot, &info), K5320_SUCCESS);
    EXPECT_STREQ(info.fileName, "EMPTY.EXE");
    // The record is packed: copy its fields before comparing them.
    EXPECT_EQ(uint32_t{info.size}, 0u);
    EXPECT_EQ(uint16_t{info.crc}, 0);
    const uint8_t none = 0;
    K5320_Load_DownloadData(kSlot, 1, &none, 0);  // the loader may refuse it; the frame counts
    EXPECT_EQ(module_word(dp::kLoaderLength), 2);
}

TEST_F(Loader, FullSizeUpdateIsStartedAndItsRecordReadBack) {
    const std::vector<uint8_t> image = image_of(393152, 11);
    const FirmwareInfo info = record_for(image, "NEWFIRM~.EXE");
    ASSERT_EQ(K5320_Load_Init(kSlot), K5320_SUCCESS);
    const uint64_t frames_before = probe().commands_seen(cmd::kLoaderBlock);
    ASSERT_EQ(download(image, info), K5320_SUCCESS);
    EXPECT_EQ(probe().commands_seen(cmd::kLoaderBlock) - frames_before, 1u + 49u);
    FirmwareInfo back{};
    ASSERT_EQ(K5320_Load_GetFirmwareInfo(kSlot, &back), K5320_SUCCESS);
    EXPECT_EQ(std::memcmp(&back, &info, sizeof info), 0);
    ASSERT_EQ(K5320_Load_RunProgram(kSlot), K5320_SUCCESS);
    EXPECT_EQ(probe().mode(), answer::kProgramMode);
}

TEST_F(Loader, CorruptedBlockIsRefusedAndTheStartRefusesToo) {
    std::vector<uint8_t> image = image_of(3 * kBlock, 5);
    const FirmwareInfo info = record_for(image, "BAD.EXE");
    image[kBlock + 17] ^= 0x40;  // damaged on the way, after the CRC was taken
    ASSERT_EQ(K5320_Load_Init(kSlot), K5320_SUCCESS);
    // The loader checks the finished image against the announced CRC: the last block is refused
    // and nothing damaged is stored; the old firmware was deleted, so nothing can start.
    EXPECT_EQ(download(image, info), K5320_ERR_DOWNLOAD_REFUSED);
    EXPECT_EQ(K5320_Load_RunProgram(kSlot), K5320_ERR_LOADER_EMPTY);
    EXPECT_EQ(slot_context(kSlot).record.get(Field::DownloadMode), 1u);
    FirmwareInfo back{};
    EXPECT_EQ(K5320_Load_GetFirmwareInfo(kSlot, &back), K5320_ERR_LOADER_EMPTY);
}

TEST_F(Loader, UnknownModuleTypeIsRefusedAfterTheLoaderAcceptedTheAnnouncement) {
    ASSERT_EQ(K5320_Load_Init(kSlot), K5320_SUCCESS);
    k5320::backplane::in_process_host().report_module_name(kSlot, "5329");
    const uint64_t announcements = probe().commands_seen(cmd::kLoaderInfo);
    const uint64_t frames = probe().commands_seen(cmd::kLoaderBlock);
    const std::vector<uint8_t> image = image_of(100, 1);
    EXPECT_EQ(K5320_Load_DownloadInfo(kSlot, record_for(image, "X.EXE")),
              K5320_ERR_DOWNLOAD_REFUSED);
    EXPECT_EQ(probe().commands_seen(cmd::kLoaderInfo), announcements + 1);  // answered 224
    EXPECT_EQ(probe().commands_seen(cmd::kLoaderBlock), frames);            // no frame was sent
    k5320::backplane::in_process_host().report_module_name(kSlot, std::nullopt);
}

TEST_F(Loader, DeletedFirmwareCannotBeReportedOrStarted) {
    ASSERT_EQ(K5320_Load_Init(kSlot), K5320_SUCCESS);
    ASSERT_EQ(K5320_Load_DeleteFirmware(kSlot), K5320_SUCCESS);
    FirmwareInfo info{};
    EXPECT_EQ(K5320_Load_GetFirmwareInfo(kSlot, &info), K5320_ERR_LOADER_EMPTY);
    EXPECT_EQ(K5320_Load_RunProgram(kSlot), K5320_ERR_LOADER_EMPTY);
}

TEST_F(Loader, InformationWithAWrongLengthWordLeavesTheCallersRecordAlone) {
    ASSERT_EQ(K5320_Load_Init(kSlot), K5320_SUCCESS);
    probe().silence(cmd::kLoaderReport, true);
    const uint64_t reports = probe().commands_seen(cmd::kLoaderReport) + 1;
    std::thread firmware([&] {
        ASSERT_TRUE(probe().wait_for_commands(cmd::kLoaderReport, reports, 10s));
        probe().poke(dp::kLoaderLength, 24);
        probe().poke(dp::kLoaderLength + 1, 0);
        probe().post_answer(answer::kLoaderInfoReport);
    });
    FirmwareInfo info;
    std::memset(&info, 0xAB, sizeof info);
    EXPECT_EQ(K5320_Load_GetFirmwareInfo(kSlot, &info), K5320_ERR_REFUSED);
    firmware.join();
    const auto* bytes = reinterpret_cast<const uint8_t*>(&info);
    for (size_t i = 0; i < sizeof info; ++i) EXPECT_EQ(bytes[i], 0xAB) << i;
}

// What a new process on a new backplane sees of the slot's module: its boot mode, the record it
// holds and whether it starts (lines of firmware_info_probe).
std::vector<std::string> probe_new_process() {
    const std::string command = std::string(FIRMWARE_INFO_PROBE_PATH) + " " +
                                k5320::test::test_table_name() + "-probe " + std::to_string(kSlot);
    std::vector<std::string> lines;
    FILE* probe = popen(command.c_str(), "r");
    if (probe == nullptr) return lines;
    char line[128] = {};
    while (std::fgets(line, sizeof line, probe) != nullptr) lines.emplace_back(line);
    lines.push_back("exit " + std::to_string(pclose(probe)));
    return lines;
}

TEST_F(Loader, ImageSurvivesIntoANewProcess) {
    const std::vector<uint8_t> image = image_of(20000, 21);
    const FirmwareInfo info = record_for(image, "KEPT.EXE");
    ASSERT_EQ(K5320_Load_Init(kSlot), K5320_SUCCESS);
    ASSERT_EQ(download(image, info), K5320_SUCCESS);
    ASSERT_EQ(K5320_Load_RunProgram(kSlot), K5320_SUCCESS);

    EXPECT_EQ(probe_new_process(),
              (std::vector<std::string>{
                  "mode 0 1\n", "0 KEPT.EXE 20000 " + std::to_string(uint16_t{info.crc}) + "\n",
                  "start 0\n", "exit 0"}));
}

// A flash file damaged while no process ran (torn, flipped, overwritten): the next process finds
// the module in its resident loader, which reports the flash unreadable and refuses to start it;
// nothing crashes, and a download repairs it.
TEST_F(Loader, DamagedFlashFileBootsTheLoaderInTheNextProcess) {
    const std::vector<uint8_t> image = image_of(20000, 23);
    const FirmwareInfo info = record_for(image, "KEPT.EXE");
    ASSERT_EQ(K5320_Load_Init(kSlot), K5320_SUCCESS);
    ASSERT_EQ(download(image, info), K5320_SUCCESS);
    ASSERT_EQ(K5320_Load_RunProgram(kSlot), K5320_SUCCESS);
    const std::optional<std::filesystem::path> directory = k5320::emulator::flash_state_directory();
    ASSERT_TRUE(directory.has_value());
    const std::filesystem::path file = k5320::emulator::flash_file_for_slot(*directory, kSlot);
    std::vector<char> good(std::filesystem::file_size(file));
    std::ifstream(file, std::ios::binary)
        .read(good.data(), static_cast<std::streamsize>(good.size()));

    const auto flipped = [&](size_t at) {
        std::vector<char> bytes = good;
        bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
        return bytes;
    };
    const std::pair<const char*, std::vector<char>> damages[] = {
        {"torn in the middle", {good.begin(), good.begin() + static_cast<long>(good.size() / 2)}},
        {"one image byte flipped", flipped(good.size() - 100)},
        {"empty", {}},
        {"overwritten with text", {'n', 'o', 't', ' ', 'f', 'l', 'a', 's', 'h'}},
    };
    const std::string unreadable = std::to_string(K5320_ERR_LOADER_REJECTED);
    for (const auto& [what, bytes] : damages) {
        SCOPED_TRACE(what);
        std::ofstream(file, std::ios::binary | std::ios::trunc)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        const std::vector<std::string> seen = probe_new_process();
        ASSERT_EQ(seen.size(), 4u) << ::testing::PrintToString(seen);
        EXPECT_EQ(seen[0], "mode 0 0\n");  // loader mode
        EXPECT_EQ(seen[1].substr(0, unreadable.size() + 1), unreadable + " ");
        EXPECT_EQ(seen[2], "start " + unreadable + "\n");
        EXPECT_EQ(seen[3], "exit 0");
    }

    // This process's module still holds the image in its flash: a download rewrites the file.
    ASSERT_EQ(K5320_Load_Init(kSlot), K5320_SUCCESS);
    ASSERT_EQ(download(image, info), K5320_SUCCESS);
    ASSERT_EQ(K5320_Load_RunProgram(kSlot), K5320_SUCCESS);
    EXPECT_EQ(probe_new_process().front(), "mode 0 1\n");
}

// Every flash write fails (a full or read-only disk): deleting and the finished download are
// refused, the old firmware stays and starts; once writes work again an update goes through.
TEST_F(Loader, FailingFlashWritesKeepTheOldFirmwareUntilTheyWorkAgain) {
    const std::vector<uint8_t> image = image_of(3 * kBlock, 29);
    const FirmwareInfo info = record_for(image, "NEW.EXE");
    ASSERT_EQ(K5320_Load_Init(kSlot), K5320_SUCCESS);
    FirmwareInfo before{};
    ASSERT_EQ(K5320_Load_GetFirmwareInfo(kSlot, &before), K5320_SUCCESS);

    probe().fail_flash_writes(true);
    EXPECT_EQ(K5320_Load_DeleteFirmware(kSlot), K5320_ERR_DELETE_REFUSED);
    EXPECT_EQ(download(image, info), K5320_ERR_DELETE_REFUSED);
    // Announced and sent without the delete: the last block, which would be stored, is refused.
    ASSERT_EQ(K5320_Load_DownloadInfo(kSlot, info), K5320_SUCCESS);
    int last = K5320_SUCCESS;
    for (uint16_t block = 1; block <= 3; ++block)
        last = K5320_Load_DownloadData(kSlot, block, image.data() + (block - 1) * kBlock, kBlock);
    EXPECT_EQ(last, K5320_ERR_DOWNLOAD_REFUSED);
    FirmwareInfo kept{};
    ASSERT_EQ(K5320_Load_GetFirmwareInfo(kSlot, &kept), K5320_SUCCESS);
    EXPECT_EQ(std::memcmp(&kept, &before, sizeof kept), 0);
    ASSERT_EQ(K5320_Load_RunProgram(kSlot), K5320_SUCCESS);
    EXPECT_EQ(probe().mode(), answer::kProgramMode);

    probe().fail_flash_writes(false);
    ASSERT_EQ(K5320_Load_Init(kSlot), K5320_SUCCESS);
    ASSERT_EQ(download(image, info), K5320_SUCCESS);
    FirmwareInfo after{};
    ASSERT_EQ(K5320_Load_GetFirmwareInfo(kSlot, &after), K5320_SUCCESS);
    EXPECT_EQ(std::memcmp(&after, &info, sizeof after), 0);
    ASSERT_EQ(K5320_Load_RunProgram(kSlot), K5320_SUCCESS);
    EXPECT_EQ(probe().mode(), answer::kProgramMode);
}

}  // namespace
