// A named auto-reset event that other processes of the same user open by its name, with the
// create-or-open behaviour of a CE named event.
//
// The state lives in a POSIX shared-memory object "/k5320-event-<euid>-<name>" and is woken
// through futexes, so a process that dies while waiting or signalling leaves nothing locked.
// The object is created with mode 0600; an existing object owned by another user or open to
// group or others is refused, so nobody else can pre-create the name to hijack or block it.
//
// Lifetime: every handle holds a read lock on the object (an open-file-description lock, which
// the kernel drops when the handle's process ends, however it ends); the close that finds no
// other handle's lock removes the name, so nothing stays in /dev/shm. An object whose holders
// all died is taken over as a fresh event by the next open, and removed by the next close or by
// remove_if_unused. Residual: a waiter that dies while blocked keeps counting as a waiter while
// other handles stay open, so later signals may no longer collapse into one. That neither blocks
// nor misleads a live user of the event.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/futex.h"

namespace k5320::platform {

class NamedEvent {
  public:
    // Creates the event (non-signalled) or opens the existing one of that name. nullptr on failure
    // with errno set: EINVAL for an empty name or one containing '/' or NUL, ENAMETOOLONG, EACCES
    // for an object that belongs to another user or is open to others, or the system call's own.
    static std::unique_ptr<NamedEvent> open(std::string_view name);

    // Removes the event's object when no handle of it is open anywhere (its holders died without
    // removing it); leaves it when one is, or when it is not this user's private object.
    static void remove_if_unused(std::string_view name);

    // The shared-memory object name that backs the event of that name for the calling user.
    static std::string object_name(std::string_view name);

    // Tests only, before the first open: events of this process live in a namespace of their
    // own, so test processes that run side by side never share an event.
    static void use_namespace_for_test(const std::string& space);

    ~NamedEvent();
    NamedEvent(const NamedEvent&) = delete;
    NamedEvent& operator=(const NamedEvent&) = delete;

    // Releases one waiting thread; with nobody waiting the event stays signalled until one wait
    // consumes it. Signals beyond that collapse into the one pending.
    void set();

    // Clears a pending signal. Waiters that an earlier set() already released stay released.
    void reset();

    // Waits until a signal can be consumed, for at most timeout_ms (kWaitForever: no limit,
    // 0: just test). true when a signal was consumed, false on time-out.
    bool wait(uint32_t timeout_ms);

    // Tests only: threads of all processes currently blocked in wait().
    uint32_t waiter_count_for_test() const;

  private:
    struct SharedState;
    NamedEvent(int fd, SharedState* shared, std::string object);

    int fd_;  // kept open: its lock serialises opening against the last close
    SharedState* shared_;
    std::string object_name_;
};

}  // namespace k5320::platform
