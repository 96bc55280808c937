// A socketcand server in raw mode as a node of a virtual CAN bus, so that python-can (interface
// "socketcand") and other socketcand clients share the bus with the emulated modules.
//
// Every frame the bus carries goes to every client in raw mode. A frame a client sends waits in
// a bounded queue and goes onto the bus at the node's bit rate, one at a time; when it has been
// acknowledged the other clients get it too, as a second program on a SocketCAN interface sees
// what the first one sent. The sender does not get its own frame back. A frame nobody
// acknowledges is dropped and counted, not retried. Each client has at most one frame waiting
// for a queue place, and places go round-robin, the client served longest ago first; a client
// whose frame waits is not read further, so TCP holds it back and nothing is lost. Commands that
// need no queue place are answered at once.
//
// A client that says it is another backplane's link (socketcand::kBackplaneLinkCommand) gets
// only the data frames first sent on this backplane, and the frames it sends count as relayed,
// so that backplanes joined in a ring carry each frame once (see can::Origin). When it names its
// backplane, the server answers with this one's, and sends it no frame that one of the bus's own
// links carries to that backplane already (BackplaneLinks): two backplanes joined both ways get
// each frame once. A link of this very backplane gets no frames at all.
//
// On a loopback address the server accepts only connections whose socket belongs to its own
// user, unless it is opened to every local user; on any other address it serves every peer. A
// connection that has not opened a bus, or has held a begun command, for the idle time-out is
// closed, so that silent connections cannot hold every place.
//
// The network thread is the only one touching sockets; the bus calls receive() and
// transmitted() from its own thread (paced) or from whoever submits (unpaced). mutex_ guards the
// connections and counters; queue_ and the BackplaneLinks' lock are taken after it, and no call
// into the bus is made with it held.
#pragma once

#include <chrono>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "bridges/backplane_links.h"
#include "bridges/socketcand_protocol.h"
#include "bridges/wake_event.h"
#include "emulator/can/bus.h"
#include "emulator/can/send_queue.h"

namespace k5320::bridges {

class SocketcandServer final : public can::BusClient {
  public:
    static constexpr std::chrono::milliseconds kDefaultIdleTimeout = std::chrono::seconds(10);
    struct Counters {
        uint64_t clients = 0;           // connections accepted
        uint64_t sent = 0;              // client frames acknowledged on the bus
        uint64_t not_acknowledged = 0;  // client frames nobody acknowledged (dropped)
        uint64_t forwarded = 0;         // frames from the bus handed to clients
        uint64_t errors = 0;            // error replies to bad input
        uint64_t slow_clients = 0;      // clients dropped for not reading their frames
        uint64_t refused = 0;           // connections of other users refused
        uint64_t timed_out = 0;         // connections closed for holding a place idle
    };

    struct Options {
        std::string address = socketcand::kDefaultAddress;
        uint16_t port = socketcand::kDefaultPort;  // 0: any free port, see port()
        // Serve every local user on a loopback address, not only the server's own user.
        bool open = false;
        std::chrono::milliseconds idle_timeout = kDefaultIdleTimeout;
        // The bus's identity and links, shared with them; none: a backplane of its own, with
        // no links. Must outlive the server.
        BackplaneLinks* backplane = nullptr;
    };

    // Listens as the options say and attaches to bus. On failure logs to stderr, stays off the
    // bus, ok() is false and failure() tells why.
    SocketcandServer(can::Bus& bus, std::string bus_name, uint32_t bit_rate, Options options);
    ~SocketcandServer() override;
    SocketcandServer(const SocketcandServer&) = delete;
    SocketcandServer& operator=(const SocketcandServer&) = delete;

    bool ok() const { return listener_ >= 0; }
    const std::string& failure() const { return failure_; }
    uint16_t port() const { return port_; }
    // Closes every connection and leaves the bus; idempotent. Not from a bus callback.
    void stop();
    Counters counters() const;

    uint32_t bit_rate() const override { return bit_rate_; }
    bool active() const override { return true; }
    void receive(const can::Frame& frame, uint64_t time_ns) override;
    void receive_relayed(const can::Frame& frame, uint64_t time_ns) override;
    void bus_error(can::BusErrorKind kind) override;
    void transmitted(const can::Frame& frame, can::TxOutcome outcome) override;

  private:
    enum class Stage : uint8_t { kGreeted, kOpened, kRaw };
    using TimePoint = std::chrono::steady_clock::time_point;
    struct Connection {
        int fd = -1;
        uint64_t id = 0;
        Stage stage = Stage::kGreeted;
        socketcand::CommandSplitter input;
        // A frame the client sent that waits for a place in the queue.
        std::optional<can::Frame> waiting;
        // Closed at this time unless it opens a bus, or ends the command it has begun.
        TimePoint deadline = TimePoint::max();
        std::string output;  // replies, written first
        std::string frames;  // frames in raw mode
        // Frames wait until the raw-mode reply has had time to arrive alone, since python-can
        // reads each handshake reply with a single receive. On the steady clock, so that a step
        // of the wall clock cannot hold them back.
        std::chrono::steady_clock::time_point frames_from{};
        bool closing = false;
        bool backplane_link = false;  // another backplane's link: local frames only
        std::optional<socketcand::BackplaneId> backplane;  // the one it named
    };
    struct Outgoing {
        can::Frame frame;
        uint64_t sender = 0;
        can::Origin origin = can::Origin::kLocal;
        uint64_t queued_ns = 0;  // the frame ends after this (steady clock)
    };

    void run();
    void accept_clients();
    bool admits(int fd) const;
    void read_client(Connection& connection);
    // Answers every client's commands up to its next frame, then gives queue places to the
    // waiting frames round-robin. mutex_ held.
    void handle_commands(TimePoint now);
    // Handles commands until one is a frame to queue. mutex_ held.
    void settle(Connection& connection, TimePoint now);
    void handle(Connection& connection, const socketcand::Command& command);
    void close_idle(TimePoint now);
    void write_clients(std::chrono::steady_clock::time_point now);
    // Whether another backplane's link gets the frame: only a data frame first sent here.
    static bool for_backplane_links(const can::Frame& frame, can::Origin origin);
    // Which frames reach the backplane links: none, or those first sent here, which end between
    // from_ns and to_ns (steady clock), less those the bus's own links carry.
    struct ForLinks {
        bool any = false;
        uint64_t from_ns = 0;
        uint64_t to_ns = 0;
    };
    // Whether the connection, another backplane's link, gets the frame. mutex_ held.
    bool link_gets(const Connection& connection, const ForLinks& frame) const;
    // To every client in raw mode but except (and the backplane links as told). mutex_ held.
    void queue_to_clients(const std::string& message, uint64_t except, const ForLinks& for_links);
    void forward_from_bus(const can::Frame& frame, can::Origin origin, uint64_t time_ns);
    void pump();

    can::Bus& bus_;
    const std::string bus_name_;
    const uint32_t bit_rate_;
    const Options options_;
    BackplaneLinks own_backplane_;  // when the options give none
    BackplaneLinks& backplane_;
    bool own_user_only_ = false;
    std::string failure_;
    int listener_ = -1;
    WakeEvent wake_;
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
