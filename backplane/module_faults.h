// Faults injected into a slot's module, and its command counters, in one form for both
// arrangements of the backplane: applied directly to a module of this process, or carried to the
// backplane service, which applies them to the module it runs.
#pragma once

#include <cstdint>

#include "emulator/module.h"

namespace k5320::backplane {

enum class FaultKind : uint32_t {
    kSilence = 1,         // value 1: never answer `command`; 0: answer it again
    kOverrideAnswer,      // answer `command` with value; kNoValue: the firmware's own answer
    kLoseInterrupts,      // the next `value` answers leave the line low
    kAnswerAfterRepeats,  // answer `command` only after `value` repeat requests
    kStrayBefore,         // post the stray answer `value` before `command`'s; kNoValue: none
    kFreezeStatusPair,    // value 1: the status pair is no longer written; 0: written again
    kFailFlashWrites,     // value 1: every flash write fails; 0: flash works again
    kCommandsSeen,        // reads how many `command`s the module took from the doorbell
};

inline constexpr int32_t kNoValue = -1;

struct FaultRequest {
    FaultKind kind;
    int32_t slot;
    uint32_t command;
    int32_t value;
};

// Applies the request to the module. Returns the count for kCommandsSeen, 0 for the faults, and
// nothing for a request of an unknown kind or with a value out of range.
bool apply_fault(emulator::Module& module, const FaultRequest& request, uint64_t* result);

}  // namespace k5320::backplane
