#include "update/firmware_update.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

namespace k5320::update {
namespace {

constexpr int kYearBase = 1980;
constexpr std::size_t kNameCapacity = sizeof(FirmwareInfo::fileName);
constexpr std::size_t kLongestName = kNameCapacity - 1;  // the record keeps a terminating NUL
constexpr std::size_t kShortNamePrefix = 7;
constexpr std::string_view kShortNameSuffix = "~.exe";
static_assert(kShortNamePrefix + kShortNameSuffix.size() == kLongestName);
// A UTF-8 byte that continues a character: 10xxxxxx.
constexpr unsigned kUtf8ContinuationMask = 0xC0;
constexpr unsigned kUtf8ContinuationBits = 0x80;

// The loop sleeps this long before each block and after the last.
constexpr uint32_t kBlockPauseMs = 1;

constexpr std::string_view kNamePrefix = "Firmware: ";

// Result codes are read as unsigned 16-bit numbers.
std::string with_code(std::string_view operation, int result) {
    return std::string(operation) + ", Error Code=" + std::to_string(static_cast<uint16_t>(result));
}

bool is_utf8_continuation(char byte) {
    return (static_cast<unsigned char>(byte) & kUtf8ContinuationMask) == kUtf8ContinuationBits;
}

}  // namespace

std::string recorded_file_name(std::string_view path) {
    const std::size_t slash = path.find_last_of('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (name.size() <= kLongestName) return std::string(name);
    // The name is cut between characters: a character's bytes after the first, in UTF-8, would
    // leave the record holding no valid text.
    std::size_t cut = kShortNamePrefix;
    while (cut > 0 && is_utf8_continuation(name[cut])) --cut;
    return std::string(name.substr(0, cut)) + std::string(kShortNameSuffix);
}

void set_record_time(FirmwareInfo& info, const CalendarTime& local) {
    // One byte of years since 1980, as the module's record keeps them.
    info.year = static_cast<uint8_t>(local.year - kYearBase);
    info.month = static_cast<uint8_t>(local.month);
    info.day = static_cast<uint8_t>(local.day);
    info.hour = static_cast<uint8_t>(local.hour);
    info.minute = static_cast<uint8_t>(local.minute);
    info.second = static_cast<uint8_t>(local.second);
}

std::string firmware_name_text(const FirmwareInfo& info) {
    // The module hands the record back; its name need not end within the field.
    const std::size_t length = strnlen(info.fileName, kNameCapacity);
    return std::string(kNamePrefix) + std::string(info.fileName, length);
}

std::string modified_text(const FirmwareInfo& info) {
    return "Modified: " + std::to_string(info.year + kYearBase) + "/" + std::to_string(info.month) +
           "/" + std::to_string(info.day) + "--" + std::to_string(info.hour) + ":" +
           std::to_string(info.minute) + ":" + std::to_string(info.second);
}

std::string size_text(uint32_t size) {
    return "Size: " + std::to_string(size) + " bytes";
}

OpenOutcome open_loader(LoaderApi& loader, uint8_t slot) {
    if (const int result = loader.init(slot); result != K5320_SUCCESS)
        return {OpenStep::kInitFailed, result};
    if (const int result = loader.load_init(slot); result != K5320_SUCCESS)
        return {OpenStep::kLoadInitFailed, result};
    return {OpenStep::kOpened, K5320_SUCCESS};
}

std::string open_failure_text(const OpenOutcome& outcome) {
    switch (outcome.step) {
        case OpenStep::kInitFailed:
            return with_code("Module Initialization Error", outcome.result);
        case OpenStep::kLoadInitFailed:
            return with_code("Download initialization Fail", outcome.result);
        case OpenStep::kOpened:
            break;
    }
    return {};
}

std::string outcome_text(UpdateOutcome outcome, std::string_view path) {
    switch (outcome) {
        case UpdateOutcome::kDownloaded:
            return "Download OK!";
        case UpdateOutcome::kCannotOpenFile:
            return "Open File " + std::string(path) + " Error";
        case UpdateOutcome::kFileStatusFailed:
            return "Get File Status Error";
        case UpdateOutcome::kFileTooLarge:
            return "File Size is too large";
        case UpdateOutcome::kFileEmpty:
            // An empty image would replace a working firmware with nothing the module can run.
            return "File is empty";
        case UpdateOutcome::kCannotReadFile:
            return "Can't load firmware!";
        case UpdateOutcome::kIntoDownloadModeFailed:
            return "Download Firmware Error";
        case UpdateOutcome::kDeleteFailed:
            return "Delete old firmware error!";
        case UpdateOutcome::kInfoFailed:
            return "Can't download firmware Information!";
        case UpdateOutcome::kDataFailed:
            return "Can't download firmware!";
        case UpdateOutcome::kStopped:
            return "Download stopped between two blocks!";
    }
    return {};
}

bool download_step_failed(UpdateOutcome outcome) {
    return outcome >= UpdateOutcome::kIntoDownloadModeFailed;
}

std::variant<FirmwareImage, UpdateOutcome> read_firmware_image(UpdateSystem& system,
                                                               LoaderApi& loader,
                                                               const std::string& path) {
    std::unique_ptr<FirmwareFile> file = system.open_file(path);
    if (file == nullptr) return UpdateOutcome::kCannotOpenFile;
    const std::optional<FileStatus> status = file->status();
    if (!status) return UpdateOutcome::kFileStatusFailed;
    if (status->size > kMaxFirmwareSize) return UpdateOutcome::kFileTooLarge;
    if (status->size == 0) return UpdateOutcome::kFileEmpty;
    const auto size = static_cast<uint32_t>(status->size);

    FirmwareImage image;
    const std::string name = recorded_file_name(path);
    std::memcpy(image.info.fileName, name.data(), name.size());
    set_record_time(image.info, system.local_time(status->modified));
    image.info.size = size;
    image.bytes.resize(size);
    if (file->read(image.bytes) < size) return UpdateOutcome::kCannotReadFile;
    image.info.crc = loader.calculated_crc(image.bytes.data(), size);
    return image;
}

DownloadResult download_firmware(LoaderApi& loader, UpdateSystem& system, uint8_t slot,
                                 FirmwareImage image, DownloadProgress& progress) {
    if (loader.into_download_mode(slot) != K5320_SUCCESS)
        return {UpdateOutcome::kIntoDownloadModeFailed, std::nullopt};
    if (loader.delete_firmware(slot) != K5320_SUCCESS)
        return {UpdateOutcome::kDeleteFailed, std::nullopt};
    if (loader.download_info(slot, image.info) != K5320_SUCCESS)
        return {UpdateOutcome::kInfoFailed, std::nullopt};

    const uint32_t size = image.info.size;
    const uint32_t blocks = (size + kFirmwareBlockSize - 1) / kFirmwareBlockSize;
    progress.blocks(static_cast<int>(blocks));
    for (uint32_t i = 0; i < blocks; ++i) {
        if (progress.stop_requested()) return {UpdateOutcome::kStopped, std::nullopt};
        progress.block(static_cast<int>(i));
        const uint32_t offset = i * kFirmwareBlockSize;
        const uint32_t length = std::min(kFirmwareBlockSize, size - offset);
        progress.pause();
        system.sleep_ms(kBlockPauseMs);
        if (loader.download_data(slot, static_cast<uint16_t>(i + 1), image.bytes.data() + offset,
                                 static_cast<uint16_t>(length)) != K5320_SUCCESS)
            return {UpdateOutcome::kDataFailed, std::nullopt};
        progress.pause();
    }
    image.bytes = {};
    system.sleep_ms(kBlockPauseMs);

    DownloadResult result{UpdateOutcome::kDownloaded, std::nullopt};
    FirmwareInfo stored{};
    if (loader.get_firmware_info(slot, stored) == K5320_SUCCESS) result.stored = stored;
    loader.adjust_date_time(slot);
    return result;
}

void close_loader(LoaderApi& loader, uint8_t slot, bool after_failed_step) {
    if (after_failed_step) {
        // The firmware may be gone, so the module is not told to start it and keeps its
        // loader. The slot is still given up, or this process would keep it and the next
        // Initialize, here or in another program, would find it taken.
        loader.release(slot);
        return;
    }
    loader.run_program(slot);
    loader.restore(slot);
}

}  // namespace k5320::update
