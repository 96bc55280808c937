// The virtual CAN bus that emulated modules, the demo node and later bridges share.
//
// Every node runs at a bit rate of its own. A frame occupies the bus for its exact length at its
// sender's rate (or not at all on an unpaced bus, for tests and benchmarks), the lowest
// arbitration field goes first, and every other node at the sender's rate receives it. Nodes at
// another rate cannot decode it and see bus errors instead.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <string_view>
#include <thread>
#include <vector>

#include "can/frame.h"

namespace k5320::can {

// How a receiving node's controller classifies what it saw.
enum class BusErrorKind : uint8_t {
    // Six equal bits in a row: what sampling a frame at the wrong bit rate produces.
    kStuff,
    // A fixed-form field broken: the error frame that follows a frame nobody acknowledged.
    kForm,
};

enum class TxOutcome : uint8_t {
    kAcknowledged,
    kNotAcknowledged,
    // A bit error destroyed the frame and an error frame followed: the sender counts it (TEC +8)
    // and tries again.
    kBitError,
    // The sender's transceiver is off the wire: nobody heard the frame, nor acknowledged it, and
    // it took no time of the bus.
    kOffTheWire,
};

// Where a frame was first sent: on this bus, or on another machine's bus whose frames a link
// relays onto this one. Links send only local frames on to other machines, so that joined buses
// carry each frame once and never round in a circle.
enum class Origin : uint8_t {
    kLocal,
    kRelayed,
};

// Bits an error frame takes on the wire: an error flag of 6 dominant bits, its delimiter of 8
// recessive bits and the intermission of 3.
inline constexpr unsigned kErrorFrameBits = 6 + 8 + 3;

// A time as BusClient::receive() is told it: nanoseconds on the steady clock.
inline uint64_t steady_nanoseconds(std::chrono::steady_clock::time_point time) {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count());
}

// A node on the bus. The bus calls these from its delivery thread (paced) or from whichever
// thread is delivering (unpaced), one call at a time per bus, and never while it holds its own
// lock: a callback may submit, attach or detach.
class BusClient {
  public:
    virtual ~BusClient();
    // Bits per second. 0 takes the node off the bus: it receives and acknowledges nothing, and
    // a frame it submits is reported not acknowledged at once, without taking bus time.
    virtual uint32_t bit_rate() const = 0;
    // Whether the node acknowledges frames (not in listen-only or reset mode).
    virtual bool active() const = 0;
    // A frame another node sent; time_ns is the end of the frame on the steady clock.
    virtual void receive(const Frame& frame, uint64_t time_ns) = 0;
    // A frame another node relayed from another machine's bus; to most nodes a frame like any
    // other.
    virtual void receive_relayed(const Frame& frame, uint64_t time_ns);
    virtual void bus_error(BusErrorKind kind) = 0;
    // The end of this node's frame. A frame nobody acknowledged is not repeated by the bus:
    // retrying is the sender's business.
    virtual void transmitted(const Frame& frame, TxOutcome outcome) = 0;
    // This node's pending frame lost arbitration at bit (see arbitration_lost_at) and stays
    // pending.
    virtual void arbitration_lost(const Frame& frame, unsigned bit);
};

struct BusCounters {
    uint64_t frames = 0;        // frames that went over the bus, acknowledged or not
    uint64_t acknowledged = 0;  // of those, the acknowledged ones
    uint64_t receptions = 0;    // frames handed to receivers
    uint64_t bits = 0;          // bus time used, in bits at each frame's rate
    uint64_t bus_errors = 0;    // bus errors reported to nodes
    uint64_t error_frames = 0;  // transmissions destroyed by a fault on the wire
};

enum class Pacing : uint8_t {
    kPaced,    // frames take their bit time; a bus thread delivers them
    kUnpaced,  // frames are delivered at once, without bus time
};

class Bus {
  public:
    explicit Bus(Pacing pacing);
    // Stops the bus thread. Clients should have detached; none is called afterwards.
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;
    // Names the thread of a paced bus, so that ps and top tell the buses apart.
    void name_thread(std::string_view name);

    Pacing pacing() const { return pacing_; }

    // Attaching twice is a no-op.
    void attach(BusClient* client);
    // Drops the client's pending frame. Once detach returns the bus calls the client no more,
    // unless detach was called from one of the bus's callbacks, which then end as they return.
    // The caller must not hold a lock that the client's callbacks take.
    void detach(BusClient* client);

    // Queues the client's next frame. A client has one frame on its way at a time, from submit
    // until transmitted() is called for it (a submit from within transmitted() is taken).
    // false when the client is not attached, already has a frame on its way, or the frame is
    // malformed (identifier beyond its format, length above 8). A remote frame's data and bytes
    // past the length are sent as 0. origin tells receivers whether the frame was relayed from
    // another machine's bus. Unpaced, the frame has been delivered when submit returns
    // unless another thread or an enclosing callback was delivering at that moment; that one
    // delivers it.
    bool submit(BusClient* client, const Frame& frame, Origin origin = Origin::kLocal);

    BusCounters counters() const;

    // Faults on the wire, for testing error handling; each holds until changed or cleared.
    // Stuck dominant: every transmission meets a bit error at its first recessive bit.
    void set_stuck_dominant(bool on);
    // That share of transmissions (0..100 %) is destroyed by a bit error at its end; the same
    // seed destroys the same transmissions.
    void set_bit_errors(unsigned percent, uint32_t seed);
    // A node whose transceiver is off the wire: it hears nothing and nobody hears it.
    void set_disconnected(BusClient* client, bool disconnected);
    void clear_faults();

  private:
    using Clock = std::chrono::steady_clock;

    struct Station {
        BusClient* client = nullptr;
        std::optional<Frame> frame;  // on its way: pending or on the bus
        Origin origin = Origin::kLocal;
        bool on_bus = false;
        bool disconnected = false;  // its transceiver is off the wire
        Clock::time_point submitted{};
    };

    struct WireFaults {
        bool stuck_dominant = false;
        unsigned bit_error_percent = 0;
        std::mt19937 draws;  // decides which transmissions the bit errors destroy
    };

    // Once frames have followed each other without a gap for this long, the bus thread wakes at
    // most once per this and delivers the frames that ended meanwhile together, each with its
    // exact end time: a saturated bus costs a thousand wake-ups a second, not one per frame. A
    // frame after a gap, or in a short burst, is delivered at its end.
    static constexpr std::chrono::microseconds kSaturatedWakeInterval{1000};

    // Frames sent back to back at one rate form a busy period; each end of frame is computed
    // from the period's start, so rounding and late wake-ups do not add up.
    struct BusyPeriod {
        Clock::time_point start{};
        uint32_t bit_rate = 0;
        uint64_t bits = 0;
    };

    // What a listener told the bus before a frame's end: its rate and whether it acknowledges.
    struct Peer {
        BusClient* client = nullptr;
        uint32_t bit_rate = 0;
        bool active = false;
    };

    void run();
    static bool waiting(const Station& station);  // has a frame not yet on the bus
    bool has_waiting_frame() const;
    Station* find(BusClient* client);

    // Sending one frame, with mutex_ held on entry and on return. Every call into a client
    // releases the lock (call_client), and while it is released clients may submit (the frame
    // waits for the next round), attach, or detach (no Station is kept across a call: the steps
    // find the sender again by its client); a detach from another thread waits for the call into
    // its client to end. Unpaced, a submit from within a callback leaves its frame to the
    // delivery loop that is running.
    //
    // Sends the frame that wins arbitration, if any is waiting; false when none is, or when the
    // bus stops during the frame.
    bool transmit_next(std::unique_lock<std::mutex>& lock);
    // When the next arbitration starts: once the bus is free and a frame is there.
    Clock::time_point arbitration_start() const;
    // Whether the station's frame takes part in the arbitration that starts at start.
    bool competes(const Station& station, Clock::time_point start) const;
    // The station whose frame wins among those that compete; one must wait.
    Station& arbitrate(Clock::time_point start);
    // Tells each competitor that lost against frame the bit at which it did.
    void notify_losers(std::unique_lock<std::mutex>& lock, BusClient* sender, const Frame& frame,
                       Clock::time_point start);
    // Occupies the bus for frame and hands it (or a bus error) to every listener; the sender's
    // outcome, none when the bus stops meanwhile.
    std::optional<TxOutcome> deliver(std::unique_lock<std::mutex>& lock, BusClient* sender,
                                     const Frame& frame, Origin origin, Clock::time_point start,
                                     uint32_t bit_rate);
    // Whether a fault on the wire destroys the transmission now starting, and after how many
    // bits of it; none when it goes through.
    std::optional<unsigned> bits_before_wire_error(const Frame& frame);
    // An error frame after bits of the sender's transmission: every listener sees a bus error.
    std::optional<TxOutcome> destroy(std::unique_lock<std::mutex>& lock, BusClient* sender,
                                     Clock::time_point start, uint32_t bit_rate, unsigned bits);
    // Every other attached client on the wire, with its rate and acknowledgement at this moment.
    std::vector<Peer> listeners(std::unique_lock<std::mutex>& lock, BusClient* sender);
    // Frees the sender's station and tells it the outcome, unless it detached meanwhile.
    void report_outcome(std::unique_lock<std::mutex>& lock, BusClient* sender, const Frame& frame,
                        TxOutcome outcome);
    // Waits until the end of a frame starting no earlier than submitted; none when stopping.
    std::optional<Clock::time_point> occupy_bus(std::unique_lock<std::mutex>& lock,
                                                Clock::time_point submitted, uint32_t bit_rate,
                                                unsigned bits);
    // Runs call on the client with the lock released, if it is still attached; false if not.
    template <typename Call>
    bool call_client(std::unique_lock<std::mutex>& lock, BusClient* client, Call&& call);

    const Pacing pacing_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;      // a frame waits, or the bus stops
    std::condition_variable stopped_;      // the bus stops: ends the wait for a frame's end
    std::condition_variable callee_done_;  // a call into a client returned
    std::vector<Station> stations_;        // in attach order, which breaks ties of equal frames
    BusCounters counters_;
    WireFaults faults_;
    // The thread calling clients and the client it is in; detach waits for such a call to end.
    std::thread::id deliverer_;
    bool delivering_ = false;
    BusClient* callee_ = nullptr;
    std::optional<BusyPeriod> busy_;
    Clock::time_point last_end_{};
    Clock::time_point last_wake_{};  // when the bus thread last woke from a frame's wait
    bool finishing_ = false;  // the bus thread is between a frame's end and its next pick
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace k5320::can
