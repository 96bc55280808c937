#include "driver/frame/slot_state.h"

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
