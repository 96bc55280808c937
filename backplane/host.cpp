#include "backplane/host.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "k5320/dpram_map.h"
#include "platform/adaptive_spin.h"
#include "platform/thread.h"

namespace k5320::backplane {

namespace {
constexpr uint8_t kPageMask = dpram::kSize / dpram::kPageSize - 1;
// The next answer of a burst often follows within microseconds of a routine.
constexpr std::chrono::microseconds kSpinForNextRaise{30};
// A prompt answer raises the line within this on a free core.
constexpr std::chrono::microseconds kSpinForAnswer{30};

}  // namespace

struct Host::Slot {
    explicit Slot(SharedSlot& memory) : shared(memory) {}
    SharedSlot& shared;

    mutable std::mutex mutex;  // guards everything below
    std::string type;
    std::optional<std::string> reported_name;  // a fault: the slot reports another name
    TrnSlotInterruptRoutine routine = nullptr;
    bool enabled = false;
    bool stop_delivery = false;
    std::thread interrupt_thread;  // started and joined only under thread_mutex
    platform::AdaptiveSpin next_raise_spin{kSpinForNextRaise};  // the interrupt thread's own
    std::mutex thread_mutex;
    std::mutex routine_mutex;  // held while a routine runs; taken before mutex
    platform::AdaptiveSpin caller_spin{kSpinForAnswer};  // shared by the callers that wait here
};

Host::Host(SharedBackplane& memory) : memory_(memory) {
    for (int number = kFirstSlot; number <= kLastSlot; ++number)
        slots_[number] = std::make_unique<Slot>(memory_.slots[number]);
}

Host::~Host() {
    stop_all_delivery();
}

void Host::stop_all_delivery() {
    for (int number = kFirstSlot; number <= kLastSlot; ++number) stop_delivery(*slots_[number]);
}

void Host::set_type(int slot, std::string type) {
    Slot& target = *slot_at(slot);
    std::lock_guard lock(target.mutex);
    target.type = std::move(type);
}

InProcessHost::InProcessHost(const Config& config)
    : Host(*own_memory), config_(config), rack_(std::make_unique<Rack>(config_, *own_memory)) {
    own_memory->set_problems(rack_->problems());
    own_memory->stamp(0);
    for (int number = kFirstSlot; number <= kLastSlot; ++number)
        set_type(number, rack_->type(number));
}

InProcessHost::~InProcessHost() {
    stop_all_delivery();
    taps_.clear();
    rack_.reset();
}

int InProcessHost::open_tap(std::string_view bus, uint32_t bit_rate, uint32_t* used_rate,
                            std::string* error) {
    const BusConfig* config = config_.bus(bus);
    can::Bus* target = rack_->bus(bus);
    if (config == nullptr || target == nullptr) {
        *error = "no bus '" + printable(bus) + "' on the backplane";
        return -1;
    }
    int fds[2];
    if (!make_tap_sockets(fds, error)) return -1;
    *used_rate = bit_rate != 0 ? bit_rate : config->bit_rate;
    taps_.remove(-1);  // drops the taps whose readers have gone
    taps_.add(*target, fds[0], fds[0], *used_rate);
    return fds[1];
}

int ServiceHost::open_tap(std::string_view bus, uint32_t bit_rate, uint32_t* used_rate,
                          std::string* error) {
    return link_->open_tap(bus, bit_rate, used_rate, error);
}

uint32_t Host::interrupt_holder(int slot) const {
    const Slot* target = slot_at(slot);
    return target == nullptr ? 0 : target->shared.interrupt_client.load(std::memory_order_relaxed);
}

ServiceHost::ServiceHost(SharedBackplane& memory, std::unique_ptr<ServiceLink> link, std::string id)
    : Host(memory), link_(std::move(link)), id_(std::move(id)) {
    for (int number = kFirstSlot; number <= kLastSlot; ++number) {
        const SharedSlot& shared = memory.slots[number];
        if (shared.populated.load(std::memory_order_acquire) == 0) continue;
        set_type(number,
                 std::string(shared.type.data(), strnlen(shared.type.data(), kMaxTypeLength)));
    }
}

ServiceHost::~ServiceHost() {
    stop_all_delivery();
}

void ServiceHost::disown_after_fork() {
    link_->disown();
}

void ServiceHost::interrupt_registered(int slot, bool registered) {
    link_->interrupt_registered(slot, registered);
}

std::optional<uint64_t> ServiceHost::inject(const FaultRequest& request) {
    return link_->inject(request);
}

std::string Host::problems() const {
    return memory_.problems_text();
}

std::vector<RemoteLinkReport> Host::remote_links() const {
    std::vector<RemoteLinkReport> reports;
    for (const SharedLink& link : memory_.links) {
        const std::size_t length = strnlen(link.name.data(), link.name.size());
        if (length == 0) break;
        const bridges::LinkStatus& status = link.status;
        reports.push_back(RemoteLinkReport{std::string(link.name.data(), length),
                                           bridges::link_state_name(status.state), status.to_remote,
                                           status.from_remote, status.dropped_to_remote,
                                           status.dropped_from_remote, status.connections});
    }
    return reports;
}

uint32_t Host::service_pid() const {
    return memory_.service_pid.load(std::memory_order_relaxed);
}

Host::Slot* Host::slot_at(int slot) const {
    if (slot < kFirstSlot || slot > kLastSlot) return nullptr;
    return slots_[slot].get();
}

void Host::start_delivery(int slot_number, Slot& slot) {
    std::lock_guard threads(slot.thread_mutex);
    if (slot.interrupt_thread.joinable()) return;
    {
        std::lock_guard lock(slot.mutex);
        slot.stop_delivery = false;
    }
    slot.interrupt_thread = std::thread([this, &slot] { deliver_interrupts(slot); });
    platform::set_thread_name(slot.interrupt_thread.native_handle(),
                              "slot " + std::to_string(slot_number) + " irq");
    // Interrupts preempt the host's threads, so an answer is filed even while callers spin.
    platform::set_thread_ce_priority(slot.interrupt_thread.native_handle(),
                                     platform::kHardwareCePriority);
}

void Host::stop_delivery(Slot& slot) {
    std::lock_guard threads(slot.thread_mutex);
    {
        std::lock_guard lock(slot.mutex);
        slot.stop_delivery = true;
    }
    slot.shared.ram.wake_line_side();
    if (slot.interrupt_thread.joinable()) slot.interrupt_thread.join();
}

Host::Delivery Host::deliver_pending(Slot& slot) {
    std::lock_guard running(slot.routine_mutex);
    TrnSlotInterruptRoutine routine = nullptr;
    {
        std::lock_guard lock(slot.mutex);
        if (slot.stop_delivery) return Delivery::kStopped;
        // The line is taken (cleared) only when it is delivered: a disabled or unregistered
        // slot keeps it pending. The call is decided under the lock, so none is decided
        // after unregister returns; one decided just before counts as under way.
        if (!slot.enabled || slot.routine == nullptr) return Delivery::kHeld;
        if (!slot.shared.ram.take_line()) return Delivery::kNone;
        routine = slot.routine;
    }
    const InterruptThreadScope as_interrupt;  // also when a waiting caller runs it
    routine();
    return Delivery::kRan;
}

void Host::deliver_interrupts(Slot& slot) {
    mark_interrupt_thread();
    emulator::DualPortRam& ram = slot.shared.ram;
    for (;;) {
        // Taken before looking, so a raise or a register/enable change after the look ends the
        // wait at once.
        const uint32_t wakeups = ram.line_wakeups.current();
        // A line that callers claim is theirs to deliver, also while this thread is awake; a
        // caller that leaves passes on a raise it did not take.
        if (ram.line_callers.load(std::memory_order_seq_cst) != 0) {
            {
                std::lock_guard lock(slot.mutex);
                if (slot.stop_delivery) return;
            }
            ram.line_wakeups.wait_past(wakeups);
            continue;
        }
        const Delivery delivery = deliver_pending(slot);
        if (delivery == Delivery::kStopped) return;
        if (delivery == Delivery::kRan) {
            // What a caller waits for may have been filed just now. Sequentially consistent, as
            // the caller's count and its look at what it waits for.
            if (ram.line_callers.load(std::memory_order_seq_cst) != 0) ram.wake_line_callers();
            // A look for the next raise before sleeping saves the wake-up through the kernel, but
            // only while such looks pay: on a busy core the spin would take the time of the very
            // thread that answers. A raise during the routine ends the wait at once.
            platform::spin_adaptively(slot.next_raise_spin, ram.line_latch, 0);
            continue;
        }
        ram.line_wakeups.wait_past(wakeups);
    }
}

int Host::await_interrupt(int slot_number, std::chrono::microseconds timeout,
                          const unsigned* event_count, unsigned seen) {
    Slot* slot = slot_at(slot_number);
    if (slot == nullptr) return kAwaitNotHere;
    emulator::DualPortRam& ram = slot->shared.ram;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    ram.line_callers.fetch_add(1, std::memory_order_seq_cst);
    int result = kAwaitNothing;
    for (bool waited = false;; waited = true) {
        const uint32_t wakeups = ram.caller_wakeups.current();
        if (__atomic_load_n(event_count, __ATOMIC_SEQ_CST) != seen) break;
        const Delivery delivery = deliver_pending(*slot);
        if (delivery == Delivery::kRan) {
            result = kAwaitRan;
            break;
        }
        if (delivery != Delivery::kNone) {
            result = kAwaitNotHere;
            break;
        }
        if (waited || std::chrono::steady_clock::now() >= deadline) break;
        if (!platform::spin_adaptively(slot->caller_spin, ram.line_latch, 0))
            ram.caller_wakeups.wait_past(wakeups, deadline);
    }
    leave_line_callers(ram);
    return result;
}

int Host::claim_interrupt(int slot_number, bool claim) {
    Slot* slot = slot_at(slot_number);
    if (slot == nullptr) return kCallIgnored;
    if (claim) {
        slot->shared.ram.line_callers.fetch_add(1, std::memory_order_seq_cst);
    } else {
        leave_line_callers(slot->shared.ram);
    }
    return kCallDone;
}

void Host::leave_line_callers(emulator::DualPortRam& ram) {
    // Never below zero: a registration resets the count a killed caller may have left behind.
    uint32_t callers = ram.line_callers.load(std::memory_order_relaxed);
    while (callers != 0 && !ram.line_callers.compare_exchange_weak(callers, callers - 1,
                                                                   std::memory_order_seq_cst)) {
    }
    // A raise seen by this caller alone, which it did not deliver, goes to the interrupt thread.
    if (ram.line_latch.load(std::memory_order_seq_cst) != 0) ram.wake_line_side();
}

int Host::slot_out(int slot, int port, int value) {
    Slot* target = slot_at(slot);
    int result = kCallIgnored;
    if (target != nullptr && target->shared.populated.load(std::memory_order_acquire) != 0) {
        const auto byte = static_cast<uint8_t>(value);
        if (port == dpram::kPortPageRegister) {
            target->shared.page.store(byte & kPageMask, std::memory_order_relaxed);
            result = kCallDone;
        } else if (dpram::is_window_port(port)) {
            target->shared.ram.host_write(
                dpram::window_address(target->shared.page.load(std::memory_order_relaxed), port),
                byte);
            result = kCallDone;
        }
    }
    trace_.record(CallKind::kSlotOut, slot, port, value);
    return result;
}

int Host::slot_in(int slot, int port) {
    Slot* target = slot_at(slot);
    int value = kFloatingBus;
    if (target != nullptr && target->shared.populated.load(std::memory_order_acquire) != 0) {
        if (port == dpram::kPortPageRegister) {
            value = target->shared.page.load(std::memory_order_relaxed);
        } else if (dpram::is_window_port(port)) {
            value = target->shared.ram.host_read(
                dpram::window_address(target->shared.page.load(std::memory_order_relaxed), port));
        }
    }
    trace_.record(CallKind::kSlotIn, slot, port, value);
    return value;
}

int Host::controller_out(int port, int value) {
    int result = kCallIgnored;
    if (port >= kControllerRegisterFirst && port <= kControllerRegisterLast) {
        memory_.controller_registers[port - kControllerRegisterFirst].store(
            static_cast<uint8_t>(value), std::memory_order_relaxed);
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
    return memory_.controller_registers[port - kControllerRegisterFirst].load(
        std::memory_order_relaxed);
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
    if (routine != nullptr) {
        // A caller killed while it waited for the line leaves its count behind; the new holder
        // starts without it, or raises would go to nobody.
        target->shared.ram.line_callers.store(0, std::memory_order_seq_cst);
        start_delivery(slot, *target);
        target->shared.interrupt_client.store(static_cast<uint32_t>(getpid()),
                                              std::memory_order_relaxed);
        interrupt_registered(slot, true);
    }
    target->shared.ram.wake_line_side();  // a pending line is delivered now, if enabled
    return kCallDone;
}

int Host::unregister_interrupt(int slot) {
    trace_.record(CallKind::kUnregister, slot, 0, 0);
    Slot* target = slot_at(slot);
    if (target == nullptr) return kCallIgnored;
    bool was_registered = false;
    {
        std::lock_guard lock(target->mutex);
        was_registered = target->routine != nullptr;
        target->routine = nullptr;
    }
    auto mine = static_cast<uint32_t>(getpid());
    target->shared.interrupt_client.compare_exchange_strong(mine, 0, std::memory_order_relaxed);
    if (was_registered) interrupt_registered(slot, false);
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
    target->shared.ram.wake_line_side();  // a pending line is delivered now, if registered
    return kCallDone;
}

int Host::interrupt_done(int slot) {
    trace_.record(CallKind::kInterruptDone, slot, 0, 0);
    Slot* target = slot_at(slot);
    if (target == nullptr) return kCallIgnored;
    target->shared.ram.clear_line();
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

emulator::Module* InProcessHost::module(int slot) {
    return rack_->module(slot);
}

std::optional<uint64_t> InProcessHost::inject(const FaultRequest& request) {
    return rack_->inject(request);
}

can::Bus* InProcessHost::bus(std::string_view name) {
    return rack_->bus(name);
}

can::DemoNode* InProcessHost::demo_node(std::string_view bus_name) {
    return rack_->demo_node(bus_name);
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
    return target != nullptr && target->shared.ram.line_raised();
}

void Host::report_module_name(int slot, std::optional<std::string> name) {
    Slot* target = slot_at(slot);
    if (target == nullptr) return;
    std::lock_guard lock(target->mutex);
    target->reported_name = std::move(name);
}

bool InProcessHost::replace_module(int slot, std::string type) {
    // An interrupt thread cannot join itself.
    if (on_interrupt_thread()) return false;
    Slot* target = slot_at(slot);
    if (target == nullptr) return false;
    std::lock_guard replace(replace_mutex_);
    {
        std::lock_guard lock(target->mutex);
        if (target->routine != nullptr) return false;
        target->type.clear();
        target->reported_name.reset();
    }
    stop_delivery(*target);
    rack_->replace_module(slot, type);
    set_type(slot, std::move(type));
    return true;
}

}  // namespace k5320::backplane
