// The node that the default backplane puts on the modules' bus, so that a user sees traffic and
// gets acknowledgements without any other hardware.
//
// It acknowledges every frame at its rate, answers a remote frame for one of its identifiers with
// a data frame of the requested length, and sends on a schedule counted from its start, the
// first of each at once:
//   every 100 ms  0x100 (11-bit), 8 bytes: a counter in byte 0, bytes 1..7 moving with it;
//   every 250 ms  0x18FF0001 (29-bit), 8 bytes: the frame's slot in the schedule in milliseconds
//                 since start, then the counter (both 32-bit big-endian);
//   every 1 s     0x321 (11-bit), 2 bytes: the counter, big-endian.
// A frame that nobody acknowledges is dropped, not retried: alone on a bus the node would
// otherwise fill it with repeats.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "emulator/can/bus.h"
#include "emulator/can/send_queue.h"

namespace k5320::can {

inline constexpr uint32_t kDemoNodeDefaultBitRate = 125000;

inline constexpr uint32_t kDemoFastId = 0x100;
inline constexpr uint32_t kDemoExtendedId = 0x18FF0001;
inline constexpr uint32_t kDemoSlowId = 0x321;

class DemoNode final : public BusClient {
  public:
    struct Counters {
        uint64_t sent = 0;              // acknowledged frames
        uint64_t not_acknowledged = 0;  // frames sent that nobody acknowledged
        uint64_t remote_answered = 0;
        uint64_t dropped = 0;  // frames given up because too many were waiting for the bus
        uint64_t bus_errors = 0;
    };

    // Attaches to bus and starts the schedule.
    explicit DemoNode(Bus& bus, uint32_t bit_rate = kDemoNodeDefaultBitRate);
    ~DemoNode() override;
    DemoNode(const DemoNode&) = delete;
    DemoNode& operator=(const DemoNode&) = delete;

    // Ends the schedule and leaves the bus; idempotent. Not from one of the node's callbacks.
    void stop();

    Counters counters() const;

    uint32_t bit_rate() const override { return bit_rate_; }
    bool active() const override { return true; }
    void receive(const Frame& frame, uint64_t time_ns) override;
    void bus_error(BusErrorKind kind) override;
    void transmitted(const Frame& frame, TxOutcome outcome) override;

  private:
    using Clock = std::chrono::steady_clock;

    struct Message {
        Frame frame;
        Clock::duration period;
        Clock::time_point next;
        uint32_t count = 0;
    };

    // Frames that wait for the bus beyond this are dropped: a bus kept busy by higher-priority
    // traffic must not make the node's memory grow.
    static constexpr std::size_t kMaxWaitingFrames = 16;

    void run();
    // The message's frame with its next data; called with mutex_ held.
    void advance(Message& message, Clock::time_point now);
    bool enqueue(const Frame& frame);  // mutex_ held; false when dropped
    // Hands the next waiting frame to the bus unless one is on its way. Called without mutex_,
    // since an unpaced bus calls back into the node from submit.
    void pump();

    Bus& bus_;
    const uint32_t bit_rate_;
    const Clock::time_point started_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::array<Message, 3> messages_;
    SendQueue<> waiting_;  // taken after mutex_
    bool stopping_ = false;
    Counters counters_;
    std::thread thread_;
};

}  // namespace k5320::can
