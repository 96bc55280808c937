#include "emulator/dual_port_ram.h"

namespace k5320::emulator {

namespace {

constexpr unsigned kBitsPerByte = 8;
constexpr unsigned kBitsPerWord = 16;
constexpr uint16_t kBytesPerWord = 2;
constexpr uint8_t kLowByte = 0xFF;
constexpr uint32_t kLowWord = 0xFFFF;

}  // namespace

void DualPortRam::reset() {
    for (auto& byte : bytes) byte.store(0, std::memory_order_relaxed);
    doorbell.store(0, std::memory_order_relaxed);
    answer_mailbox.store(0, std::memory_order_relaxed);
    line_latch.store(0, std::memory_order_release);
}

uint8_t DualPortRam::load(uint16_t address) const {
    address &= kAddressMask;
    if (address == dpram::kAnswerByte) {
        return static_cast<uint8_t>(answer_mailbox.load(std::memory_order_acquire) & kByteMask);
    }
    return bytes[address].load(std::memory_order_relaxed);
}

void DualPortRam::store(uint16_t address, uint8_t value) {
    address &= kAddressMask;
    if (address == dpram::kAnswerByte) {
        // A plain write of the answer byte changes the value but not the unread flag.
        uint32_t word = answer_mailbox.load(std::memory_order_relaxed);
        while (!answer_mailbox.compare_exchange_weak(word, (word & ~kByteMask) | value,
                                                     std::memory_order_acq_rel)) {
        }
        return;
    }
    bytes[address].store(value, std::memory_order_relaxed);
}

uint16_t DualPortRam::module_read_word(uint16_t address) {
    const uint8_t low = module_read(address);
    const uint8_t high = module_read(static_cast<uint16_t>(address + 1));
    return static_cast<uint16_t>(low | high << kBitsPerByte);
}

void DualPortRam::module_write_word(uint16_t address, uint16_t value) {
    module_write(address, static_cast<uint8_t>(value & kLowByte));
    module_write(static_cast<uint16_t>(address + 1), static_cast<uint8_t>(value >> kBitsPerByte));
}

uint32_t DualPortRam::module_read_dword(uint16_t address) {
    const uint32_t low = module_read_word(address);
    const uint32_t high = module_read_word(static_cast<uint16_t>(address + kBytesPerWord));
    return low | high << kBitsPerWord;
}

void DualPortRam::module_write_dword(uint16_t address, uint32_t value) {
    module_write_word(address, static_cast<uint16_t>(value & kLowWord));
    module_write_word(static_cast<uint16_t>(address + kBytesPerWord),
                      static_cast<uint16_t>(value >> kBitsPerWord));
}

uint8_t DualPortRam::peek(uint16_t address) const {
    return load(address);
}

void DualPortRam::host_write(uint16_t address, uint8_t value) {
    address &= kAddressMask;
    if (address == dpram::kCommandByte) {
        bytes[address].store(value, std::memory_order_relaxed);
        // Release: parameters written before the command are visible to the module.
        doorbell.store(kDoorbellRung | value, std::memory_order_release);
        wake_module();
        return;
    }
    store(address, value);
}

uint8_t DualPortRam::host_read(uint16_t address) {
    address &= kAddressMask;
    if (address == dpram::kAnswerByte) {
        // Lower the line before taking the flag: once the flag is clear the module may post its
        // next answer and raise the line again, and that raise must survive.
        clear_line();
        const uint32_t word = answer_mailbox.fetch_and(~kAnswerUnread, std::memory_order_acq_rel);
        if ((word & kAnswerUnread) != 0 && (word & kModuleWaitsForRead) != 0) wake_module();
        return static_cast<uint8_t>(word & kByteMask);
    }
    return load(address);
}

uint8_t DualPortRam::module_read(uint16_t address) {
    address &= kAddressMask;
    if (address == dpram::kCommandByte) {
        const uint32_t word = doorbell.exchange(0, std::memory_order_acq_rel);
        if ((word & kDoorbellRung) != 0) return static_cast<uint8_t>(word & kByteMask);
        return bytes[address].load(std::memory_order_acquire);
    }
    return load(address);
}

void DualPortRam::module_read_block(uint16_t address, std::size_t length,
                                    std::vector<uint8_t>& out) {
    const auto holds = [&](uint16_t special) {
        return special >= address && static_cast<std::size_t>(special - address) < length;
    };
    // The command and answer bytes have side effects and mailboxes of their own: a block that
    // holds one is read byte by byte.
    if (address + length > dpram::kSize || holds(dpram::kCommandByte) ||
        holds(dpram::kAnswerByte)) {
        for (std::size_t i = 0; i < length; ++i)
            out.push_back(module_read(static_cast<uint16_t>(address + i)));
        return;
    }
    const std::size_t start = out.size();
    out.resize(start + length);
    for (std::size_t i = 0; i < length; ++i)
        out[start + i] = bytes[address + i].load(std::memory_order_relaxed);
}

void DualPortRam::module_write(uint16_t address, uint8_t value) {
    store(address, value);
}

void DualPortRam::post_answer(uint8_t value, bool with_interrupt) {
    // Release: results written before the answer are visible to the host that reads it.
    answer_mailbox.store(kAnswerUnread | value, std::memory_order_release);
    if (with_interrupt) raise_line();
}

void DualPortRam::raise_line() {
    // Both sequentially consistent, as the caller's count and its look at the latch: either the
    // raise sees the caller and wakes it, or the caller, leaving, sees the raise and passes it on.
    line_latch.store(1, std::memory_order_seq_cst);
    if (line_callers.load(std::memory_order_seq_cst) != 0) {
        wake_line_callers();
    } else {
        wake_line_side();
    }
}

void DualPortRam::wake_module() {
    module_wakeups.post();
}

void DualPortRam::wake_line_side() {
    line_wakeups.post();
}

void DualPortRam::wake_line_callers() {
    caller_wakeups.post();
}

}  // namespace k5320::emulator
