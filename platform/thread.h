// A thread with a CE-style priority and a cooperative stop: it is never killed, its body sees a
// stop request through its std::stop_token and returns. A body that blocks on something else
// (an event, a futex) must be woken by whoever requests the stop, e.g. from a std::stop_callback.
#pragma once

#include <functional>
#include <latch>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

namespace k5320::platform {

class Thread {
  public:
    // Starts body at once. nullptr (errno set) when the system cannot create the thread or the
    // body is empty.
    static std::unique_ptr<Thread> start(std::function<void(std::stop_token)> body);

    // Requests a stop and joins; from the thread itself it detaches instead, since a thread
    // cannot wait for its own end.
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // CE priorities run from 0 (highest) to 255; 0..247 are real-time levels and map linearly onto
    // SCHED_FIFO 98..1: fifo = 98 - ce * 97 / 247, so CE 85 becomes FIFO 65 (99 stays free for the
    // kernel's watchdog threads). 248..255 are ordinary levels: the default policy.
    // false (errno set) when the priority is out of range or the process may not use a real-time
    // policy; the thread then keeps the policy it had.
    bool set_ce_priority(int ce_priority);
    // See set_thread_name.
    void set_name(std::string_view name);

    void request_stop() { thread_.request_stop(); }

    // Waits for the body to return; no-op when already joined. Called from the thread itself it
    // would wait forever, so that aborts the process with a message instead.
    void join();

    // true when called on this thread.
    bool is_current() const { return std::this_thread::get_id() == id_; }

  private:
    Thread() = default;

    // Holds the new thread back until thread_ and id_ are stored, so its body may use them.
    std::latch started_{1};
    std::jthread thread_;
    std::thread::id id_;
};

// The same for any thread (std::thread::native_handle()).
bool set_thread_ce_priority(std::thread::native_handle_type thread, int ce_priority);

// Names the thread for ps -L, top -H and debuggers; the kernel keeps the first 15 characters.
void set_thread_name(std::thread::native_handle_type thread, std::string_view name);

// Threads that stand in for hardware (a module's processor, the backplane's interrupt
// delivery) run above every driver thread, as interrupts preempt the host's threads.
inline constexpr int kHardwareCePriority = 20;

// Timed waits of the calling thread end when they are due, not up to the default 50 us later
// that lets the kernel merge timers: for a thread that keeps a bus's bit time. Needs no
// privilege; a thread of a real-time policy has no such slack anyway.
void use_precise_timers();

}  // namespace k5320::platform
