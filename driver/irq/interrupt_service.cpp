#include "driver/irq/interrupt_service.h"

#include <utility>

#include "driver/dpram/dpram_io.h"
#include "driver/frame/slot_state.h"
#include "driver/irq/answer_class.h"
#include "driver/irq/user_interrupt.h"
#include "platform/named_event.h"

namespace k5320::driver::irq {

uint8_t take_answer(uint8_t slot) {
    const uint8_t value = dpram_io::read_answer(slot);
    slot_context(slot).last_answer_taken = value;
    return value;
}

std::shared_ptr<platform::NamedEvent> file_answer(uint8_t slot, uint8_t value) {
    SlotRecord& record = slot_context(slot).record;
    const AnswerClass cls = kAnswerClasses[value];
    switch (cls) {
        case AnswerClass::kTxRefused:
            record.set_bits(Field::BufferStatus, kBufferTxRefused);
            record.set(Field::TxAnswer, value);
            return nullptr;
        case AnswerClass::kCmdArrived:
            record.set(Field::CmdArrived, 1);
            return note_user_interrupt(slot, kUserTypeCommandRecord);
        case AnswerClass::kUser:
            return note_user_interrupt(slot, value);
        default:
            record.set(*answer_field(cls), value);
            return nullptr;
    }
}

namespace {

int service(uint8_t slot) {
    std::shared_ptr<platform::NamedEvent> user_event;
    {
        SlotLock lock(slot);
        user_event = file_answer(slot, take_answer(slot));
    }
    slot_context(slot).answers_filed.post();
    // After the lock: the user routine must not start while the service holds it.
    if (user_event) user_event->set();
    return 0;
}

template <uint8_t Slot>
int service_slot() {
    return service(Slot);
}

template <std::size_t... Slots>
constexpr std::array<TrnSlotInterruptRoutine, sizeof...(Slots)> make_routines(
    std::index_sequence<Slots...>) {
    return {&service_slot<static_cast<uint8_t>(Slots)>...};
}

constexpr auto kRoutines = make_routines(std::make_index_sequence<kSlotTableSize>{});

}  // namespace

TrnSlotInterruptRoutine service_routine(uint8_t slot) {
    return kRoutines[slot % kSlotTableSize];
}

}  // namespace k5320::driver::irq
