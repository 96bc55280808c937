// One emulated module: its firmware runs on a thread of its own and sees the host only through
// the dual-port RAM it is given.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "emulator/dual_port_ram.h"
#include "emulator/firmware.h"
#include "emulator/flash_store.h"

namespace k5320::emulator {

class Module {
  public:
    // Commands stop being taken from the doorbell while this many answers wait unread, so a
    // host that never reads cannot make the firmware drop answers.
    static constexpr std::size_t kAnswerQueueDepth = 8;

    // Boots the firmware on its own thread: into program mode when the flash holds a valid
    // image, else into the resident loader. type is any module type name; only the loader's
    // model check depends on it. The flash is kept in flash_file, or in memory without one.
    Module(std::string type, DualPortRam& ram,
           std::optional<std::filesystem::path> flash_file = std::nullopt);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    const std::string& type() const { return type_; }
    DualPortRam& ram() { return ram_; }

    // Stops and joins the firmware thread; idempotent.
    void stop();

    // Inspection and fault injection; all thread-safe.
    uint8_t peek(uint16_t address) const;        // module-side read, no mailbox effects
    void poke(uint16_t address, uint8_t value);  // module-side write, no mailbox effects
    void post_answer(uint8_t value);             // as the firmware would: queued, never lost
    void silence(uint8_t command, bool on);      // never answer this command
    // Answers command with value (none: the firmware's own answer again), even a command the
    // firmware leaves unanswered.
    void override_answer(uint8_t command, std::optional<uint8_t> value);
    void lose_interrupts(unsigned count);  // next count answer writes leave the line low
    void answer_after_repeats(uint8_t command, unsigned repeats);  // 0: answer at once
    void stray_before(uint8_t command, std::optional<uint8_t> stray);
    // What the flash holds: the image and its record, none when erased or unreadable.
    std::optional<FlashContents> flash() const;
    FlashState flash_state() const;
    void fail_flash_writes(bool on);  // every flash write fails, leaving the old flash
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
    // Replaces the user program that answers command records; an empty one restores the echo.
    void set_user_program(UserProgram program);
    // Sets or clears the transmit time-out flag and its DPRAM byte, as the firmware does when a
    // transmission times out.
    void set_tx_timeout_flag(bool set);

  private:
    void run();
    // firmware.cpp, called with mutex_ held: execute takes a command from the doorbell; serve
    // is the dispatch, giving the answer or none for a command left unanswered.
    void execute(uint8_t command);
    std::optional<uint8_t> serve(uint8_t command);
    void repeat_answer();
    uint8_t mode_answer() const;
    std::optional<uint8_t> start_user_program();
    std::optional<uint8_t> end_user_program();
    std::optional<uint8_t> write_register();
    std::optional<uint8_t> read_register();
    std::optional<uint8_t> set_clock();
    std::optional<uint8_t> take_command_record();
    // loader.cpp: the resident loader's commands, served in loader mode only.
    std::optional<uint8_t> serve_loader(uint8_t command);
    std::optional<uint8_t> start_firmware();
    std::optional<uint8_t> take_loader_frame();
    std::optional<uint8_t> take_info_frame(uint16_t length, uint16_t block);
    std::optional<uint8_t> take_data_block(uint16_t length, uint16_t block);
    std::optional<uint8_t> complete_download(uint8_t success);
    std::optional<uint8_t> report_flash();
    // What power-on, reset and restore leave behind on the CAN channel.
    void restore_power_on_channel_state();
    void clear_channel_buffers();
    void write_tx_timeout_flag();
    uint16_t read_word(uint16_t address);
    void write_word(uint16_t address, uint16_t value);
    // Answers command (through the fault hooks) and remembers it for repeat requests.
    void reply(uint8_t command, uint8_t value);
    // Writes the oldest queued answer once the host has read the previous one.
    void post_queued_answers();

    const std::string type_;
    DualPortRam& ram_;

    mutable std::mutex mutex_;
    mutable std::condition_variable command_handled_;
    FirmwareState firmware_;
    FlashStore flash_;
    FaultHooks faults_;
    std::deque<uint8_t> answer_queue_;
    std::array<uint64_t, kCommandCodes> commands_seen_{};
    bool stopping_ = false;

    std::thread thread_;
};

}  // namespace k5320::emulator
