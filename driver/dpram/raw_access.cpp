// The raw DPRAM exports: direct access to the user window and the command byte.
#include "driver/dpram/dpram_io.h"
#include "driver/frame/slot_state.h"
#include "k5320.h"
#include "k5320/commands.h"
#include "k5320/dpram_map.h"

namespace k5320::driver {
namespace {

constexpr uint32_t kUserWindowEnd = dpram::kUserWindowBase + dpram::kUserWindowSize;

// A block of `length` bytes at `address` stays in the user window.
bool in_user_window(uint32_t address, uint32_t length) {
    return address + length <= kUserWindowEnd;
}

// The highest address accepted for single values. Words and double words keep one more byte of
// margin than they need; callers and stored data rely on these exact limits.
constexpr uint32_t kLastByteAddress = kUserWindowEnd - 1;   // 6999
constexpr uint32_t kLastWordAddress = kUserWindowEnd - 3;   // 6997
constexpr uint32_t kLastDwordAddress = kUserWindowEnd - 5;  // 6995

// Runs the common checks and the range check, then `access` under the slot lock.
template <typename Access>
int guarded_access(uint8_t slot, bool in_range, Access access) {
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    if (!in_range) return K5320_ERR_RANGE;
    SlotLock lock(slot);
    access();
    return K5320_SUCCESS;
}

}  // namespace
}  // namespace k5320::driver

using k5320::driver::guarded_access;
using k5320::driver::in_user_window;
using k5320::driver::kLastByteAddress;
using k5320::driver::kLastDwordAddress;
using k5320::driver::kLastWordAddress;
namespace io = k5320::driver::dpram_io;

extern "C" {

K5320_API int K5320_DPRAMInttToK5320(uint8_t slot, uint8_t value) {
    return guarded_access(slot, value <= k5320::cmd::kRawCommandMax,
                          [&] { io::ring_doorbell(slot, value); });
}

K5320_API int K5320_DPRAMWriteByte(uint8_t slot, uint16_t address, uint8_t value) {
    return guarded_access(slot, address <= kLastByteAddress,
                          [&] { io::write_byte(slot, address, value); });
}

K5320_API int K5320_DPRAMWriteWord(uint8_t slot, uint16_t address, uint16_t value) {
    return guarded_access(slot, address <= kLastWordAddress,
                          [&] { io::write_word(slot, address, value); });
}

K5320_API int K5320_DPRAMWriteDword(uint8_t slot, uint16_t address, uint32_t value) {
    return guarded_access(slot, address <= kLastDwordAddress,
                          [&] { io::write_dword(slot, address, value); });
}

K5320_API int K5320_DPRAMWriteMultiByte(uint8_t slot, uint16_t address, const uint8_t* data,
                                        uint16_t length) {
    return guarded_access(slot, in_user_window(address, length),
                          [&] { io::write_block(slot, address, data, length); });
}

K5320_API int K5320_DPRAMMemset(uint8_t slot, uint16_t address, uint8_t value, uint16_t count) {
    return guarded_access(slot, in_user_window(address, count),
                          [&] { io::fill(slot, address, value, count); });
}

K5320_API int K5320_DPRAMReadByte(uint8_t slot, uint16_t address, uint8_t* value) {
    return guarded_access(slot, address <= kLastByteAddress,
                          [&] { *value = io::read_byte(slot, address); });
}

K5320_API int K5320_DPRAMReadWord(uint8_t slot, uint16_t address, uint16_t* value) {
    return guarded_access(slot, address <= kLastWordAddress,
                          [&] { *value = io::read_word(slot, address); });
}

K5320_API int K5320_DPRAMReadDword(uint8_t slot, uint16_t address, uint32_t* value) {
    return guarded_access(slot, address <= kLastDwordAddress,
                          [&] { *value = io::read_dword(slot, address); });
}

K5320_API int K5320_DPRAMReadMultiByte(uint8_t slot, uint16_t address, uint8_t* buffer,
                                       uint16_t length) {
    return guarded_access(slot, in_user_window(address, length),
                          [&] { io::read_block(slot, address, buffer, length); });
}

}  // extern "C"
