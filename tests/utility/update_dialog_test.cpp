// The firmware update dialog's behaviour without a screen, a module or real files: what it shows
// at start, the record it fills from a file, how it cuts the image into blocks, its failures, and
// the main dialog's Update Firmware button around it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "k5320/crc16.h"
#include "k5320_result.h"
#include "tests/utility/fake_dialog_parts.h"
#include "utility/main/utility_dialog.h"
#include "utility/update/update_dialog.h"

namespace k5320::utility::test {
namespace {

using Events = std::vector<std::string>;
constexpr uint16_t kSlot = 2;
constexpr const char* kProgram = "K5320W_Utility";

class FakeUpdateView final : public UpdateView {
  public:
    explicit FakeUpdateView(Events& events) : events_(events) {}

    bool statusBarFails = false;
    std::vector<int> pane_widths;
    std::array<std::string, 3> panes;
    std::pair<int, int> range{0, 100};
    std::vector<int> positions;
    std::deque<std::string> paths;  // what the file dialog returns, one per call
    int fileDialogs = 0;
    std::string filter;
    bool ended = false;
    std::function<void()> onMessage;  // a window message the block loop handles

    bool create_status_bar(std::span<const int> widths) override {
        pane_widths.assign(widths.begin(), widths.end());
        return !statusBarFails;
    }
    void set_pane_text(int pane, std::string_view text) override { panes.at(pane) = text; }
    void set_progress_range(int lowest, int highest) override { range = {lowest, highest}; }
    void set_progress_position(int position) override { positions.push_back(position); }
    std::string choose_file(std::string_view dialogFilter) override {
        ++fileDialogs;
        filter = dialogFilter;
        if (paths.empty()) return {};
        std::string path = paths.front();
        paths.pop_front();
        return path;
    }
    void handle_one_pending_message() override {
        events_.push_back("message");
        if (onMessage) onMessage();
    }
    void end_dialog() override { ended = true; }

  private:
    Events& events_;
};

// The library as the dialog sees it: slots outside 1..7 are refused with 3 before any exchange
// with the module; exchanges are logged as "name(slot)" (data blocks as "data(slot,block,length)")
// and answered from results. The stored record is the one the last info frame carried.
class FakeLoader final : public LoaderApi {
  public:
    explicit FakeLoader(Events& events) : events_(events) {}

    std::map<std::string, int> results;
    std::optional<FirmwareInfo> stored;
    std::optional<FirmwareInfo> sent;
    std::vector<uint8_t> received;  // the data blocks, joined
    int crcCalls = 0;

    int init(uint8_t slot) override { return exchange("init", slot); }
    int load_init(uint8_t slot) override { return exchange("load_init", slot); }
    int get_firmware_info(uint8_t slot, FirmwareInfo& info) override {
        int result = exchange("get_firmware_info", slot);
        if (result == K5320_SUCCESS && !stored) result = K5320_ERR_LOADER_EMPTY;
        if (result == K5320_SUCCESS) info = *stored;
        return result;
    }
    uint16_t calculated_crc(const uint8_t* data, uint32_t length) override {
        ++crcCalls;
        return crc16::compute(data, length);
    }
    int into_download_mode(uint8_t slot) override { return exchange("into_download_mode", slot); }
    int delete_firmware(uint8_t slot) override {
        const int result = exchange("delete_firmware", slot);
        if (result == K5320_SUCCESS) stored.reset();
        return result;
    }
    int download_info(uint8_t slot, const FirmwareInfo& info) override {
        const int result = exchange("download_info", slot);
        if (result == K5320_SUCCESS) {
            sent = info;
            stored = info;
        }
        return result;
    }
    int download_data(uint8_t slot, uint16_t block, const uint8_t* data, uint16_t length) override {
        const std::string name =
            "data(" + std::to_string(block) + "," + std::to_string(length) + ")";
        const int result = exchange(name, slot);
        if (result == K5320_SUCCESS) received.insert(received.end(), data, data + length);
        return result;
    }
    int adjust_date_time(uint8_t slot) override { return exchange("adjust_date_time", slot); }
    int run_program(uint8_t slot) override { return exchange("run_program", slot); }
    int restore(uint8_t slot) override { return exchange("restore", slot); }
    int release(uint8_t slot) override { return exchange("release", slot); }

  private:
    int exchange(const std::string& name, uint8_t slot) {
        if (slot < kFirstSlot || slot > kLastSlot) return K5320_ERR_BAD_SLOT;
        events_.push_back(name + "(" + std::to_string(slot) + ")");
        return results.contains(name) ? results.at(name) : K5320_SUCCESS;
    }
    Events& events_;
};

struct FakeFileSpec {
    uint64_t size = 0;
    std::time_t modified = 0;
    bool statusFails = false;
    std::size_t readLimit = SIZE_MAX;  // bytes that arrive before the read stops
};

// Byte i of every fake file.
uint8_t fileByte(std::size_t i) {
    return static_cast<uint8_t>(i * 7 + i / 251);
}

class FakeFile final : public FirmwareFile {
  public:
    FakeFile(const FakeFileSpec& spec, Events& events) : spec_(spec), events_(events) {}
    ~FakeFile() override { events_.push_back("file closed"); }
    std::optional<FileStatus> status() override {
        if (spec_.statusFails) return std::nullopt;
        return FileStatus{spec_.size, spec_.modified};
    }
    std::size_t read(std::span<uint8_t> into) override {
        const std::size_t count = std::min<std::size_t>(
            {into.size(), static_cast<std::size_t>(spec_.size) - position_, spec_.readLimit});
        for (std::size_t i = 0; i < count; ++i) into[i] = fileByte(position_ + i);
        position_ += count;
        return count;
    }

  private:
    FakeFileSpec spec_;
    Events& events_;
    std::size_t position_ = 0;
};

// Files by path; the fake time zone is UTC.
class FakeSystem final : public UpdateSystem {
  public:
    explicit FakeSystem(Events& events) : events_(events) {}
    std::map<std::string, FakeFileSpec> files;

    std::unique_ptr<FirmwareFile> open_file(const std::string& path) override {
        if (!files.contains(path)) return nullptr;
        return std::make_unique<FakeFile>(files.at(path), events_);
    }
    CalendarTime local_time(std::time_t time) override {
        std::tm utc{};
        gmtime_r(&time, &utc);
        return {utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                utc.tm_hour,        utc.tm_min,     utc.tm_sec};
    }
    void sleep_ms(uint32_t ms) override { events_.push_back("sleep " + std::to_string(ms)); }

  private:
    Events& events_;
};

FirmwareInfo record(const char* name, uint8_t year, uint32_t size) {
    FirmwareInfo info{};
    std::strncpy(info.fileName, name, sizeof info.fileName - 1);
    info.year = year;
    info.month = 12;
    info.day = 31;
    info.hour = 23;
    info.minute = 0;
    info.second = 59;
    info.size = size;
    return info;
}

std::time_t utc(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return timegm(&t);
}

class UpdateDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        loader.stored = record("K5320FW.EXE", 44, 6144);
        dialog.start();
        events.clear();
    }

    // Offers a file of size bytes at path and clicks Update.
    void updateWith(const std::string& path, uint64_t size, std::time_t modified = 0) {
        system.files[path] = {.size = size, .modified = modified};
        view.paths.push_back(path);
        dialog.update();
    }

    std::vector<std::string> exchanges() const {
        std::vector<std::string> found;
        for (const std::string& e : events)
            if (e.find('(') != std::string::npos) found.push_back(e);
        return found;
    }

    std::vector<std::string> boxTexts() const {
        std::vector<std::string> texts;
        for (const FakeBoxes::Box& box : boxes.shown) texts.push_back(box.text);
        return texts;
    }

    Events events;
    FakeUpdateView view{events};
    FakeLoader loader{events};
    FakeBoxes boxes;
    FakeSystem system{events};
    UpdateDialog dialog{view, loader, boxes, system, kSlot, kProgram};
};

TEST_F(UpdateDialogTest, StartShowsTheStoredFirmwareInThreePanes) {
    EXPECT_EQ(view.pane_widths, (std::vector<int>{140, 180, 140}));
    EXPECT_EQ(view.panes[0], "Firmware: K5320FW.EXE");
    EXPECT_EQ(view.panes[1], "Modified: 2024/12/31--23:0:59");
    EXPECT_EQ(view.panes[2], "Size: 6144 bytes");
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_FALSE(view.ended);

    // A stored name that fills all 13 bytes is shown without reading past the field.
    FirmwareInfo full = record("", 44, 1);
    std::memset(full.fileName, 'A', sizeof full.fileName);
    EXPECT_EQ(update::firmware_name_text(full), "Firmware: AAAAAAAAAAAAA");
}

TEST(UpdateDialogStart, CallsInitThenLoadInitThenReadsTheRecordOrShowsTheUnknownTexts) {
    Events events;
    FakeUpdateView view(events);
    FakeLoader loader(events);
    FakeBoxes boxes;
    FakeSystem system(events);
    UpdateDialog dialog(view, loader, boxes, system, 7, kProgram);
    dialog.start();
    EXPECT_EQ(events, (Events{"init(7)", "load_init(7)", "get_firmware_info(7)"}));
    EXPECT_EQ(view.panes, (std::array<std::string, 3>{"Firmware Unknown", "Modified: --------",
                                                      "Size: --------"}));
    EXPECT_FALSE(view.ended);
}

TEST(UpdateDialogStart, FailuresAreReportedAndEndTheDialog) {
    struct Case {
        bool statusBarFails;
        std::string failing;
        int result;
        FakeBoxes::Box box;
        Events calls;
    };
    const Case cases[] = {
        {true, "", 0, {kProgram, "Create status bar fail!"}, {}},
        {false,
         "init",
         K5320_ERR_NOT_INITIALIZED,
         {"Error", "Module Initialization Error, Error Code=41"},
         {"init(3)"}},
        {false,
         "load_init",
         K5320_ERR_NO_ANSWER,
         {"Error", "Download initialization Fail, Error Code=23"},
         {"init(3)", "load_init(3)"}},
    };
    for (const Case& c : cases) {
        Events events;
        FakeUpdateView view(events);
        view.statusBarFails = c.statusBarFails;
        FakeLoader loader(events);
        if (!c.failing.empty()) loader.results[c.failing] = c.result;
        FakeBoxes boxes;
        FakeSystem system(events);
        UpdateDialog dialog(view, loader, boxes, system, 3, kProgram);
        dialog.start();
        ASSERT_EQ(boxes.shown.size(), 1u) << c.box.text;
        EXPECT_EQ(boxes.shown[0].caption, c.box.caption);
        EXPECT_EQ(boxes.shown[0].text, c.box.text);
        EXPECT_TRUE(view.ended);
        EXPECT_EQ(events, c.calls);
    }
}

TEST_F(UpdateDialogTest, TheRecordCarriesTheShortenedNameLocalTimeCrcAndSize) {
    EXPECT_EQ(update::recorded_file_name("/opt/fw/firmware.exe"), "firmware.exe");
    EXPECT_EQ(update::recorded_file_name("/opt/fw/newfirmware.exe"), "newfirm~.exe");
    EXPECT_EQ(update::recorded_file_name("firmware_2.bin"), "firmwar~.exe");
    // Cut between characters, never inside one: a character whose bytes span the seventh and
    // eighth byte stays out whole.
    EXPECT_EQ(update::recorded_file_name("/fw/Pr\xC3\xBC"
                                         "fstand_neu.exe"),
              "Pr\xC3\xBC"
              "fst~.exe");
    EXPECT_EQ(update::recorded_file_name("/fw/Schalt\xC3\xA4"
                                         "ffchen.exe"),
              "Schalt~.exe");
    EXPECT_EQ(update::recorded_file_name("/fw/\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.exe"),
              "\xE6\x97\xA5\xE6\x9C\xAC~.exe");

    updateWith("/home/op/newfirmware.exe", 1000, utc(2014, 3, 5, 9, 7, 5));
    ASSERT_TRUE(loader.sent.has_value());
    const FirmwareInfo& sent = *loader.sent;
    EXPECT_STREQ(sent.fileName, "newfirm~.exe");
    const std::array<int, 6> time{sent.year, sent.month,  sent.day,
                                  sent.hour, sent.minute, sent.second};
    EXPECT_EQ(time, (std::array<int, 6>{34, 3, 5, 9, 7, 5}));
    // Packed fields are read by value: gtest would bind references to them.
    EXPECT_EQ(uint32_t{sent.size}, 1000u);
    std::vector<uint8_t> image(1000);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = fileByte(i);
    EXPECT_EQ(uint16_t{sent.crc}, crc16::compute(image.data(), image.size()));
    EXPECT_EQ(loader.received, image);
    // The panes show what the module reports after the download; the size is the file's.
    EXPECT_EQ(view.panes[0], "Firmware: newfirm~.exe");
    EXPECT_EQ(view.panes[1], "Modified: 2014/3/5--9:7:5");
    EXPECT_EQ(view.panes[2], "Size: 1000 bytes");

    loader.stored.reset();
    view.ended = false;
    updateWith("/home/op/firmware.exe", 10);
    EXPECT_STREQ(loader.sent->fileName, "firmware.exe");
    EXPECT_EQ(view.filter, "Execution Files (*.exe)|*.exe");
}

TEST_F(UpdateDialogTest, ASuccessfulDownloadRunsTheStepsInOrderAndEndsTheDialog) {
    updateWith("/fw/two.exe", update::kFirmwareBlockSize + 1);
    EXPECT_EQ(events, (Events{"file closed", "into_download_mode(2)", "delete_firmware(2)",
                              "download_info(2)", "message", "sleep 1", "data(1,8186)(2)",
                              "message", "message", "sleep 1", "data(2,1)(2)", "message", "sleep 1",
                              "get_firmware_info(2)", "adjust_date_time(2)"}));
    EXPECT_EQ(view.range, std::make_pair(0, 1));
    EXPECT_EQ(view.positions, (std::vector<int>{0, 0, 1, 0}));
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].caption, kProgram);
    EXPECT_EQ(boxes.shown[0].text, "Download OK!");
    EXPECT_TRUE(view.ended);
    EXPECT_EQ(dialog.slot(), kSlot);

    events.clear();
    dialog.destroyed();
    EXPECT_EQ(events, (Events{"run_program(2)", "restore(2)"}));
}

TEST_F(UpdateDialogTest, BlocksAreNumberedFromOneAndHoldAtMost8186Bytes) {
    updateWith("/fw/one.exe", 8186);
    EXPECT_EQ(exchanges(),
              (Events{"into_download_mode(2)", "delete_firmware(2)", "download_info(2)",
                      "data(1,8186)(2)", "get_firmware_info(2)", "adjust_date_time(2)"}));
    EXPECT_EQ(view.range, std::make_pair(0, 0));

    events.clear();
    updateWith("/fw/largest.exe", update::kMaxFirmwareSize);
    EXPECT_EQ(boxTexts().back(), "Download OK!");
    std::vector<std::string> blocks;
    for (const std::string& e : exchanges())
        if (e.starts_with("data(")) blocks.push_back(e);
    ASSERT_EQ(blocks.size(), 49u);
    EXPECT_EQ(blocks[47], "data(48,8186)(2)");
    EXPECT_EQ(blocks[48], "data(49,224)(2)");
    EXPECT_EQ(view.range, std::make_pair(0, 48));
}

TEST_F(UpdateDialogTest, AFileOneByteOverTheLimitIsRefusedBeforeAnyExchange) {
    updateWith("/fw/big.exe", update::kMaxFirmwareSize + 1);
    EXPECT_EQ(boxTexts(), (std::vector<std::string>{"File Size is too large"}));
    EXPECT_TRUE(exchanges().empty());
    EXPECT_EQ(events, (Events{"file closed"}));
    EXPECT_FALSE(view.ended);
    EXPECT_EQ(dialog.slot(), kSlot);
}

TEST_F(UpdateDialogTest, AnEmptyFileIsRefusedBeforeTheOldFirmwareIsTouched) {
    updateWith("/fw/empty.exe", 0);
    EXPECT_EQ(boxTexts(), (std::vector<std::string>{"File is empty"}));
    EXPECT_TRUE(exchanges().empty());
    EXPECT_FALSE(loader.sent.has_value());
    EXPECT_EQ(events, (Events{"file closed"}));
    EXPECT_FALSE(view.ended);
    EXPECT_EQ(dialog.slot(), kSlot);
}

TEST_F(UpdateDialogTest, FileProblemsChangeNothingAndAnotherFileCanBeTried) {
    view.paths.push_back("");  // cancelled
    dialog.update();
    EXPECT_TRUE(boxes.shown.empty());

    view.paths.push_back("/fw/missing.exe");
    dialog.update();
    system.files["/fw/nostat.exe"] = {.size = 10, .statusFails = true};
    view.paths.push_back("/fw/nostat.exe");
    dialog.update();
    system.files["/fw/short.exe"] = {.size = 10, .readLimit = 9};
    view.paths.push_back("/fw/short.exe");
    dialog.update();
    EXPECT_EQ(boxTexts(),
              (std::vector<std::string>{"Open File /fw/missing.exe Error", "Get File Status Error",
                                        "Can't load firmware!"}));
    for (const FakeBoxes::Box& box : boxes.shown) EXPECT_EQ(box.caption, kProgram);
    EXPECT_TRUE(exchanges().empty());
    EXPECT_EQ(loader.crcCalls, 0);
    EXPECT_FALSE(view.ended);
    EXPECT_EQ(dialog.slot(), kSlot);

    updateWith("/fw/good.exe", 5);
    EXPECT_EQ(boxTexts().back(), "Download OK!");
}

TEST(UpdateDialogDownload, AFailedStepGivesUpTheSlotAndLeavesTheDialogOpen) {
    struct Case {
        std::string failing;
        std::string message;
        std::string lastExchange;
    };
    const Case cases[] = {
        {"into_download_mode", "Download Firmware Error", "into_download_mode(2)"},
        {"download_info", "Can't download firmware Information!", "download_info(2)"},
        {"data(2,8186)", "Can't download firmware!", "data(2,8186)(2)"},
    };
    for (const Case& c : cases) {
        Events events;
        FakeUpdateView view(events);
        FakeLoader loader(events);
        loader.results[c.failing] = K5320_ERR_DOWNLOAD_REFUSED;
        FakeBoxes boxes;
        FakeSystem system(events);
        UpdateDialog dialog(view, loader, boxes, system, kSlot, kProgram);
        dialog.start();
        system.files["/fw/f.exe"] = {.size = 3 * update::kFirmwareBlockSize};
        view.paths.push_back("/fw/f.exe");
        dialog.update();
        ASSERT_EQ(boxes.shown.size(), 1u) << c.failing;
        EXPECT_EQ(boxes.shown[0].caption, kProgram);
        EXPECT_EQ(boxes.shown[0].text, c.message);
        // No further step and no further block.
        EXPECT_EQ(events[events.size() - 2], c.lastExchange);
        EXPECT_EQ(events.back(), "sleep 1");
        EXPECT_EQ(view.positions.back(), 0);
        EXPECT_EQ(dialog.slot(), kNoSlot);
        EXPECT_FALSE(view.ended);
    }
}

TEST_F(UpdateDialogTest, AfterAFailedDeleteASecondUpdateEndsWithoutTouchingTheModule) {
    loader.results["delete_firmware"] = K5320_ERR_DELETE_REFUSED;
    updateWith("/fw/f.exe", 100);
    EXPECT_EQ(boxTexts(), (std::vector<std::string>{"Delete old firmware error!"}));
    EXPECT_EQ(dialog.slot(), kNoSlot);
    EXPECT_FALSE(view.ended);

    events.clear();
    loader.results.clear();
    updateWith("/fw/f.exe", 100);
    EXPECT_EQ(boxTexts().back(), "Download Firmware Error");
    EXPECT_TRUE(exchanges().empty());
    EXPECT_EQ(loader.crcCalls, 2);  // the file was read and checked again

    // Closing starts nothing, so the module keeps its loader, but the slot is given up.
    dialog.destroyed();
    EXPECT_EQ(exchanges(), (std::vector<std::string>{"release(2)"}));
}

TEST_F(UpdateDialogTest, AfterTheDownloadAnUnreadableRecordShowsTheOtherUnknownTexts) {
    loader.results["get_firmware_info"] = K5320_ERR_NO_ANSWER;
    updateWith("/fw/f.exe", 100);
    EXPECT_EQ(view.panes, (std::array<std::string, 3>{"Firmware: Unknown", "Modified: --------",
                                                      "Size: --------"}));
    EXPECT_EQ(boxTexts(), (std::vector<std::string>{"Download OK!"}));
}

TEST_F(UpdateDialogTest, AnUpdateClickHandledDuringTheDownloadIsIgnored) {
    int clicks = 0;
    view.onMessage = [&] {
        ++clicks;
        view.paths.push_back("/fw/other.exe");
        dialog.update();
    };
    system.files["/fw/other.exe"] = {.size = 1};
    EXPECT_FALSE(dialog.downloading());
    updateWith("/fw/f.exe", 2 * update::kFirmwareBlockSize);
    EXPECT_EQ(clicks, 4);
    EXPECT_EQ(view.fileDialogs, 1);
    EXPECT_EQ(loader.received.size(), 2 * update::kFirmwareBlockSize);
    EXPECT_EQ(boxTexts(), (std::vector<std::string>{"Download OK!"}));
    EXPECT_FALSE(dialog.downloading());
}

TEST(SystemUpdateServices, ReadAFileWholeAndKeepItFromASecondOpener) {
    std::string dir = (std::filesystem::temp_directory_path() / "k5320-update-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    const std::string path = dir + "/fw.exe";
    std::vector<uint8_t> bytes(70000);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = fileByte(i);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));

    UpdateSystem& services = system_update_services();
    EXPECT_EQ(services.open_file(dir + "/missing.exe"), nullptr);
    {
        std::unique_ptr<FirmwareFile> file = services.open_file(path);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(services.open_file(path), nullptr);  // shared with nobody while open
        const std::optional<FileStatus> status = file->status();
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(status->size, bytes.size());
        std::vector<uint8_t> read(bytes.size() + 1);
        EXPECT_EQ(file->read(read), bytes.size());
        read.pop_back();
        EXPECT_EQ(read, bytes);
    }
    EXPECT_NE(services.open_file(path), nullptr);  // released when closed
    std::filesystem::remove_all(dir);
}

// A device, a pipe or a directory is no firmware file: its size is not its content, so it is
// refused as a file that cannot be opened rather than sent as an empty or endless image, and a
// pipe nobody writes does not hang the dialog.
TEST(SystemUpdateServices, OnlyAPlainFileIsOpened) {
    std::string dir = (std::filesystem::temp_directory_path() / "k5320-update-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    const std::string fifo = dir + "/fw.exe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Should the open wait for a writer after all, this one comes and ends the wait, so a
    // regression fails instead of hanging.
    std::atomic<bool> done{false};
    std::thread rescuer([&] {
        for (int i = 0; i < 100 && !done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (done) return;
        const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (writer >= 0) ::close(writer);
    });
    UpdateSystem& services = system_update_services();
    EXPECT_EQ(services.open_file(fifo), nullptr);
    done = true;
    rescuer.join();
    EXPECT_EQ(services.open_file("/dev/zero"), nullptr);
    EXPECT_EQ(services.open_file(dir), nullptr);
    std::filesystem::remove_all(dir);
}

TEST(MainDialogUpdateFirmware, StopsPollingReleasesTheActiveModuleAndOpensTheSelectedSlot) {
    FakeView view;
    FakeModule module;
    FakeBoxes boxes;
    UtilityDialog main(view, module, boxes);
    main.start();
    view.selected[ControlId::kSlot] = 0;
    main.initialize();
    ASSERT_TRUE(main.state().polling_active);
    view.selected[ControlId::kSlot] = 4;  // slot 5 chosen, slot 1 still active
    module.calls.clear();

    std::vector<uint16_t> opened;
    main.update_firmware([&](uint16_t slot) {
        opened.push_back(slot);
        EXPECT_FALSE(view.timerRunning);
        EXPECT_EQ(module.calls, (std::vector<std::string>{"restore(1)"}));
    });
    EXPECT_EQ(opened, (std::vector<uint16_t>{5}));
    EXPECT_EQ(main.state().active_slot, kNoSlot);
    EXPECT_EQ(view.caption, "K-5320W Utility Ver 1.05");
    EXPECT_FALSE(view.enabled(ControlId::kSend));

    // With no module active nothing is released.
    module.calls.clear();
    main.update_firmware([&](uint16_t slot) { opened.push_back(slot); });
    EXPECT_TRUE(module.calls.empty());
    EXPECT_EQ(opened.back(), 5);
}

}  // namespace
}  // namespace k5320::utility::test
