#include "bridges/socketcan_bridge.h"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

namespace k5320::bridges {
namespace {

// Interface frames waiting for the virtual bus; more are dropped and counted (the kernel's own
// socket buffer holds the burst before that).
constexpr std::size_t kMaxQueuedFrames = 64;

can::Frame from_socketcan(const can_frame& in) {
    can::Frame frame;
    frame.extended = (in.can_id & CAN_EFF_FLAG) != 0;
    frame.remote = (in.can_id & CAN_RTR_FLAG) != 0;
    frame.id = in.can_id & (frame.extended ? CAN_EFF_MASK : CAN_SFF_MASK);
    frame.length = can::clamp_length(in.len);
    if (!frame.remote) {
        for (std::size_t i = 0; i < frame.length; ++i) frame.data[i] = in.data[i];
    }
    return frame;
}

can_frame to_socketcan(const can::Frame& frame) {
    can_frame out{};
    out.can_id =
        frame.id | (frame.extended ? CAN_EFF_FLAG : 0U) | (frame.remote ? CAN_RTR_FLAG : 0U);
    out.len = can::clamp_length(frame.length);
    if (!frame.remote) {
        for (std::size_t i = 0; i < out.len; ++i) out.data[i] = frame.data[i];
    }
    return out;
}

}  // namespace

SocketcanBridge::SocketcanBridge(can::Bus& bus, std::string interface, uint32_t bit_rate)
    : bus_(bus),
      interface_(std::move(interface)),
      bit_rate_(bit_rate),
      queue_(bus, *this, kMaxQueuedFrames) {
    const int fd = ::socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) {
        fail(std::string("this kernel offers no SocketCAN (socket(AF_CAN): ") +
             std::strerror(errno) + ")");
        return;
    }
    if (interface_.empty() || interface_.size() >= IFNAMSIZ) {
        ::close(fd);
        fail("bad interface name");
        return;
    }
    const unsigned index = ::if_nametoindex(interface_.c_str());
    sockaddr_can where{};
    where.can_family = AF_CAN;
    where.can_ifindex = static_cast<int>(index);
    if (index == 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0) {
        const int error = errno;
        ::close(fd);
        fail(std::string("cannot bind to the interface: ") + std::strerror(error));
        return;
    }
    if (!wake_.open()) {
        ::close(fd);
        fail(std::string("eventfd: ") + std::strerror(errno));
        return;
    }
    socket_ = fd;
    bus_.attach(this);
    attached_ = true;
    thread_ = std::thread([this] { run(); });
}

SocketcanBridge::~SocketcanBridge() {
    stop();
}

void SocketcanBridge::fail(const std::string& what) {
    failure_ = what;
    std::cerr << "socketcan " << interface_ << ": " << what << "; bridge not started" << std::endl;
}

void SocketcanBridge::stop() {
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
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
    wake_.close();
}

SocketcanBridge::Counters SocketcanBridge::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

void SocketcanBridge::run() {
    for (;;) {
        pollfd fds[2] = {{wake_.fd(), POLLIN, 0}, {socket_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
        }
        if (!(fds[1].revents & POLLIN)) continue;
        can_frame in{};
        while (::read(socket_, &in, sizeof in) == static_cast<ssize_t>(sizeof in)) {
            if (in.can_id & CAN_ERR_FLAG) continue;
            std::lock_guard lock(mutex_);
            if (!queue_.push(from_socketcan(in))) ++counters_.dropped;
        }
        pump();
    }
}

void SocketcanBridge::pump() {
    if (queue_.pump()) return;
    std::lock_guard lock(mutex_);
    queue_.finished();
    ++counters_.dropped;
}

void SocketcanBridge::receive(const can::Frame& frame, uint64_t) {
    const can_frame out = to_socketcan(frame);
    const bool written = ::write(socket_, &out, sizeof out) == static_cast<ssize_t>(sizeof out);
    std::lock_guard lock(mutex_);
    ++(written ? counters_.to_socket : counters_.write_errors);
}

void SocketcanBridge::bus_error(can::BusErrorKind) {}

void SocketcanBridge::transmitted(const can::Frame&, can::TxOutcome outcome) {
    {
        std::lock_guard lock(mutex_);
        queue_.finished();
        ++(outcome == can::TxOutcome::kAcknowledged ? counters_.to_bus : counters_.dropped);
    }
    pump();
}

}  // namespace k5320::bridges
