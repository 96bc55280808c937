#include "utility/main/bus_health.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "can/frame.h"
#include "can/frame_length.h"

namespace k5320::utility {
namespace {

constexpr double kPercent = 100;
constexpr std::size_t kTextBuffer = 128;

can::Frame frame_of(const ReceivedMessage& message) {
    can::Frame frame;
    frame.id = message.id;
    frame.extended = message.mode != 0;
    frame.remote = message.rtr != 0;
    frame.length = can::clamp_length(message.length);
    // A remote frame carries no data, whatever the buffer holds.
    if (!frame.remote) frame.data = message.data;
    return frame;
}

}  // namespace

void BusMeter::count(const ReceivedMessage& message) {
    ++tally_.frames;
    tally_.bits += can::frame_bit_length(frame_of(message));
}

BusMeter::Tally BusMeter::take() {
    const Tally taken = tally_;
    tally_ = {};
    return taken;
}

BusHealth bus_health(bool bus_off, unsigned rx_errors, unsigned tx_errors,
                     const BusMeter::Tally& tally, double seconds, uint32_t bit_rate) {
    BusHealth health;
    health.state = can::error_state(bus_off, rx_errors, tx_errors);
    health.rx_errors = rx_errors;
    health.tx_errors = tx_errors;
    if (seconds <= 0) return health;
    health.frames_per_second = static_cast<double>(tally.frames) / seconds;
    if (bit_rate != 0)
        health.load_percent = kPercent * static_cast<double>(tally.bits) / (seconds * bit_rate);
    return health;
}

std::string bus_health_text(const BusHealth& health) {
    std::array<char, kTextBuffer> text{};
    const std::string_view state = can::error_state_name(health.state);
    const int used = std::snprintf(text.data(), text.size(), "%.*s, REC %u, TEC %u, %.0f frames/s",
                                   static_cast<int>(state.size()), state.data(), health.rx_errors,
                                   health.tx_errors, health.frames_per_second);
    std::string shown(text.data(), static_cast<std::size_t>(std::max(used, 0)));
    if (health.load_percent) {
        std::snprintf(text.data(), text.size(), ", load %.1f %%", *health.load_percent);
        shown += text.data();
    }
    return shown;
}

}  // namespace k5320::utility
