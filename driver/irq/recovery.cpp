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
#include "platform/clock.h"
#include "platform/named_event.h"

namespace k5320::driver::irq {
namespace {

constexpr uint32_t kModeQueryPolls = 3000;

bool mode_answered(uint32_t v) {
    return v == answer::kProgramMode || v == answer::kLoaderMode;
}

}  // namespace

int recover(uint8_t slot) {
    SlotContext& ctx = slot_context(slot);
    const bool has_routine = user_routine_installed(slot);
    {
        // The old user thread is ended outside the slot lock: its routine may be waiting for it.
        RetiredUserInterrupt old_thread;
        if (has_routine) {
            SlotLock lock(slot);
            old_thread = retire_user_thread(slot);
        }
    }

    uint8_t pending;
    {
        SlotLock lock(slot);
        pending = dpram_io::read_answer(slot);
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

    bool answered = false;
    const auto since = std::chrono::steady_clock::now();
    for (uint32_t poll = 0; poll < kModeQueryPolls && !answered; ++poll) {
        const uint32_t answers_seen = ctx.answers_filed.current();
        answered = mode_answered(ctx.record.get(Field::PingAnswer));
        if (!answered) give_way_to_answers(ctx, answers_seen, since);
    }
    if (!answered) return K5320_ERR_NO_ANSWER;

    std::shared_ptr<platform::NamedEvent> user_event;
    {
        SlotLock lock(slot);
        user_event = file_answer(slot, pending);
    }
    ctx.answers_filed.post();
    if (user_event) user_event->set();
    return K5320_SUCCESS;
}

}  // namespace k5320::driver::irq
