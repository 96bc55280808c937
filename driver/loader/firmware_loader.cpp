// The firmware download protocol with the module's resident loader, and the CRC-16 of an image.
#include <mutex>

#include "driver/dpram/dpram_io.h"
#include "driver/dpram/handshake.h"
#include "driver/frame/slot_state.h"
#include "driver/loader/settle_times.h"
#include "driver/sdk/tarn_sdk.h"
#include "k5320.h"
#include "k5320/commands.h"
#include "k5320/crc16.h"
#include "k5320/dpram_map.h"
#include "k5320/model_codes.h"
#include "platform/clock.h"

namespace k5320::driver {
namespace {

namespace dp = k5320::dpram;
namespace answer = k5320::answer;

static_assert(sizeof(FirmwareInfo) == dp::kFirmwareInfoSize);

// A loader exchange: sent once, and any answer ends the wait.
constexpr uint8_t kAnyAnswerLow = 1;
constexpr uint8_t kAnyAnswerHigh = 0xFF;
constexpr Handshake loader_exchange(uint8_t command, Field field) {
    return once_only_exchange(command, field, kAnyAnswerLow, kAnyAnswerHigh);
}

// The guards of every loader function but K5320_Load_Init.
int check_download_mode(uint8_t slot) {
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    if (slot_context(slot).record.get(Field::DownloadMode) == 0) return K5320_ERR_NOT_DOWNLOAD_MODE;
    return K5320_SUCCESS;
}

// Asks for loader mode; the mode answer is looked at once the module has settled.
int enter_download_mode(uint8_t slot) {
    SlotRecord& record = slot_context(slot).record;
    const HandshakeOutcome outcome =
        run_handshake(slot, loader_exchange(cmd::kLoaderMode, Field::PingAnswer));
    if (outcome.result != K5320_SUCCESS) return outcome.result;
    platform::sleep_ms(kModeSettleMs);
    if (record.get(Field::PingAnswer) != answer::kLoaderMode) return K5320_ERR_REFUSED;
    record.set(Field::DownloadMode, 1);
    return K5320_SUCCESS;
}

// The 16-bit CRC table of this process, built once on first use.
crc16::Table& crc_table() {
    static crc16::Table table{};
    return table;
}
std::once_flag crc_table_built;

}  // namespace
}  // namespace k5320::driver

using namespace k5320::driver;
namespace dp = k5320::dpram;
namespace answer = k5320::answer;
namespace cmd = k5320::cmd;
using k5320::platform::sleep_ms;

extern "C" {

K5320_API int K5320_Load_Init(uint8_t slot) {
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    slot_context(slot).record.set(Field::DownloadMode, 0);
    return enter_download_mode(slot);
}

K5320_API int K5320_Load_IntoDownloadMode(uint8_t slot) {
    if (int rc = check_download_mode(slot); rc != K5320_SUCCESS) return rc;
    return enter_download_mode(slot);
}

K5320_API int K5320_Load_GetFirmwareInfo(uint8_t slot, FirmwareInfo* info) {
    if (int rc = check_download_mode(slot); rc != K5320_SUCCESS) return rc;
    const HandshakeOutcome outcome =
        run_handshake(slot, loader_exchange(cmd::kLoaderReport, Field::LoaderAnswer));
    if (outcome.result != K5320_SUCCESS) return outcome.result;
    switch (outcome.answer) {
        case answer::kLoaderInfoReport:
            break;
        case answer::kLoaderEmpty:
            return K5320_ERR_LOADER_EMPTY;
        case answer::kLoaderRejected:
            return K5320_ERR_LOADER_REJECTED;
        default:
            return K5320_ERR_REFUSED;
    }
    SlotLock lock(slot);
    if (dpram_io::read_word(slot, dp::kLoaderLength) != dp::kFirmwareInfoSize)
        return K5320_ERR_REFUSED;  // the caller's record stays as it was
    dpram_io::read_block(slot, dp::kInfoAnswerRecord, reinterpret_cast<uint8_t*>(info),
                         dp::kFirmwareInfoSize);
    return K5320_SUCCESS;
}

K5320_API int K5320_Load_DeleteFirmware(uint8_t slot) {
    if (int rc = check_download_mode(slot); rc != K5320_SUCCESS) return rc;
    const HandshakeOutcome outcome =
        run_handshake(slot, loader_exchange(cmd::kLoaderDelete, Field::LoaderAnswer));
    if (outcome.result != K5320_SUCCESS) return outcome.result;
    switch (outcome.answer) {
        case answer::kLoaderDeleted:
            sleep_ms(kDeleteSettleMs);
            return K5320_SUCCESS;
        case answer::kLoaderDeleteRefused:
            return K5320_ERR_DELETE_REFUSED;
        case answer::kLoaderRejected:
            return K5320_ERR_LOADER_REJECTED;
        default:
            return K5320_ERR_REFUSED;
    }
}

K5320_API int K5320_Load_DownloadInfo(uint8_t slot, FirmwareInfo info) {
    if (int rc = check_download_mode(slot); rc != K5320_SUCCESS) return rc;
    HandshakeOutcome outcome =
        run_handshake(slot, loader_exchange(cmd::kLoaderInfo, Field::LoaderAnswer));
    if (outcome.result != K5320_SUCCESS) return outcome.result;
    if (outcome.answer != answer::kLoaderInfoAnnounced) return K5320_ERR_DOWNLOAD_REFUSED;

    char type[TRN_MODULE_NAME_SIZE] = {};
    trn_GetModuleName(slot, type);
    type[TRN_MODULE_NAME_SIZE - 1] = '\0';
    const std::optional<k5320::model::Code> code = k5320::model::code_for(type);
    if (!code) return K5320_ERR_DOWNLOAD_REFUSED;  // the module is left waiting for the frame

    outcome = run_handshake(
        slot,
        loader_exchange(cmd::kLoaderBlock, Field::LoaderAnswer)
            .without_answer_giving(K5320_ERR_DOWNLOAD_REFUSED),
        [&] {
            dpram_io::write_word(slot, dp::kLoaderLength, dp::kInfoFrameLength);
            dpram_io::write_word(slot, dp::kLoaderBlockNumber, dp::kInfoBlockNumber);
            dpram_io::write_block(slot, dp::kInfoModelCode, code->data(), code->size());
            dpram_io::write_block(slot, dp::kInfoRecord, reinterpret_cast<const uint8_t*>(&info),
                                  dp::kFirmwareInfoSize);
        });
    if (outcome.result != K5320_SUCCESS) return outcome.result;
    switch (outcome.answer) {
        case answer::kLoaderBlockAccepted:
            return K5320_SUCCESS;
        case answer::kLoaderRejected:
            return K5320_ERR_LOADER_REJECTED;
        default:
            return K5320_ERR_DOWNLOAD_REFUSED;
    }
}

K5320_API int K5320_Load_DownloadData(uint8_t slot, uint16_t blockNumber, const uint8_t* data,
                                      uint16_t length) {
    if (int rc = check_download_mode(slot); rc != K5320_SUCCESS) return rc;
    if (length > dp::kLoaderMaxPayload) return K5320_ERR_BLOCK_TOO_LONG;
    const HandshakeOutcome outcome = run_handshake(
        slot,
        loader_exchange(cmd::kLoaderBlock, Field::LoaderAnswer)
            .without_answer_giving(K5320_ERR_DOWNLOAD_REFUSED),
        [&] {
            dpram_io::write_word(slot, dp::kLoaderLength,
                                 static_cast<uint16_t>(length + dp::kLoaderFrameOverhead));
            dpram_io::write_word(slot, dp::kLoaderBlockNumber, blockNumber);
            dpram_io::write_block(slot, dp::kLoaderPayload, data, length);
        });
    if (outcome.result != K5320_SUCCESS) return outcome.result;
    const bool taken = outcome.answer == answer::kLoaderBlockTaken ||
                       outcome.answer == answer::kLoaderBlockAccepted;
    return taken ? K5320_SUCCESS : K5320_ERR_DOWNLOAD_REFUSED;
}

K5320_API int K5320_Load_RunProgram(uint8_t slot) {
    if (int rc = check_download_mode(slot); rc != K5320_SUCCESS) return rc;
    SlotRecord& record = slot_context(slot).record;
    const HandshakeOutcome outcome = run_handshake(
        slot,
        loader_exchange(cmd::kProgramMode, Field::PingAnswer).also_ended_by(Field::LoaderAnswer));
    if (outcome.result != K5320_SUCCESS) return outcome.result;
    sleep_ms(kModeSettleMs);
    if (record.get(Field::PingAnswer) == answer::kProgramMode) {
        record.set(Field::DownloadMode, 0);
        return K5320_SUCCESS;
    }
    switch (record.get(Field::LoaderAnswer)) {
        case answer::kLoaderRejected:
            return K5320_ERR_LOADER_REJECTED;
        case answer::kLoaderEmpty:
            return K5320_ERR_LOADER_EMPTY;
        default:
            return K5320_ERR_REFUSED;
    }
}

K5320_API int K5320_Load_Reset(uint8_t slot) {
    if (int rc = check_download_mode(slot); rc != K5320_SUCCESS) return rc;
    const HandshakeOutcome outcome =
        run_handshake(slot, loader_exchange(cmd::kLoaderReset, Field::PingAnswer));
    if (outcome.result != K5320_SUCCESS) return outcome.result;
    return outcome.answer == answer::kLoaderMode ? K5320_SUCCESS : K5320_ERR_REFUSED;
}

K5320_API void MakeCRC16Table(void) {
    std::call_once(crc_table_built, [] {
        for (int i = 0; i < k5320::crc16::kTableSize; ++i)
            crc_table()[i] = k5320::crc16::table_entry(i);
    });
}

K5320_API uint16_t K5320_Load_CalculatedCRC(const uint8_t* data, uint32_t length) {
    MakeCRC16Table();
    uint16_t crc = 0;
    for (uint32_t i = 0; i < length; ++i) crc = k5320::crc16::update(crc, data[i], crc_table());
    return crc;
}

}  // extern "C"
