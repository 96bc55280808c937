// CAN controller configuration: bit rate and acceptance filter through the firmware, the start
// of the controller, and enabling or disabling the SJA1000.
#include "driver/dpram/dpram_io.h"
#include "driver/dpram/handshake.h"
#include "driver/frame/slot_state.h"
#include "k5320.h"
#include "k5320/baud_codes.h"
#include "k5320/commands.h"
#include "k5320/dpram_map.h"
#include "platform/clock.h"

namespace k5320::driver {
namespace {

namespace dp = k5320::dpram;
namespace answer = k5320::answer;

constexpr uint32_t kConfigSettleMs = 10;
constexpr uint32_t kStartPollSleepMs = 1;
constexpr uint32_t kStatusPairTries = 3000;
constexpr uint8_t kStatusCleared = 0x00;
constexpr uint8_t kComplementCleared = 0xFF;

struct ConfigBlock {
    uint8_t baud_code;
    uint8_t bt0;
    uint8_t bt1;
    uint32_t code;
    uint32_t mask;
};

// Only user-defined timing passes the caller's BT0/BT1 on; a standard rate writes 0 for both.
ConfigBlock make_block(uint32_t code, uint32_t mask, uint8_t baud_rate, uint8_t bt0, uint8_t bt1) {
    const uint8_t baud_code = k5320::baud::code_for_index(baud_rate);
    if (baud_code == k5320::baud::kUserDefined) return {baud_code, bt0, bt1, code, mask};
    return {baud_code, 0, 0, code, mask};
}

// Most significant byte first, each byte written by itself.
void write_big_endian(uint8_t slot, uint16_t address, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        dpram_io::write_byte(slot, address + i, static_cast<uint8_t>(value >> (24 - 8 * i)));
}

void write_block(uint8_t slot, const ConfigBlock& block) {
    dpram_io::write_byte(slot, dp::kConfigBaudCode, block.baud_code);
    dpram_io::write_byte(slot, dp::kConfigBt0, block.bt0);
    dpram_io::write_byte(slot, dp::kConfigBt1, block.bt1);
    write_big_endian(slot, dp::kConfigAccCode, block.code);
    write_big_endian(slot, dp::kConfigAccMask, block.mask);
}

constexpr Handshake kApplyConfig{.command = cmd::kApplyConfig,
                                 .field = Field::CmdAnswer,
                                 .success_low = answer::kConfigApplied,
                                 .refusals = {{answer::kConfigRefused, K5320_ERR_REFUSED}}};

// The controller runs once the firmware shows a non-zero status with its complement.
bool wait_for_status_pair(uint8_t slot) {
    for (uint32_t attempt = 0; attempt < kStatusPairTries; ++attempt) {
        uint8_t status;
        uint8_t complement;
        {
            SlotLock lock(slot);
            status = dpram_io::read_byte(slot, dp::kCanStatus);
            complement = dpram_io::read_byte(slot, dp::kCanStatusComplement);
        }
        if (status != 0 && uint32_t{status} + complement == dp::kStatusPairSum) return true;
        platform::sleep_ms(0);
    }
    return false;
}

int enable_or_disable(uint8_t slot, uint8_t command) {
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    const HandshakeOutcome outcome =
        run_handshake(slot, standard_exchange(command, Field::CmdAnswer, answer::kSja1000Toggled)
                                .without_answer_giving(K5320_ERR_SJA1000_UNCONFIRMED));
    return outcome.result;
}

}  // namespace
}  // namespace k5320::driver

using namespace k5320::driver;
namespace answer = k5320::answer;
namespace cmd = k5320::cmd;
namespace dp = k5320::dpram;

extern "C" {

K5320_API int K5320_SJA1000Config(uint8_t slot, uint32_t AccCode, uint32_t AccMask,
                                  uint8_t BaudRate, uint8_t BT0, uint8_t BT1) {
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    const ConfigBlock block = make_block(AccCode, AccMask, BaudRate, BT0, BT1);
    const int rc = run_handshake(slot, kApplyConfig, [&] { write_block(slot, block); }).result;
    if (rc == K5320_SUCCESS) k5320::platform::sleep_ms(0);
    return rc;
}

K5320_API int K5320_ConfigWithoutStruct(uint8_t slot, uint32_t AccCode, uint32_t AccMask,
                                        uint8_t BaudRate, uint8_t BT0, uint8_t BT1) {
    if (int rc = check_slot(slot); rc != K5320_SUCCESS) return rc;
    SlotRecord& record = slot_context(slot).record;
    record.set(Field::Configured, 0);  // even a call refused below leaves the slot unconfigured
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    k5320::platform::sleep_ms(kConfigSettleMs);

    const ConfigBlock block = make_block(AccCode, AccMask, BaudRate, BT0, BT1);
    if (int rc = run_handshake(slot, kApplyConfig,
                               [&] {
                                   record.set(Field::BufferStatus, 0);
                                   write_block(slot, block);
                               })
                     .result;
        rc != K5320_SUCCESS)
        return rc;
    if (int rc = run_handshake(
                     slot,
                     standard_exchange(cmd::kStartCan, Field::CmdAnswer, answer::kCanStarted)
                         .polled_every(kStartPollSleepMs),
                     [&] {
                         dpram_io::write_byte(slot, dp::kCanStatus, kStatusCleared);
                         dpram_io::write_byte(slot, dp::kCanStatusComplement, kComplementCleared);
                     })
                     .result;
        rc != K5320_SUCCESS)
        return rc;
    if (!wait_for_status_pair(slot)) return K5320_ERR_NO_ANSWER;
    if (int rc = run_handshake(slot, standard_exchange(cmd::kClearBufferStatus, Field::CmdAnswer,
                                                       answer::kBufferStatusCleared))
                     .result;
        rc != K5320_SUCCESS)
        return rc;
    for (Field f : {Field::BufferStatus, Field::RxReadIndex, Field::RxPending}) record.set(f, 0);
    record.set(Field::Configured, 1);
    k5320::platform::sleep_ms(0);
    return K5320_SUCCESS;
}

K5320_API int K5320_Config(uint8_t slot, const CanConfig* config) {
    auto assemble = [](const uint8_t* bytes) {
        return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 |
               bytes[3];
    };
    return K5320_ConfigWithoutStruct(slot, assemble(config->AccCode), assemble(config->AccMask),
                                     config->BaudRate, config->BT0, config->BT1);
}

K5320_API int K5320_EnableSJA1000(uint8_t slot) {
    return enable_or_disable(slot, cmd::kEnableSja1000);
}

K5320_API int K5320_DisableSJA1000(uint8_t slot) {
    return enable_or_disable(slot, cmd::kDisableSja1000);
}

}  // extern "C"
