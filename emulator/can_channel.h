// The firmware's CAN channel: configuration and start of the SJA1000, the receive buffer and the
// two banks it fills for the host, the transmit buffer it empties onto the bus, the cyclic table
// whose frames join that buffer, and the system messages it raises for controller events.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "can/frame.h"
#include "emulator/can/bus.h"
#include "emulator/cyclic_table.h"
#include "emulator/dual_port_ram.h"
#include "emulator/sja1000.h"

namespace k5320::emulator {

// What the channel needs of the board it sits on.
class ChannelBoard {
  public:
    // Program mode. In loader mode the channel leaves the bus and the DPRAM alone: the loader's
    // frames cover the whole DPRAM.
    virtual bool firmware_running() const = 0;
    // Queues a system message for the host, unless too many answers wait already.
    virtual void raise_system_message(uint8_t value) = 0;
    // Writes what is queued for the host as far as the mailbox takes it.
    virtual void post_answers() = 0;
    // A fault: the status pair is no longer written.
    virtual bool status_pair_frozen() const = 0;

  protected:
    ~ChannelBoard() = default;
};

// Not thread-safe: the board calls every member with its lock held, except bit_rate() and
// active(), which the bus reads at any time without that lock.
class CanChannel {
  public:
    using Clock = std::chrono::steady_clock;

    // The firmware's receive buffer: a quarter of a second of a saturated 1 Mbit/s bus.
    static constexpr std::size_t kReceiveBufferFrames = 2048;
    // Frames taken for transmission and not yet sent; one more is refused.
    static constexpr std::size_t kTransmitBufferFrames = 64;
    // A frame that has not been acknowledged for this long sets the transmit time-out flag.
    // The controller keeps retrying it all the same.
    static constexpr std::chrono::milliseconds kTransmitTimeout{200};
    // On an unpaced bus a retry takes no bus time, so the firmware spaces its retries itself.
    static constexpr std::chrono::milliseconds kUnpacedRetryInterval{1};

    // Time stamps count from now, the module's start.
    CanChannel(DualPortRam& ram, sja1000::Sja1000& controller, ChannelBoard& board);
    CanChannel(const CanChannel&) = delete;
    CanChannel& operator=(const CanChannel&) = delete;

    // The channel's commands in program mode: the answer, or none for a command that is not the
    // channel's.
    std::optional<uint8_t> serve(uint8_t command);
    // What power-on, reset and restore leave behind: controller in reset mode, buffers and cyclic
    // table empty, system messages off, transmit time-out flag clear.
    void restore_power_on_state();

    // What the bus reports, as the board passes it on.
    uint32_t bit_rate() const { return bit_rate_.load(std::memory_order_acquire); }
    bool active() const { return active_.load(std::memory_order_acquire); }
    void receive(const can::Frame& frame, uint64_t time_ns);
    void bus_error(can::BusErrorKind kind);
    void arbitration_lost(unsigned bit);
    // The end of the channel's frame; whether the next frame may go to the bus at once (else a
    // retry waits for its time, unpaced_bus telling whether the firmware must space it).
    bool transmitted(can::TxOutcome outcome, bool unpaced_bus);

    // The front frame, when it may go to the bus now (marked as on its way). Without a bus it
    // waits, unacknowledged, until the time-out flags it.
    std::optional<can::Frame> frame_for_bus(bool bus_attached);
    // The bus did not take the frame: it is tried again after a while.
    void submit_refused();
    // Cyclic frames that are due join the transmit buffer; a frame waiting too long sets the
    // transmit time-out flag.
    void tick(Clock::time_point now);
    // When the firmware thread must wake for a retry, a time-out or a cyclic frame; none: only
    // for events.
    std::optional<Clock::time_point> next_deadline() const;

    // Sets or clears the transmit time-out flag and its DPRAM byte.
    void set_tx_timeout_flag(bool set);
    // Writes the flag's DPRAM byte again after the host borrowed it.
    void rewrite_tx_timeout_flag();

    std::size_t frames_to_send() const { return to_send_.size(); }
    std::size_t frames_received() const { return received_.size(); }
    std::size_t cyclic_entries() const { return cyclic_.size(); }
    bool system_messages() const { return system_messages_; }

  private:
    // A received frame, stamped in 0.1 ms since the module started.
    struct StampedFrame {
        can::Frame frame;
        uint64_t stamp = 0;
    };

    std::optional<uint8_t> apply_configuration();
    std::optional<uint8_t> start_controller(uint8_t answer);
    std::optional<uint8_t> stop_controller();
    std::optional<uint8_t> take_transmit_record();
    std::optional<uint8_t> report_received();
    std::optional<uint8_t> add_cyclic();
    std::optional<uint8_t> serve_cyclic_entry(uint8_t command);
    void clear_receive_buffer();
    void clear_transmit_buffer();
    void clear_buffers();
    void clear_tx_timeout();
    void store_received(const can::Frame& frame, uint64_t time_ns);
    void write_bank(uint8_t bank, std::size_t count);
    bool on_bus() const;  // program mode and the controller out of reset
    void transmit_due_cyclic(Clock::time_point now);
    void check_transmit_timeout(Clock::time_point now);
    // After every change of the controller: report its interrupts as system messages, publish
    // its status and tell the bus whether and at which rate it takes part.
    void after_controller_event();
    void service_controller_interrupt();
    void report_system_message(uint8_t value);
    void publish_status(bool force = false);
    void update_bus_presence();

    DualPortRam& ram_;
    sja1000::Sja1000& controller_;
    ChannelBoard& board_;
    const Clock::time_point started_at_;

    std::deque<StampedFrame> received_;
    bool frames_lost_ = false;  // the receive buffer overflowed since the last bank report
    std::optional<uint8_t> announced_bank_;  // handed to the host and not given back yet
    uint8_t next_bank_ = 0;

    // A frame waiting to be sent, and the cyclic entry it came from, which counts it once it
    // has been sent.
    struct Outgoing {
        can::Frame frame;
        std::optional<uint8_t> cyclic_handle;
    };
    bool cyclic_frame_waiting(uint8_t handle) const;

    std::deque<Outgoing> to_send_;  // the front one is the frame being sent
    bool on_its_way_ = false;       // the front frame is with the bus, its outcome unknown
    bool abandoned_ = false;        // the buffer was cleared while a frame was on its way
    std::optional<Clock::time_point> pending_since_;  // since the front frame first could go
    std::optional<Clock::time_point> retry_at_;       // next try of an unacknowledged frame
    // Set when a transmission timed out; mirrored into its DPRAM byte, which the host also
    // borrows for the seconds of a clock setting.
    bool tx_timeout_ = false;
    CyclicTable cyclic_;

    bool system_messages_ = false;
    std::optional<uint8_t> published_status_;  // the status pair last written

    // What the bus reads without the board's lock, updated with it held.
    std::atomic<uint32_t> bit_rate_{0};
    std::atomic<bool> active_{false};
};

}  // namespace k5320::emulator
