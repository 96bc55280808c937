// The bus's health as the main window shows it once a second: the controller's error state in
// words, its receive and transmit error counters, the frames received per second and the bus
// load they make, from each frame's exact length on the wire.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "can/error_state.h"
#include "utility/main/message_format.h"

namespace k5320::utility {

// Counts the frames a module received and the bits they held the bus for.
class BusMeter {
  public:
    void count(const ReceivedMessage& message);
    // What was counted since the last take; the meter starts again from zero.
    struct Tally {
        uint64_t frames = 0;
        uint64_t bits = 0;
    };
    Tally take();

  private:
    Tally tally_;
};

struct BusHealth {
    can::ErrorState state = can::ErrorState::kActive;
    unsigned rx_errors = 0;
    unsigned tx_errors = 0;
    double frames_per_second = 0;
    // None when the bit rate is not known (a user-defined timing).
    std::optional<double> load_percent;
};

// The health over an interval: tally counted over seconds at bit_rate bits per second (0: not
// known).
BusHealth bus_health(bool bus_off, unsigned rx_errors, unsigned tx_errors,
                     const BusMeter::Tally& tally, double seconds, uint32_t bit_rate);

// "error passive, REC 0, TEC 128, 812 frames/s, load 10.5 %".
std::string bus_health_text(const BusHealth& health);

}  // namespace k5320::utility
