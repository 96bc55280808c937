// Per-process state the library keeps for each slot: the slot record, the slot lock and the
// checks every exported function runs before it touches a module.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "platform/critical_section.h"
#include "platform/event_count.h"

namespace k5320::driver {

inline constexpr uint8_t kFirstSlot = 1;
inline constexpr uint8_t kLastSlot = 7;
inline constexpr int kSlotTableSize = 8;  // indexed by slot number; entry 0 never used

// The sixteen fields of the slot record, in their documented order.
enum class Field : uint8_t {
    Initialized,
    Configured,
    DownloadMode,
    RxReadIndex,
    RxPending,
    RxAnswer,
    TxAnswer,
    PingAnswer,
    CyclicAnswer,
    CmdAnswer,
    LoaderAnswer,
    BufferStatus,
    RxBankBase,
    CmdArrived,
    CmdSentTick,
    CmdPending,
};
inline constexpr int kSlotRecordFields = static_cast<int>(Field::CmdPending) + 1;

// Bits of BufferStatus.
inline constexpr uint32_t kBufferRxOverflow = 0x10;
inline constexpr uint32_t kBufferTxRefused = 0x20;

// Answer fields are written by the interrupt service while callers poll them without the lock,
// so every field is an untorn 32-bit atomic.
class SlotRecord {
  public:
    uint32_t get(Field f) const { return fields_[index(f)].load(std::memory_order_acquire); }
    void set(Field f, uint32_t v) { fields_[index(f)].store(v, std::memory_order_release); }
    void set_bits(Field f, uint32_t bits) {
        fields_[index(f)].fetch_or(bits, std::memory_order_acq_rel);
    }
    void clear_bits(Field f, uint32_t bits) {
        fields_[index(f)].fetch_and(~bits, std::memory_order_acq_rel);
    }
    // All sixteen fields to 0, then Initialized to 1: the start state after detection or reset.
    void reset_initialized() {
        for (auto& f : fields_) f.store(0, std::memory_order_relaxed);
        set(Field::Initialized, 1);
    }

  private:
    static constexpr int index(Field f) { return static_cast<int>(f); }
    std::atomic<uint32_t> fields_[kSlotRecordFields]{};
};

// A prompt answer comes within this on a free core: the interrupt service files it tens of
// microseconds after the command.
inline constexpr std::chrono::microseconds kAnswerSpin{30};

struct SlotContext {
    SlotRecord record;
    // The slot lock. "Creating" and "deleting" it only toggles lock_exists: the object itself
    // lives as long as the process, so a thread that still waits on it after a release never
    // touches freed memory.
    platform::CriticalSection lock;
    std::atomic<bool> lock_exists{false};
    // Bumped by the interrupt service after each answer it files into the record.
    platform::EventCount answers_filed;
    // Whether a caller spins for its answer before it sleeps: only while answers come promptly.
    platform::AdaptiveSpin answer_spin{kAnswerSpin};
    // The answer byte as this process last read it from the module (guarded by the slot lock).
    // A byte that still holds it is no new answer: the interrupt recovery files only a new one.
    uint8_t last_answer_taken = 0;
    // Counts this process's registrations and releases of the slot interrupt (written under the
    // slot lock): a recovery begun under one registration never re-arms a later state.
    std::atomic<uint32_t> registration{0};
};

bool is_valid_slot(uint8_t slot);
SlotContext& slot_context(uint8_t slot);

// The common checks: 3 for a bad slot, 41 when the slot is not initialised in this process
// (also after a bare K5320_RemoveIrq, which deleted the slot lock). 0 when the call may go on.
int check_slot(uint8_t slot);
int check_initialized(uint8_t slot);
// ... and 40 when the CAN channel is not configured.
int check_configured(uint8_t slot);

// How long one poll of a caller waiting for its answer lasts. A sleeping poll lasts its sleep. A
// yielding poll has no length of its own: this is what a yield and a short look took, so a cycle of
// them ends for a silent module when it always did (four cycles and the recovery: about 1.1 s).
inline constexpr std::chrono::microseconds kYieldingPollLength{75};
constexpr std::chrono::microseconds poll_length(uint32_t poll_sleep_ms) {
    return poll_sleep_ms == 0 ? kYieldingPollLength : std::chrono::milliseconds(poll_sleep_ms);
}

// The longest a caller waiting for the line on its own thread goes without a look at what it waits
// for: an answer filed by another thread (the recovery) does not wake it.
inline constexpr std::chrono::microseconds kLineWaitSlice{1000};

// Waits for the slot's interrupt on this thread and runs the interrupt service here when it comes,
// saving the hop through the interrupt thread; returns early once an answer is filed after
// `answers_seen`. false when no service may run now: the caller waits for the interrupt thread.
bool await_interrupt_here(uint8_t slot, SlotContext& ctx, uint32_t answers_seen,
                          std::chrono::steady_clock::time_point deadline);

// Looks with `answered` at once and again each time the interrupt service files an answer,
// waiting in between, until it says yes or `deadline` has passed (a last look then). While the
// service may run, it runs on this thread; otherwise the caller spins first only while spins pay
// (see AdaptiveSpin), and else blocks and leaves the core to the threads that answer.
template <typename Look>
bool watch_answers(uint8_t slot, SlotContext& ctx, std::chrono::steady_clock::time_point deadline,
                   Look&& answered) {
    for (;;) {
        const uint32_t answers_seen = ctx.answers_filed.current();
        if (answered()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (await_interrupt_here(slot, ctx, answers_seen, deadline)) continue;
        if (!ctx.answers_filed.spin_past(answers_seen, ctx.answer_spin))
            ctx.answers_filed.wait_past(answers_seen, deadline);
    }
}

// Holds the slot lock for a scope.
class SlotLock {
  public:
    explicit SlotLock(uint8_t slot) : lock_(slot_context(slot).lock) { lock_.enter(); }
    ~SlotLock() { lock_.leave(); }
    SlotLock(const SlotLock&) = delete;
    SlotLock& operator=(const SlotLock&) = delete;

  private:
    platform::CriticalSection& lock_;
};

}  // namespace k5320::driver
