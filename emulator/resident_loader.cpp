#include "emulator/resident_loader.h"

#include <utility>

#include "k5320/commands.h"
#include "k5320/crc16.h"
#include "k5320/dpram_map.h"

namespace k5320::emulator {

ResidentLoader::ResidentLoader(std::optional<model::Code> model, DualPortRam& ram,
                               std::optional<std::filesystem::path> flash_file)
    : model_(model),
      ram_(ram),
      flash_(flash_file ? FlashStore(std::move(*flash_file)) : FlashStore()) {}

std::optional<uint8_t> ResidentLoader::serve(uint8_t command) {
    switch (command) {
        case cmd::kLoaderInfo:
            // A new announcement replaces any download in progress.
            download_.emplace();
            return answer::kLoaderInfoAnnounced;
        case cmd::kLoaderBlock:
            return take_frame();
        case cmd::kLoaderDelete:
            return flash_.write(std::nullopt) ? answer::kLoaderDeleted
                                              : answer::kLoaderDeleteRefused;
        case cmd::kLoaderReport:
            return report_flash();
        case cmd::kLoaderReset:
            // The host waits on the mode field for the restarted loader.
            download_.reset();
            return answer::kLoaderMode;
        default:
            return std::nullopt;
    }
}

std::optional<uint8_t> ResidentLoader::start_refusal() const {
    if (flash_.holds_valid_image()) return std::nullopt;
    return flash_.state() == FlashState::kEmpty ? answer::kLoaderEmpty : answer::kLoaderRejected;
}

std::optional<uint8_t> ResidentLoader::take_frame() {
    if (!download_) return answer::kLoaderRejected;
    const uint16_t length = ram_.module_read_word(dpram::kLoaderLength);
    const uint16_t block = ram_.module_read_word(dpram::kLoaderBlockNumber);
    return download_->info_taken ? take_data_block(length, block) : take_info_frame(length, block);
}

std::optional<uint8_t> ResidentLoader::take_info_frame(uint16_t length, uint16_t block) {
    if (length != dpram::kInfoFrameLength || block != dpram::kInfoBlockNumber) {
        return answer::kLoaderRejected;
    }
    if (!model_) return answer::kLoaderRejected;
    for (std::size_t i = 0; i < model::kCodeSize; ++i) {
        if (ram_.module_read(static_cast<uint16_t>(dpram::kInfoModelCode + i)) != (*model_)[i]) {
            return answer::kLoaderRejected;
        }
    }
    FirmwareRecord announced;
    for (std::size_t i = 0; i < announced.size(); ++i) {
        announced[i] = ram_.module_read(static_cast<uint16_t>(dpram::kInfoRecord + i));
    }
    const uint32_t size = record::size(announced);
    if (size > kFlashCapacity) return answer::kLoaderRejected;

    Download& download = *download_;
    download.info_taken = true;
    download.record = announced;
    download.announced_size = size;
    download.image.reserve(size);
    // Nothing more will come for an empty image: it is complete now.
    if (size == 0) return complete_download(answer::kLoaderBlockAccepted);
    return answer::kLoaderBlockAccepted;
}

std::optional<uint8_t> ResidentLoader::take_data_block(uint16_t length, uint16_t block) {
    Download& download = *download_;
    if (length < dpram::kLoaderFrameOverhead ||
        length > dpram::kLoaderFrameOverhead + dpram::kLoaderMaxPayload) {
        return answer::kLoaderRejected;
    }
    if (block != download.next_block) return answer::kLoaderRejected;
    const std::size_t payload = length - dpram::kLoaderFrameOverhead;
    if (download.image.size() + payload > download.announced_size) return answer::kLoaderRejected;

    ram_.module_read_block(dpram::kLoaderPayload, payload, download.image);
    ++download.next_block;
    if (download.image.size() < download.announced_size) return answer::kLoaderBlockAccepted;
    return complete_download(answer::kLoaderBlockTaken);
}

std::optional<uint8_t> ResidentLoader::complete_download(uint8_t success) {
    FlashContents contents{.record = download_->record, .image = std::move(download_->image)};
    download_.reset();
    // An image that is not the one announced was damaged on the way: the flash keeps what it
    // had rather than take a firmware that could never be started.
    if (!matches_record(contents)) return answer::kLoaderRejected;
    if (!flash_.write(std::move(contents))) return answer::kLoaderRejected;
    return success;
}

std::optional<uint8_t> ResidentLoader::report_flash() {
    switch (flash_.state()) {
        case FlashState::kEmpty:
            return answer::kLoaderEmpty;
        case FlashState::kUnreadable:
            return answer::kLoaderRejected;
        case FlashState::kImage:
            break;
    }
    const FirmwareRecord& stored = flash_.contents()->record;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        ram_.module_write(static_cast<uint16_t>(dpram::kInfoAnswerRecord + i), stored[i]);
    }
    // The length last: it is what tells the host the record is there.
    ram_.module_write_word(dpram::kLoaderLength, dpram::kFirmwareInfoSize);
    return answer::kLoaderInfoReport;
}

}  // namespace k5320::emulator
