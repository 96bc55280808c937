// The firmware's table of frames it sends cyclically on its own clock, by handle.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "can/frame.h"
#include "k5320/dpram_map.h"

namespace k5320::emulator {

class CyclicTable {
  public:
    using Clock = std::chrono::steady_clock;
    // Entries the firmware holds at a time; one more add is refused.
    static constexpr std::size_t kEntries = 32;
    // Handles run through all values below the "no handle" byte before one is given again, so a
    // handle that was deleted stays unknown for a long while instead of naming the next entry.
    static constexpr unsigned kHandles = dpram::kCyclicNoHandle;

    // A new entry, enabled, its first transmission due at now. count 0 sends without end.
    // None when the table is full or the cycle time is 0 (which would flood the bus).
    std::optional<uint8_t> add(const can::Frame& frame, uint32_t cycle_ms, uint32_t count,
                               Clock::time_point now);
    bool remove(uint8_t handle);  // false: no such entry
    // Resuming sends the next frame at once, but never sooner than a cycle after the last one.
    bool enable(uint8_t handle, Clock::time_point now);
    bool disable(uint8_t handle);
    // Transmissions left; kCyclicRestEndless for an entry without end. None: no such entry.
    std::optional<uint32_t> rest(uint8_t handle) const;
    std::optional<bool> enabled(uint8_t handle) const;  // none: no such entry
    void clear();                                       // empty, handles from 0 again
    std::size_t size() const;

    // Offers take one frame of every enabled entry that is due at now, earliest due first, with
    // the entry's handle. take returns whether the transmit path took the frame; a frame it
    // refuses gives that cycle up. Cycles missed while the firmware was busy are given up too:
    // transmissions stay on the entry's grid of cycle times and never come in a burst.
    void transmit_due(Clock::time_point now,
                      const std::function<bool(const can::Frame&, uint8_t handle)>& take);
    // A frame the entry gave has been sent: one transmission less is left. A frame counts when
    // it has been sent, not when it was taken, so the rest says what really went out.
    void count_sent(uint8_t handle);
    // When the next transmission falls due; none while nothing will.
    std::optional<Clock::time_point> next_due() const;

  private:
    struct Entry {
        uint8_t handle = 0;
        can::Frame frame;
        std::chrono::milliseconds cycle{};
        bool endless = false;
        uint32_t left = 0;  // transmissions left, unless endless
        bool enabled = true;
        Clock::time_point start;  // cycle n is due at start + n * cycle
        uint64_t next_cycle = 0;
        std::optional<Clock::time_point> last_sent;

        bool used_up() const { return !endless && left == 0; }
        bool sending() const { return enabled && !used_up(); }
        Clock::time_point due() const;
    };

    Entry* find(uint8_t handle);
    const Entry* find(uint8_t handle) const;
    bool handle_in_use(uint8_t handle) const;

    std::array<std::optional<Entry>, kEntries> entries_;
    uint8_t next_handle_ = 0;
};

}  // namespace k5320::emulator
