#include "emulator/module.h"

#include <utility>

#include "platform/futex.h"
#include "platform/thread.h"

namespace k5320::emulator {

Module::Module(std::string type, DualPortRam& ram, std::optional<std::filesystem::path> flash_file)
    : type_(std::move(type)),
      ram_(ram),
      flash_(flash_file ? FlashStore(std::move(*flash_file)) : FlashStore()),
      started_at_(std::chrono::steady_clock::now()) {
    firmware_.mode = flash_.holds_valid_image() ? Mode::kProgram : Mode::kLoader;
    restore_power_on_channel_state();
    // A firmware that boots at power-on starts its user program on its own.
    firmware_.user_program_running = firmware_.mode == Mode::kProgram;
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

void Module::run() {
    for (;;) {
        // Taken before looking, so an event that arrives after the look ends the wait at once.
        const uint32_t wakeups = ram_.module_wakeups.load(std::memory_order_acquire);
        bool handled = false;
        std::optional<CanChannelState::Clock::time_point> wake_at;
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
            const auto now = CanChannelState::Clock::now();
            transmit_due_cyclic(now);
            check_transmit_timeout(now);
            wake_at = next_deadline();
        }
        // Outside the lock: an unpaced bus calls back into this module from within.
        pump_transmitter();
        if (handled) continue;
        if (wake_at) {
            platform::futex_wait_until(ram_.module_wakeups, wakeups, *wake_at);
        } else {
            platform::futex_wait(ram_.module_wakeups, wakeups);
        }
    }
}

void Module::reply(uint8_t command, uint8_t value) {
    const std::optional<uint8_t> given = faults_.filter(command, value);
    if (given && faults_.strays[command]) answer_queue_.push_back(*faults_.strays[command]);
    if (given && faults_.answer_after_repeats[command] > 0) {
        firmware_.withheld_answer = given;
        firmware_.repeats_until_answer = faults_.answer_after_repeats[command];
        return;
    }
    firmware_.answer_to_repeat = given;
    if (given) answer_queue_.push_back(*given);
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

uint8_t Module::peek(uint16_t address) const {
    return ram_.peek(address);
}

void Module::poke(uint16_t address, uint8_t value) {
    ram_.module_write(address, value);
}

void Module::post_answer(uint8_t value) {
    std::lock_guard lock(mutex_);
    answer_queue_.push_back(value);
    post_queued_answers();
}

void Module::silence(uint8_t command, bool on) {
    std::lock_guard lock(mutex_);
    faults_.silenced[command] = on;
}

void Module::drop(uint8_t command, bool on) {
    std::lock_guard lock(mutex_);
    faults_.dropped[command] = on;
}

void Module::clear_faults() {
    std::lock_guard lock(mutex_);
    faults_ = FaultHooks{};
}

void Module::override_answer(uint8_t command, std::optional<uint8_t> value) {
    std::lock_guard lock(mutex_);
    faults_.answer_overrides[command] = value;
}

void Module::lose_interrupts(unsigned count) {
    std::lock_guard lock(mutex_);
    faults_.interrupts_to_lose = count;
}

void Module::answer_after_repeats(uint8_t command, unsigned repeats) {
    std::lock_guard lock(mutex_);
    faults_.answer_after_repeats[command] = repeats;
}

void Module::stray_before(uint8_t command, std::optional<uint8_t> stray) {
    std::lock_guard lock(mutex_);
    faults_.strays[command] = stray;
}

void Module::freeze_status_pair(bool on) {
    std::lock_guard lock(mutex_);
    faults_.status_pair_frozen = on;
}

std::optional<FlashContents> Module::flash() const {
    std::lock_guard lock(mutex_);
    return flash_.contents();
}

FlashState Module::flash_state() const {
    std::lock_guard lock(mutex_);
    return flash_.state();
}

void Module::fail_flash_writes(bool on) {
    std::lock_guard lock(mutex_);
    flash_.fail_writes(on);
}

uint64_t Module::commands_seen(uint8_t command) const {
    std::lock_guard lock(mutex_);
    return commands_seen_[command];
}

bool Module::wait_for_commands(uint8_t command, uint64_t count,
                               std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return command_handled_.wait_for(lock, timeout,
                                     [&] { return commands_seen_[command] >= count; });
}

uint8_t Module::mode() const {
    std::lock_guard lock(mutex_);
    return mode_answer();
}

bool Module::answer_pending() const {
    return ram_.answer_unread();
}

bool Module::user_program_running() const {
    std::lock_guard lock(mutex_);
    return firmware_.user_program_running;
}

uint8_t Module::sja1000_register(uint8_t addr) const {
    std::lock_guard lock(mutex_);
    return firmware_.controller.peek_reg(addr);
}

std::optional<ModuleClock> Module::clock() const {
    std::lock_guard lock(mutex_);
    return firmware_.clock_setting;
}

std::optional<ModuleClock> Module::clock_now() const {
    std::lock_guard lock(mutex_);
    if (!firmware_.clock_setting) return std::nullopt;
    const auto elapsed = std::chrono::floor<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                                  firmware_.clock_set_at);
    return advanced(*firmware_.clock_setting, elapsed);
}

void Module::set_user_program(UserProgram program) {
    std::lock_guard lock(mutex_);
    firmware_.user_program = program ? std::move(program) : UserProgram{echo_user_program};
}

void Module::set_tx_timeout_flag(bool set) {
    std::lock_guard lock(mutex_);
    firmware_.tx_timeout = set;
    write_tx_timeout_flag();
}

}  // namespace k5320::emulator
