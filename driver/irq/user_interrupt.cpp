#include "driver/irq/user_interrupt.h"

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <string>

#include "driver/frame/slot_state.h"
#include "k5320.h"
#include "platform/named_event.h"
#include "platform/thread.h"

namespace k5320::driver::irq {
namespace {

constexpr int kUserThreadCePriority = 85;
// The event is named, so another process may open it and consume a signal, the stop's wake-up
// included: the thread re-checks its stop at least this often.
constexpr uint32_t kStopCheckIntervalMs = 100;
constexpr const char* kUserEventPrefix = "USER_IST_SLOT_";

struct UserSlot {
    std::atomic<K5320UserRoutine> routine{nullptr};
    std::atomic<uint32_t> intt_type{0};
    // Guarded by the slot lock.
    std::shared_ptr<platform::NamedEvent> event;
    std::unique_ptr<platform::Thread> thread;
    // Held while the routine runs, so replacing or removing the routine waits for a call in
    // progress. Always taken before the slot lock, never while holding it.
    std::recursive_mutex dispatch;
};

UserSlot& user_slot(uint8_t slot) {
    static UserSlot* const slots = new UserSlot[kSlotTableSize];
    return slots[slot % kSlotTableSize];
}

// A child after fork() has none of its parent's user threads, and the events stay the parent's:
// the child drops both without ending, resetting or removing anything.
void forget_parents_user_interrupts() {
    for (uint8_t slot = 0; slot < kSlotTableSize; ++slot) {
        UserSlot& us = user_slot(slot);
        us.routine.store(nullptr);
        static_cast<void>(us.thread.release());
        static_cast<void>(new std::shared_ptr<platform::NamedEvent>(std::move(us.event)));
        std::construct_at(&us.dispatch);
    }
}

[[maybe_unused]] const int g_fork_handler =
    pthread_atfork(nullptr, nullptr, forget_parents_user_interrupts);

std::string event_name(uint8_t slot) {
    return kUserEventPrefix + std::to_string(slot);
}

void run_user_thread(uint8_t slot, const std::shared_ptr<platform::NamedEvent>& event,
                     const std::stop_token& stop) {
    UserSlot& us = user_slot(slot);
    while (!stop.stop_requested()) {
        if (!event->wait(kStopCheckIntervalMs)) continue;
        std::lock_guard dispatch(us.dispatch);
        // Checked under the dispatch lock: once removal has joined or taken this lock, no
        // further call starts.
        if (stop.stop_requested()) break;
        if (K5320UserRoutine routine = us.routine.load()) routine();
    }
}

bool create_event(uint8_t slot) {
    UserSlot& us = user_slot(slot);
    if (us.event) return true;
    std::unique_ptr<platform::NamedEvent> event = platform::NamedEvent::open(event_name(slot));
    if (!event) return false;
    us.event = std::move(event);
    return true;
}

bool create_thread(uint8_t slot) {
    UserSlot& us = user_slot(slot);
    if (us.thread) return true;
    std::shared_ptr<platform::NamedEvent> event = us.event;
    us.thread = platform::Thread::start(
        [slot, event](std::stop_token stop) { run_user_thread(slot, event, stop); });
    if (!us.thread) return false;
    us.thread->set_ce_priority(kUserThreadCePriority);
    us.thread->set_name("slot " + std::to_string(slot) + " user");
    return true;
}

bool on_user_thread(uint8_t slot) {
    const UserSlot& us = user_slot(slot);
    return us.thread && us.thread->is_current();
}

}  // namespace

std::shared_ptr<platform::NamedEvent> note_user_interrupt(uint8_t slot, uint8_t type) {
    UserSlot& us = user_slot(slot);
    if (us.routine.load() == nullptr || !us.event) return nullptr;
    us.intt_type.store(type);
    return us.event;
}

RetiredUserInterrupt::RetiredUserInterrupt(std::unique_ptr<platform::Thread> thread,
                                           std::shared_ptr<platform::NamedEvent> event)
    : thread_(std::move(thread)), event_(std::move(event)) {
    if (thread_) thread_->request_stop();
    if (event_) event_->set();  // wakes the thread so that it sees the stop
}

RetiredUserInterrupt::RetiredUserInterrupt() = default;
RetiredUserInterrupt::RetiredUserInterrupt(RetiredUserInterrupt&&) noexcept = default;
RetiredUserInterrupt& RetiredUserInterrupt::operator=(RetiredUserInterrupt&&) noexcept = default;

RetiredUserInterrupt::~RetiredUserInterrupt() {
    // A routine that removes its own slot's routine runs on the thread being retired: that
    // thread ends by itself when the routine returns.
    if (thread_ && !thread_->is_current()) thread_->join();
    thread_.reset();
    // A named event can outlive this handle in another process; leave no stale signal in it.
    if (event_) event_->reset();
}

RetiredUserInterrupt retire_user_thread(uint8_t slot) {
    UserSlot& us = user_slot(slot);
    return RetiredUserInterrupt(std::move(us.thread), std::move(us.event));
}

RetiredUserInterrupt retire_user_interrupt(uint8_t slot) {
    user_slot(slot).routine.store(nullptr);
    return retire_user_thread(slot);
}

bool renew_user_interrupt(uint8_t slot) {
    UserSlot& us = user_slot(slot);
    if (!create_event(slot)) return false;
    if (!create_thread(slot)) {
        us.event->reset();
        us.event.reset();
        return false;
    }
    return true;
}

bool user_routine_installed(uint8_t slot) {
    return user_slot(slot).routine.load() != nullptr;
}

void remove_abandoned_event(uint8_t slot) {
    platform::NamedEvent::remove_if_unused(event_name(slot));
}

}  // namespace k5320::driver::irq

using namespace k5320::driver;

extern "C" {

K5320_API int K5320_InstallUserISR(uint8_t slot, K5320UserRoutine routine) {
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    irq::UserSlot& us = irq::user_slot(slot);
    // Replacing a routine waits for a call of the old one in progress (unless this is that call).
    std::unique_lock<std::recursive_mutex> dispatch(us.dispatch, std::defer_lock);
    if (!irq::on_user_thread(slot)) dispatch.lock();
    SlotLock lock(slot);
    if (!irq::renew_user_interrupt(slot)) return K5320_ERR_REFUSED;
    us.routine.store(routine);
    return K5320_SUCCESS;
}

K5320_API int K5320_RemoveUserISR(uint8_t slot) {
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    irq::RetiredUserInterrupt retired;
    {
        SlotLock lock(slot);
        retired = irq::retire_user_interrupt(slot);
    }
    return K5320_SUCCESS;
}

K5320_API int K5320_ReadUserInttType(uint8_t slot, uint8_t* type) {
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    SlotLock lock(slot);
    *type = static_cast<uint8_t>(irq::user_slot(slot).intt_type.load() & 0xFF);
    return K5320_SUCCESS;
}

}  // extern "C"
