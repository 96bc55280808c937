// Faults injected into a slot's module, and its command counters, in one form for both
// arrangements of the backplane: applied directly to a module of this process, or carried to the
// backplane service, which applies them to the module it runs.
#pragma once

#include <cstdint>

#include "backplane/fault_request.h"
#include "emulator/module.h"

namespace k5320::backplane {

// Applies the request to the module. Returns the count for kCommandsSeen, 0 for the faults, and
// nothing for a request of an unknown kind or with a value out of range.
bool apply_fault(emulator::Module& module, const FaultRequest& request, uint64_t* result);

}  // namespace k5320::backplane
