// The firmware's cyclic transmission: the commands on its table, and the frames that fall due,
// which take the same transmit buffer and bus as the host's single frames.
#include <array>

#include "emulator/module.h"
#include "k5320/dpram_map.h"

namespace k5320::emulator {

namespace {

using Clock = CanChannelState::Clock;

constexpr unsigned kBitsPerWord = 16;
constexpr uint16_t kBytesPerWord = 2;
constexpr uint32_t kLowWord = 0xFFFF;

}  // namespace

std::optional<uint8_t> Module::add_cyclic() {
    std::array<uint8_t, can::kMaxRecordSize> record{};
    for (std::size_t i = 0; i < record.size(); ++i) {
        record[i] = ram_.module_read(static_cast<uint16_t>(dpram::kCyclicFrame + i));
    }
    const std::optional<uint8_t> handle =
        firmware_.cyclic.add(can::decode(record.data()), read_dword(dpram::kCyclicTime),
                             read_dword(dpram::kCyclicCount), Clock::now());
    // In place before the answer: the host takes the handle as soon as the answer arrives.
    ram_.module_write(dpram::kCyclicHandle, handle.value_or(dpram::kCyclicNoHandle));
    return handle ? answer::kCyclicDone : answer::kCyclicRefused;
}

std::optional<uint8_t> Module::serve_cyclic_entry(uint8_t command) {
    CyclicTable& table = firmware_.cyclic;
    const uint8_t handle = ram_.module_read(dpram::kCyclicHandle);
    bool known = false;
    switch (command) {
        case cmd::kCyclicDelete:
            known = table.remove(handle);
            break;
        case cmd::kCyclicEnable:
            known = table.enable(handle, Clock::now());
            break;
        case cmd::kCyclicDisable:
            known = table.disable(handle);
            break;
        case cmd::kCyclicRest:
            if (const std::optional<uint32_t> rest = table.rest(handle)) {
                write_dword(dpram::kCyclicCount, *rest);
                known = true;
            }
            break;
        default:
            break;
    }
    return known ? answer::kCyclicDone : answer::kCyclicRefused;
}

void Module::transmit_due_cyclic(Clock::time_point now) {
    CanChannelState& channel = firmware_.channel;
    // A controller off the bus cannot send, and a full buffer has no room: that cycle's frame is
    // given up, not kept, since the next cycle brings a fresh one.
    const bool on_bus = firmware_.mode == Mode::kProgram && !firmware_.controller.in_reset_mode();
    firmware_.cyclic.transmit_due(now, [&](const can::Frame& frame) {
        if (!on_bus || channel.to_send.size() >= kTransmitBufferFrames) return false;
        channel.to_send.push_back(frame);
        return true;
    });
}

uint32_t Module::read_dword(uint16_t address) {
    const uint32_t low = read_word(address);
    const uint32_t high = read_word(static_cast<uint16_t>(address + kBytesPerWord));
    return low | high << kBitsPerWord;
}

void Module::write_dword(uint16_t address, uint32_t value) {
    write_word(address, static_cast<uint16_t>(value & kLowWord));
    write_word(static_cast<uint16_t>(address + kBytesPerWord),
               static_cast<uint16_t>(value >> kBitsPerWord));
}

std::size_t Module::cyclic_entries() const {
    std::lock_guard lock(mutex_);
    return firmware_.cyclic.size();
}

}  // namespace k5320::emulator
