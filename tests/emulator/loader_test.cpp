// The resident loader as the host drives it through the dual-port RAM: the info frame and its
// model check, the data blocks, report, delete, restart and start, and what the flash keeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emulator/flash_store.h"
#include "emulator/module_probe.h"
#include "k5320/commands.h"
#include "k5320/crc16.h"
#include "k5320/dpram_map.h"
#include "k5320/model_codes.h"
#include "tests/emulator/module_fixture.h"
#include "tests/emulator/temporary_directory.h"

namespace k5320::emulator {
namespace {

using namespace std::chrono_literals;
using model::Code;

constexpr auto kQuietPeriod = 100ms;  // how long a wrong loader gets to answer anyway
constexpr Code k5320Code = {0x93, 0x4E, 0xB6};
constexpr Code k5323Code = {0x94, 0x5B, 0xB5};
constexpr std::size_t kMaxBlock = dpram::kLoaderMaxPayload;

FlashContents firmware_of(std::size_t size, uint8_t seed, const char* name = "NEW.EXE") {
    FlashContents contents;
    contents.image.resize(size);
    for (std::size_t i = 0; i < size; ++i) contents.image[i] = static_cast<uint8_t>(seed + i * 7);
    std::copy_n(name, std::char_traits<char>::length(name), contents.record.begin());
    record::set_crc(contents.record, crc16::compute(contents.image.data(), size));
    record::set_size(contents.record, static_cast<uint32_t>(size));
    return contents;
}

class LoaderTest : public ModuleTest {
  protected:
    // A module of this type on the flash file, booted anew.
    void boot(const std::string& type = "5320") {
        module.reset();
        ram->reset();
        module = std::make_unique<Module>(type, *ram, flash_file);
    }
    void enter_loader() { ASSERT_EQ(handshake(cmd::kLoaderMode), answer::kLoaderMode); }

    std::optional<uint8_t> info_frame(const FirmwareRecord& record, Code code = k5320Code,
                                      uint16_t length = dpram::kInfoFrameLength,
                                      uint16_t block = dpram::kInfoBlockNumber) {
        write_word(dpram::kLoaderLength, length);
        write_word(dpram::kLoaderBlockNumber, block);
        for (std::size_t i = 0; i < code.size(); ++i) {
            ram->host_write(static_cast<uint16_t>(dpram::kInfoModelCode + i), code[i]);
        }
        for (std::size_t i = 0; i < record.size(); ++i) {
            ram->host_write(static_cast<uint16_t>(dpram::kInfoRecord + i), record[i]);
        }
        return handshake(cmd::kLoaderBlock);
    }
    std::optional<uint8_t> announce(const FirmwareRecord& record, Code code = k5320Code) {
        if (handshake(cmd::kLoaderInfo) != answer::kLoaderInfoAnnounced) return std::nullopt;
        return info_frame(record, code);
    }
    std::optional<uint8_t> data_frame(uint16_t block, const uint8_t* data, std::size_t size,
                                      std::optional<uint16_t> length = std::nullopt) {
        write_word(dpram::kLoaderLength,
                   length.value_or(static_cast<uint16_t>(size + dpram::kLoaderFrameOverhead)));
        write_word(dpram::kLoaderBlockNumber, block);
        for (std::size_t i = 0; i < size; ++i) {
            ram->host_write(static_cast<uint16_t>(dpram::kLoaderPayload + i), data[i]);
        }
        return handshake(cmd::kLoaderBlock);
    }
    // Block number n of the image as the host cuts it.
    std::optional<uint8_t> block(const FlashContents& sent, uint16_t n) {
        const std::size_t begin = (n - 1) * kMaxBlock;
        const std::size_t size = std::min(kMaxBlock, sent.image.size() - begin);
        return data_frame(n, sent.image.data() + begin, size);
    }
    // The answers to every block of a complete download.
    std::vector<uint8_t> download(const FlashContents& sent) {
        std::vector<uint8_t> answers;
        answers.push_back(announce(sent.record).value_or(0));
        const auto blocks = static_cast<uint16_t>((sent.image.size() + kMaxBlock - 1) / kMaxBlock);
        for (uint16_t n = 1; n <= blocks; ++n) answers.push_back(block(sent, n).value_or(0));
        return answers;
    }
    std::optional<FirmwareRecord> report() {
        if (handshake(cmd::kLoaderReport) != answer::kLoaderInfoReport) return std::nullopt;
        EXPECT_EQ(read_word(dpram::kLoaderLength), dpram::kFirmwareInfoSize);
        FirmwareRecord record;
        for (std::size_t i = 0; i < record.size(); ++i) {
            record[i] = ram->host_read(static_cast<uint16_t>(dpram::kInfoAnswerRecord + i));
        }
        return record;
    }
    // Command 240 in the loader: the loader's verdict, then the mode.
    void expect_start_refused(uint8_t verdict) {
        EXPECT_EQ(handshake(cmd::kProgramMode), verdict);
        EXPECT_EQ(next_answer(), answer::kLoaderMode);
        EXPECT_EQ(probe().mode(), answer::kLoaderMode);
    }
    void expect_no_answer(uint8_t code) {
        const uint64_t seen = probe().commands_seen(code);
        command(code);
        expect_handled(code, seen + 1);
        std::this_thread::sleep_for(kQuietPeriod);
        EXPECT_FALSE(probe().answer_pending()) << "command " << int(code);
    }

    TemporaryDirectory directory;
    std::filesystem::path flash_file = directory.path() / "slot-1.flash";
    const FlashContents builtin = builtin_firmware();
    // Two full blocks and a short one.
    const FlashContents update = firmware_of(2 * kMaxBlock + 100, 3);
};

TEST_F(LoaderTest, DownloadedFirmwareIsReportedStartedAndSurvivesTheModule) {
    boot();
    ASSERT_EQ(probe().mode(), answer::kProgramMode) << "a fresh module runs its built-in firmware";
    enter_loader();
    EXPECT_EQ(report(), builtin.record);
    ASSERT_EQ(handshake(cmd::kLoaderDelete), answer::kLoaderDeleted);
    EXPECT_EQ(download(update),
              (std::vector<uint8_t>{answer::kLoaderBlockAccepted, answer::kLoaderBlockAccepted,
                                    answer::kLoaderBlockAccepted, answer::kLoaderBlockTaken}));
    EXPECT_EQ(probe().flash(), update);
    EXPECT_EQ(report(), update.record);

    EXPECT_EQ(handshake(cmd::kProgramMode), answer::kProgramMode);
    EXPECT_EQ(probe().mode(), answer::kProgramMode);
    EXPECT_FALSE(probe().user_program_running()) << "started by its own command";

    boot();
    EXPECT_EQ(probe().mode(), answer::kProgramMode);
    EXPECT_EQ(probe().flash(), update);
}

TEST_F(LoaderTest, InfoFrameIsCheckedAgainstTheModuleType) {
    struct Case {
        const char* type;
        Code code;
        uint16_t length;
        uint16_t block;
        uint8_t answer;
    };
    const Case cases[] = {
        {"5320", k5320Code, dpram::kInfoFrameLength, 0, answer::kLoaderBlockAccepted},
        {"5323", k5323Code, dpram::kInfoFrameLength, 0, answer::kLoaderBlockAccepted},
        {"5323", k5320Code, dpram::kInfoFrameLength, 0, answer::kLoaderRejected},
        {"5320", {0x93, 0x4E, 0xB5}, dpram::kInfoFrameLength, 0, answer::kLoaderRejected},
        {"9999", k5320Code, dpram::kInfoFrameLength, 0, answer::kLoaderRejected},
        {"53200", k5320Code, dpram::kInfoFrameLength, 0, answer::kLoaderRejected},
        {"5320", k5320Code, dpram::kInfoFrameLength - 1, 0, answer::kLoaderRejected},
        {"5320", k5320Code, dpram::kInfoFrameLength, 1, answer::kLoaderRejected},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " length " + std::to_string(c.length) + " block " +
                     std::to_string(c.block));
        boot(c.type);
        enter_loader();
        ASSERT_EQ(handshake(cmd::kLoaderInfo), answer::kLoaderInfoAnnounced);
        EXPECT_EQ(info_frame(update.record, c.code, c.length, c.block), c.answer);
        // Only an accepted announcement lets data in.
        EXPECT_EQ(block(update, 1), c.answer == answer::kLoaderBlockAccepted
                                        ? answer::kLoaderBlockAccepted
                                        : answer::kLoaderRejected);
    }
    // Every frame needs its announcement first.
    boot();
    enter_loader();
    EXPECT_EQ(info_frame(update.record), answer::kLoaderRejected);
}

TEST_F(LoaderTest, BlocksOutOfOrderOrBeyondTheAnnouncedSizeAreRejectedAndChangeNothing) {
    boot();
    enter_loader();
    ASSERT_EQ(announce(update.record), answer::kLoaderBlockAccepted);
    EXPECT_EQ(block(update, 2), answer::kLoaderRejected);
    EXPECT_EQ(block(update, 1), answer::kLoaderBlockAccepted);
    EXPECT_EQ(block(update, 1), answer::kLoaderRejected) << "a block twice";
    EXPECT_EQ(block(update, 3), answer::kLoaderRejected);
    EXPECT_EQ(data_frame(0, update.image.data(), 30), answer::kLoaderRejected) << "info again";
    const uint8_t byte = 0;
    EXPECT_EQ(data_frame(2, &byte, 1, 1), answer::kLoaderRejected) << "length below the block word";
    EXPECT_EQ(data_frame(2, &byte, 1, dpram::kLoaderMaxPayload + dpram::kLoaderFrameOverhead + 1),
              answer::kLoaderRejected)
        << "length past the mailbox";
    EXPECT_EQ(block(update, 2), answer::kLoaderBlockAccepted);
    // The last block one byte longer than the announced size.
    std::vector<uint8_t> last(update.image.begin() + 2 * kMaxBlock, update.image.end());
    last.push_back(0);
    EXPECT_EQ(data_frame(3, last.data(), last.size()), answer::kLoaderRejected);
    EXPECT_EQ(probe().flash(), builtin) << "nothing written before the image is complete";
    EXPECT_EQ(block(update, 3), answer::kLoaderBlockTaken);
    EXPECT_EQ(probe().flash(), update);
    EXPECT_EQ(block(update, 1), answer::kLoaderRejected) << "the download is over";
}

TEST_F(LoaderTest, ImageThatIsNotTheAnnouncedOneOrCannotBeWrittenLeavesTheFlash) {
    boot();
    enter_loader();
    FlashContents damaged = update;
    damaged.image[kMaxBlock + 5] ^= 0x10;  // the record still carries the true CRC
    EXPECT_EQ(download(damaged).back(), answer::kLoaderRejected);
    EXPECT_EQ(probe().flash(), builtin);

    probe().fail_flash_writes(true);
    EXPECT_EQ(download(update).back(), answer::kLoaderRejected);
    EXPECT_EQ(handshake(cmd::kLoaderDelete), answer::kLoaderDeleteRefused);
    EXPECT_EQ(probe().flash(), builtin);
    boot();
    EXPECT_EQ(probe().flash(), builtin);
}

TEST_F(LoaderTest, EmptyImageCompletesAtTheInfoFrame) {
    boot();
    enter_loader();
    const FlashContents empty_image = firmware_of(0, 0, "EMPTY.EXE");
    EXPECT_EQ(announce(empty_image.record), answer::kLoaderBlockAccepted);
    EXPECT_EQ(probe().flash(), empty_image);
    EXPECT_EQ(report(), empty_image.record);
    EXPECT_EQ(block(update, 1), answer::kLoaderRejected);
}

TEST_F(LoaderTest, DeletedFlashIsReportedEmptyRefusesToStartAndStaysEmptyAtBoot) {
    boot();
    enter_loader();
    ASSERT_EQ(handshake(cmd::kLoaderDelete), answer::kLoaderDeleted);
    EXPECT_EQ(probe().flash_state(), FlashState::kEmpty);
    EXPECT_EQ(handshake(cmd::kLoaderReport), answer::kLoaderEmpty);
    expect_start_refused(answer::kLoaderEmpty);
    boot();
    EXPECT_EQ(probe().mode(), answer::kLoaderMode);
    EXPECT_EQ(handshake(cmd::kLoaderReport), answer::kLoaderEmpty);
    expect_start_refused(answer::kLoaderEmpty);
}

TEST_F(LoaderTest, DamagedOrMismatchedFlashBootsTheLoaderAndIsNeverStarted) {
    // A record whose CRC is not the image's: reported, never started.
    FlashContents mismatched = update;
    record::set_crc(mismatched.record, static_cast<uint16_t>(record::crc(update.record) + 1));
    ASSERT_TRUE(FlashStore(flash_file).write(mismatched));
    boot();
    EXPECT_EQ(probe().mode(), answer::kLoaderMode);
    EXPECT_EQ(report(), mismatched.record);
    expect_start_refused(answer::kLoaderRejected);

    // A torn file: the loader reports an error rather than an empty flash.
    std::filesystem::resize_file(flash_file, std::filesystem::file_size(flash_file) / 2);
    boot();
    EXPECT_EQ(probe().mode(), answer::kLoaderMode);
    EXPECT_EQ(probe().flash_state(), FlashState::kUnreadable);
    EXPECT_EQ(handshake(cmd::kLoaderReport), answer::kLoaderRejected);
    expect_start_refused(answer::kLoaderRejected);
    // A new download repairs it.
    EXPECT_EQ(download(update).back(), answer::kLoaderBlockTaken);
    EXPECT_EQ(handshake(cmd::kProgramMode), answer::kProgramMode);
}

TEST_F(LoaderTest, RestartDropsTheDownloadInProgress) {
    boot();
    enter_loader();
    ASSERT_EQ(announce(update.record), answer::kLoaderBlockAccepted);
    ASSERT_EQ(block(update, 1), answer::kLoaderBlockAccepted);
    EXPECT_EQ(handshake(cmd::kLoaderReset), answer::kLoaderMode);
    EXPECT_EQ(block(update, 2), answer::kLoaderRejected);
    // So does a new announcement: the next download starts from block 1.
    ASSERT_EQ(announce(update.record), answer::kLoaderBlockAccepted);
    ASSERT_EQ(block(update, 1), answer::kLoaderBlockAccepted);
    ASSERT_EQ(announce(update.record), answer::kLoaderBlockAccepted);
    EXPECT_EQ(block(update, 2), answer::kLoaderRejected);
    EXPECT_EQ(probe().flash(), builtin);
}

TEST_F(LoaderTest, ProgramModeServesNoLoaderCommand) {
    boot();
    for (const uint8_t code : {cmd::kLoaderInfo, cmd::kLoaderBlock, cmd::kLoaderReset,
                               cmd::kLoaderDelete, cmd::kLoaderReport}) {
        expect_no_answer(code);
    }
    EXPECT_EQ(probe().flash(), builtin);
    EXPECT_EQ(probe().mode(), answer::kProgramMode);
}

TEST_F(LoaderTest, FaultHooksApplyToLoaderAnswers) {
    boot();
    enter_loader();
    probe().override_answer(cmd::kLoaderReport, answer::kLoaderRejected);
    EXPECT_EQ(handshake(cmd::kLoaderReport), answer::kLoaderRejected);
    probe().override_answer(cmd::kLoaderReport, std::nullopt);
    probe().silence(cmd::kLoaderDelete, true);
    expect_no_answer(cmd::kLoaderDelete);
    EXPECT_EQ(probe().flash_state(), FlashState::kEmpty)
        << "silence hides the answer, not the work";
    probe().silence(cmd::kLoaderDelete, false);
    // Both answers of a refused start go through the hooks: the verdict can be silenced.
    probe().silence(cmd::kProgramMode, true);
    expect_no_answer(cmd::kProgramMode);
}

}  // namespace
}  // namespace k5320::emulator
