#include "bridges/socketcand_link.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>

namespace k5320::bridges {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Frames for the remote side not yet written: about a quarter of a second of a saturated
// 1 Mbit/s bus. Beyond it frames are dropped rather than held in memory without end.
constexpr std::size_t kMaxBacklog = 64 * 1024;
// Remote frames waiting for the local bus; beyond it the link stops reading the remote side.
constexpr std::size_t kMaxQueuedFrames = 64;
constexpr std::size_t kReadSize = 4096;
constexpr auto kConnectTimeout = 5s;
constexpr auto kReplyTimeout = 5s;
// A remote machine that vanishes without closing the connection is noticed within about
// idle + interval * count seconds.
constexpr int kKeepAliveIdleSeconds = 5;
constexpr int kKeepAliveIntervalSeconds = 2;
constexpr int kKeepAliveProbes = 3;
// And one that stops taking what is written, within as long.
constexpr auto kUnacknowledgedTimeout =
    std::chrono::seconds(kKeepAliveIdleSeconds + kKeepAliveIntervalSeconds * kKeepAliveProbes);

// Each frame on the stream ends with the close of its message.
uint64_t frames_in(std::string_view text) {
    return static_cast<uint64_t>(std::count(text.begin(), text.end(), socketcand::kMessageClose));
}

int milliseconds_until(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<int64_t>(left.count(), 0));
}

void set_socket_option(int fd, int level, int name, int value) {
    ::setsockopt(fd, level, name, &value, sizeof value);
}

}  // namespace

const char* link_state_name(LinkState state) {
    switch (state) {
        case LinkState::kConnecting:
            return "connecting";
        case LinkState::kUp:
            return "up";
        case LinkState::kDown:
            return "down";
    }
    return "unknown";
}

SocketcandLink::SocketcandLink(can::Bus& bus, std::string bus_name, uint32_t bit_rate,
                               socketcand::RemoteEndpoint remote, BackplaneLinks& backplane,
                               LinkStatus& status)
    : bus_(bus),
      bus_name_(std::move(bus_name)),
      bit_rate_(bit_rate),
      remote_(std::move(remote)),
      backplane_(backplane),
      status_(status),
      queue_(bus, *this, kMaxQueuedFrames) {
    if (!wake_.open()) {
        log() << "eventfd: " << std::strerror(errno) << "; the link stays down" << std::endl;
        status_.state = LinkState::kDown;
        return;
    }
    bus_.attach(this);
    attached_ = true;
    thread_ = std::thread([this] { run(); });
}

SocketcandLink::~SocketcandLink() {
    stop();
}

std::ostream& SocketcandLink::log() const {
    return std::cerr << "socketcand-remote " << bus_name_ << " "
                     << socketcand::endpoint_text(remote_) << ": ";
}

void SocketcandLink::stop() {
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
    wake_.close();
}

bool SocketcandLink::stopping() const {
    std::lock_guard lock(mutex_);
    return stopping_;
}

void SocketcandLink::run() {
    std::chrono::milliseconds retry = kFirstRetry;
    bool failure_logged = false;
    while (!stopping()) {
        status_.state = LinkState::kConnecting;
        const uint64_t connections_before = status_.connections;
        const std::string why = serve_connection();
        close_connection();
        if (stopping()) break;
        const bool was_up = status_.connections != connections_before;
        if (was_up) {
            retry = kFirstRetry;
            failure_logged = false;
        }
        // A remote side that stays away is logged once, not at every try.
        if (!failure_logged) {
            log() << (was_up ? "connection lost: " : "cannot connect: ") << why
                  << "; trying again, every " << kLastRetry.count() << " ms at most" << std::endl;
            failure_logged = true;
        }
        if (!pause(retry)) break;
        retry = std::min(retry * 2, kLastRetry);
    }
}

bool SocketcandLink::pause(std::chrono::milliseconds length) {
    const auto until = Clock::now() + length;
    while (!stopping()) {
        const int left = milliseconds_until(until);
        if (left == 0) return true;
        pollfd wake{wake_.fd(), POLLIN, 0};
        if (::poll(&wake, 1, left) > 0) wake_.drain();
    }
    return false;
}

std::string SocketcandLink::serve_connection() {
    if (std::optional<std::string> failure = connect_to_remote()) return *failure;
    if (std::optional<std::string> failure = handshake()) return *failure;
    answer_due_ = Clock::now() + kReplyTimeout;
    return exchange_frames();
}

void SocketcandLink::start_carrying(std::optional<socketcand::BackplaneId> remote) {
    answer_due_.reset();
    const bool itself = remote == backplane_.own();
    {
        std::lock_guard lock(mutex_);
        if (itself) {
            carrying_since_.reset();
        } else if (remote) {
            carrying_since_ = backplane_.carrying(this, *remote);
        } else {
            carrying_since_ = can::steady_nanoseconds(Clock::now());
        }
        reached_ = remote;
        status_.state = LinkState::kUp;
    }
    ++status_.connections;
    if (itself) {
        // Every frame would come back onto the bus it left.
        log() << "connected to this bus's own server; the link carries nothing" << std::endl;
    } else if (remote) {
        log() << "connected to backplane " << socketcand::backplane_id_text(*remote)
              << "; frames flow both ways" << std::endl;
    } else {
        log() << "connected; frames flow both ways" << std::endl;
    }
}

std::optional<std::string> SocketcandLink::connect_to_remote() {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(remote_.port);
    if (const int rc = ::getaddrinfo(remote_.host.c_str(), port.c_str(), &hints, &found); rc != 0)
        return std::string("cannot resolve ") + remote_.host + ": " + ::gai_strerror(rc);
    socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int connected = socket_ < 0 ? -1 : ::connect(socket_, found->ai_addr, found->ai_addrlen);
    const int connect_error = errno;
    ::freeaddrinfo(found);
    if (socket_ < 0) return std::string("socket: ") + std::strerror(connect_error);
    if (connected != 0 && connect_error != EINPROGRESS) return std::strerror(connect_error);
    pollfd fds[] = {{wake_.fd(), POLLIN, 0}, {socket_, POLLOUT, 0}};
    if (::poll(fds, 2, milliseconds_until(Clock::now() + kConnectTimeout)) <= 0 ||
        fds[1].revents == 0) {
        return stopping() ? "stopped" : "no answer within the connect time-out";
    }
    int error = 0;
    socklen_t size = sizeof error;
    ::getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &size);
    if (error != 0) return std::strerror(error);
    set_socket_option(socket_, IPPROTO_TCP, TCP_NODELAY, 1);
    set_socket_option(socket_, SOL_SOCKET, SO_KEEPALIVE, 1);
    set_socket_option(socket_, IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleSeconds);
    set_socket_option(socket_, IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalSeconds);
    set_socket_option(socket_, IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes);
    set_socket_option(
        socket_, IPPROTO_TCP, TCP_USER_TIMEOUT,
        static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(kUnacknowledgedTimeout).count()));
    return std::nullopt;
}

std::optional<std::string> SocketcandLink::handshake() {
    const auto expect = [&](auto wanted, std::string_view what) -> std::optional<std::string> {
        const std::optional<socketcand::ServerMessage> reply = await_reply();
        if (!reply) return "no " + std::string(what) + " from the server";
        if (const auto* error = std::get_if<socketcand::Error>(&*reply))
            return "the server refused: " + error->reason;
        if (!std::holds_alternative<decltype(wanted)>(*reply))
            return "the server did not answer as socketcand does";
        return std::nullopt;
    };
    if (auto failure = expect(socketcand::Hello{}, "greeting")) return failure;
    if (!write_all(socketcand::open_command(remote_.channel))) return "connection lost";
    if (auto failure = expect(socketcand::Ok{}, "reply to open")) return failure;
    // All at once: the server knows this for a backplane's link before it sends any frame. The
    // bare command first: a server of the previous version takes it and refuses the second.
    if (!write_all(std::string(socketcand::kRawModeCommand) +
                   std::string(socketcand::kBackplaneLinkCommand) +
                   socketcand::backplane_message(backplane_.own()))) {
        return "connection lost";
    }
    return expect(socketcand::Ok{}, "reply to rawmode");
}

std::optional<socketcand::ServerMessage> SocketcandLink::await_reply() {
    const auto deadline = Clock::now() + kReplyTimeout;
    for (;;) {
        if (std::optional<std::variant<std::string, socketcand::Invalid>> text =
                input_.next_text()) {
            if (const auto* message = std::get_if<std::string>(&*text))
                return socketcand::parse_server_message(*message);
            return std::get<socketcand::Invalid>(*text);
        }
        pollfd fds[] = {{wake_.fd(), POLLIN, 0}, {socket_, POLLIN, 0}};
        if (::poll(fds, 2, milliseconds_until(deadline)) <= 0 || stopping()) return std::nullopt;
        if (fds[0].revents & POLLIN) wake_.drain();
        if (fds[1].revents != 0 && !fill_input()) return std::nullopt;
    }
}

std::string SocketcandLink::exchange_frames() {
    for (;;) {
        queue_remote_frames();
        if (answer_due_ && Clock::now() >= *answer_due_) start_carrying(std::nullopt);
        pump();
        const bool room = !queue_.full();
        bool backlog = !pending_.empty();
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return "stopped";
            backlog = backlog || !backlog_.empty();
        }
        if (backlog && !write_backlog()) return "the connection broke while writing";
        const short events =
            static_cast<short>((room ? POLLIN : 0) | (pending_.empty() ? 0 : POLLOUT));
        pollfd fds[] = {{wake_.fd(), POLLIN, 0}, {socket_, events, 0}};
        const int timeout = answer_due_ ? milliseconds_until(*answer_due_) : -1;
        if (::poll(fds, 2, timeout) < 0 && errno != EINTR) return std::strerror(errno);
        if (fds[0].revents & POLLIN) wake_.drain();
        if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) && !fill_input())
            return "closed by the remote side";
    }
}

bool SocketcandLink::fill_input() {
    char buffer[kReadSize];
    for (;;) {
        const ssize_t got = ::recv(socket_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0) {
            input_.append(std::string_view(buffer, static_cast<std::size_t>(got)));
            return true;
        }
        if (got < 0 && errno == EINTR) continue;
        return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

void SocketcandLink::queue_remote_frames() {
    while (!queue_.full()) {
        std::optional<std::variant<std::string, socketcand::Invalid>> text = input_.next_text();
        if (!text) return;
        const auto* message = std::get_if<std::string>(&*text);
        if (message == nullptr) continue;
        const socketcand::ServerMessage parsed = socketcand::parse_server_message(*message);
        if (const auto* received = std::get_if<socketcand::Received>(&parsed)) {
            queue_.push(Relayed{received->frame});
        } else if (const auto* backplane = std::get_if<socketcand::Backplane>(&parsed)) {
            if (answer_due_) start_carrying(backplane->id);
        } else if (const auto* error = std::get_if<socketcand::Error>(&parsed)) {
            // A socketcand daemon does not know the backplane link's commands; that is all.
            log() << "the server says: " << error->reason << std::endl;
            if (answer_due_) start_carrying(std::nullopt);
        }
    }
}

bool SocketcandLink::write_backlog() {
    // What receive() has gathered is taken only when the last batch is out, so that a remote side
    // that reads slowly holds at most two batches here.
    if (pending_.empty()) {
        std::lock_guard lock(mutex_);
        pending_.swap(backlog_);
    }
    while (!pending_.empty()) {
        const ssize_t put =
            ::send(socket_, pending_.data(), pending_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (put < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        const auto written = static_cast<std::size_t>(put);
        status_.to_remote += frames_in(std::string_view(pending_).substr(0, written));
        pending_.erase(0, written);
    }
    return true;
}

bool SocketcandLink::write_all(std::string_view text) {
    while (!text.empty()) {
        const ssize_t put = ::send(socket_, text.data(), text.size(), MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd out{socket_, POLLOUT, 0};
            if (::poll(&out, 1, milliseconds_until(Clock::now() + kReplyTimeout)) <= 0)
                return false;
            continue;
        }
        if (put <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

void SocketcandLink::close_connection() {
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
    input_ = socketcand::CommandSplitter();
    answer_due_.reset();
    std::lock_guard lock(mutex_);
    status_.state = LinkState::kDown;
    // The server sends that backplane's link the frames again from now on.
    if (reached_ && carrying_since_) backplane_.stopped(this);
    reached_.reset();
    carrying_since_.reset();
    // Frames cut off by the loss count as dropped, whole or in part.
    status_.dropped_to_remote += frames_in(pending_) + frames_in(backlog_);
    pending_.clear();
    backlog_.clear();
}

void SocketcandLink::pump() {
    if (queue_.pump()) return;
    queue_.finished();
    ++status_.dropped_from_remote;
}

void SocketcandLink::receive(const can::Frame& frame, uint64_t time_ns) {
    // The protocol has no remote frames: one would arrive as a data frame, a wrong frame.
    if (frame.remote) {
        ++status_.dropped_to_remote;
        return;
    }
    const std::string command = socketcand::send_command(frame);
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        // A frame that ended before the link told BackplaneLinks is the server's to send.
        if (status_.state != LinkState::kUp || !carrying_since_ || time_ns < *carrying_since_ ||
            backlog_.size() + command.size() > kMaxBacklog) {
            ++status_.dropped_to_remote;
            return;
        }
        first = backlog_.empty();
        backlog_ += command;
    }
    if (first) wake_.ring();
}

void SocketcandLink::receive_relayed(const can::Frame&, uint64_t) {
    // Came from another machine: that machine sends it to the others itself.
}

void SocketcandLink::bus_error(can::BusErrorKind) {}

void SocketcandLink::transmitted(const can::Frame&, can::TxOutcome outcome) {
    queue_.finished();
    if (outcome == can::TxOutcome::kAcknowledged) {
        ++status_.from_remote;
    } else {
        ++status_.dropped_from_remote;
    }
    wake_.ring();  // the queue has room again
    pump();
}

}  // namespace k5320::bridges
