#include "backplane/module_faults.h"

#include <optional>

#include "emulator/module_probe.h"

namespace k5320::backplane {

namespace {

std::optional<uint8_t> optional_byte(int32_t value) {
    if (value == kNoValue) return std::nullopt;
    return static_cast<uint8_t>(value);
}

bool is_byte_or_none(int32_t value) {
    return value == kNoValue || (value >= 0 && value <= UINT8_MAX);
}

}  // namespace

bool is_bus_fault(FaultKind kind) {
    return kind == FaultKind::kBusStuckDominant || kind == FaultKind::kBusBitErrors ||
           kind == FaultKind::kBusDisconnect || kind == FaultKind::kBusClear;
}

bool apply_fault(emulator::Module& module, const FaultRequest& request, uint64_t* result) {
    *result = 0;
    if (request.command > UINT8_MAX) return false;
    const auto command = static_cast<uint8_t>(request.command);
    const bool on = request.value != 0;
    emulator::ModuleProbe probe(module);
    switch (request.kind) {
        case FaultKind::kSilence:
            probe.silence(command, on);
            return true;
        case FaultKind::kOverrideAnswer:
            if (!is_byte_or_none(request.value)) return false;
            probe.override_answer(command, optional_byte(request.value));
            return true;
        case FaultKind::kLoseInterrupts:
            if (request.value < 0) return false;
            probe.lose_interrupts(static_cast<unsigned>(request.value));
            return true;
        case FaultKind::kAnswerAfterRepeats:
            if (request.value < 0) return false;
            probe.answer_after_repeats(command, static_cast<unsigned>(request.value));
            return true;
        case FaultKind::kStrayBefore:
            if (!is_byte_or_none(request.value)) return false;
            probe.stray_before(command, optional_byte(request.value));
            return true;
        case FaultKind::kFreezeStatusPair:
            probe.freeze_status_pair(on);
            return true;
        case FaultKind::kFailFlashWrites:
            probe.fail_flash_writes(on);
            return true;
        case FaultKind::kDrop:
            probe.drop(command, on);
            return true;
        case FaultKind::kClear:
            probe.clear_faults();
            return true;
        case FaultKind::kCommandsSeen:
            *result = probe.commands_seen(command);
            return true;
        default:
            return false;  // a fault of the wire, not of the module
    }
    return false;
}

}  // namespace k5320::backplane
