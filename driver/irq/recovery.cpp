#include "driver/irq/recovery.h"

#include <chrono>

#include "driver/dpram/dpram_io.h"
#include "driver/frame/slot_state.h"
#include "driver/irq/arming.h"
#include "driver/irq/interrupt_service.h"
#include "driver/irq/user_interrupt.h"
#include "driver/sdk/tarn_sdk.h"
#include "k5320.h"
#include "k5320/commands.h"
#include "platform/named_event.h"

namespace k5320::driver::irq {
namespace {

constexpr uint32_t kModeQueryPolls = 3000;

bool mode_answered(uint32_t v) {
    return v == answer::kProgramMode || v == answer::kLoaderMode;
}

// Whether the slot is still registered as it was when the recovery began; checked under the slot
// lock. A recovery that outlives K5320_RemoveIrq must not arm a slot this process gave up.
bool still_registered(const SlotContext& ctx, uint32_t registration) {
    return ctx.lock_exists.load() && ctx.registration.load() == registration;
}

}  // namespace

int recover(uint8_t slot) {
    SlotContext& ctx = slot_context(slot);
    const uint32_t registration = ctx.registration.load();
    const bool has_routine = user_routine_installed(slot);
    {
        // The old user thread is ended outside the slot lock: its routine may be waiting for it.
        RetiredUserInterrupt old_thread;
        if (has_routine) {
            SlotLock lock(slot);
            if (!still_registered(ctx, registration)) return K5320_ERR_NO_ANSWER;
            old_thread = retire_user_thread(slot);
        }
    }

    // The answer byte still holding the answer taken last means the command was never answered
    // (or its answer repeated the one before and its interrupt was lost: the one case that ends
    // in 23 although the module answered). Only a new value is an answer that lost its interrupt.
    uint8_t pending;
    bool pending_is_new;
    {
        SlotLock lock(slot);
        if (!still_registered(ctx, registration)) return K5320_ERR_NO_ANSWER;
        const uint8_t previous = ctx.last_answer_taken;
        pending = take_answer(slot);
        pending_is_new = pending != previous;
        trn_EnableSlotInterrupt(slot, 0);
        trn_InterruptDone(slot);
        trn_UnregisterSlotInterrupt(slot);
        if (has_routine && !renew_user_interrupt(slot)) return K5320_ERR_NO_ANSWER;
        // The slot stays owned by this process throughout: giving it up between unregistering
        // and re-arming would let another process take it.
        program_interrupt_registers(slot);
        register_service(slot);
        trn_EnableSlotInterrupt(slot, 1);
        ctx.record.set(Field::PingAnswer, 0);
        dpram_io::ring_doorbell(slot, cmd::kModeQuery);
    }

    const auto deadline = std::chrono::steady_clock::now() + kModeQueryPolls * kYieldingPollLength;
    const bool answered = watch_answers(
        slot, ctx, deadline, [&] { return mode_answered(ctx.record.get(Field::PingAnswer)); });
    if (!answered) return K5320_ERR_NO_ANSWER;
    if (!pending_is_new) return K5320_SUCCESS;

    std::shared_ptr<platform::NamedEvent> user_event;
    {
        SlotLock lock(slot);
        if (!still_registered(ctx, registration)) return K5320_ERR_NO_ANSWER;
        user_event = file_answer(slot, pending);
    }
    ctx.answers_filed.post();
    if (user_event) user_event->set();
    return K5320_SUCCESS;
}

}  // namespace k5320::driver::irq
