// The faults a slot's module or a bus's wire can be given, as a request that reaches them
// wherever they run: in this process, or in the user's backplane service. Tools that test an
// application's error handling set them without knowing anything of the emulator.
#pragma once

#include <cstddef>
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
    // Faults on the wire of the bus named in `bus`:
    kBusStuckDominant,  // value 1: every transmission meets a bit error; 0: lifted
    kBusBitErrors,      // value: the share of transmissions (0..100 %) destroyed; command: seed
    kBusDisconnect,     // value 1: the module in `slot` is off the wire; 0: back on it
    kBusClear,          // every fault on the wire ends
};

inline constexpr std::size_t kBusNameCapacity = 16;  // a configured bus name and its zero

inline constexpr int32_t kNoValue = -1;

struct FaultRequest {
    FaultKind kind;
    int32_t slot;
    uint32_t command;
    int32_t value;
    char bus[kBusNameCapacity] = {};  // the bus faults' bus, zero-terminated
};

bool is_bus_fault(FaultKind kind);

// Applies the request to the module in the slot or to the bus, wherever the process's backplane
// runs them: the count for kCommandsSeen, 0 for a fault; nullopt for an empty slot, an unknown
// bus, a slot not wired to the bus, a request out of range or a service that did not answer.
std::optional<uint64_t> inject_fault(const FaultRequest& request);

}  // namespace k5320::backplane
