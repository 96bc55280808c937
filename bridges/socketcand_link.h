// A node of a virtual CAN bus that joins a remote socketcand server as a client, so that a bus
// spans machines: the far side is a socketcand daemon serving a real CAN interface, or another
// backplane's server.
//
// Store and forward, as a gateway: the link acknowledges frames on the local bus like any node,
// sends every frame acknowledged here to the remote side, and puts every frame from the remote
// side onto the local bus at the node's bit rate, one at a time from a bounded queue. A frame is
// never sent back where it came from: frames the link brings in are relayed (can::Origin), and
// relayed frames go to no other machine, neither through this link nor through any other, so
// that backplanes joined in a ring carry each frame once.
//
// After the raw-mode reply the link says which backplane it belongs to, and another backplane's
// server answers with its own: while the link is up it tells the bus's BackplaneLinks which
// backplane it reaches, so that the bus's server sends that backplane's link nothing it carries
// already. Until the answer (or an error from a server that does not know the question) the link
// is not up yet; a link that meets its own backplane carries nothing.
//
// A frame for the remote side that finds the link down or its backlog full, and a remote frame
// nobody acknowledges here, are dropped and counted; the local bus never waits for the network.
// While the local queue is full the link reads no further from the remote side, so TCP holds
// those frames back instead. A lost connection is logged and tried again with growing pauses.
//
// Locking: mutex_ guards the connection's state and the outgoing backlog; the counters in
// LinkStatus are atomics anybody may read. The network thread alone touches the socket. The bus
// calls receive() and transmitted() from its own thread; they take mutex_ and never hold it
// around a call into the bus (queue_ and the BackplaneLinks' lock are taken after mutex_).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <iosfwd>
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

enum class LinkState : uint8_t {
    kConnecting,  // connecting or in the handshake
    kUp,          // in raw mode: frames flow both ways
    kDown,        // waiting to try again
};
const char* link_state_name(LinkState state);

// A link's state and counters as plain atomics, so that another process can read them from
// memory it shares with the service.
struct LinkStatus {
    std::atomic<LinkState> state{LinkState::kConnecting};
    std::atomic<uint64_t> to_remote{0};            // local frames written to the remote side
    std::atomic<uint64_t> from_remote{0};          // remote frames acknowledged on the local bus
    std::atomic<uint64_t> dropped_to_remote{0};    // local frames the link could not take
    std::atomic<uint64_t> dropped_from_remote{0};  // remote frames nobody acknowledged here
    std::atomic<uint64_t> connections{0};          // handshakes completed
};

class SocketcandLink final : public can::BusClient {
  public:
    static constexpr std::chrono::milliseconds kFirstRetry{100};
    static constexpr std::chrono::milliseconds kLastRetry{2000};

    // Attaches to bus and starts connecting. backplane is the bus's (shared with its server) and
    // status receives the state and counters; both must outlive the link.
    SocketcandLink(can::Bus& bus, std::string bus_name, uint32_t bit_rate,
                   socketcand::RemoteEndpoint remote, BackplaneLinks& backplane,
                   LinkStatus& status);
    ~SocketcandLink() override;
    SocketcandLink(const SocketcandLink&) = delete;
    SocketcandLink& operator=(const SocketcandLink&) = delete;

    // Closes the connection and leaves the bus; idempotent. Not from a bus callback.
    void stop();

    uint32_t bit_rate() const override { return bit_rate_; }
    bool active() const override { return true; }
    void receive(const can::Frame& frame, uint64_t time_ns) override;
    void receive_relayed(const can::Frame& frame, uint64_t time_ns) override;
    void bus_error(can::BusErrorKind kind) override;
    void transmitted(const can::Frame& frame, can::TxOutcome outcome) override;

  private:
    struct Relayed {
        can::Frame frame;
        can::Origin origin = can::Origin::kRelayed;
    };

    void run();
    // One connection from connect to loss; why it ended.
    std::string serve_connection();
    std::optional<std::string> connect_to_remote();
    // Reads server messages until one that is not a frame, or none within the time-out.
    std::optional<socketcand::ServerMessage> await_reply();
    std::optional<std::string> handshake();
    // The answer to the backplane command, or its absence, has come: the link is up.
    void start_carrying(std::optional<socketcand::BackplaneId> remote);
    // Reads frames while the local queue has room and writes the backlog; why it ended.
    std::string exchange_frames();
    bool fill_input();  // false when the connection ended
    void queue_remote_frames();
    bool write_backlog();  // false when the connection ended
    bool write_all(std::string_view text);
    void set_state(LinkState state);
    // Waits for the pause before the next try, or for stop(); false when stopping.
    bool pause(std::chrono::milliseconds length);
    void close_connection();
    void pump();
    bool stopping() const;
    std::ostream& log() const;

    can::Bus& bus_;
    const std::string bus_name_;
    const uint32_t bit_rate_;
    const socketcand::RemoteEndpoint remote_;
    BackplaneLinks& backplane_;
    LinkStatus& status_;
    WakeEvent wake_;
    int socket_ = -1;                    // the network thread's
    socketcand::CommandSplitter input_;  // the network thread's
    // Connected, and waiting for the server to say which backplane it is until then.
    std::optional<std::chrono::steady_clock::time_point> answer_due_;  // the network thread's
    mutable std::mutex mutex_;
    std::string backlog_;  // frames for the remote side, gathered by receive()
    std::string pending_;  // the batch being written; the network thread's, and mutex_ to drop it
    // Local frames that end from then on go out (steady clock, ns); none while down, or when the
    // server is this bus's own.
    std::optional<uint64_t> carrying_since_;
    std::optional<socketcand::BackplaneId> reached_;  // the server's backplane, while up
    bool stopping_ = false;
    bool attached_ = false;
    can::SendQueue<Relayed> queue_;  // taken after mutex_
    std::thread thread_;
};

}  // namespace k5320::bridges
