// The module's 8 KB dual-port RAM with its two mailbox flags and the slot's interrupt line.
//
// A plain struct of atomics (no pointers, standard layout) so that it can later be placed in
// memory shared between the process that runs the module and the processes that use the
// backplane: everything either side needs to talk to the other is in here.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "k5320/dpram_map.h"
#include "platform/event_count.h"

namespace k5320::emulator {

struct DualPortRam {
    // The doorbell word holds the command written by the host together with this flag, so the
    // module takes exactly the command that rang it (a later write simply rings again).
    static constexpr uint32_t kDoorbellRung = 0x100;
    // The answer word holds the answer byte together with this flag (set by the module's write,
    // cleared by the host's read); it is the one store of the answer byte, so value and flag
    // always change together.
    static constexpr uint32_t kAnswerUnread = 0x100;
    // Set by the module while the answer is unread and it has more to post: only then does the
    // host's read wake it, so a lone answer costs one wake-up less.
    static constexpr uint32_t kModuleWaitsForRead = 0x200;
    static constexpr uint32_t kByteMask = 0xFF;
    static constexpr uint16_t kAddressMask = dpram::kSize - 1;

    std::atomic<uint8_t> bytes[dpram::kSize]{};
    std::atomic<uint32_t> doorbell{0};
    std::atomic<uint32_t> answer_mailbox{0};
    std::atomic<uint32_t> line_latch{0};  // 1: line raised, not yet delivered or acknowledged
    // Bumped on every event the module side / the line side waits for; a bump enters the kernel
    // only while that side sleeps.
    platform::EventCount module_wakeups;
    platform::EventCount line_wakeups;
    // Host threads waiting for the line on their own thread (they run the routine themselves):
    // while there are any, a raise wakes only them, and the interrupt thread sleeps on.
    std::atomic<uint32_t> line_callers{0};
    platform::EventCount caller_wakeups;

    // Power-on state: all bytes 0, no flags, line low. Only while neither side runs.
    void reset();

    // Host side. A write of the command byte rings the doorbell; a read of the answer byte
    // acknowledges the answer and lowers the line, and lets the module post its next answer.
    void host_write(uint16_t address, uint8_t value);
    uint8_t host_read(uint16_t address);

    // Module side. A read of the command byte takes the doorbell.
    uint8_t module_read(uint16_t address);
    void module_write(uint16_t address, uint8_t value);
    // Appends `length` bytes from `address` on, as that many module_read calls would.
    void module_read_block(uint16_t address, std::size_t length, std::vector<uint8_t>& out);
    // Words and double words as the firmware keeps them: least significant byte first.
    uint16_t module_read_word(uint16_t address);
    void module_write_word(uint16_t address, uint16_t value);
    uint32_t module_read_dword(uint16_t address);
    void module_write_dword(uint16_t address, uint32_t value);
    // Writes the answer byte and marks it unread; raises the line unless told to lose it.
    void post_answer(uint8_t value, bool with_interrupt);
    // Raises the line again for the answer already written: wakes the host threads that wait for
    // it on their own thread if there are any, else the line side.
    void raise_line();
    // Asks to be woken when the host reads the answer; false when it has been read already.
    bool wake_on_answer_read() {
        return (answer_mailbox.fetch_or(kModuleWaitsForRead, std::memory_order_acq_rel) &
                kAnswerUnread) != 0;
    }

    // Without side effects (inspection).
    uint8_t peek(uint16_t address) const;
    bool doorbell_rung() const {
        return (doorbell.load(std::memory_order_acquire) & kDoorbellRung) != 0;
    }
    bool answer_unread() const {
        return (answer_mailbox.load(std::memory_order_acquire) & kAnswerUnread) != 0;
    }
    bool line_raised() const { return line_latch.load(std::memory_order_acquire) != 0; }

    // Line side: takes a raised line (true if it was raised), or drops it unseen.
    bool take_line() { return line_latch.exchange(0, std::memory_order_acq_rel) != 0; }
    void clear_line() { line_latch.store(0, std::memory_order_release); }

    void wake_module();
    void wake_line_side();
    void wake_line_callers();

  private:
    uint8_t load(uint16_t address) const;
    void store(uint16_t address, uint8_t value);
};

static_assert(std::is_standard_layout_v<DualPortRam>);
static_assert(std::atomic<uint8_t>::is_always_lock_free &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "shared-memory use needs address-free atomics");

}  // namespace k5320::emulator
