// The board: the firmware thread, the doorbell dispatch with its answer queue, the commands of
// the board itself (modes, user program, register access, clock), and the wiring of the CAN
// channel to the bus. Commands it does not serve are taken (and counted) but not answered, as a
// firmware without that feature would behave.
#include "emulator/module.h"

#include <utility>

#include "k5320/dpram_map.h"
#include "k5320/model_codes.h"
#include "platform/thread.h"

namespace k5320::emulator {

namespace {

bool is_record_length(std::size_t length) {
    return length > 0 && length <= dpram::kCmdRecordMax;
}

}  // namespace

std::optional<std::vector<uint8_t>> echo_user_program(std::span<const uint8_t> record) {
    return std::vector<uint8_t>(record.begin(), record.end());
}

Module::Module(std::string type, DualPortRam& ram, std::optional<std::filesystem::path> flash_file)
    : type_(std::move(type)),
      ram_(ram),
      channel_(ram_, controller_, *this),
      loader_(model::code_for(type_.c_str()), ram_, std::move(flash_file)) {
    mode_ = loader_.holds_firmware() ? Mode::kProgram : Mode::kLoader;
    restore_power_on_state();
    // A firmware that boots at power-on starts its user program on its own.
    user_program_running_ = mode_ == Mode::kProgram;
    thread_ = std::thread([this] { run(); });
    // The module has a processor of its own: a busy host must not delay its answers. Where
    // real-time policies are not allowed it runs at the default priority.
    platform::set_thread_ce_priority(thread_.native_handle(), platform::kHardwareCePriority);
}

Module::~Module() {
    stop();
}

void Module::stop() {
    connect(nullptr);
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    ram_.wake_module();
    if (thread_.joinable()) thread_.join();
}

void Module::name_thread(std::string_view name) {
    platform::set_thread_name(thread_.native_handle(), name);
}

void Module::connect(can::Bus* bus) {
    can::Bus* previous = nullptr;
    {
        std::lock_guard lock(mutex_);
        previous = bus_;
        bus_ = bus;
    }
    // Detaching waits for a call into this module to end, and such a call takes mutex_.
    if (previous != nullptr && previous != bus) previous->detach(this);
    if (bus != nullptr) bus->attach(this);
    ram_.wake_module();
}

void Module::run() {
    // Cyclic frames and time-outs are kept to the millisecond like the firmware's own timer.
    platform::use_precise_timers();
    for (;;) {
        // Taken before looking, so an event that arrives after the look ends the wait at once.
        const uint32_t wakeups = ram_.module_wakeups.current();
        bool handled = false;
        std::optional<CanChannel::Clock::time_point> wake_at;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            post_queued_answers();
            if (ram_.doorbell_rung() && answer_queue_.size() < kAnswerQueueDepth) {
                const uint8_t command = ram_.module_read(dpram::kCommandByte);
                ++commands_seen_[command];
                execute(command);
                post_queued_answers();
                command_handled_.notify_all();
                handled = true;
            }
            channel_.tick(CanChannel::Clock::now());
            wake_at = channel_.next_deadline();
        }
        // Outside the lock: an unpaced bus calls back into this module from within.
        pump_transmitter();
        if (handled) continue;
        if (wake_at) {
            ram_.module_wakeups.wait_past(wakeups, *wake_at);
        } else {
            ram_.module_wakeups.wait_past(wakeups);
        }
    }
}

// --- Doorbell dispatch ------------------------------------------------------------------------

void Module::execute(uint8_t command) {
    if (command == cmd::kRepeatRequest) {
        repeat_answer();
        return;
    }
    // A new command: an answer to an earlier one must not be repeated for it.
    answer_to_repeat_.reset();
    withheld_answer_.reset();
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
            restore_power_on_state();
            mode_ = Mode::kLoader;
            loader_.end_download();
            return mode_answer();
        // The host resets a module without knowing which mode it is in; in loader mode the
        // channel is reset all the same and the loader stays in charge.
        case cmd::kRestore:
            restore_power_on_state();
            return answer::kRestored;
        case cmd::kReset:
            restore_power_on_state();
            return answer::kResetDone;
        default:
            break;
    }
    if (mode_ == Mode::kLoader) return loader_.serve(command);
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
        default:
            return channel_.serve(command);
    }
}

uint8_t Module::mode_answer() const {
    return static_cast<uint8_t>(mode_);
}

void Module::reply(uint8_t command, uint8_t value) {
    const std::optional<uint8_t> given = faults_.filter(command, value);
    if (given && faults_.strays[command]) answer_queue_.push_back(*faults_.strays[command]);
    if (given && faults_.answer_after_repeats[command] > 0) {
        withheld_answer_ = given;
        repeats_until_answer_ = faults_.answer_after_repeats[command];
        return;
    }
    answer_to_repeat_ = given;
    if (given) answer_queue_.push_back(*given);
}

void Module::repeat_answer() {
    if (withheld_answer_) {
        if (--repeats_until_answer_ > 0) return;
        answer_to_repeat_ = withheld_answer_;
        withheld_answer_.reset();
        answer_queue_.push_back(*answer_to_repeat_);
        return;
    }
    if (!answer_to_repeat_) return;
    const std::optional<uint8_t> value = faults_.filter(cmd::kRepeatRequest, *answer_to_repeat_);
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

void Module::post_queued_answers() {
    // Only the module side sets the unread flag, and only here (under mutex_), so a clear flag
    // cannot become set between the test and the write.
    while (!answer_queue_.empty()) {
        if (ram_.answer_unread()) {
            // The host's read wakes the thread to post the next one, unless it came first.
            if (ram_.wake_on_answer_read()) return;
            continue;
        }
        const uint8_t value = answer_queue_.front();
        answer_queue_.pop_front();
        ram_.post_answer(value, faults_.raise_line());
    }
}

void Module::raise_system_message(uint8_t value) {
    if (answer_queue_.size() >= kSystemMessageQueueLimit) return;
    answer_queue_.push_back(value);
}

// --- The board's own commands -----------------------------------------------------------------

std::optional<uint8_t> Module::start_firmware() {
    if (mode_ == Mode::kProgram) return mode_answer();
    if (const std::optional<uint8_t> refusal = loader_.start_refusal()) {
        // The loader says why it stays, then that it is still in charge: the host's start waits
        // on either answer, its reset sequences on the mode alone.
        reply(cmd::kProgramMode, *refusal);
        return mode_answer();
    }
    // The started firmware leaves its user program ended: every host sequence that leaves the
    // loader goes on with a run command and expects it to be accepted.
    mode_ = Mode::kProgram;
    loader_.end_download();
    return mode_answer();
}

std::optional<uint8_t> Module::start_user_program() {
    if (user_program_running_) return answer::kUserProgramEnded;
    user_program_running_ = true;
    return answer::kUserProgramRunning;
}

std::optional<uint8_t> Module::end_user_program() {
    if (!user_program_running_) return answer::kUserProgramRunning;
    user_program_running_ = false;
    return answer::kUserProgramEnded;
}

std::optional<uint8_t> Module::write_register() {
    const uint8_t addr = ram_.module_read(dpram::kRegisterAddress);
    controller_.write_reg(addr, ram_.module_read(dpram::kRegisterValue));
    return answer::kRegisterWritten;
}

std::optional<uint8_t> Module::read_register() {
    const uint8_t addr = ram_.module_read(dpram::kRegisterAddress);
    ram_.module_write(dpram::kRegisterValue, controller_.read_reg(addr));
    return answer::kRegisterRead;
}

std::optional<uint8_t> Module::set_clock() {
    const ModuleClock setting{
        .year = ram_.module_read_word(dpram::kClockYear),
        .month = ram_.module_read(dpram::kClockMonth),
        .day = ram_.module_read(dpram::kClockDay),
        .hour = ram_.module_read(dpram::kClockHour),
        .minute = ram_.module_read(dpram::kClockMinute),
        .second = ram_.module_read(dpram::kClockSecond),
    };
    // The seconds byte is the transmit time-out flag's; the host only borrowed it.
    channel_.rewrite_tx_timeout_flag();
    if (!is_valid(setting)) return answer::kClockRefused;
    clock_setting_ = setting;
    clock_set_at_ = std::chrono::steady_clock::now();
    return answer::kClockSet;
}

std::optional<uint8_t> Module::take_command_record() {
    if (!user_program_running_) return std::nullopt;
    const uint16_t length = ram_.module_read_word(dpram::kOutCmdLength);
    // A length the mailbox cannot hold is not a record; reading it would run past the area.
    if (!is_record_length(length)) return std::nullopt;
    std::vector<uint8_t> record(length);
    for (uint16_t i = 0; i < length; ++i) {
        record[i] = ram_.module_read(static_cast<uint16_t>(dpram::kOutCmdData + i));
    }
    const std::optional<std::vector<uint8_t>> reply_record = user_program_(record);
    // An answer too long for the incoming area would overwrite the outgoing one behind it.
    if (!reply_record || !is_record_length(reply_record->size())) return std::nullopt;
    for (std::size_t i = 0; i < reply_record->size(); ++i) {
        ram_.module_write(static_cast<uint16_t>(dpram::kInCmdData + i), (*reply_record)[i]);
    }
    // The length last: the host may take whatever the length announces.
    ram_.module_write_word(dpram::kInCmdLength, static_cast<uint16_t>(reply_record->size()));
    return answer::kCommandRecordArrived;
}

void Module::restore_power_on_state() {
    channel_.restore_power_on_state();
    user_program_running_ = false;
}

// --- The bus ----------------------------------------------------------------------------------

uint32_t Module::bit_rate() const {
    return channel_.bit_rate();
}

bool Module::active() const {
    return channel_.active();
}

void Module::receive(const can::Frame& frame, uint64_t time_ns) {
    std::lock_guard lock(mutex_);
    channel_.receive(frame, time_ns);
}

void Module::bus_error(can::BusErrorKind kind) {
    std::lock_guard lock(mutex_);
    channel_.bus_error(kind);
}

void Module::arbitration_lost(const can::Frame&, unsigned bit) {
    std::lock_guard lock(mutex_);
    channel_.arbitration_lost(bit);
}

void Module::transmitted(const can::Frame&, can::TxOutcome outcome) {
    bool send_next = false;
    {
        std::lock_guard lock(mutex_);
        const bool unpaced = bus_ != nullptr && bus_->pacing() == can::Pacing::kUnpaced;
        send_next = channel_.transmitted(outcome, unpaced);
    }
    if (send_next) {
        pump_transmitter();
    } else {
        // The firmware thread may be asleep without a deadline: let it see the retry.
        ram_.wake_module();
    }
}

void Module::pump_transmitter() {
    can::Bus* bus = nullptr;
    std::optional<can::Frame> frame;
    {
        std::lock_guard lock(mutex_);
        if (!stopping_) frame = channel_.frame_for_bus(bus_ != nullptr);
        bus = bus_;
    }
    if (!frame) return;
    // An unpaced bus delivers within submit and calls back into this module, so mutex_ must
    // not be held here.
    if (bus->submit(this, *frame)) return;
    std::lock_guard lock(mutex_);
    channel_.submit_refused();
}

}  // namespace k5320::emulator
