// A firmware update of a module, step by step, with a typed outcome for each way it can end: the
// dialog shows an outcome's text, the command-line tool maps it to its exit status. Nothing here
// knows a window or a terminal; progress is reported through a small interface.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "k5320.h"
#include "k5320/dpram_map.h"
#include "update/update_services.h"

namespace k5320::update {

// The largest image the module's flash area for firmware takes: 384 KiB less 64 bytes.
inline constexpr uint64_t kMaxFirmwareSize = 393152;
// The image goes to the module in blocks that fill the DPRAM's download frame.
inline constexpr uint32_t kFirmwareBlockSize = dpram::kLoaderMaxPayload;

// The record's name for a file: the name without its directory, cut to "xxxxxxx~.exe" when it
// is longer than the record holds.
std::string recorded_file_name(std::string_view path);
// The record's time fields from a local time (years counted from 1980).
void set_record_time(FirmwareInfo& info, const CalendarTime& local);
// Texts of a record, as the update dialog's status bar shows them.
std::string firmware_name_text(const FirmwareInfo& info);
std::string modified_text(const FirmwareInfo& info);
std::string size_text(uint32_t size);

// Taking the module into its loader before an update.
enum class OpenStep { kOpened, kInitFailed, kLoadInitFailed };
struct OpenOutcome {
    OpenStep step;
    int result;  // the failing call's result code
};
OpenOutcome open_loader(LoaderApi& loader, uint8_t slot);
// "Module Initialization Error, Error Code=3" and the like; empty for kOpened.
std::string open_failure_text(const OpenOutcome& outcome);

enum class UpdateOutcome {
    kDownloaded,
    // The file: nothing has been sent to the module.
    kCannotOpenFile,
    kFileStatusFailed,
    kFileTooLarge,
    kFileEmpty,
    kCannotReadFile,
    // A download step: the module stays with its loader, its firmware may be gone.
    kIntoDownloadModeFailed,
    kDeleteFailed,
    kInfoFailed,
    kDataFailed,
    // Stopped between two blocks on the caller's request (DownloadProgress::stop_requested):
    // the module keeps its loader, without a whole firmware.
    kStopped,
};
std::string outcome_text(UpdateOutcome outcome, std::string_view path);
bool download_step_failed(UpdateOutcome outcome);

struct FirmwareImage {
    FirmwareInfo info{};
    std::vector<uint8_t> bytes;
};
// Reads the file and makes its record (name, modification time, size, CRC-16); an empty file is
// refused as well as an oversize one, before anything reaches the module.
std::variant<FirmwareImage, UpdateOutcome> read_firmware_image(UpdateSystem& system,
                                                               LoaderApi& loader,
                                                               const std::string& path);

// What a download reports while it runs.
class DownloadProgress {
  public:
    virtual ~DownloadProgress() = default;
    virtual void blocks(int count) = 0;  // before the first block
    virtual void block(int index) = 0;   // before each block, from 0
    // Between the steps of the block loop: a window handles a waiting message here.
    virtual void pause() = 0;
    // Asked before each block (never while one is on its way): true ends the download there
    // with kStopped.
    virtual bool stop_requested() { return false; }
};

struct DownloadResult {
    UpdateOutcome outcome;
    // The record the module holds afterwards, when it could be read (kDownloaded only).
    std::optional<FirmwareInfo> stored;
};
// Enters download mode, deletes the old firmware, sends the record and the blocks; then reads
// back the stored record and sets the module's clock.
DownloadResult download_firmware(LoaderApi& loader, UpdateSystem& system, uint8_t slot,
                                 FirmwareImage image, DownloadProgress& progress);

// Ends an update: starts the module's firmware and releases the slot; after a failed download
// step only releases it, since the module's firmware may be gone.
void close_loader(LoaderApi& loader, uint8_t slot, bool after_failed_step);

}  // namespace k5320::update
