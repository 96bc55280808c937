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

// Files one answer value into the slot record; the caller holds the slot lock. Returns the user
// event to signal once the lock has been released, or null.
std::shared_ptr<platform::NamedEvent> file_answer(uint8_t slot, uint8_t value);

}  // namespace k5320::driver::irq
