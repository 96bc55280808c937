// CAN status, buffer flags and software buffers, data overrun, and the firmware's system
// messages.
#include <atomic>

#include "driver/dpram/dpram_io.h"
#include "driver/dpram/handshake.h"
#include "driver/frame/slot_state.h"
#include "k5320.h"
#include "k5320/commands.h"
#include "k5320/dpram_map.h"
#include "k5320/sja1000_registers.h"

namespace k5320::driver {
namespace {

namespace dp = k5320::dpram;
namespace answer = k5320::answer;

namespace sja = k5320::sja1000;

// The last status byte read with a valid complement, per slot.
std::atomic<uint8_t>& status_cache(uint8_t slot) {
    static std::atomic<uint8_t> cache[kSlotTableSize];
    return cache[slot % kSlotTableSize];
}

// A clear: one standard handshake; only on success does the slot record change.
template <typename OnSuccess>
int clear(uint8_t slot, uint8_t command, uint8_t success, OnSuccess on_success) {
    if (int rc = check_configured(slot); rc != K5320_SUCCESS) return rc;
    const int rc =
        run_handshake(slot, standard_exchange(command, Field::CmdAnswer, success)).result;
    if (rc == K5320_SUCCESS) on_success(slot_context(slot).record);
    return rc;
}

void forget_receive_bank(SlotRecord& record) {
    record.set(Field::RxReadIndex, 0);
    record.set(Field::RxPending, 0);
}

}  // namespace
}  // namespace k5320::driver

using namespace k5320::driver;
namespace dp = k5320::dpram;
namespace answer = k5320::answer;
namespace cmd = k5320::cmd;

extern "C" {

K5320_API int K5320_Status(uint8_t slot, uint8_t* status) {
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    uint8_t value;
    uint8_t complement;
    {
        SlotLock lock(slot);
        value = dpram_io::read_byte(slot, dp::kCanStatus);
        complement = dpram_io::read_byte(slot, dp::kCanStatusComplement);
    }
    // A pair caught while the firmware rewrites it does not count: the last good value stands.
    if (uint32_t{value} + complement == dp::kStatusPairSum) status_cache(slot).store(value);
    *status = status_cache(slot).load();
    return K5320_SUCCESS;
}

K5320_API int K5320_ClearBufferStatus(uint8_t slot) {
    return clear(slot, cmd::kClearBufferStatus, answer::kBufferStatusCleared,
                 [](SlotRecord& r) { r.set(Field::BufferStatus, 0); });
}

K5320_API int K5320_ClearSoftBuffer(uint8_t slot) {
    return clear(slot, cmd::kClearSoftBuffers, answer::kSoftBuffersCleared, [](SlotRecord& r) {
        forget_receive_bank(r);
        r.set(Field::BufferStatus, 0);
    });
}

K5320_API int K5320_ClearTxSoftBuffer(uint8_t slot) {
    return clear(slot, cmd::kClearTxSoftBuffer, answer::kTxSoftBufferCleared,
                 [](SlotRecord& r) { r.clear_bits(Field::BufferStatus, kBufferTxRefused); });
}

K5320_API int K5320_ClearRxSoftBuffer(uint8_t slot) {
    return clear(slot, cmd::kClearRxSoftBuffer, answer::kRxSoftBufferCleared, [](SlotRecord& r) {
        forget_receive_bank(r);
        r.clear_bits(Field::BufferStatus, kBufferRxOverflow);
    });
}

K5320_API int K5320_ClearDataOverrun(uint8_t slot) {
    if (int rc = check_configured(slot); rc != K5320_SUCCESS) return rc;
    uint8_t status = 0;
    if (int rc = K5320_InputByte(slot, sja::SJA1000_SR, &status); rc != K5320_SUCCESS) return rc;
    if ((status & sja::SR_DOS) == 0) return K5320_SUCCESS;
    K5320_OutputByte(slot, sja::SJA1000_CMR, sja::CMR_CDO);
    slot_context(slot).record.set(Field::BufferStatus, 0);
    return K5320_SUCCESS;
}

K5320_API int K5320_SetSystemMsg(uint8_t slot, uint8_t enable) {
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    return run_handshake(
               slot, standard_exchange(enable != 0 ? cmd::kSystemMsgOn : cmd::kSystemMsgOff,
                                       Field::CmdAnswer, answer::kSystemMsgSwitched,
                                       {{answer::kSystemMsgRefused, K5320_ERR_SYSTEM_MSG_REFUSED}}))
        .result;
}

}  // extern "C"
