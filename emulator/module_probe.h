// Inspection and fault injection for tests, benchmarks and the backplane's fault requests: what a
// module holds beside what the host sees through the DPRAM, and the faults it can be made to
// show. Every call takes the module's lock (peek, poke and answer_pending touch only the DPRAM),
// so a probe may be used from any thread while the module runs.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "emulator/flash_store.h"
#include "emulator/module.h"
#include "emulator/module_clock.h"

namespace k5320::emulator {

class ModuleProbe {
  public:
    // The module must outlive the probe.
    explicit ModuleProbe(Module& module) : module_(module) {}

    uint8_t peek(uint16_t address) const;        // module-side read, no mailbox effects
    void poke(uint16_t address, uint8_t value);  // module-side write, no mailbox effects
    void post_answer(uint8_t value);             // as the firmware would: queued, never lost

    void silence(uint8_t command, bool on);  // never answer this command
    void drop(uint8_t command, bool on);     // neither execute nor answer this command
    void clear_faults();                     // every injected fault ends
    // Answers command with value (none: the firmware's own answer again), even a command the
    // firmware leaves unanswered.
    void override_answer(uint8_t command, std::optional<uint8_t> value);
    void lose_interrupts(unsigned count);  // next count answer writes leave the line low
    void answer_after_repeats(uint8_t command, unsigned repeats);  // 0: answer at once
    void stray_before(uint8_t command, std::optional<uint8_t> stray);
    void freeze_status_pair(bool on);  // the status pair is no longer written
    void fail_flash_writes(bool on);   // every flash write fails, leaving the old flash

    // What the flash holds: the image and its record, none when erased or unreadable.
    std::optional<FlashContents> flash() const;
    FlashState flash_state() const;
    uint64_t commands_seen(uint8_t command) const;  // commands taken from the doorbell
    // Waits until at least count commands of this code have been handled; false on time-out.
    bool wait_for_commands(uint8_t command, uint64_t count,
                           std::chrono::milliseconds timeout) const;
    uint8_t mode() const;         // answer code of the mode: 240 or 241
    bool answer_pending() const;  // answer byte written and not yet read
    bool user_program_running() const;
    // The controller's register as the firmware would read it, without the read's side effects
    // (IR is not cleared).
    uint8_t sja1000_register(uint8_t addr) const;
    std::optional<ModuleClock> clock() const;      // the last accepted setting
    std::optional<ModuleClock> clock_now() const;  // that setting advanced by the time since
    std::size_t frames_to_send() const;   // in the transmit buffer, the one being sent included
    std::size_t frames_received() const;  // in the receive buffer, not yet in a bank
    std::size_t cyclic_entries() const;   // in the cyclic table, paused and used up ones included
    bool system_messages() const;

    // Replaces the user program that answers command records; an empty one restores the echo.
    void set_user_program(UserProgram program);
    // Sets or clears the transmit time-out flag and its DPRAM byte, as the firmware does when a
    // transmission times out.
    void set_tx_timeout_flag(bool set);

  private:
    Module& module_;
};

}  // namespace k5320::emulator
