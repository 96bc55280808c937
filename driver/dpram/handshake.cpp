#include "driver/dpram/handshake.h"

#include <chrono>

#include "driver/dpram/dpram_io.h"
#include "driver/irq/recovery.h"
#include "driver/sdk/tarn_sdk.h"
#include "k5320/commands.h"

namespace k5320::driver {
namespace {

bool is_success(const Handshake& h, uint32_t v) {
    return v >= h.success_low && v <= h.success_high;
}

const Refusal* find_refusal(const Handshake& h, uint32_t v) {
    for (const Refusal& r : h.refusals)
        if (r.answer == v) return &r;
    return nullptr;
}

// Looks at the field once: an outcome when it holds an answer that ends the wait.
bool decide(const Handshake& h, uint32_t v, HandshakeOutcome* outcome) {
    if (is_success(h, v)) {
        *outcome = {K5320_SUCCESS, v};
        return true;
    }
    if (const Refusal* r = find_refusal(h, v)) {
        *outcome = {r->result, v};
        return true;
    }
    return false;
}

// Looks at the awaited field(s) once.
bool look(const SlotRecord& record, const Handshake& h, HandshakeOutcome* outcome) {
    return decide(h, record.get(h.field), outcome) ||
           (h.second_field && decide(h, record.get(*h.second_field), outcome));
}

void clear_fields(SlotRecord& record, const Handshake& h) {
    record.set(h.field, 0);
    if (h.second_field) record.set(*h.second_field, 0);
}

// One cycle of polls, as long in time as its count of polls: the wait ends when an answer is
// filed, never sooner than the cycle for a module that stays silent.
bool poll_cycle(uint8_t slot, SlotContext& ctx, const Handshake& h, HandshakeOutcome* outcome) {
    const auto deadline =
        std::chrono::steady_clock::now() + h.polls_per_cycle * poll_length(h.poll_sleep_ms);
    return watch_answers(slot, ctx, deadline, [&] { return look(ctx.record, h, outcome); });
}

// This thread awaits the slot's next interrupts (see trn_ClaimSlotInterrupt) for the scope.
class InterruptClaim {
  public:
    explicit InterruptClaim(uint8_t slot) : slot_(slot) { trn_ClaimSlotInterrupt(slot_, 1); }
    ~InterruptClaim() { trn_ClaimSlotInterrupt(slot_, 0); }
    InterruptClaim(const InterruptClaim&) = delete;
    InterruptClaim& operator=(const InterruptClaim&) = delete;

  private:
    const uint8_t slot_;
};

}  // namespace

HandshakeOutcome await_answer(uint8_t slot, const Handshake& h) {
    SlotContext& ctx = slot_context(slot);
    SlotRecord& record = ctx.record;
    HandshakeOutcome outcome{h.no_answer_result, 0};
    for (uint32_t repeats_left = h.repeat_requests;; --repeats_left) {
        if (poll_cycle(slot, ctx, h, &outcome)) return outcome;
        if (repeats_left == 0) break;
        SlotLock lock(slot);
        // Released meanwhile (K5320_RemoveIrq on another thread): the module is no longer ours.
        if (!ctx.lock_exists.load()) return {K5320_ERR_NO_ANSWER, 0};
        clear_fields(record, h);
        dpram_io::ring_doorbell(slot, cmd::kRepeatRequest);
    }
    if (!h.recovery) return outcome;
    if (irq::recover(slot) != K5320_SUCCESS) return {K5320_ERR_NO_ANSWER, 0};
    if (look(record, h, &outcome)) return outcome;
    return {h.no_answer_result, 0};
}

HandshakeOutcome run_handshake(uint8_t slot, const Handshake& h,
                               const ParameterWriter& write_parameters) {
    const InterruptClaim claim(slot);  // before the command: its answer may come at once
    {
        SlotLock lock(slot);
        clear_fields(slot_context(slot).record, h);
        if (write_parameters) write_parameters();
        dpram_io::ring_doorbell(slot, h.command);
    }
    return await_answer(slot, h);
}

}  // namespace k5320::driver
