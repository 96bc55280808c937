#include "bridges/socketcand_server.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <optional>
#include <vector>

namespace k5320::bridges {
namespace {

// Frames from clients waiting for the bus; beyond this the server stops reading its clients.
constexpr std::size_t kMaxQueuedFrames = 64;
// Frames a client has not read yet; a client this far behind is dropped, so that one stalled
// reader cannot make the service's memory grow (about three seconds of a saturated 1 Mbit/s bus).
constexpr std::size_t kMaxClientBacklog = 1 << 20;
constexpr std::size_t kMaxClients = 16;
constexpr int kListenBacklog = 8;
constexpr std::size_t kReadSize = 4096;
// Time between the raw-mode reply and the first frame: python-can takes the reply with a single
// receive and refuses anything that arrives with it.
constexpr auto kHandshakeGap = std::chrono::milliseconds(50);
constexpr int kHeldFramesPollMs = 5;
// Keeps frames apart on the stream: python-can 4.1 drops the character after the last complete
// message it has parsed, which without a separator is the '<' of a frame cut by a receive.
constexpr std::string_view kFrameSeparator = " ";

uint64_t wall_clock_us() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

std::ostream& log(const std::string& bus_name) {
    return std::cerr << "socketcand " << bus_name << ": ";
}

constexpr uint32_t kLoopbackNet = 0x7F000000;  // 127.0.0.0/8
constexpr uint32_t kLoopbackMask = 0xFF000000;

bool is_loopback(const in_addr& address) {
    return (ntohl(address.s_addr) & kLoopbackMask) == kLoopbackNet;
}

// The user owning the socket at the other end of a loopback TCP connection, as the kernel's
// socket diagnostics tell it (what `ss -e` shows): the peer's socket is the one whose local and
// remote addresses are this one's the other way round.
std::optional<uid_t> loopback_peer_owner(int fd) {
    sockaddr_in local{};
    sockaddr_in remote{};
    socklen_t local_size = sizeof local;
    socklen_t remote_size = sizeof remote;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_size) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &remote_size) != 0 ||
        remote.sin_family != AF_INET || !is_loopback(remote.sin_addr)) {
        return std::nullopt;
    }
    const int diag = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (diag < 0) return std::nullopt;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST;
    query.request.sdiag_family = AF_INET;
    query.request.sdiag_protocol = IPPROTO_TCP;
    query.request.idiag_states = ~0U;
    query.request.id.idiag_sport = remote.sin_port;
    query.request.id.idiag_dport = local.sin_port;
    query.request.id.idiag_src[0] = remote.sin_addr.s_addr;
    query.request.id.idiag_dst[0] = local.sin_addr.s_addr;
    query.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    query.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    alignas(nlmsghdr) char answer[kReadSize];
    const bool asked = ::send(diag, &query, sizeof query, 0) == sizeof query;
    const ssize_t got = asked ? ::recv(diag, answer, sizeof answer, 0) : -1;
    ::close(diag);
    const auto* header = reinterpret_cast<const nlmsghdr*>(answer);
    if (got < 0 || !NLMSG_OK(header, static_cast<std::size_t>(got)) ||
        header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
        header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
        return std::nullopt;
    }
    const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
    // Only the live connection itself counts, not a listener or a closed one on the same port.
    if (found->id.idiag_sport != remote.sin_port || found->id.idiag_dport != local.sin_port ||
        found->idiag_state == TCP_LISTEN || found->idiag_state == TCP_TIME_WAIT ||
        found->idiag_state == TCP_CLOSE) {
        return std::nullopt;
    }
    return found->idiag_uid;
}

}  // namespace

SocketcandServer::SocketcandServer(can::Bus& bus, std::string bus_name, uint32_t bit_rate,
                                   Options options)
    : bus_(bus),
      bus_name_(std::move(bus_name)),
      bit_rate_(bit_rate),
      options_(std::move(options)),
      backplane_(options_.backplane != nullptr ? *options_.backplane : own_backplane_),
      queue_(bus, *this, kMaxQueuedFrames) {
    const std::string& address = options_.address;
    const uint16_t port = options_.port;
    const auto fail = [&](std::string why) {
        failure_ = "socketcand: " + std::move(why);
        log(bus_name_) << failure_ << std::endl;
    };
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) {
        fail("not an IPv4 address: " + address);
        return;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fail(std::string("socket: ") + std::strerror(errno));
        return;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    socklen_t size = sizeof where;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0 ||
        ::listen(fd, kListenBacklog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&where), &size) != 0) {
        fail("cannot listen on " + address + ":" + std::to_string(port) + ": " +
             std::strerror(errno));
        ::close(fd);
        return;
    }
    if (!wake_.open()) {
        fail(std::string("eventfd: ") + std::strerror(errno));
        ::close(fd);
        return;
    }
    listener_ = fd;
    port_ = ntohs(where.sin_port);
    own_user_only_ = is_loopback(where.sin_addr) && !options_.open;
    log(bus_name_) << "listening on " << address << ":" << port_ << std::endl;
    if (!is_loopback(where.sin_addr)) {
        log(bus_name_) << "warning: " << address
                       << " is not a loopback address: every peer that reaches it, on this "
                          "machine or another, can read and write the bus"
                       << std::endl;
    } else if (options_.open) {
        log(bus_name_) << "warning: open to every local user: all of them can read and write "
                          "the bus"
                       << std::endl;
    }
    bus_.attach(this);
    attached_ = true;
    thread_ = std::thread([this] { run(); });
}

SocketcandServer::~SocketcandServer() {
    stop();
}

void SocketcandServer::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        queue_.close();
    }
    wake_.ring();
    if (thread_.joinable()) thread_.join();
    if (attached_) bus_.detach(this);
    attached_ = false;
    std::lock_guard lock(mutex_);
    for (Connection& connection : connections_) ::close(connection.fd);
    connections_.clear();
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
    wake_.close();
}

SocketcandServer::Counters SocketcandServer::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

void SocketcandServer::run() {
    std::vector<pollfd> fds;
    std::vector<Connection*> polled;
    for (;;) {
        int timeout_ms = -1;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            fds.clear();
            polled.clear();
            fds.push_back({wake_.fd(), POLLIN, 0});
            fds.push_back({listener_, POLLIN, 0});
            const auto now = std::chrono::steady_clock::now();
            const auto wait_until = [&](TimePoint when) {
                if (when == TimePoint::max()) return;
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
                const int ms = static_cast<int>(std::max<decltype(left)>(left, 0));
                timeout_ms = timeout_ms < 0 ? ms : std::min(timeout_ms, ms);
            };
            for (Connection& connection : connections_) {
                // A client whose frame waits for a queue place is held back by TCP.
                short events = connection.waiting ? 0 : POLLIN;
                wait_until(connection.deadline);
                if (!connection.output.empty()) events |= POLLOUT;
                if (!connection.frames.empty()) {
                    if (now >= connection.frames_from) {
                        events |= POLLOUT;
                    } else {
                        wait_until(now + std::chrono::milliseconds(kHeldFramesPollMs));
                    }
                }
                fds.push_back({connection.fd, events, 0});
                polled.push_back(&connection);
            }
        }
        if (::poll(fds.data(), fds.size(), timeout_ms) < 0 && errno != EINTR) {
            log(bus_name_) << "poll: " << std::strerror(errno) << std::endl;
            return;
        }
        if (fds[0].revents & POLLIN) wake_.drain();
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            for (std::size_t i = 0; i < polled.size(); ++i) {
                if (fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) read_client(*polled[i]);
            }
            if (fds[1].revents & POLLIN) accept_clients();
            const auto now = std::chrono::steady_clock::now();
            handle_commands(now);
            close_idle(now);
            write_clients(now);
            for (auto it = connections_.begin(); it != connections_.end();) {
                if (it->closing) {
                    ::close(it->fd);
                    it = connections_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        pump();
    }
}

bool SocketcandServer::admits(int fd) const {
    if (!own_user_only_) return true;
    const std::optional<uid_t> owner = loopback_peer_owner(fd);
    return owner && *owner == ::geteuid();
}

void SocketcandServer::accept_clients() {
    for (;;) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (!admits(fd)) {
            log(bus_name_) << "refused a connection of another user" << std::endl;
            ++counters_.refused;
            const std::string refusal = socketcand::error_reply("access denied");
            [[maybe_unused]] const ssize_t ignored =
                ::send(fd, refusal.data(), refusal.size(), MSG_NOSIGNAL);
            ::close(fd);
            continue;
        }
        if (connections_.size() >= kMaxClients) {
            const std::string refusal = socketcand::error_reply("too many clients");
            [[maybe_unused]] const ssize_t ignored =
                ::send(fd, refusal.data(), refusal.size(), MSG_NOSIGNAL);
            ::close(fd);
            continue;
        }
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        Connection& connection = connections_.emplace_back();
        connection.fd = fd;
        connection.id = next_id_++;
        connection.output = socketcand::kHello;
        connection.deadline = std::chrono::steady_clock::now() + options_.idle_timeout;
        ++counters_.clients;
    }
}

void SocketcandServer::read_client(Connection& connection) {
    char buffer[kReadSize];
    const ssize_t got = ::recv(connection.fd, buffer, sizeof buffer, 0);
    if (got > 0) {
        connection.input.append(std::string_view(buffer, static_cast<std::size_t>(got)));
    } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        connection.closing = true;
    }
}

void SocketcandServer::handle_commands(TimePoint now) {
    for (Connection& connection : connections_) settle(connection, now);
    while (!queue_.full()) {
        const auto next = std::find_if(connections_.begin(), connections_.end(),
                                       [](const Connection& c) { return c.waiting && !c.closing; });
        if (next == connections_.end()) break;
        queue_.push(Outgoing{*next->waiting, next->id,
                             next->backplane_link ? can::Origin::kRelayed : can::Origin::kLocal,
                             can::steady_nanoseconds(std::chrono::steady_clock::now())});
        next->waiting.reset();
        // Served now: last in line for the next place.
        connections_.splice(connections_.end(), connections_, next);
        settle(*next, now);
    }
}

void SocketcandServer::settle(Connection& connection, TimePoint now) {
    while (!connection.closing && !connection.waiting) {
        std::optional<socketcand::Command> command = connection.input.next();
        if (!command) break;
        const auto* send = std::get_if<socketcand::Send>(&*command);
        if (send != nullptr && connection.stage != Stage::kGreeted) {
            connection.waiting = send->frame;
        } else {
            handle(connection, *command);
        }
    }
    // Until it opens a bus a connection has its first deadline; then only a command begun and not
    // ended counts, from when it began. A waiting frame stops the clock: it is the server that
    // reads no further.
    if (connection.stage == Stage::kGreeted) return;
    if (connection.waiting || !connection.input.partial()) {
        connection.deadline = TimePoint::max();
    } else if (connection.deadline == TimePoint::max()) {
        connection.deadline = now + options_.idle_timeout;
    }
}

void SocketcandServer::close_idle(TimePoint now) {
    for (Connection& connection : connections_) {
        if (connection.closing || connection.waiting || now < connection.deadline) continue;
        log(bus_name_) << "client " << connection.id << " idle for "
                       << options_.idle_timeout.count() << " ms; closed" << std::endl;
        connection.closing = true;
        ++counters_.timed_out;
    }
}

void SocketcandServer::handle(Connection& connection, const socketcand::Command& command) {
    auto refuse = [&](std::string_view reason) {
        connection.output += socketcand::error_reply(reason);
        ++counters_.errors;
    };
    if (const auto* invalid = std::get_if<socketcand::Invalid>(&command)) {
        refuse(invalid->reason);
    } else if (const auto* open = std::get_if<socketcand::Open>(&command)) {
        if (connection.stage != Stage::kGreeted) return refuse("a bus is already open");
        if (open->bus != bus_name_) return refuse("no such bus");
        connection.stage = Stage::kOpened;
        connection.output += socketcand::kOk;
    } else if (std::holds_alternative<socketcand::RawMode>(command)) {
        if (connection.stage == Stage::kGreeted) return refuse("open a bus first");
        connection.stage = Stage::kRaw;
        connection.output += socketcand::kOk;
        connection.frames_from = std::chrono::steady_clock::now() + kHandshakeGap;
    } else if (const auto* link = std::get_if<socketcand::BackplaneLink>(&command)) {
        if (connection.stage != Stage::kRaw) return refuse("rawmode first");
        connection.backplane_link = true;
        if (!link->id) return;
        connection.backplane = link->id;
        connection.output += socketcand::backplane_message(backplane_.own());
        if (*link->id == backplane_.own()) {
            log(bus_name_) << "client " << connection.id
                           << " is a link of this very bus; it gets no frames" << std::endl;
        }
    } else if (std::holds_alternative<socketcand::Echo>(command)) {
        connection.output += "< echo >";
    } else if (std::holds_alternative<socketcand::Send>(command)) {
        // settle() queues the frames of a client that has opened a bus.
        refuse("open a bus first");
    }
}

void SocketcandServer::write_clients(std::chrono::steady_clock::time_point now) {
    for (Connection& connection : connections_) {
        if (connection.closing) continue;
        if (connection.output.empty() && !connection.frames.empty() &&
            now >= connection.frames_from) {
            connection.output.swap(connection.frames);
        }
        while (!connection.output.empty()) {
            const ssize_t put = ::send(connection.fd, connection.output.data(),
                                       connection.output.size(), MSG_NOSIGNAL);
            if (put < 0) {
                if (errno == EINTR) continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK) connection.closing = true;
                break;
            }
            connection.output.erase(0, static_cast<std::size_t>(put));
        }
        // Replies pile up only for a client that writes without reading (garbage, say).
        if (connection.output.size() > kMaxClientBacklog) {
            log(bus_name_) << "client " << connection.id << " does not read its replies; dropped"
                           << std::endl;
            connection.closing = true;
            ++counters_.slow_clients;
        }
    }
}

bool SocketcandServer::for_backplane_links(const can::Frame& frame, can::Origin origin) {
    // A remote frame would reach the other backplane as a data frame: the link there keeps its
    // own back for the same reason.
    return origin == can::Origin::kLocal && !frame.remote;
}

bool SocketcandServer::link_gets(const Connection& connection, const ForLinks& frame) const {
    if (!frame.any) return false;
    if (!connection.backplane) return true;
    return *connection.backplane != backplane_.own() &&
           !backplane_.carried(*connection.backplane, frame.from_ns, frame.to_ns);
}

void SocketcandServer::queue_to_clients(const std::string& message, uint64_t except,
                                        const ForLinks& for_links) {
    bool any = false;
    for (Connection& connection : connections_) {
        if (connection.stage != Stage::kRaw || connection.closing || connection.id == except ||
            (connection.backplane_link && !link_gets(connection, for_links))) {
            continue;
        }
        if (connection.frames.size() > kMaxClientBacklog) {
            log(bus_name_) << "client " << connection.id << " does not read its frames; dropped"
                           << std::endl;
            connection.closing = true;
            ++counters_.slow_clients;
            continue;
        }
        connection.frames += kFrameSeparator;
        connection.frames += message;
        ++counters_.forwarded;
        any = true;
    }
    if (any) wake_.ring();
}

void SocketcandServer::pump() {
    if (queue_.pump()) return;
    std::lock_guard lock(mutex_);
    queue_.finished();
    ++counters_.not_acknowledged;
}

void SocketcandServer::receive(const can::Frame& frame, uint64_t time_ns) {
    forward_from_bus(frame, can::Origin::kLocal, time_ns);
}

void SocketcandServer::receive_relayed(const can::Frame& frame, uint64_t time_ns) {
    forward_from_bus(frame, can::Origin::kRelayed, time_ns);
}

void SocketcandServer::forward_from_bus(const can::Frame& frame, can::Origin origin,
                                        uint64_t time_ns) {
    const std::string message = socketcand::frame_message(frame, wall_clock_us());
    std::lock_guard lock(mutex_);
    queue_to_clients(message, 0, ForLinks{for_backplane_links(frame, origin), time_ns, time_ns});
}

void SocketcandServer::bus_error(can::BusErrorKind) {}

void SocketcandServer::transmitted(const can::Frame& frame, can::TxOutcome outcome) {
    const bool acknowledged = outcome == can::TxOutcome::kAcknowledged;
    const std::string message =
        acknowledged ? socketcand::frame_message(frame, wall_clock_us()) : std::string();
    {
        std::lock_guard lock(mutex_);
        const std::optional<Outgoing> finished = queue_.finished();
        if (acknowledged) {
            ++counters_.sent;
            // The bus tells no sender when its frame ended: some time since it was queued.
            const ForLinks for_links{
                for_backplane_links(frame, finished ? finished->origin : can::Origin::kLocal),
                finished ? finished->queued_ns : 0,
                can::steady_nanoseconds(std::chrono::steady_clock::now())};
            queue_to_clients(message, finished ? finished->sender : 0, for_links);
        } else {
            ++counters_.not_acknowledged;
        }
        wake_.ring();  // the queue has room again
    }
    pump();
}

}  // namespace k5320::bridges
