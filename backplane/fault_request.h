// The faults a slot's module can be given, as a request that reaches the module wherever it
// runs: in this process, or in the user's backplane service. Tools that test an application's
// error handling set them without knowing anything of the emulator.
#pragma once

#include <cstdint>
#include <optional>

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
    kDrop,                // value 1: take `command` from the doorbell, never execute or answer it
    kClear,               // every fault of the slot's module ends
};

inline constexpr int32_t kNoValue = -1;

struct FaultRequest {
    FaultKind kind;
    int32_t slot;
    uint32_t command;
    int32_t value;
};

// Applies the request to the module in the slot, wherever the process's backplane runs it: the
// count for kCommandsSeen, 0 for a fault; nullopt for an empty slot, a request out of range or a
// service that did not answer.
std::optional<uint64_t> inject_fault(const FaultRequest& request);

}  // namespace k5320::backplane
