// Bus taps: the node that runs beside the bus, and the reader's end.
#include "backplane/bus_tap.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "backplane/inspect.h"
#include "backplane/tap_node.h"

namespace k5320::backplane {

namespace {

uint64_t nanoseconds(std::chrono::nanoseconds since_epoch) {
    return static_cast<uint64_t>(since_epoch.count());
}

}  // namespace

TapNode::TapNode(int fd, uint32_t bit_rate) : fd_(fd), bit_rate_(bit_rate) {}

TapNode::~TapNode() {
    close(fd_);
}

void TapNode::receive(const can::Frame& frame, uint64_t time_ns) {
    TapEvent event;
    event.kind = TapEvent::Kind::kFrame;
    event.id = frame.id;
    event.extended = frame.extended ? 1 : 0;
    event.remote = frame.remote ? 1 : 0;
    event.length = frame.length;
    std::memcpy(event.data, frame.data.data(), sizeof event.data);
    post(event, time_ns);
}

void TapNode::bus_error(can::BusErrorKind kind) {
    TapEvent event;
    event.kind = TapEvent::Kind::kBusError;
    event.error_kind = kind == can::BusErrorKind::kStuff ? TapEvent::ErrorKind::kStuff
                                                         : TapEvent::ErrorKind::kForm;
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    post(event, nanoseconds(std::chrono::duration_cast<std::chrono::nanoseconds>(now)));
}

void TapNode::post(TapEvent event, uint64_t time_ns) {
    if (reader_gone()) return;
    // The bus's times are on the steady clock; the reader wants the wall clock.
    const uint64_t steady_now = nanoseconds(std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch()));
    const uint64_t wall_now = nanoseconds(std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch()));
    const uint64_t age = steady_now > time_ns ? steady_now - time_ns : 0;
    event.wall_ns = wall_now - age;
    event.lost = lost_;
    if (send(fd_, &event, sizeof event, MSG_DONTWAIT | MSG_NOSIGNAL) == sizeof event) {
        lost_ = 0;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) {
        ++lost_;  // the reader fell behind: the bus does not wait for it
    } else {
        reader_gone_.store(true, std::memory_order_relaxed);
    }
}

void TapSet::add(can::Bus& bus, int key, int fd, uint32_t bit_rate) {
    auto node = std::make_unique<TapNode>(fd, bit_rate);
    can::Bus* const target = &bus;
    target->attach(node.get());
    std::lock_guard lock(mutex_);
    entries_.push_back({target, key, std::move(node)});
}

void TapSet::remove(int key) {
    detach_where(false, key);
}

void TapSet::clear() {
    detach_where(true, -1);
}

void TapSet::detach_where(bool all, int key) {
    std::vector<Entry> leaving;
    {
        std::lock_guard lock(mutex_);
        for (auto it = entries_.begin(); it != entries_.end();) {
            if (all || it->key == key || it->node->reader_gone()) {
                leaving.push_back(std::move(*it));
                it = entries_.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Outside the lock: detach waits for a call into the node in progress.
    for (Entry& entry : leaving) entry.bus->detach(entry.node.get());
}

bool make_tap_sockets(int fds[2], std::string* error) {
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) {
        *error = std::string("socketpair: ") + std::strerror(errno);
        return false;
    }
    // Room for a burst of a saturated bus while the reader is busy writing its output.
    constexpr int kTapBuffer = 4 << 20;
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &kTapBuffer, sizeof kTapBuffer);
    setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &kTapBuffer, sizeof kTapBuffer);
    return true;
}

BusTap::BusTap(int fd, uint32_t bit_rate) : fd_(fd), bit_rate_(bit_rate) {}

BusTap::~BusTap() {
    close(fd_);
}

BusTap::Read BusTap::next(TapEvent* event, int timeout_ms) {
    if (!holds_events()) {
        const Read read = fill(timeout_ms);
        if (read != Read::kEvent) return read;
    }
    *event = batch_[taken_++];
    return Read::kEvent;
}

BusTap::Read BusTap::fill(int timeout_ms) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto waited_ms = [&] {
        return static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    };
    // Events came in the last interval: let more gather before taking them.
    if (busy_since_) {
        const auto due = *busy_since_ + kBusyReadInterval;
        if (timeout_ms >= 0) {
            std::this_thread::sleep_until(
                std::min(due, start + std::chrono::milliseconds(timeout_ms)));
        } else {
            std::this_thread::sleep_until(due);
        }
    }
    held_ = 0;
    taken_ = 0;
    std::array<iovec, kBatchEvents> vectors{};
    std::array<mmsghdr, kBatchEvents> messages{};
    for (std::size_t i = 0; i < kBatchEvents; ++i) {
        vectors[i] = {&batch_[i], sizeof batch_[i]};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    for (;;) {
        const int got = recvmmsg(fd_, messages.data(), kBatchEvents, MSG_DONTWAIT, nullptr);
        if (got > 0) {
            for (int i = 0; i < got; ++i) {
                if (messages[static_cast<std::size_t>(i)].msg_len != sizeof(TapEvent))
                    return Read::kClosed;
            }
            held_ = static_cast<std::size_t>(got);
            busy_since_ = Clock::now();
            return Read::kEvent;
        }
        if (got == 0) return Read::kClosed;  // the service closed its end
        if (errno == EINTR) return Read::kTimeout;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return Read::kClosed;
        busy_since_.reset();  // quiet: the next event is taken as soon as it comes
        const int left = timeout_ms < 0 ? -1 : std::max(0, timeout_ms - waited_ms());
        pollfd ready{fd_, POLLIN, 0};
        const int n = poll(&ready, 1, left);
        if (n == 0 || (n < 0 && errno == EINTR)) return Read::kTimeout;
        if (n < 0) return Read::kClosed;
    }
}

std::unique_ptr<BusTap> open_bus_tap(std::string_view bus, uint32_t bit_rate, std::string* error) {
    uint32_t used_rate = 0;
    const int fd = host().open_tap(bus, bit_rate, &used_rate, error);
    if (fd < 0) return nullptr;
    return std::make_unique<BusTap>(fd, used_rate);
}

}  // namespace k5320::backplane
