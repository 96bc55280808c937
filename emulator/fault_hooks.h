// Faults injected into a module's answers. The module consults them only when it answers, so each
// answer path (direct, repeated, posted from outside) sees the same faults; a ModuleProbe sets
// them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace k5320::emulator {

inline constexpr std::size_t kCommandCodes = 256;

struct FaultHooks {
    std::array<bool, kCommandCodes> silenced{};  // executed, never answered
    std::array<bool, kCommandCodes> dropped{};   // taken from the doorbell, never executed
    std::array<std::optional<uint8_t>, kCommandCodes> answer_overrides{};
    unsigned interrupts_to_lose = 0;
    // Answer a command only at its k-th repeat request (0: at once).
    std::array<unsigned, kCommandCodes> answer_after_repeats{};
    // A value of another class written just before the real answer to a command.
    std::array<std::optional<uint8_t>, kCommandCodes> strays{};
    // The firmware leaves the CAN status pair as it is, whatever the controller does.
    bool status_pair_frozen = false;

    // The answer the firmware really gives to command, or none when it stays silent.
    std::optional<uint8_t> filter(uint8_t command, uint8_t value) const {
        if (silenced[command]) return std::nullopt;
        if (answer_overrides[command]) return answer_overrides[command];
        return value;
    }
    // Whether the next answer byte write raises the line.
    bool raise_line() {
        if (interrupts_to_lose == 0) return true;
        --interrupts_to_lose;
        return false;
    }
};

}  // namespace k5320::emulator
