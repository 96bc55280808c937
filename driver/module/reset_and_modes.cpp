// Module reset and operating modes: the firmware's mode, its user program, resets, the orderly
// release of a slot, and SJA1000 register access through the firmware.
#include "driver/dpram/dpram_io.h"
#include "driver/dpram/handshake.h"
#include "driver/frame/slot_state.h"
#include "k5320.h"
#include "k5320/commands.h"
#include "k5320/dpram_map.h"
#include "platform/clock.h"

namespace k5320::driver {
namespace {

namespace answer = k5320::answer;

constexpr uint32_t kResetSettleMs = 100;      // between the steps of a reset or a release
constexpr uint32_t kUserProgramStartMs = 10;  // lets a freshly started user program settle
constexpr uint32_t kReleaseSettleMs = 5;      // before a release looks at the slot
constexpr Handshake kRunUserProgram =
    standard_exchange(cmd::kRunUserProgram, Field::CmdAnswer, answer::kUserProgramRunning,
                      {{answer::kUserProgramEnded, K5320_ERR_WRONG_STATE}});

int run_user_program_after_reset(uint8_t slot, const Handshake& handshake) {
    if (int rc = run_handshake(slot, handshake).result; rc != K5320_SUCCESS) return rc;
    slot_context(slot).record.set(Field::CmdPending, 0);
    platform::sleep_ms(kUserProgramStartMs);
    return K5320_SUCCESS;
}

}  // namespace
}  // namespace k5320::driver

using namespace k5320::driver;
namespace answer = k5320::answer;
namespace cmd = k5320::cmd;
namespace dp = k5320::dpram;
using k5320::platform::sleep_ms;

extern "C" {

K5320_API int K5320_Check186Mode(uint8_t slot, uint8_t* mode) {
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    const HandshakeOutcome outcome =
        run_handshake(slot, standard_exchange(cmd::kModeQuery, Field::PingAnswer,
                                              answer::kProgramMode, answer::kLoaderMode));
    if (outcome.result != K5320_SUCCESS) return outcome.result;
    *mode = outcome.answer == answer::kLoaderMode ? 0 : 1;
    return K5320_SUCCESS;
}

K5320_API int K5320_RunUserProgram(uint8_t slot) {
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    return run_user_program_after_reset(slot, kRunUserProgram);
}

K5320_API int K5320_EndUserProgram(uint8_t slot) {
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    return run_handshake(
               slot,
               standard_exchange(cmd::kEndUserProgram, Field::CmdAnswer, answer::kUserProgramEnded,
                                 {{answer::kUserProgramRunning, K5320_ERR_WRONG_STATE}}))
        .result;
}

K5320_API int K5320_HardwareReset(uint8_t slot) {
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    SlotRecord& record = slot_context(slot).record;
    record.reset_initialized();  // Configured is 0 from here on, whatever the outcome
    sleep_ms(kResetSettleMs);
    if (int rc = run_handshake(slot, once_only_exchange(cmd::kProgramMode, Field::PingAnswer,
                                                        answer::kProgramMode, answer::kLoaderMode))
                     .result;
        rc != K5320_SUCCESS)
        return rc;
    sleep_ms(kResetSettleMs);
    if (int rc = run_handshake(slot, once_only_exchange(cmd::kRestore, Field::CmdAnswer,
                                                        answer::kRestored, answer::kRestored))
                     .result;
        rc != K5320_SUCCESS)
        return rc;
    sleep_ms(kResetSettleMs);
    // The module answered the change to program mode from its loader.
    if (record.get(Field::PingAnswer) != answer::kProgramMode) return K5320_ERR_WRONG_STATE;
    return run_user_program_after_reset(slot, kRunUserProgram);
}

K5320_API int K5320_Reset(uint8_t slot) {
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    SlotRecord& record = slot_context(slot).record;
    const HandshakeOutcome reset = run_handshake(
        slot,
        standard_exchange(cmd::kReset, Field::CmdAnswer, answer::kResetDone).without_recovery(),
        [&] {
            for (Field f :
                 {Field::Configured, Field::RxReadIndex, Field::RxPending, Field::BufferStatus})
                record.set(f, 0);
        });
    if (reset.result != K5320_SUCCESS) return reset.result;
    if (int rc =
            run_handshake(slot, once_only_exchange(cmd::kProgramMode, Field::PingAnswer,
                                                   answer::kProgramMode, answer::kProgramMode,
                                                   {{answer::kLoaderMode, K5320_ERR_WRONG_STATE}}))
                .result;
        rc != K5320_SUCCESS)
        return rc;
    sleep_ms(kResetSettleMs);
    // Unlike the hardware reset, a refusal (250) is not recognised here: it is polled over until
    // the recovery, and anything but 253 after it is no answer.
    if (int rc = run_handshake(slot, standard_exchange(cmd::kRunUserProgram, Field::CmdAnswer,
                                                       answer::kUserProgramRunning))
                     .result;
        rc != K5320_SUCCESS)
        return rc;
    record.reset_initialized();
    record.set(Field::PingAnswer, answer::kProgramMode);
    sleep_ms(kUserProgramStartMs);
    return K5320_SUCCESS;
}

K5320_API int K5320_RestoreK5320(uint8_t slot) {
    if (int rc = check_slot(slot); rc != K5320_SUCCESS) return rc;
    sleep_ms(kReleaseSettleMs);
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    SlotRecord& record = slot_context(slot).record;
    record.set(Field::Initialized, 0);
    record.set(Field::Configured, 0);
    sleep_ms(kResetSettleMs);
    // Only a module last seen in program mode is asked to restore itself; the outcome does not
    // matter, the slot is released either way.
    if (record.get(Field::PingAnswer) == answer::kProgramMode) {
        run_handshake(slot, standard_exchange(cmd::kRestore, Field::CmdAnswer, answer::kRestored)
                                .without_recovery());
    }
    sleep_ms(kResetSettleMs);
    K5320_RemoveIrq(slot);
    return K5320_SUCCESS;
}

K5320_API int K5320_OutputByte(uint8_t slot, uint8_t reg, uint8_t value) {
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    return run_handshake(
               slot,
               standard_exchange(cmd::kWriteRegister, Field::CmdAnswer, answer::kRegisterWritten),
               [&] {
                   dpram_io::write_byte(slot, dp::kRegisterAddress, reg);
                   dpram_io::write_byte(slot, dp::kRegisterValue, value);
               })
        .result;
}

K5320_API int K5320_InputByte(uint8_t slot, uint8_t reg, uint8_t* value) {
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    const int rc =
        run_handshake(
            slot, standard_exchange(cmd::kReadRegister, Field::CmdAnswer, answer::kRegisterRead),
            [&] { dpram_io::write_byte(slot, dp::kRegisterAddress, reg); })
            .result;
    if (rc != K5320_SUCCESS) return rc;
    SlotLock lock(slot);
    *value = dpram_io::read_byte(slot, dp::kRegisterValue);
    return K5320_SUCCESS;
}

}  // extern "C"
