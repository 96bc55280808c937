// K5320_RemoveIrq: withdraws this process's interrupt registration of a slot and everything
// that hangs on it.
#include "driver/frame/slot_ownership.h"
#include "driver/frame/slot_state.h"
#include "driver/irq/interrupt_service.h"
#include "driver/irq/user_interrupt.h"
#include "driver/sdk/tarn_sdk.h"
#include "k5320.h"

using namespace k5320::driver;

extern "C" K5320_API int K5320_RemoveIrq(uint8_t slot) {
    if (int rc = check_slot(slot); rc != K5320_SUCCESS) return rc;
    // Only a registration this process made is withdrawn: without a slot lock of its own the
    // process never initialised the slot, and another process's registration stays intact
    // (nor is the shared table touched, so unloading an unused library leaves no trace).
    SlotContext& ctx = slot_context(slot);
    if (!ctx.lock_exists.load()) return K5320_SUCCESS;
    if (ownership::owner_of(slot) == ownership::Owner::kOtherProcess) return K5320_SUCCESS;

    irq::RetiredUserInterrupt retired;
    {
        SlotLock lock(slot);
        trn_EnableSlotInterrupt(slot, 0);
        irq::take_answer(slot);
        trn_InterruptDone(slot);
        trn_UnregisterSlotInterrupt(slot);
        retired = irq::retire_user_interrupt(slot);
        ctx.lock_exists.store(false);
        ctx.registration.fetch_add(1);
    }
    ownership::release(slot);
    return K5320_SUCCESS;
}
