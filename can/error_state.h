// A CAN controller's fault confinement state as its error counters and bus-off flag put it,
// and the words a user reads for it.
#pragma once

#include <string_view>

namespace k5320::can {

// A counter at or above the warning limit: error warning; at or above the passive limit: error
// passive. The controller leaves the bus when its transmit counter passes the highest value.
inline constexpr unsigned kErrorWarningLimit = 96;
inline constexpr unsigned kErrorPassiveLimit = 128;

enum class ErrorState { kActive, kWarning, kPassive, kBusOff };

constexpr ErrorState error_state(bool bus_off, unsigned rx_errors, unsigned tx_errors) {
    if (bus_off) return ErrorState::kBusOff;
    if (rx_errors >= kErrorPassiveLimit || tx_errors >= kErrorPassiveLimit)
        return ErrorState::kPassive;
    if (rx_errors >= kErrorWarningLimit || tx_errors >= kErrorWarningLimit)
        return ErrorState::kWarning;
    return ErrorState::kActive;
}

constexpr std::string_view error_state_name(ErrorState state) {
    switch (state) {
        case ErrorState::kActive:
            return "error active";
        case ErrorState::kWarning:
            return "error warning";
        case ErrorState::kPassive:
            return "error passive";
        case ErrorState::kBusOff:
            return "bus-off";
    }
    return {};
}

}  // namespace k5320::can
