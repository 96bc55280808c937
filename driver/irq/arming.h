// Arming a slot's interrupt on the backplane: shared by module detection and interrupt recovery.
#pragma once

#include <cstdint>

namespace k5320::driver::irq {

// Programs the backplane's interrupt registers for the slot. The meaning of the registers
// belongs to the controller; the driver performs the sequence the controller expects.
void program_interrupt_registers(uint8_t slot);

// Trigger type, registration of the slot's interrupt service, priority (not enabled yet).
void register_service(uint8_t slot);

}  // namespace k5320::driver::irq
