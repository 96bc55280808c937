#include "driver/frame/slot_state.h"

#include <pthread.h>

#include <algorithm>
#include <memory>

#include "driver/sdk/tarn_sdk.h"
#include "k5320_result.h"

namespace k5320::driver {

bool is_valid_slot(uint8_t slot) {
    return slot >= kFirstSlot && slot <= kLastSlot;
}

SlotContext& slot_context(uint8_t slot) {
    // Never destroyed: the library's unload code runs after static destructors may have run.
    static SlotContext* const contexts = new SlotContext[kSlotTableSize];
    return contexts[slot % kSlotTableSize];
}

namespace {

// A child after fork() inherits its parent's slot records but not its slots: the registrations
// are the parent's, so every call of the child gives 41 until it initialises a slot of its own.
void forget_parents_slots() {
    for (uint8_t slot = 0; slot < kSlotTableSize; ++slot) {
        SlotContext& ctx = slot_context(slot);
        ctx.lock_exists.store(false);
        ctx.registration.fetch_add(1);
        // The child's only thread is this one: a lock another parent thread held is free again.
        std::construct_at(&ctx.lock);
    }
}

[[maybe_unused]] const int g_fork_handler = pthread_atfork(nullptr, nullptr, forget_parents_slots);

}  // namespace

int check_slot(uint8_t slot) {
    return is_valid_slot(slot) ? K5320_SUCCESS : K5320_ERR_BAD_SLOT;
}

int check_initialized(uint8_t slot) {
    if (!is_valid_slot(slot)) return K5320_ERR_BAD_SLOT;
    const SlotContext& ctx = slot_context(slot);
    if (ctx.record.get(Field::Initialized) == 0 || !ctx.lock_exists.load(std::memory_order_acquire))
        return K5320_ERR_NOT_INITIALIZED;
    return K5320_SUCCESS;
}

int check_configured(uint8_t slot) {
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    if (slot_context(slot).record.get(Field::Configured) == 0) return K5320_ERR_NOT_CONFIGURED;
    return K5320_SUCCESS;
}

bool await_interrupt_here(uint8_t slot, SlotContext& ctx, uint32_t answers_seen,
                          std::chrono::steady_clock::time_point deadline) {
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(unsigned) &&
                      std::atomic<uint32_t>::is_always_lock_free,
                  "the SDK reads the count as a plain word");
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline - std::chrono::steady_clock::now());
    const auto slice = std::clamp(left, std::chrono::microseconds{1}, kLineWaitSlice);
    const auto* count = reinterpret_cast<const unsigned*>(&ctx.answers_filed.counter());
    return trn_AwaitSlotInterrupt(slot, static_cast<int>(slice.count()), count, answers_seen) >= 0;
}

}  // namespace k5320::driver
