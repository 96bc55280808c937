// A record of every SDK call, in order, for tests that check what a caller did at port level.
#pragma once

#include <atomic>
#include <iosfwd>
#include <mutex>
#include <vector>

namespace k5320::backplane {

enum class CallKind {
    kSlotOut,
    kSlotIn,
    kControllerOut,
    kControllerIn,
    kGetModuleName,
    kRegister,
    kUnregister,
    kEnable,  // value: on
    kInterruptDone,
    kSetTriggerType,  // value: type
    kSetPriority,     // value: priority
};

struct TraceEntry {
    CallKind kind;
    int slot = 0;                      // 0 for controller ports
    int port = 0;                      // 0 where the call has none
    int value = 0;                     // written value, or the value read for inputs
    bool on_interrupt_thread = false;  // made on one of the backplane's interrupt threads

    bool operator==(const TraceEntry&) const = default;
};

std::ostream& operator<<(std::ostream& out, CallKind kind);
std::ostream& operator<<(std::ostream& out, const TraceEntry& entry);

class Trace {
  public:
    void start() { recording_.store(true, std::memory_order_relaxed); }
    void stop() { recording_.store(false, std::memory_order_relaxed); }
    bool recording() const { return recording_.load(std::memory_order_relaxed); }
    void clear();
    std::vector<TraceEntry> snapshot() const;

    // Costs one relaxed load while stopped.
    void record(CallKind kind, int slot, int port, int value) {
        if (recording()) append(kind, slot, port, value);
    }

  private:
    void append(CallKind kind, int slot, int port, int value);

    std::atomic<bool> recording_{false};
    mutable std::mutex mutex_;
    std::vector<TraceEntry> entries_;
};

// Marks the calling thread as a backplane interrupt thread for the trace.
void mark_interrupt_thread();
bool on_interrupt_thread();

// Marks the calling thread as one for the scope: a routine run on the thread that waited for it
// counts as run by the interrupt thread.
class InterruptThreadScope {
  public:
    InterruptThreadScope();
    ~InterruptThreadScope();
    InterruptThreadScope(const InterruptThreadScope&) = delete;
    InterruptThreadScope& operator=(const InterruptThreadScope&) = delete;

  private:
    bool was_marked_;
};

}  // namespace k5320::backplane
