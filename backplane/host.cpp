#include "backplane/host.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <optional>
#include <thread>
#include <utility>

#include "backplane/inspect.h"
#include "k5320/dpram_map.h"
#include "platform/futex.h"
#include "platform/thread.h"

namespace k5320::backplane {

namespace {
constexpr uint32_t kSpinAfterInterruptNs = 30'000;
constexpr uint8_t kPageMask = dpram::kSize / dpram::kPageSize - 1;
}  // namespace

struct Host::Slot {
    emulator::DualPortRam ram;
    std::atomic<uint8_t> page{0};  // host side: set through port 1
    std::atomic<bool> populated{false};

    mutable std::mutex mutex;  // guards everything below
    std::string type;
    std::optional<std::string> reported_name;  // a fault: the slot reports another name
    std::unique_ptr<emulator::Module> module;
    TrnSlotInterruptRoutine routine = nullptr;
    bool enabled = false;
    bool stop_delivery = false;
    std::thread interrupt_thread;  // started and joined only under replace_mutex_
};

namespace {

// The DPRAM address a data-window port reaches on the selected page.
uint16_t window_address(uint8_t page, int port) {
    return static_cast<uint16_t>((page << dpram::kPageShift) + (port - dpram::kPortDataWindow));
}

}  // namespace

Host::Host(const Config& config)
    : config_(config), flash_directory_(emulator::flash_state_directory()) {
    for (const BusConfig& bus : config_.buses) {
        auto& wire = buses_[bus.name];
        wire = std::make_unique<can::Bus>(bus.paced ? can::Pacing::kPaced : can::Pacing::kUnpaced);
        if (bus.demo_node)
            demo_nodes_[bus.name] = std::make_unique<can::DemoNode>(*wire, bus.bit_rate);
    }
    std::lock_guard replace(replace_mutex_);
    for (int number = kFirstSlot; number <= kLastSlot; ++number) {
        slots_[number] = std::make_unique<Slot>();
        if (!config_.slots[number].type.empty()) {
            insert_module(*slots_[number], number, config_.slots[number].type);
        }
    }
}

Host::~Host() {
    {
        std::lock_guard replace(replace_mutex_);
        for (int number = kFirstSlot; number <= kLastSlot; ++number) {
            remove_module(*slots_[number]);
        }
    }
    for (auto& [name, node] : demo_nodes_) node->stop();
}

Host::Slot* Host::slot_at(int slot) const {
    if (slot < kFirstSlot || slot > kLastSlot) return nullptr;
    return slots_[slot].get();
}

std::optional<std::filesystem::path> Host::flash_file(int slot) const {
    if (!flash_directory_) return std::nullopt;
    return emulator::flash_file_for_slot(*flash_directory_, slot);
}

void Host::insert_module(Slot& slot, int number, std::string type) {
    slot.ram.reset();
    slot.page.store(0, std::memory_order_relaxed);
    {
        std::lock_guard lock(slot.mutex);
        slot.type = std::move(type);
        slot.reported_name.reset();
        slot.module = std::make_unique<emulator::Module>(slot.type, slot.ram, flash_file(number));
        slot.module->connect(bus(config_.slots[number].bus));
        slot.stop_delivery = false;
    }
    slot.interrupt_thread = std::thread([this, &slot] { deliver_interrupts(slot); });
    // Interrupts preempt the host's threads, so an answer is filed even while callers spin.
    platform::set_thread_ce_priority(slot.interrupt_thread.native_handle(),
                                     platform::kHardwareCePriority);
    slot.populated.store(true, std::memory_order_release);
}

void Host::remove_module(Slot& slot) {
    slot.populated.store(false, std::memory_order_release);
    std::unique_ptr<emulator::Module> module;
    {
        std::lock_guard lock(slot.mutex);
        slot.stop_delivery = true;
        slot.type.clear();
        module = std::move(slot.module);
    }
    slot.ram.wake_line_side();
    if (slot.interrupt_thread.joinable()) slot.interrupt_thread.join();
    module.reset();
}

void Host::deliver_interrupts(Slot& slot) {
    mark_interrupt_thread();
    for (;;) {
        // Taken before looking, so a raise or a register/enable change after the look ends the
        // wait at once.
        const uint32_t wakeups = slot.ram.line_wakeups.load(std::memory_order_acquire);
        TrnSlotInterruptRoutine routine = nullptr;
        {
            std::lock_guard lock(slot.mutex);
            if (slot.stop_delivery) return;
            // The line is taken (cleared) only when it is delivered: a disabled or unregistered
            // slot keeps it pending. The call is decided under the lock, so none is decided
            // after unregister returns; one decided just before counts as under way.
            if (slot.enabled && slot.routine != nullptr && slot.ram.take_line()) {
                routine = slot.routine;
            }
        }
        if (routine != nullptr) {
            routine();
            // The next answer often follows within microseconds: a look before sleeping saves
            // the wake-up through the kernel.
            platform::spin_while_equal(slot.ram.line_latch, 0, kSpinAfterInterruptNs);
            continue;
        }
        platform::futex_wait(slot.ram.line_wakeups, wakeups);
    }
}

int Host::slot_out(int slot, int port, int value) {
    Slot* target = slot_at(slot);
    int result = kCallIgnored;
    if (target != nullptr && target->populated.load(std::memory_order_acquire)) {
        const auto byte = static_cast<uint8_t>(value);
        if (port == dpram::kPortPageRegister) {
            target->page.store(byte & kPageMask, std::memory_order_relaxed);
            result = kCallDone;
        } else if (port >= dpram::kPortDataWindow && port <= dpram::kPortDataWindowLast) {
            target->ram.host_write(
                window_address(target->page.load(std::memory_order_relaxed), port), byte);
            result = kCallDone;
        }
    }
    trace_.record(CallKind::kSlotOut, slot, port, value);
    return result;
}

int Host::slot_in(int slot, int port) {
    Slot* target = slot_at(slot);
    int value = kFloatingBus;
    if (target != nullptr && target->populated.load(std::memory_order_acquire)) {
        if (port == dpram::kPortPageRegister) {
            value = target->page.load(std::memory_order_relaxed);
        } else if (port >= dpram::kPortDataWindow && port <= dpram::kPortDataWindowLast) {
            value = target->ram.host_read(
                window_address(target->page.load(std::memory_order_relaxed), port));
        }
    }
    trace_.record(CallKind::kSlotIn, slot, port, value);
    return value;
}

int Host::controller_out(int port, int value) {
    int result = kCallIgnored;
    if (port >= kControllerRegisterFirst && port <= kControllerRegisterLast) {
        controller_registers_[port - kControllerRegisterFirst].store(static_cast<uint8_t>(value),
                                                                     std::memory_order_relaxed);
        result = kCallDone;
    }
    trace_.record(CallKind::kControllerOut, 0, port, value);
    return result;
}

int Host::controller_in(int port) {
    const int value = controller_register(port);
    trace_.record(CallKind::kControllerIn, 0, port, value);
    return value;
}

uint8_t Host::controller_register(int port) const {
    if (port < kControllerRegisterFirst || port > kControllerRegisterLast) return kFloatingBus;
    return controller_registers_[port - kControllerRegisterFirst].load(std::memory_order_relaxed);
}

int Host::get_module_name(int slot, char* name) {
    trace_.record(CallKind::kGetModuleName, slot, 0, 0);
    if (name == nullptr) return kCallIgnored;
    name[0] = '\0';
    Slot* target = slot_at(slot);
    if (target == nullptr) return kCallIgnored;
    std::lock_guard lock(target->mutex);
    const std::string& reported = target->reported_name ? *target->reported_name : target->type;
    const std::size_t length = std::min(reported.size(), kMaxTypeLength);
    static_assert(kMaxTypeLength < TRN_MODULE_NAME_SIZE);
    std::memcpy(name, reported.data(), length);
    name[length] = '\0';
    return kCallDone;
}

int Host::register_interrupt(int slot, TrnSlotInterruptRoutine routine) {
    trace_.record(CallKind::kRegister, slot, 0, 0);
    Slot* target = slot_at(slot);
    if (target == nullptr) return kCallIgnored;
    {
        std::lock_guard lock(target->mutex);
        target->routine = routine;
    }
    target->ram.wake_line_side();  // a pending line is delivered now, if enabled
    return kCallDone;
}

int Host::unregister_interrupt(int slot) {
    trace_.record(CallKind::kUnregister, slot, 0, 0);
    Slot* target = slot_at(slot);
    if (target == nullptr) return kCallIgnored;
    std::lock_guard lock(target->mutex);
    target->routine = nullptr;
    return kCallDone;
}

int Host::enable_interrupt(int slot, int on) {
    trace_.record(CallKind::kEnable, slot, 0, on);
    Slot* target = slot_at(slot);
    if (target == nullptr) return kCallIgnored;
    {
        std::lock_guard lock(target->mutex);
        target->enabled = on != 0;
    }
    target->ram.wake_line_side();  // a pending line is delivered now, if registered
    return kCallDone;
}

int Host::interrupt_done(int slot) {
    trace_.record(CallKind::kInterruptDone, slot, 0, 0);
    Slot* target = slot_at(slot);
    if (target == nullptr) return kCallIgnored;
    target->ram.clear_line();
    return kCallDone;
}

int Host::set_trigger_type(int slot, int type) {
    trace_.record(CallKind::kSetTriggerType, slot, 0, type);
    return slot_at(slot) != nullptr ? kCallDone : kCallIgnored;
}

int Host::set_interrupt_priority(int slot, int priority) {
    trace_.record(CallKind::kSetPriority, slot, 0, priority);
    return slot_at(slot) != nullptr ? kCallDone : kCallIgnored;
}

emulator::Module* Host::module(int slot) {
    Slot* target = slot_at(slot);
    if (target == nullptr) return nullptr;
    std::lock_guard lock(target->mutex);
    return target->module.get();
}

can::Bus* Host::bus(std::string_view name) {
    const auto it = buses_.find(name);
    return it == buses_.end() ? nullptr : it->second.get();
}

can::DemoNode* Host::demo_node(std::string_view bus_name) {
    const auto it = demo_nodes_.find(bus_name);
    return it == demo_nodes_.end() ? nullptr : it->second.get();
}

bool Host::registered(int slot) const {
    Slot* target = slot_at(slot);
    if (target == nullptr) return false;
    std::lock_guard lock(target->mutex);
    return target->routine != nullptr;
}

bool Host::enabled(int slot) const {
    Slot* target = slot_at(slot);
    if (target == nullptr) return false;
    std::lock_guard lock(target->mutex);
    return target->enabled;
}

bool Host::line_pending(int slot) const {
    Slot* target = slot_at(slot);
    return target != nullptr && target->ram.line_raised();
}

void Host::report_module_name(int slot, std::optional<std::string> name) {
    Slot* target = slot_at(slot);
    if (target == nullptr) return;
    std::lock_guard lock(target->mutex);
    target->reported_name = std::move(name);
}

bool Host::replace_module(int slot, std::string type) {
    // An interrupt thread cannot join itself.
    if (on_interrupt_thread()) return false;
    Slot* target = slot_at(slot);
    if (target == nullptr) return false;
    std::lock_guard replace(replace_mutex_);
    {
        std::lock_guard lock(target->mutex);
        if (target->routine != nullptr) return false;
    }
    remove_module(*target);
    // Another module brings its own flash: a missing file is a module fresh from the factory.
    if (const std::optional<std::filesystem::path> file = flash_file(slot)) {
        std::error_code ignored;
        std::filesystem::remove(*file, ignored);
    }
    if (!type.empty()) insert_module(*target, slot, std::move(type));
    return true;
}

Host& host() {
    static Host* const instance = new Host(config_from_environment(std::cerr));
    return *instance;
}

}  // namespace k5320::backplane
