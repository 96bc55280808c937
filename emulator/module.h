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
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "emulator/can/bus.h"
#include "emulator/can_channel.h"
#include "emulator/dual_port_ram.h"
#include "emulator/fault_hooks.h"
#include "emulator/flash_store.h"
#include "emulator/module_clock.h"
#include "emulator/resident_loader.h"
#include "emulator/sja1000.h"
#include "k5320/commands.h"

namespace k5320::emulator {

enum class Mode : uint8_t {
    kProgram = answer::kProgramMode,
    kLoader = answer::kLoaderMode,
};

// The user program: takes each command record the host posts and returns the record to answer
// with, or none. Runs on the firmware thread with the module locked, so it must not call back
// into the module.
using UserProgram =
    std::function<std::optional<std::vector<uint8_t>>(std::span<const uint8_t> record)>;

// The user program a module ships with: answers each record with the record itself.
std::optional<std::vector<uint8_t>> echo_user_program(std::span<const uint8_t> record);

// The module is the board: the firmware's thread, its lock and its doorbell dispatch, and the
// wiring between its CAN channel, resident loader, SJA1000 and the CAN bus. Tests inspect it and
// inject faults through a ModuleProbe.
//
// Locking: one mutex guards the module's state and that of its channel and loader. The firmware
// thread, the bus's callbacks and the probe take it; it is never held while calling the bus,
// since an unpaced bus calls back into the module from within. bit_rate() and active() take no
// lock: the bus reads them while delivering.
class Module final : public can::BusClient, private ChannelBoard {
  public:
    // Commands stop being taken from the doorbell while this many answers wait unread, so a
    // host that never reads cannot make the firmware drop answers.
    static constexpr std::size_t kAnswerQueueDepth = 8;
    // System messages are dropped while this many answers wait: a host that does not read them
    // must not keep the firmware from answering its commands.
    static constexpr std::size_t kSystemMessageQueueLimit = kAnswerQueueDepth / 2;

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
    // Names the module's thread, so that ps and top tell the modules apart.
    void name_thread(std::string_view name);

    // What the bus asks of the module's controller; called by the bus only.
    uint32_t bit_rate() const override;
    bool active() const override;
    void receive(const can::Frame& frame, uint64_t time_ns) override;
    void bus_error(can::BusErrorKind kind) override;
    void transmitted(const can::Frame& frame, can::TxOutcome outcome) override;
    void arbitration_lost(const can::Frame& frame, unsigned bit) override;

  private:
    friend class ModuleProbe;

    void run();
    // Called with mutex_ held: execute takes a command from the doorbell; serve is the dispatch,
    // giving the answer or none for a command left unanswered.
    void execute(uint8_t command);
    std::optional<uint8_t> serve(uint8_t command);
    void repeat_answer();
    uint8_t mode_answer() const;
    std::optional<uint8_t> start_firmware();
    std::optional<uint8_t> start_user_program();
    std::optional<uint8_t> end_user_program();
    std::optional<uint8_t> write_register();
    std::optional<uint8_t> read_register();
    std::optional<uint8_t> set_clock();
    std::optional<uint8_t> take_command_record();
    // What power-on, reset and restore leave behind: the channel's power-on state, the user
    // program ended.
    void restore_power_on_state();
    // Without mutex_: hands the channel's next frame to the bus, if one may go.
    void pump_transmitter();
    // Answers command (through the fault hooks) and remembers it for repeat requests.
    void reply(uint8_t command, uint8_t value);
    // Writes the oldest queued answer once the host has read the previous one.
    void post_queued_answers();

    // ChannelBoard, called by the channel with mutex_ held.
    bool firmware_running() const override { return mode_ == Mode::kProgram; }
    void raise_system_message(uint8_t value) override;
    void post_answers() override { post_queued_answers(); }
    bool status_pair_frozen() const override { return faults_.status_pair_frozen; }

    const std::string type_;
    DualPortRam& ram_;

    mutable std::mutex mutex_;  // guards everything below but thread_
    mutable std::condition_variable command_handled_;
    Mode mode_ = Mode::kProgram;
    sja1000::Sja1000 controller_;
    CanChannel channel_;
    ResidentLoader loader_;
    // The answer to the command in progress, which a repeat request signals again; none while
    // that command has not been (or will never be) answered.
    std::optional<uint8_t> answer_to_repeat_;
    // An answer held back until enough repeat requests have asked for it (a fault).
    std::optional<uint8_t> withheld_answer_;
    unsigned repeats_until_answer_ = 0;
    bool user_program_running_ = false;
    UserProgram user_program_ = echo_user_program;
    // The last accepted clock setting and when it was taken; the module's time runs on from it.
    std::optional<ModuleClock> clock_setting_;
    std::chrono::steady_clock::time_point clock_set_at_;
    FaultHooks faults_;
    std::deque<uint8_t> answer_queue_;
    std::array<uint64_t, kCommandCodes> commands_seen_{};
    bool stopping_ = false;
    can::Bus* bus_ = nullptr;

    std::thread thread_;
};

}  // namespace k5320::emulator
