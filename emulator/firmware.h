// State of the module's firmware and the fault hooks it consults when it answers.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "emulator/cyclic_table.h"
#include "emulator/flash_store.h"
#include "emulator/module_clock.h"
#include "emulator/sja1000.h"
#include "can/frame.h"
#include "k5320/commands.h"

namespace k5320::emulator {

inline constexpr std::size_t kCommandCodes = 256;

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

// A download the resident loader is taking: announced by 224, described by the info frame, then
// filled block by block.
struct Download {
    bool info_taken = false;  // until then only the info frame is taken
    FirmwareRecord record{};
    uint32_t announced_size = 0;
    std::vector<uint8_t> image;
    uint16_t next_block = 1;
};

// A received frame in the firmware's receive buffer, stamped in 0.1 ms since the module started.
struct StampedFrame {
    can::Frame frame;
    uint64_t stamp = 0;
};

// The CAN channel as the firmware keeps it: its receive and transmit buffers and the two receive
// banks it hands to the host in turn.
struct CanChannelState {
    using Clock = std::chrono::steady_clock;

    std::deque<StampedFrame> received;
    bool frames_lost = false;  // the receive buffer overflowed since the last bank report
    std::optional<uint8_t> announced_bank;  // handed to the host and not given back yet
    uint8_t next_bank = 0;

    std::deque<can::Frame> to_send;  // the front one is the frame being sent
    bool on_its_way = false;         // the front frame is with the bus, its outcome unknown
    bool abandoned = false;          // the buffer was cleared while a frame was on its way
    std::optional<Clock::time_point> pending_since;  // since the front frame first could go
    std::optional<Clock::time_point> retry_at;       // next try of an unacknowledged frame

    bool system_messages = false;
    std::optional<uint8_t> published_status;  // the status pair last written
};

struct FirmwareState {
    Mode mode = Mode::kProgram;
    std::optional<Download> download;  // none: no download announced
    // The answer to the command in progress, which a repeat request signals again; none while
    // that command has not been (or will never be) answered.
    std::optional<uint8_t> answer_to_repeat;
    // An answer held back until enough repeat requests have asked for it (a fault).
    std::optional<uint8_t> withheld_answer;
    unsigned repeats_until_answer = 0;

    sja1000::Sja1000 controller;
    CanChannelState channel;
    CyclicTable cyclic;
    bool user_program_running = false;
    UserProgram user_program = echo_user_program;
    // Set when a transmission timed out; mirrored into its DPRAM byte, which the host also
    // borrows for the seconds of a clock setting.
    bool tx_timeout = false;
    // The last accepted clock setting and when it was taken; the module's time runs on from it.
    std::optional<ModuleClock> clock_setting;
    std::chrono::steady_clock::time_point clock_set_at;
};

// Faults injected by tests. Consulted only when the firmware answers, so each answer path
// (direct, repeated, posted from outside) sees the same faults.
struct FaultHooks {
    std::array<bool, kCommandCodes> silenced{};  // executed, never answered
    std::array<bool, kCommandCodes> dropped{};   // taken from the doorbell, never executed
    std::array<std::optional<uint8_t>, kCommandCodes> answer_overrides{};
    unsigned interrupts_to_lose = 0;
    // Answer a command only at its k-th repeat request (0: at once).
    std::array<unsigned, kCommandCodes> answer_after_repeats{};
    // A value of another class written just before the real answer to a command.
    std::array<std::optional<uint8_t>, kCommandCodes> strays{};
    // The firmware leaves the CAN status pair as it is, whatever the controller does.
    bool status_pair_frozen = false;

    // The answer the firmware really gives to command, or none when it stays silent.
    std::optional<uint8_t> filter(uint8_t command, uint8_t value) const {
        if (silenced[command]) return std::nullopt;
        if (answer_overrides[command]) return answer_overrides[command];
        return value;
    }
    // Whether the next answer byte write raises the line.
    bool raise_line() {
        if (interrupts_to_lose == 0) return true;
        --interrupts_to_lose;
        return false;
    }
};

}  // namespace k5320::emulator
