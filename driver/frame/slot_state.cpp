#include "driver/frame/slot_state.h"

#include "k5320_result.h"
#include "platform/clock.h"

namespace k5320::driver {

bool is_valid_slot(uint8_t slot) {
    return slot >= kFirstSlot && slot <= kLastSlot;
}

SlotContext& slot_context(uint8_t slot) {
    // Never destroyed: the library's unload code runs after static destructors may have run.
    static SlotContext* const contexts = new SlotContext[kSlotTableSize];
    return contexts[slot % kSlotTableSize];
}

void give_way_to_answers(SlotContext& ctx, uint32_t answers_seen,
                         std::chrono::steady_clock::time_point polling_since) {
    // A prompt answer comes within tens of microseconds: spinning that long keeps the round trip
    // free of a kernel wake-up. The sleep is short so that a silent module still ends a cycle of
    // polls in a fraction of a second.
    constexpr auto kYieldingPhase = std::chrono::microseconds(50);
    constexpr auto kLongestSleep = std::chrono::microseconds(20);
    const auto now = std::chrono::steady_clock::now();
    if (now - polling_since < kYieldingPhase) {
        platform::sleep_ms(0);
        return;
    }
    ctx.answers_filed.wait_past(answers_seen, now + kLongestSleep);
}

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

}  // namespace k5320::driver
