#include "emulator/can/demo_node.h"

#include <algorithm>

namespace k5320::can {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kFastPeriod{100};
constexpr milliseconds kExtendedPeriod{250};
constexpr milliseconds kSlowPeriod{1000};
constexpr uint8_t kSlowLength = 2;

// Multipliers that make each byte of the fast frame move at its own pace.
constexpr std::array<uint8_t, kMaxDataLength> kFastPattern = {1, 3, 5, 7, 11, 13, 17, 19};

void put_big_endian(std::array<uint8_t, kMaxDataLength>& data, std::size_t at, uint32_t value) {
    for (std::size_t i = 0; i < sizeof value; ++i) {
        data[at + i] = static_cast<uint8_t>(value >> (8 * (sizeof value - 1 - i)));
    }
}

Frame data_frame(uint32_t id, bool extended, uint8_t length) {
    return Frame{.id = id, .extended = extended, .remote = false, .length = length, .data = {}};
}

}  // namespace

DemoNode::DemoNode(Bus& bus, uint32_t bit_rate)
    : bus_(bus),
      bit_rate_(bit_rate),
      started_(Clock::now()),
      messages_{{
          {data_frame(kDemoFastId, false, kMaxDataLength), kFastPeriod, started_},
          {data_frame(kDemoExtendedId, true, kMaxDataLength), kExtendedPeriod, started_},
          {data_frame(kDemoSlowId, false, kSlowLength), kSlowPeriod, started_},
      }},
      waiting_(bus, *this, kMaxWaitingFrames) {
    bus_.attach(this);
    thread_ = std::thread([this] { run(); });
}

DemoNode::~DemoNode() {
    stop();
}

void DemoNode::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    bus_.detach(this);
}

DemoNode::Counters DemoNode::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

void DemoNode::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        const auto due =
            std::min_element(messages_.begin(), messages_.end(),
                             [](const Message& a, const Message& b) { return a.next < b.next; });
        if (wake_.wait_until(lock, due->next, [&] { return stopping_; })) break;
        const Clock::time_point now = Clock::now();
        for (Message& message : messages_) {
            if (message.next <= now) advance(message, now);
        }
        lock.unlock();
        pump();
        lock.lock();
    }
}

void DemoNode::advance(Message& message, Clock::time_point now) {
    // Counted from the start, so the schedule does not drift; slots missed while the machine
    // was busy are skipped rather than sent in a burst.
    while (message.next + message.period <= now) message.next += message.period;
    Frame& frame = message.frame;
    const uint32_t count = message.count++;
    switch (frame.id) {
        case kDemoFastId:
            for (std::size_t i = 0; i < kMaxDataLength; ++i) {
                frame.data[i] = static_cast<uint8_t>(count * kFastPattern[i]);
            }
            break;
        case kDemoExtendedId: {
            // The slot in the schedule rather than the moment of sending: steady, whatever
            // the machine's load.
            const auto elapsed = std::chrono::duration_cast<milliseconds>(message.next - started_);
            put_big_endian(frame.data, 0, static_cast<uint32_t>(elapsed.count()));
            put_big_endian(frame.data, sizeof(uint32_t), count);
            break;
        }
        default:
            frame.data[0] = static_cast<uint8_t>(count >> 8);
            frame.data[1] = static_cast<uint8_t>(count);
            break;
    }
    enqueue(frame);
    message.next += message.period;
}

bool DemoNode::enqueue(const Frame& frame) {
    if (waiting_.push(frame)) return true;
    ++counters_.dropped;
    return false;
}

void DemoNode::pump() {
    if (waiting_.pump()) return;
    std::lock_guard lock(mutex_);
    waiting_.finished();
    ++counters_.dropped;
}

void DemoNode::receive(const Frame& frame, uint64_t) {
    if (!frame.remote) return;
    {
        std::lock_guard lock(mutex_);
        const auto owned = std::find_if(messages_.begin(), messages_.end(), [&](const Message& m) {
            return m.frame.id == frame.id && m.frame.extended == frame.extended;
        });
        if (owned == messages_.end()) return;
        Frame answer = owned->frame;
        answer.length = frame.length;
        if (enqueue(answer)) ++counters_.remote_answered;
    }
    pump();
}

void DemoNode::bus_error(BusErrorKind) {
    std::lock_guard lock(mutex_);
    ++counters_.bus_errors;
}

void DemoNode::transmitted(const Frame&, TxOutcome outcome) {
    {
        std::lock_guard lock(mutex_);
        waiting_.finished();
        if (outcome == TxOutcome::kAcknowledged) {
            ++counters_.sent;
        } else {
            ++counters_.not_acknowledged;
        }
    }
    pump();
}

}  // namespace k5320::can
