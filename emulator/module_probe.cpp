#include "emulator/module_probe.h"

#include <utility>

namespace k5320::emulator {

uint8_t ModuleProbe::peek(uint16_t address) const {
    return module_.ram_.peek(address);
}

void ModuleProbe::poke(uint16_t address, uint8_t value) {
    module_.ram_.module_write(address, value);
}

void ModuleProbe::post_answer(uint8_t value) {
    std::lock_guard lock(module_.mutex_);
    module_.answer_queue_.push_back(value);
    module_.post_queued_answers();
}

void ModuleProbe::silence(uint8_t command, bool on) {
    std::lock_guard lock(module_.mutex_);
    module_.faults_.silenced[command] = on;
}

void ModuleProbe::drop(uint8_t command, bool on) {
    std::lock_guard lock(module_.mutex_);
    module_.faults_.dropped[command] = on;
}

void ModuleProbe::clear_faults() {
    std::lock_guard lock(module_.mutex_);
    module_.faults_ = FaultHooks{};
}

void ModuleProbe::override_answer(uint8_t command, std::optional<uint8_t> value) {
    std::lock_guard lock(module_.mutex_);
    module_.faults_.answer_overrides[command] = value;
}

void ModuleProbe::lose_interrupts(unsigned count) {
    std::lock_guard lock(module_.mutex_);
    module_.faults_.interrupts_to_lose = count;
}

void ModuleProbe::answer_after_repeats(uint8_t command, unsigned repeats) {
    std::lock_guard lock(module_.mutex_);
    module_.faults_.answer_after_repeats[command] = repeats;
}

void ModuleProbe::stray_before(uint8_t command, std::optional<uint8_t> stray) {
    std::lock_guard lock(module_.mutex_);
    module_.faults_.strays[command] = stray;
}

void ModuleProbe::freeze_status_pair(bool on) {
    std::lock_guard lock(module_.mutex_);
    module_.faults_.status_pair_frozen = on;
}

std::optional<FlashContents> ModuleProbe::flash() const {
    std::lock_guard lock(module_.mutex_);
    return module_.loader_.flash().contents();
}

FlashState ModuleProbe::flash_state() const {
    std::lock_guard lock(module_.mutex_);
    return module_.loader_.flash().state();
}

void ModuleProbe::fail_flash_writes(bool on) {
    std::lock_guard lock(module_.mutex_);
    module_.loader_.flash().fail_writes(on);
}

uint64_t ModuleProbe::commands_seen(uint8_t command) const {
    std::lock_guard lock(module_.mutex_);
    return module_.commands_seen_[command];
}

bool ModuleProbe::wait_for_commands(uint8_t command, uint64_t count,
                                    std::chrono::milliseconds timeout) const {
    std::unique_lock lock(module_.mutex_);
    return module_.command_handled_.wait_for(
        lock, timeout, [&] { return module_.commands_seen_[command] >= count; });
}

uint8_t ModuleProbe::mode() const {
    std::lock_guard lock(module_.mutex_);
    return module_.mode_answer();
}

bool ModuleProbe::answer_pending() const {
    return module_.ram_.answer_unread();
}

bool ModuleProbe::user_program_running() const {
    std::lock_guard lock(module_.mutex_);
    return module_.user_program_running_;
}

uint8_t ModuleProbe::sja1000_register(uint8_t addr) const {
    std::lock_guard lock(module_.mutex_);
    return module_.controller_.peek_reg(addr);
}

std::optional<ModuleClock> ModuleProbe::clock() const {
    std::lock_guard lock(module_.mutex_);
    return module_.clock_setting_;
}

std::optional<ModuleClock> ModuleProbe::clock_now() const {
    std::lock_guard lock(module_.mutex_);
    if (!module_.clock_setting_) return std::nullopt;
    const auto elapsed = std::chrono::floor<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                                  module_.clock_set_at_);
    return advanced(*module_.clock_setting_, elapsed);
}

void ModuleProbe::set_user_program(UserProgram program) {
    std::lock_guard lock(module_.mutex_);
    module_.user_program_ = program ? std::move(program) : UserProgram{echo_user_program};
}

void ModuleProbe::set_tx_timeout_flag(bool set) {
    std::lock_guard lock(module_.mutex_);
    module_.channel_.set_tx_timeout_flag(set);
}

std::size_t ModuleProbe::frames_to_send() const {
    std::lock_guard lock(module_.mutex_);
    return module_.channel_.frames_to_send();
}

std::size_t ModuleProbe::frames_received() const {
    std::lock_guard lock(module_.mutex_);
    return module_.channel_.frames_received();
}

std::size_t ModuleProbe::cyclic_entries() const {
    std::lock_guard lock(module_.mutex_);
    return module_.channel_.cyclic_entries();
}

bool ModuleProbe::system_messages() const {
    std::lock_guard lock(module_.mutex_);
    return module_.channel_.system_messages();
}

}  // namespace k5320::emulator
