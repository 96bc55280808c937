// The user interrupt routine of a slot: the values the library does not consume itself are handed
// to an application routine that runs on a thread of its own.
#pragma once

#include <cstdint>
#include <memory>

namespace k5320::platform {
class NamedEvent;
class Thread;
}  // namespace k5320::platform

namespace k5320::driver::irq {

// With the slot lock held: if a routine is installed, records the type and returns the event to
// signal once the lock has been released; otherwise returns null and the value is dropped.
std::shared_ptr<platform::NamedEvent> note_user_interrupt(uint8_t slot, uint8_t type);

// The thread and event taken out of a slot's tables under the slot lock. They are ended after
// the lock has been released: the routine may be waiting for that lock inside a library call.
class RetiredUserInterrupt {
  public:
    RetiredUserInterrupt();
    RetiredUserInterrupt(std::unique_ptr<platform::Thread> thread,
                         std::shared_ptr<platform::NamedEvent> event);
    RetiredUserInterrupt(RetiredUserInterrupt&&) noexcept;
    RetiredUserInterrupt& operator=(RetiredUserInterrupt&&) noexcept;
    ~RetiredUserInterrupt();  // joins the thread unless it is the calling thread

  private:
    std::unique_ptr<platform::Thread> thread_;
    std::shared_ptr<platform::NamedEvent> event_;
};

// With the slot lock held: clears the routine and takes the thread and event out of the tables;
// the old thread calls the routine no more once the result has been destroyed.
RetiredUserInterrupt retire_user_interrupt(uint8_t slot);

// Removes the slot's named event when nobody holds it any longer: an owner that died with a user
// routine installed leaves it behind. Called by the slot's new owner.
void remove_abandoned_event(uint8_t slot);

// The same, keeping the routine: the interrupt recovery replaces the thread and event only.
RetiredUserInterrupt retire_user_thread(uint8_t slot);

// With the slot lock held: creates a new event and thread for an installed routine (the
// interrupt recovery replaces both). False when either could not be created.
bool renew_user_interrupt(uint8_t slot);

bool user_routine_installed(uint8_t slot);

}  // namespace k5320::driver::irq
