// A socketcand server in raw mode as a node of a virtual CAN bus, so that python-can (interface
// "socketcand") and other socketcand clients share the bus with the emulated modules.
//
// Every frame the bus carries goes to every client in raw mode. A frame a client sends waits in
// a bounded queue and goes onto the bus at the node's bit rate, one at a time; when it has been
// acknowledged the other clients get it too, as a second program on a SocketCAN interface sees
// what the first one sent. The sender does not get its own frame back. A frame nobody
// acknowledges is dropped and counted, not retried. While the queue is full the server reads no
// more from its clients, so TCP holds them back and nothing is lost.
//
// The network thread is the only one touching sockets; the bus calls receive() and
// transmitted() from its own thread (paced) or from whoever submits (unpaced).
#pragma once

#include <chrono>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "bridges/socketcand_protocol.h"
#include "emulator/can/bus.h"
#include "emulator/can/send_queue.h"

namespace k5320::bridges {

class SocketcandServer final : public can::BusClient {
  public:
    struct Counters {
        uint64_t clients = 0;           // connections accepted
        uint64_t sent = 0;              // client frames acknowledged on the bus
        uint64_t not_acknowledged = 0;  // client frames nobody acknowledged (dropped)
        uint64_t forwarded = 0;         // frames from the bus handed to clients
        uint64_t errors = 0;            // error replies to bad input
        uint64_t slow_clients = 0;      // clients dropped for not reading their frames
    };

    // Listens on address:port (port 0: any free port, see port()) and attaches to bus. On
    // failure logs to diagnostics, stays off the bus, and ok() is false.
    SocketcandServer(can::Bus& bus, std::string bus_name, uint32_t bit_rate, std::string address,
                     uint16_t port);
    ~SocketcandServer() override;
    SocketcandServer(const SocketcandServer&) = delete;
    SocketcandServer& operator=(const SocketcandServer&) = delete;

    bool ok() const { return listener_ >= 0; }
    uint16_t port() const { return port_; }
    // Closes every connection and leaves the bus; idempotent. Not from a bus callback.
    void stop();
    Counters counters() const;

    uint32_t bit_rate() const override { return bit_rate_; }
    bool active() const override { return true; }
    void receive(const can::Frame& frame, uint64_t time_ns) override;
    void bus_error(can::BusErrorKind kind) override;
    void transmitted(const can::Frame& frame, can::TxOutcome outcome) override;

  private:
    enum class Stage : uint8_t { kGreeted, kOpened, kRaw };
    struct Connection {
        int fd = -1;
        uint64_t id = 0;
        Stage stage = Stage::kGreeted;
        socketcand::CommandSplitter input;
        std::string output;  // replies, written first
        std::string frames;  // frames in raw mode
        // Frames wait until the raw-mode reply has had time to arrive alone, since python-can
        // reads each handshake reply with a single receive. On the steady clock, so that a step
        // of the wall clock cannot hold them back.
        std::chrono::steady_clock::time_point frames_from{};
        bool closing = false;
    };
    struct Outgoing {
        can::Frame frame;
        uint64_t sender = 0;
    };

    void run();
    void accept_clients();
    void read_client(Connection& connection);
    // Works through the complete commands of every client while the queue has room. mutex_ held.
    void handle_commands();
    void handle(Connection& connection, const socketcand::Command& command);
    void write_clients(std::chrono::steady_clock::time_point now);
    void queue_to_clients(const std::string& message, uint64_t except);  // mutex_ held
    void pump();
    void wake();

    can::Bus& bus_;
    const std::string bus_name_;
    const uint32_t bit_rate_;
    int listener_ = -1;
    int wake_fd_ = -1;
    uint16_t port_ = 0;
    mutable std::mutex mutex_;
    std::list<Connection> connections_;
    can::SendQueue<Outgoing> queue_;  // taken after mutex_
    uint64_t next_id_ = 1;
    bool stopping_ = false;
    bool attached_ = false;
    Counters counters_;
    std::thread thread_;
};

}  // namespace k5320::bridges
