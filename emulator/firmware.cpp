// The firmware's command dispatch. Commands it does not serve are taken (and counted) but not
// answered, as a firmware without that feature would behave.
#include <vector>

#include "emulator/module.h"

namespace k5320::emulator {

namespace {

constexpr unsigned kBitsPerByte = 8;
constexpr uint8_t kLowByte = 0xFF;

bool is_record_length(std::size_t length) {
    return length > 0 && length <= dpram::kCmdRecordMax;
}

}  // namespace

std::optional<std::vector<uint8_t>> echo_user_program(std::span<const uint8_t> record) {
    return std::vector<uint8_t>(record.begin(), record.end());
}

uint8_t Module::mode_answer() const {
    return static_cast<uint8_t>(firmware_.mode);
}

void Module::execute(uint8_t command) {
    if (command == cmd::kRepeatRequest) {
        repeat_answer();
        return;
    }
    // A new command: an answer to an earlier one must not be repeated for it.
    firmware_.answer_to_repeat.reset();
    firmware_.withheld_answer.reset();
    if (faults_.dropped[command]) return;
    std::optional<uint8_t> value = serve(command);
    // An injected answer stands in even for a command this firmware leaves unanswered.
    if (!value) value = faults_.answer_overrides[command];
    if (value) reply(command, *value);
}

std::optional<uint8_t> Module::serve(uint8_t command) {
    // Served by the loader and the firmware alike.
    switch (command) {
        case cmd::kModeQuery:
            return mode_answer();
        case cmd::kProgramMode:
            return start_firmware();
        case cmd::kLoaderMode:
            // The loader is entered afresh: a download in progress is given up.
            // The firmware stops, and the controller with it.
            restore_power_on_channel_state();
            firmware_.mode = Mode::kLoader;
            firmware_.download.reset();
            return mode_answer();
        // The host resets a module without knowing which mode it is in; in loader mode the
        // channel is reset all the same and the loader stays in charge.
        case cmd::kRestore:
            restore_power_on_channel_state();
            return answer::kRestored;
        case cmd::kReset:
            restore_power_on_channel_state();
            return answer::kResetDone;
        default:
            break;
    }
    if (firmware_.mode == Mode::kLoader) return serve_loader(command);
    switch (command) {
        case cmd::kRunUserProgram:
            return start_user_program();
        case cmd::kEndUserProgram:
            return end_user_program();
        case cmd::kWriteRegister:
            return write_register();
        case cmd::kReadRegister:
            return read_register();
        case cmd::kSetClock:
            return set_clock();
        case cmd::kCommandRecord:
            return take_command_record();
        case cmd::kApplyConfig:
            return apply_configuration();
        case cmd::kStartCan:
            return start_controller(answer::kCanStarted);
        case cmd::kEnableSja1000:
            return start_controller(answer::kSja1000Toggled);
        case cmd::kDisableSja1000:
            return stop_controller();
        case cmd::kTransmit:
            return take_transmit_record();
        case cmd::kFetchReceived:
            return report_received();
        case cmd::kBankRead:
            return release_bank();
        case cmd::kClearBufferStatus:
            firmware_.channel.frames_lost = false;
            clear_tx_timeout();
            return answer::kBufferStatusCleared;
        case cmd::kClearSoftBuffers:
            clear_channel_buffers();
            return answer::kSoftBuffersCleared;
        case cmd::kClearTxSoftBuffer:
            clear_transmit_buffer();
            return answer::kTxSoftBufferCleared;
        case cmd::kClearRxSoftBuffer:
            clear_receive_buffer();
            return answer::kRxSoftBufferCleared;
        case cmd::kSystemMsgOff:
            return switch_system_messages(false);
        case cmd::kSystemMsgOn:
            return switch_system_messages(true);
        case cmd::kCyclicAdd:
            return add_cyclic();
        case cmd::kCyclicDelete:
        case cmd::kCyclicEnable:
        case cmd::kCyclicDisable:
        case cmd::kCyclicRest:
            return serve_cyclic_entry(command);
        default:
            return std::nullopt;
    }
}

std::optional<uint8_t> Module::start_user_program() {
    if (firmware_.user_program_running) return answer::kUserProgramEnded;
    firmware_.user_program_running = true;
    return answer::kUserProgramRunning;
}

std::optional<uint8_t> Module::end_user_program() {
    if (!firmware_.user_program_running) return answer::kUserProgramRunning;
    firmware_.user_program_running = false;
    return answer::kUserProgramEnded;
}

std::optional<uint8_t> Module::write_register() {
    const uint8_t addr = ram_.module_read(dpram::kRegisterAddress);
    firmware_.controller.write_reg(addr, ram_.module_read(dpram::kRegisterValue));
    return answer::kRegisterWritten;
}

std::optional<uint8_t> Module::read_register() {
    const uint8_t addr = ram_.module_read(dpram::kRegisterAddress);
    ram_.module_write(dpram::kRegisterValue, firmware_.controller.read_reg(addr));
    return answer::kRegisterRead;
}

std::optional<uint8_t> Module::set_clock() {
    const ModuleClock setting{
        .year = read_word(dpram::kClockYear),
        .month = ram_.module_read(dpram::kClockMonth),
        .day = ram_.module_read(dpram::kClockDay),
        .hour = ram_.module_read(dpram::kClockHour),
        .minute = ram_.module_read(dpram::kClockMinute),
        .second = ram_.module_read(dpram::kClockSecond),
    };
    // The seconds byte is the transmit time-out flag's; the host only borrowed it.
    write_tx_timeout_flag();
    if (!is_valid(setting)) return answer::kClockRefused;
    firmware_.clock_setting = setting;
    firmware_.clock_set_at = std::chrono::steady_clock::now();
    return answer::kClockSet;
}

std::optional<uint8_t> Module::take_command_record() {
    if (!firmware_.user_program_running) return std::nullopt;
    const uint16_t length = read_word(dpram::kOutCmdLength);
    // A length the mailbox cannot hold is not a record; reading it would run past the area.
    if (!is_record_length(length)) return std::nullopt;
    std::vector<uint8_t> record(length);
    for (uint16_t i = 0; i < length; ++i) {
        record[i] = ram_.module_read(static_cast<uint16_t>(dpram::kOutCmdData + i));
    }
    const std::optional<std::vector<uint8_t>> reply_record = firmware_.user_program(record);
    // An answer too long for the incoming area would overwrite the outgoing one behind it.
    if (!reply_record || !is_record_length(reply_record->size())) return std::nullopt;
    for (std::size_t i = 0; i < reply_record->size(); ++i) {
        ram_.module_write(static_cast<uint16_t>(dpram::kInCmdData + i), (*reply_record)[i]);
    }
    // The length last: the host may take whatever the length announces.
    write_word(dpram::kInCmdLength, static_cast<uint16_t>(reply_record->size()));
    return answer::kCommandRecordArrived;
}

void Module::restore_power_on_channel_state() {
    firmware_.controller.hardware_reset();
    clear_channel_buffers();
    firmware_.cyclic.clear();
    firmware_.channel.system_messages = false;
    firmware_.channel.next_bank = 0;
    firmware_.user_program_running = false;
    firmware_.tx_timeout = false;
    write_tx_timeout_flag();
    after_controller_event();
}

void Module::write_tx_timeout_flag() {
    ram_.module_write(dpram::kTxTimeoutFlag,
                      firmware_.tx_timeout ? dpram::kTxTimeoutFlagSet : dpram::kTxTimeoutFlagClear);
}

uint16_t Module::read_word(uint16_t address) {
    const uint8_t low = ram_.module_read(address);
    const uint8_t high = ram_.module_read(static_cast<uint16_t>(address + 1));
    return static_cast<uint16_t>(low | high << kBitsPerByte);
}

void Module::write_word(uint16_t address, uint16_t value) {
    ram_.module_write(address, static_cast<uint8_t>(value & kLowByte));
    ram_.module_write(static_cast<uint16_t>(address + 1),
                      static_cast<uint8_t>(value >> kBitsPerByte));
}

void Module::repeat_answer() {
    if (firmware_.withheld_answer) {
        if (--firmware_.repeats_until_answer > 0) return;
        firmware_.answer_to_repeat = firmware_.withheld_answer;
        firmware_.withheld_answer.reset();
        answer_queue_.push_back(*firmware_.answer_to_repeat);
        return;
    }
    if (!firmware_.answer_to_repeat) return;
    const std::optional<uint8_t> value =
        faults_.filter(cmd::kRepeatRequest, *firmware_.answer_to_repeat);
    if (!value) return;

    const uint32_t mailbox = ram_.answer_mailbox.load(std::memory_order_acquire);
    if ((mailbox & DualPortRam::kAnswerUnread) != 0) {
        // An answer sits unread, so the host missed the line: raise it again. The byte is not
        // rewritten; an unread answer is never replaced.
        if (faults_.raise_line()) ram_.raise_line();
        if ((mailbox & DualPortRam::kByteMask) == *value) return;
    }
    // The host has read the answer, or another one is in front of it: signal it again after
    // whatever is unread (once, however often the host asks).
    for (const uint8_t waiting : answer_queue_) {
        if (waiting == *value) return;
    }
    answer_queue_.push_back(*value);
}

}  // namespace k5320::emulator
