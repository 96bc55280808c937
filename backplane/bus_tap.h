// A listen-only tap on a virtual bus of the user's backplane, as a program on a SocketCAN
// interface watches its bus: it needs no slot, acknowledges nothing and sends nothing, so any
// number of programs watch a bus while others own its modules. The tap runs where the bus runs
// (in the backplane service, or in the process) and hands its events over a socket, so a reader
// waits in the kernel, not in a polling loop.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace k5320::backplane {

// One event of the bus, as the tap's controller saw it. Plain bytes: it crosses a socket.
struct TapEvent {
    enum class Kind : uint32_t {
        kFrame = 1,     // a frame at the tap's rate, acknowledged by some node
        kBusError = 2,  // something the tap could not take as a frame (error_kind says what)
    };
    enum class ErrorKind : uint8_t {
        kStuff = 0,  // six equal bits: a frame at another bit rate
        kForm = 1,   // the error frame after a frame that nobody acknowledged
    };
    Kind kind = Kind::kFrame;
    uint32_t lost = 0;     // events dropped before this one because the reader fell behind
    uint64_t wall_ns = 0;  // the frame's (or error's) end, wall clock, ns since 1970
    uint32_t id = 0;
    uint8_t extended = 0;
    uint8_t remote = 0;
    uint8_t length = 0;  // 0..8; a remote frame's requested length
    ErrorKind error_kind = ErrorKind::kStuff;
    uint8_t data[8] = {};
};

// The reader's end. Events are taken from the socket in batches, and while they keep coming a
// batch is taken at most once per kBusyReadInterval: a saturated bus then wakes the reader a
// thousand times a second rather than once per frame, and the first event after a silence is
// still handed over at once. Not thread-safe: one reader per tap.
class BusTap {
  public:
    enum class Read { kEvent, kTimeout, kClosed };
    static constexpr std::size_t kBatchEvents = 64;
    static constexpr std::chrono::milliseconds kBusyReadInterval{1};

    BusTap(int fd, uint32_t bit_rate);
    ~BusTap();
    BusTap(const BusTap&) = delete;
    BusTap& operator=(const BusTap&) = delete;

    uint32_t bit_rate() const { return bit_rate_; }
    // Readable while an event waits, for a program that polls more than the tap; events already
    // taken into the batch (holds_events) are not in it.
    int fd() const { return fd_; }
    // Waits up to timeout_ms (-1: without end; a signal ends the wait as a time-out) for the
    // next event. kClosed: the backplane went away.
    Read next(TapEvent* event, int timeout_ms);
    // Whether next() has an event at hand, without a look at the socket.
    bool holds_events() const { return taken_ < held_; }

  private:
    // Reads what the socket holds into the batch, waiting up to timeout_ms for the first event.
    Read fill(int timeout_ms);

    int fd_;
    uint32_t bit_rate_;
    std::array<TapEvent, kBatchEvents> batch_{};
    std::size_t held_ = 0;
    std::size_t taken_ = 0;
    // When the last batch that held events was read: the next is not read before the interval.
    std::optional<std::chrono::steady_clock::time_point> busy_since_;
};

// Opens a tap on the bus named bus at bit_rate (0: the bus's configured rate); nullptr (error
// tells why) for a bus the backplane lacks or a service that does not answer.
std::unique_ptr<BusTap> open_bus_tap(std::string_view bus, uint32_t bit_rate, std::string* error);

}  // namespace k5320::backplane
