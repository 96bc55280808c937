// A node that joins a virtual CAN bus to a SocketCAN interface (vcan0, can0) through a raw CAN
// socket, so that candump, cansend and any SocketCAN program share the bus with the emulated
// modules. Frames from the interface go onto the virtual bus at the node's bit rate, one at a
// time from a bounded queue; frames on the virtual bus go out on the interface. A kernel without
// AF_CAN (or a missing interface) leaves the node off the bus with a logged reason.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "bridges/wake_event.h"
#include "emulator/can/bus.h"
#include "emulator/can/send_queue.h"

namespace k5320::bridges {

class SocketcanBridge final : public can::BusClient {
  public:
    struct Counters {
        uint64_t to_bus = 0;     // interface frames acknowledged on the virtual bus
        uint64_t to_socket = 0;  // virtual-bus frames written to the interface
        uint64_t dropped = 0;    // interface frames given up: queue full or nobody acknowledged
        uint64_t write_errors = 0;
    };

    SocketcanBridge(can::Bus& bus, std::string interface, uint32_t bit_rate);
    ~SocketcanBridge() override;
    SocketcanBridge(const SocketcanBridge&) = delete;
    SocketcanBridge& operator=(const SocketcanBridge&) = delete;

    bool ok() const { return socket_ >= 0; }
    // Why the bridge is not running; empty when it is.
    const std::string& failure() const { return failure_; }
    void stop();  // idempotent; not from a bus callback
    Counters counters() const;

    uint32_t bit_rate() const override { return bit_rate_; }
    bool active() const override { return true; }
    void receive(const can::Frame& frame, uint64_t time_ns) override;
    void bus_error(can::BusErrorKind kind) override;
    void transmitted(const can::Frame& frame, can::TxOutcome outcome) override;

  private:
    void run();
    void pump();
    void fail(const std::string& what);

    can::Bus& bus_;
    const std::string interface_;
    const uint32_t bit_rate_;
    int socket_ = -1;
    WakeEvent wake_;
    std::string failure_;
    mutable std::mutex mutex_;
    can::SendQueue<> queue_;  // taken after mutex_
    bool stopping_ = false;
    bool attached_ = false;
    Counters counters_;
    std::thread thread_;
};

}  // namespace k5320::bridges
