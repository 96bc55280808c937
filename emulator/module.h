// One emulated module: its firmware runs on a thread of its own and sees the host only through
// the dual-port RAM it is given.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "emulator/can/bus.h"
#include "emulator/dual_port_ram.h"
#include "emulator/firmware.h"
#include "emulator/flash_store.h"

namespace k5320::emulator {

// The module is the board glue between its firmware, its SJA1000 and the CAN bus it is wired to.
class Module final : public can::BusClient {
  public:
    // Commands stop being taken from the doorbell while this many answers wait unread, so a
    // host that never reads cannot make the firmware drop answers.
    static constexpr std::size_t kAnswerQueueDepth = 8;
    // System messages are dropped while this many answers wait: a host that does not read them
    // must not keep the firmware from answering its commands.
    static constexpr std::size_t kSystemMessageQueueLimit = kAnswerQueueDepth / 2;
    // The firmware's receive buffer: a quarter of a second of a saturated 1 Mbit/s bus.
    static constexpr std::size_t kReceiveBufferFrames = 2048;
    // Frames taken for transmission and not yet sent; one more is refused.
    static constexpr std::size_t kTransmitBufferFrames = 64;
    // A frame that has not been acknowledged for this long sets the transmit time-out flag.
    // The controller keeps retrying it all the same.
    static constexpr std::chrono::milliseconds kTransmitTimeout{200};
    // On an unpaced bus a retry takes no bus time, so the firmware spaces its retries itself.
    static constexpr std::chrono::milliseconds kUnpacedRetryInterval{1};

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

    // Stops and joins the firmware thread, after leaving the bus; idempotent.
    void stop();

    // Wires the module to a bus, or (nullptr) takes it off its bus. The bus must outlive the
    // module or its disconnection.
    void connect(can::Bus* bus);

    // What the bus asks of the module's controller; called by the bus only.
    uint32_t bit_rate() const override;
    bool active() const override;
    void receive(const can::Frame& frame, uint64_t time_ns) override;
    void bus_error(can::BusErrorKind kind) override;
    void transmitted(const can::Frame& frame, can::TxOutcome outcome) override;
    void arbitration_lost(const can::Frame& frame, unsigned bit) override;

    // Inspection and fault injection; all thread-safe.
    uint8_t peek(uint16_t address) const;        // module-side read, no mailbox effects
    void poke(uint16_t address, uint8_t value);  // module-side write, no mailbox effects
    void post_answer(uint8_t value);             // as the firmware would: queued, never lost
    void silence(uint8_t command, bool on);      // never answer this command
    void drop(uint8_t command, bool on);         // neither execute nor answer this command
    void clear_faults();                         // every injected fault ends
    // Answers command with value (none: the firmware's own answer again), even a command the
    // firmware leaves unanswered.
    void override_answer(uint8_t command, std::optional<uint8_t> value);
    void lose_interrupts(unsigned count);  // next count answer writes leave the line low
    void answer_after_repeats(uint8_t command, unsigned repeats);  // 0: answer at once
    void stray_before(uint8_t command, std::optional<uint8_t> stray);
    void freeze_status_pair(bool on);  // the status pair is no longer written
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
    std::size_t frames_to_send() const;   // in the transmit buffer, the one being sent included
    std::size_t frames_received() const;  // in the receive buffer, not yet in a bank
    std::size_t cyclic_entries() const;   // in the cyclic table, paused and used up ones included
    bool system_messages() const;

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
    // can_channel.cpp, called with mutex_ held unless said otherwise.
    std::optional<uint8_t> apply_configuration();
    std::optional<uint8_t> start_controller(uint8_t answer);
    std::optional<uint8_t> stop_controller();
    std::optional<uint8_t> take_transmit_record();
    std::optional<uint8_t> report_received();
    std::optional<uint8_t> release_bank();
    std::optional<uint8_t> switch_system_messages(bool on);
    void clear_receive_buffer();
    void clear_transmit_buffer();
    void clear_tx_timeout();
    void store_received(const can::Frame& frame, uint64_t time_ns);
    void write_bank(uint8_t bank, std::size_t count);
    // After every change of the controller: report its interrupts as system messages, publish
    // its status and tell the bus whether and at which rate it takes part.
    void after_controller_event();
    void service_controller_interrupt();
    void report_system_message(uint8_t value);
    void publish_status(bool force = false);
    void update_bus_presence();
    // The front frame, when it may go to the bus now (marked as on its way).
    std::optional<can::Frame> frame_for_bus();
    // Without mutex_: hands the next frame to the bus, if one may go.
    void pump_transmitter();
    // Sets the transmit time-out flag when the front frame has waited too long.
    void check_transmit_timeout(CanChannelState::Clock::time_point now);
    // When the firmware thread must wake for a retry, a time-out or a cyclic frame; none: only
    // for events.
    std::optional<CanChannelState::Clock::time_point> next_deadline() const;
    // What power-on, reset and restore leave behind on the CAN channel.
    void restore_power_on_channel_state();
    void clear_channel_buffers();
    // cyclic.cpp, called with mutex_ held: the cyclic table's commands, and its frames that
    // are due, into the transmit buffer.
    std::optional<uint8_t> add_cyclic();
    std::optional<uint8_t> serve_cyclic_entry(uint8_t command);
    void transmit_due_cyclic(CanChannelState::Clock::time_point now);
    void write_tx_timeout_flag();
    uint16_t read_word(uint16_t address);
    void write_word(uint16_t address, uint16_t value);
    uint32_t read_dword(uint16_t address);
    void write_dword(uint16_t address, uint32_t value);
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
    can::Bus* bus_ = nullptr;  // guarded by mutex_; the bus itself is called without it
    const std::chrono::steady_clock::time_point started_at_;
    // What the bus reads without taking mutex_, updated with it held.
    std::atomic<uint32_t> bus_bit_rate_{0};
    std::atomic<bool> bus_active_{false};

    std::thread thread_;
};

}  // namespace k5320::emulator
