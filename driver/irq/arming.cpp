#include "driver/irq/arming.h"

#include "driver/irq/interrupt_service.h"
#include "driver/sdk/tarn_sdk.h"

namespace k5320::driver::irq {
namespace {

// Controller ports of the backplane's interrupt logic.
constexpr int kPortIrqControl = 0x7006;
constexpr int kIrqControlValue = 0x32;
constexpr int kPortIrqSetMask = 0x7004;
constexpr int kPortsIrqClearMask[] = {0x7008, 0x700A, 0x700C};
constexpr int kPortsIrqSlotBit[] = {0x7009, 0x700B, 0x700D, 0x7003};

constexpr int kTriggerType = 1;
constexpr int kInterruptPriority = 0;

}  // namespace

void program_interrupt_registers(uint8_t slot) {
    const int slot_bit = (1 << slot) & 0xFF;
    _trn_outp(kPortIrqControl, kIrqControlValue);
    _trn_outp(kPortIrqSetMask, (_trn_inp(kPortIrqSetMask) | slot_bit) & 0xFF);
    for (int port : kPortsIrqClearMask) _trn_outp(port, _trn_inp(port) & ~slot_bit & 0xFF);
    for (int port : kPortsIrqSlotBit) _trn_outp(port, slot_bit);
}

void register_service(uint8_t slot) {
    trn_SetTriggerType(slot, kTriggerType);
    trn_RegisterSlotInterrupt(slot, service_routine(slot));
    trn_SetSlotInterruptPriority(slot, kInterruptPriority);
}

}  // namespace k5320::driver::irq
