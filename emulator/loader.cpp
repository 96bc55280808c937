// The resident loader: takes a firmware image from the host in numbered frames, keeps it in the
// flash with its information record, reports or deletes it, and starts it. A frame it rejects
// changes nothing, so the host may send the expected one after it; only the frame that completes
// the image ends the download, whether the image is kept or not.

#include "emulator/module.h"
#include "k5320/crc16.h"
#include "k5320/model_codes.h"

namespace k5320::emulator {

std::optional<uint8_t> Module::serve_loader(uint8_t command) {
    switch (command) {
        case cmd::kLoaderInfo:
            // A new announcement replaces any download in progress.
            firmware_.download.emplace();
            return answer::kLoaderInfoAnnounced;
        case cmd::kLoaderBlock:
            return take_loader_frame();
        case cmd::kLoaderDelete:
            return flash_.write(std::nullopt) ? answer::kLoaderDeleted
                                              : answer::kLoaderDeleteRefused;
        case cmd::kLoaderReport:
            return report_flash();
        case cmd::kLoaderReset:
            // The host waits on the mode field for the restarted loader.
            firmware_.download.reset();
            return mode_answer();
        default:
            return std::nullopt;
    }
}

std::optional<uint8_t> Module::start_firmware() {
    if (firmware_.mode == Mode::kProgram) return mode_answer();
    if (flash_.holds_valid_image()) {
        // The started firmware leaves its user program ended: every host sequence that leaves
        // the loader goes on with a run command and expects it to be accepted.
        firmware_.mode = Mode::kProgram;
        firmware_.download.reset();
        return mode_answer();
    }
    // The loader says why it stays, then that it is still in charge: the host's start waits on
    // either answer, its reset sequences on the mode alone.
    reply(cmd::kProgramMode,
          flash_.state() == FlashState::kEmpty ? answer::kLoaderEmpty : answer::kLoaderRejected);
    return mode_answer();
}

std::optional<uint8_t> Module::take_loader_frame() {
    if (!firmware_.download) return answer::kLoaderRejected;
    const uint16_t length = read_word(dpram::kLoaderLength);
    const uint16_t block = read_word(dpram::kLoaderBlockNumber);
    return firmware_.download->info_taken ? take_data_block(length, block)
                                          : take_info_frame(length, block);
}

std::optional<uint8_t> Module::take_info_frame(uint16_t length, uint16_t block) {
    if (length != dpram::kInfoFrameLength || block != dpram::kInfoBlockNumber) {
        return answer::kLoaderRejected;
    }
    const std::optional<model::Code> own_code = model::code_for(type_.c_str());
    if (!own_code) return answer::kLoaderRejected;
    for (std::size_t i = 0; i < model::kCodeSize; ++i) {
        if (ram_.module_read(static_cast<uint16_t>(dpram::kInfoModelCode + i)) != (*own_code)[i]) {
            return answer::kLoaderRejected;
        }
    }
    FirmwareRecord announced;
    for (std::size_t i = 0; i < announced.size(); ++i) {
        announced[i] = ram_.module_read(static_cast<uint16_t>(dpram::kInfoRecord + i));
    }
    const uint32_t size = record::size(announced);
    if (size > kFlashCapacity) return answer::kLoaderRejected;

    Download& download = *firmware_.download;
    download.info_taken = true;
    download.record = announced;
    download.announced_size = size;
    download.image.reserve(size);
    // Nothing more will come for an empty image: it is complete now.
    if (size == 0) return complete_download(answer::kLoaderBlockAccepted);
    return answer::kLoaderBlockAccepted;
}

std::optional<uint8_t> Module::take_data_block(uint16_t length, uint16_t block) {
    Download& download = *firmware_.download;
    if (length < dpram::kLoaderFrameOverhead ||
        length > dpram::kLoaderFrameOverhead + dpram::kLoaderMaxPayload) {
        return answer::kLoaderRejected;
    }
    if (block != download.next_block) return answer::kLoaderRejected;
    const std::size_t payload = length - dpram::kLoaderFrameOverhead;
    if (download.image.size() + payload > download.announced_size) return answer::kLoaderRejected;

    for (std::size_t i = 0; i < payload; ++i) {
        download.image.push_back(
            ram_.module_read(static_cast<uint16_t>(dpram::kLoaderPayload + i)));
    }
    ++download.next_block;
    if (download.image.size() < download.announced_size) return answer::kLoaderBlockAccepted;
    return complete_download(answer::kLoaderBlockTaken);
}

std::optional<uint8_t> Module::complete_download(uint8_t success) {
    FlashContents contents{.record = firmware_.download->record,
                           .image = std::move(firmware_.download->image)};
    firmware_.download.reset();
    // An image that is not the one announced was damaged on the way: the flash keeps what it
    // had rather than take a firmware that could never be started.
    if (!matches_record(contents)) return answer::kLoaderRejected;
    if (!flash_.write(std::move(contents))) return answer::kLoaderRejected;
    return success;
}

std::optional<uint8_t> Module::report_flash() {
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
    write_word(dpram::kLoaderLength, dpram::kFirmwareInfoSize);
    return answer::kLoaderInfoReport;
}

}  // namespace k5320::emulator
