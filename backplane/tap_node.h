// The node behind a bus tap: a listen-only controller on the bus that writes what it sees to a
// socket, without ever blocking the bus (a reader that falls behind loses events, counted).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "backplane/bus_tap.h"
#include "emulator/can/bus.h"

namespace k5320::backplane {

class TapNode final : public can::BusClient {
  public:
    // Takes fd (a SOCK_SEQPACKET socket whose other end the reader holds).
    TapNode(int fd, uint32_t bit_rate);
    ~TapNode() override;
    TapNode(const TapNode&) = delete;
    TapNode& operator=(const TapNode&) = delete;

    uint32_t bit_rate() const override { return bit_rate_; }
    bool active() const override { return false; }  // listen-only: acknowledges nothing
    void receive(const can::Frame& frame, uint64_t time_ns) override;
    void bus_error(can::BusErrorKind kind) override;
    void transmitted(const can::Frame&, can::TxOutcome) override {}

    // The reader closed its end: the tap can be detached and destroyed.
    bool reader_gone() const { return reader_gone_.load(std::memory_order_relaxed); }

  private:
    void post(TapEvent event, uint64_t time_ns);

    const int fd_;
    const uint32_t bit_rate_;
    uint32_t lost_ = 0;  // the bus calls a client one call at a time
    std::atomic<bool> reader_gone_{false};
};

// The taps on a backplane's buses, each known by a key (its reader's connection, or its own
// socket); all are detached before the buses go.
class TapSet {
  public:
    TapSet() = default;
    ~TapSet() { clear(); }
    TapSet(const TapSet&) = delete;
    TapSet& operator=(const TapSet&) = delete;

    // Attaches a tap that writes to fd (taken) on bus.
    void add(can::Bus& bus, int key, int fd, uint32_t bit_rate);
    // Detaches the tap of key, and every tap whose reader has gone.
    void remove(int key);
    void clear();

  private:
    struct Entry {
        can::Bus* bus;
        int key;
        std::unique_ptr<TapNode> node;
    };
    void detach_where(bool all, int key);

    std::mutex mutex_;
    std::vector<Entry> entries_;
};

// A connected pair of sockets for a tap: [0] the tap's, [1] the reader's; false (error tells
// why) when the system refuses.
bool make_tap_sockets(int fds[2], std::string* error);

}  // namespace k5320::backplane
