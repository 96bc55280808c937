// Frames a node hands to the bus one at a time, from a bounded queue of its own.
//
// The queue never calls the bus while it holds its lock: an unpaced bus calls the node's
// transmitted() from inside submit(), and that pumps again. A node that keeps its own lock takes
// it before the queue's, never the other way round, and never holds it around pump().
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "emulator/can/bus.h"

namespace k5320::can {

// Item is a Frame, or a struct whose .frame goes to the bus and whose other members ride along
// until the bus is done with it (the sender of a frame, say); an .origin member, when there is
// one, tells the bus where the frame was first sent.
template <typename Item = Frame>
class SendQueue {
  public:
    SendQueue(Bus& bus, BusClient& owner, std::size_t capacity)
        : bus_(bus), owner_(owner), capacity_(capacity) {}
    SendQueue(const SendQueue&) = delete;
    SendQueue& operator=(const SendQueue&) = delete;

    // Items waiting, not counting the one on its way.
    bool full() const {
        std::lock_guard lock(mutex_);
        return waiting_.size() >= capacity_;
    }

    // false when full: the item is not taken, and counting it is the caller's business.
    bool push(Item item) {
        std::lock_guard lock(mutex_);
        if (waiting_.size() >= capacity_) return false;
        waiting_.push_back(std::move(item));
        return true;
    }

    // Hands the next waiting item to the bus unless one is on its way or the queue is closed.
    // false when the bus refused it: the item then stays on its way until finished() is called,
    // so that the caller can count it under its own lock in the same step that lets the next
    // one go.
    bool pump() {
        Frame frame;
        Origin origin = Origin::kLocal;
        {
            std::lock_guard lock(mutex_);
            if (closed_ || on_its_way_ || waiting_.empty()) return true;
            on_its_way_ = std::move(waiting_.front());
            waiting_.pop_front();
            frame = frame_of(*on_its_way_);
            origin = origin_of(*on_its_way_);
        }
        return bus_.submit(&owner_, frame, origin);
    }

    // The item that was on its way, now done with (from transmitted(), or after a refusal);
    // none if there was none. The caller pumps again once it has let go of its own lock.
    std::optional<Item> finished() {
        std::lock_guard lock(mutex_);
        std::optional<Item> item = std::move(on_its_way_);
        on_its_way_.reset();
        return item;
    }

    // Later pump() calls hand nothing more to the bus.
    void close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }

  private:
    static Origin origin_of(const Item& item) {
        if constexpr (requires { item.origin; }) {
            return item.origin;
        } else {
            return Origin::kLocal;
        }
    }
    static const Frame& frame_of(const Item& item) {
        if constexpr (std::is_same_v<Item, Frame>) {
            return item;
        } else {
            return item.frame;
        }
    }

    Bus& bus_;
    BusClient& owner_;
    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::deque<Item> waiting_;
    std::optional<Item> on_its_way_;
    bool closed_ = false;
};

}  // namespace k5320::can
