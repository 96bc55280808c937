#include "utility/update/update_dialog.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "k5320_result.h"
#include "utility/main/utility_dialog.h"

namespace k5320::utility {
namespace {

constexpr std::string_view kErrorCaption = "Error";

constexpr int kYearBase = 1980;
constexpr std::size_t kNameCapacity = sizeof(FirmwareInfo::fileName);
constexpr std::size_t kLongestName = kNameCapacity - 1;  // the record keeps a terminating NUL
constexpr std::size_t kShortNamePrefix = 7;
constexpr std::string_view kShortNameSuffix = "~.exe";
static_assert(kShortNamePrefix + kShortNameSuffix.size() == kLongestName);

// The loop sleeps this long before each block and after the last.
constexpr uint32_t kBlockPauseMs = 1;

constexpr std::string_view kNamePrefix = "Firmware: ";
constexpr std::string_view kUnknownAtStart = "Firmware Unknown";
constexpr std::string_view kUnknownAfterDownload = "Firmware: Unknown";
constexpr std::string_view kModifiedUnknown = "Modified: --------";
constexpr std::string_view kSizeUnknown = "Size: --------";

constexpr std::string_view kStatusBarFailed = "Create status bar fail!";
constexpr std::string_view kStatusFailed = "Get File Status Error";
constexpr std::string_view kTooLarge = "File Size is too large";
// An empty image would replace a working firmware with nothing the module can run.
constexpr std::string_view kEmpty = "File is empty";
constexpr std::string_view kCannotLoad = "Can't load firmware!";
constexpr std::string_view kIntoDownloadModeFailed = "Download Firmware Error";
constexpr std::string_view kDeleteFailed = "Delete old firmware error!";
constexpr std::string_view kInfoFailed = "Can't download firmware Information!";
constexpr std::string_view kDataFailed = "Can't download firmware!";
constexpr std::string_view kDownloadOk = "Download OK!";

// Result codes are read as unsigned 16-bit numbers.
std::string withCode(std::string_view operation, int result) {
    return std::string(operation) + ", Error Code=" + std::to_string(static_cast<uint16_t>(result));
}

}  // namespace

std::string recordedFileName(std::string_view path) {
    const std::size_t slash = path.find_last_of('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (name.size() <= kLongestName) return std::string(name);
    return std::string(name.substr(0, kShortNamePrefix)) + std::string(kShortNameSuffix);
}

void setRecordTime(FirmwareInfo& info, const CalendarTime& local) {
    // One byte of years since 1980, as the module's record keeps them.
    info.year = static_cast<uint8_t>(local.year - kYearBase);
    info.month = static_cast<uint8_t>(local.month);
    info.day = static_cast<uint8_t>(local.day);
    info.hour = static_cast<uint8_t>(local.hour);
    info.minute = static_cast<uint8_t>(local.minute);
    info.second = static_cast<uint8_t>(local.second);
}

std::string firmwareNameText(const FirmwareInfo& info) {
    // The module hands the record back; its name need not end within the field.
    const std::size_t length = strnlen(info.fileName, kNameCapacity);
    return std::string(kNamePrefix) + std::string(info.fileName, length);
}

std::string modifiedText(const FirmwareInfo& info) {
    return "Modified: " + std::to_string(info.year + kYearBase) + "/" + std::to_string(info.month) +
           "/" + std::to_string(info.day) + "--" + std::to_string(info.hour) + ":" +
           std::to_string(info.minute) + ":" + std::to_string(info.second);
}

std::string sizeText(uint32_t size) {
    return "Size: " + std::to_string(size) + " bytes";
}

UpdateDialog::UpdateDialog(UpdateView& view, LoaderApi& loader, MessageBoxes& boxes,
                           UpdateSystem& system, uint16_t slot, std::string programName)
    : view_(view),
      loader_(loader),
      boxes_(boxes),
      system_(system),
      slot_(slot),
      openedSlot_(slot),
      programName_(std::move(programName)) {}

void UpdateDialog::start() {
    if (!view_.createStatusBar(kUpdateStatusPaneWidths)) {
        boxes_.show(programName_, kStatusBarFailed);
        view_.endDialog();
        return;
    }
    if (const int result = loader_.init(slotByte()); result != K5320_SUCCESS) {
        boxes_.show(kErrorCaption, withCode("Module Initialization Error", result));
        view_.endDialog();
        return;
    }
    if (const int result = loader_.loadInit(slotByte()); result != K5320_SUCCESS) {
        boxes_.show(kErrorCaption, withCode("Download initialization Fail", result));
        view_.endDialog();
        return;
    }
    FirmwareInfo stored{};
    if (loader_.getFirmwareInfo(slotByte(), stored) == K5320_SUCCESS)
        showRecord(stored, stored.size);
    else
        showUnknown(kUnknownAtStart);
}

void UpdateDialog::update() {
    if (downloading_) return;
    struct Running {
        bool& flag;
        explicit Running(bool& f) : flag(f) { flag = true; }
        ~Running() { flag = false; }
    } running(downloading_);
    runUpdate();
}

void UpdateDialog::destroyed() {
    if (slot_ == kNoSlot) {
        // A download step failed and the firmware may be gone, so the module is not told to
        // start it and keeps its loader. The slot is still given up, or this process would
        // keep it and the next Initialize, here or in another program, would find it taken.
        loader_.release(static_cast<uint8_t>(openedSlot_));
        return;
    }
    loader_.runProgram(slotByte());
    loader_.restore(slotByte());
}

void UpdateDialog::runUpdate() {
    const std::string path = view_.chooseFile(kFirmwareFileFilter);
    if (path.empty()) return;
    std::unique_ptr<FirmwareFile> file = system_.openFile(path);
    if (file == nullptr) {
        boxes_.show(programName_, "Open File " + path + " Error");
        return;
    }
    const std::optional<FileStatus> status = file->status();
    if (!status) {
        file.reset();
        boxes_.show(programName_, kStatusFailed);
        return;
    }
    if (status->size > kMaxFirmwareSize) {
        file.reset();
        boxes_.show(programName_, kTooLarge);
        return;
    }
    if (status->size == 0) {
        file.reset();
        boxes_.show(programName_, kEmpty);
        return;
    }
    const auto size = static_cast<uint32_t>(status->size);

    FirmwareInfo info{};
    const std::string name = recordedFileName(path);
    std::memcpy(info.fileName, name.data(), name.size());
    setRecordTime(info, system_.localTime(status->modified));
    info.size = size;

    std::vector<uint8_t> image(size);
    if (file->read(image) < size) {
        file.reset();
        boxes_.show(programName_, kCannotLoad);
        return;
    }
    info.crc = loader_.calculatedCrc(image.data(), size);
    file.reset();
    download(info, std::move(image));
}

bool UpdateDialog::download(const FirmwareInfo& info, std::vector<uint8_t> image) {
    if (loader_.intoDownloadMode(slotByte()) != K5320_SUCCESS) {
        failDownloadStep(kIntoDownloadModeFailed);
        return false;
    }
    if (loader_.deleteFirmware(slotByte()) != K5320_SUCCESS) {
        failDownloadStep(kDeleteFailed);
        return false;
    }
    if (loader_.downloadInfo(slotByte(), info) != K5320_SUCCESS) {
        failDownloadStep(kInfoFailed);
        return false;
    }

    const uint32_t size = info.size;
    const uint32_t blocks = (size + kFirmwareBlockSize - 1) / kFirmwareBlockSize;
    view_.setProgressRange(0, static_cast<int>(blocks) - 1);
    view_.setProgressPosition(0);
    for (uint32_t i = 0; i < blocks; ++i) {
        view_.setProgressPosition(static_cast<int>(i));
        const uint32_t offset = i * kFirmwareBlockSize;
        const uint32_t length = std::min(kFirmwareBlockSize, size - offset);
        view_.handleOnePendingMessage();
        system_.sleepMs(kBlockPauseMs);
        if (loader_.downloadData(slotByte(), static_cast<uint16_t>(i + 1), image.data() + offset,
                                 static_cast<uint16_t>(length)) != K5320_SUCCESS) {
            failDownloadStep(kDataFailed);
            return false;
        }
        view_.handleOnePendingMessage();
    }
    image = {};
    system_.sleepMs(kBlockPauseMs);

    FirmwareInfo stored{};
    if (loader_.getFirmwareInfo(slotByte(), stored) == K5320_SUCCESS)
        showRecord(stored, size);
    else
        showUnknown(kUnknownAfterDownload);
    loader_.adjustDateTime(slotByte());
    boxes_.show(programName_, kDownloadOk);
    view_.setProgressPosition(0);
    view_.endDialog();
    return true;
}

void UpdateDialog::failDownloadStep(std::string_view message) {
    boxes_.show(programName_, message);
    view_.setProgressPosition(0);
    system_.sleepMs(kBlockPauseMs);
    // Every later call of this dialog is refused by the library, so a module whose firmware
    // may be gone is not told to start it.
    slot_ = kNoSlot;
}

void UpdateDialog::showRecord(const FirmwareInfo& info, uint32_t size) {
    view_.setPaneText(kPaneName, firmwareNameText(info));
    view_.setPaneText(kPaneModified, modifiedText(info));
    view_.setPaneText(kPaneSize, sizeText(size));
}

void UpdateDialog::showUnknown(std::string_view nameText) {
    view_.setPaneText(kPaneName, nameText);
    view_.setPaneText(kPaneModified, kModifiedUnknown);
    view_.setPaneText(kPaneSize, kSizeUnknown);
}

}  // namespace k5320::utility
