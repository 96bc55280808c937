// A recursive lock with the interface of a CE critical section. It also satisfies
// BasicLockable and Lockable, so std::lock_guard and std::unique_lock work with it.
#pragma once

#include <mutex>

namespace k5320::platform {

class CriticalSection {
  public:
    CriticalSection() = default;
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    // The owning thread may enter again; it must leave as often as it entered.
    void enter() { mutex_.lock(); }
    void leave() { mutex_.unlock(); }
    [[nodiscard]] bool try_enter() { return mutex_.try_lock(); }

    void lock() { enter(); }
    void unlock() { leave(); }
    [[nodiscard]] bool try_lock() { return try_enter(); }

  private:
    std::recursive_mutex mutex_;
};

}  // namespace k5320::platform
