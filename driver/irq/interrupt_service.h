// The per-slot interrupt service the backplane calls when a module writes its answer byte.
#pragma once

#include <cstdint>
#include <memory>

#include "driver/sdk/tarn_sdk.h"

namespace k5320::platform {
class NamedEvent;
}

namespace k5320::driver::irq {

// The routine registered with the backplane for a slot (one per slot: routines take no argument).
TrnSlotInterruptRoutine service_routine(uint8_t slot);

// Reads the answer byte, which acknowledges the module's interrupt, and notes it as the last
// answer this process took from the slot; the caller holds the slot lock.
uint8_t take_answer(uint8_t slot);

// Files one answer value into the slot record; the caller holds the slot lock. The value's side
// effects are stored before the answer field, so a caller that sees its answer sees them too.
// Returns the user event to signal once the lock has been released, or null.
std::shared_ptr<platform::NamedEvent> file_answer(uint8_t slot, uint8_t value);

}  // namespace k5320::driver::irq
