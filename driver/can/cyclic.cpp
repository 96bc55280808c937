// Cyclic transmission: frames the firmware sends on its own, by handle.
#include <cstring>

#include "driver/dpram/dpram_io.h"
#include "driver/dpram/handshake.h"
#include "driver/frame/slot_state.h"
#include "k5320.h"
#include "can/frame.h"
#include "k5320/commands.h"
#include "k5320/dpram_map.h"

namespace k5320::driver {
namespace {

namespace dp = k5320::dpram;
namespace answer = k5320::answer;

constexpr Handshake cyclic_handshake(uint8_t command) {
    return standard_exchange(command, Field::CyclicAnswer, answer::kCyclicDone,
                             {{answer::kCyclicRefused, K5320_ERR_CYCLIC_REFUSED}});
}

// Delete, enable, disable and rest: the entry's handle, then the command.
int entry_command(uint8_t slot, uint8_t handle, uint8_t command) {
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    return run_handshake(slot, cyclic_handshake(command),
                         [&] { dpram_io::write_byte(slot, dp::kCyclicHandle, handle); })
        .result;
}

}  // namespace
}  // namespace k5320::driver

using namespace k5320::driver;
namespace dp = k5320::dpram;
namespace cmd = k5320::cmd;

extern "C" {

K5320_API int K5320_AddCyclicTxMsg(uint8_t slot, uint8_t Mode, uint32_t MsgID, uint8_t RTR,
                                   uint8_t DataLen, const uint8_t* Data, uint32_t cycleTimeMs,
                                   uint32_t count, uint8_t* handle) {
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    k5320::can::Frame frame{.id = MsgID,
                            .extended = Mode != 0,
                            .remote = RTR != 0,
                            .length = k5320::can::clamp_length(DataLen)};
    if (!frame.remote && frame.length > 0) std::memcpy(frame.data.data(), Data, frame.length);
    // The block is always written whole; bytes past the frame carry no meaning.
    uint8_t block[k5320::can::kMaxRecordSize] = {};
    k5320::can::encode(frame, block);
    if (int rc = run_handshake(slot, cyclic_handshake(cmd::kCyclicAdd),
                               [&] {
                                   dpram_io::write_block(slot, dp::kCyclicFrame, block,
                                                         sizeof block);
                                   dpram_io::write_dword(slot, dp::kCyclicTime, cycleTimeMs);
                                   dpram_io::write_dword(slot, dp::kCyclicCount, count);
                               })
                     .result;
        rc != K5320_SUCCESS)
        return rc;
    {
        SlotLock lock(slot);
        *handle = dpram_io::read_byte(slot, dp::kCyclicHandle);
        dpram_io::write_byte(slot, dp::kCyclicHandle, dp::kCyclicNoHandle);
    }
    return *handle == dp::kCyclicNoHandle ? K5320_ERR_CYCLIC_REFUSED : K5320_SUCCESS;
}

K5320_API int K5320_DeleteCyclicTxMsg(uint8_t slot, uint8_t handle) {
    return entry_command(slot, handle, cmd::kCyclicDelete);
}

K5320_API int K5320_EnableCyclicTxMsg(uint8_t slot, uint8_t handle) {
    return entry_command(slot, handle, cmd::kCyclicEnable);
}

K5320_API int K5320_DisableCyclicTxMsg(uint8_t slot, uint8_t handle) {
    return entry_command(slot, handle, cmd::kCyclicDisable);
}

K5320_API int K5320_CheckCyclicTxRestMsg(uint8_t slot, uint8_t handle, uint32_t* rest) {
    if (int rc = entry_command(slot, handle, cmd::kCyclicRest); rc != K5320_SUCCESS) return rc;
    SlotLock lock(slot);
    *rest = dpram_io::read_dword(slot, dp::kCyclicCount);
    return K5320_SUCCESS;
}

}  // extern "C"
