#include "emulator/can/bus.h"

#include <algorithm>

#include "emulator/can/arbitration.h"
#include "can/frame_length.h"
#include "platform/thread.h"

namespace k5320::can {
namespace {

constexpr uint64_t kNanosecondsPerSecond = 1'000'000'000;

// Split into whole seconds and the rest so that long busy periods cannot overflow.
std::chrono::nanoseconds bit_time(uint64_t bits, uint32_t bit_rate) {
    return std::chrono::nanoseconds(bits / bit_rate * kNanosecondsPerSecond +
                                    bits % bit_rate * kNanosecondsPerSecond / bit_rate);
}

bool well_formed(const Frame& frame) {
    const uint32_t id_mask = frame.extended ? kExtendedIdMask : kStandardIdMask;
    return (frame.id & ~id_mask) == 0 && frame.length <= kMaxDataLength;
}

// What the wire carries: no data in a remote frame, nothing past the length.
Frame as_sent(const Frame& frame) {
    Frame sent = frame;
    const uint8_t data_bytes = frame.remote ? 0 : frame.length;
    std::fill(sent.data.begin() + data_bytes, sent.data.end(), 0);
    return sent;
}

}  // namespace

BusClient::~BusClient() = default;

void BusClient::arbitration_lost(const Frame&, unsigned) {}

void BusClient::receive_relayed(const Frame& frame, uint64_t time_ns) {
    receive(frame, time_ns);
}

Bus::Bus(Pacing pacing) : pacing_(pacing) {
    if (pacing_ == Pacing::kPaced) {
        thread_ = std::thread([this] { run(); });
        // The bus stands in for hardware: a busy host must not stretch its frames.
        platform::set_thread_ce_priority(thread_.native_handle(), platform::kHardwareCePriority);
    }
}

Bus::~Bus() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    stopped_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Bus::attach(BusClient* client) {
    if (client == nullptr) return;
    std::lock_guard lock(mutex_);
    if (find(client) != nullptr) return;
    Station station;
    station.client = client;
    stations_.push_back(station);
}

void Bus::detach(BusClient* client) {
    std::unique_lock lock(mutex_);
    std::erase_if(stations_, [client](const Station& station) { return station.client == client; });
    // From the delivering thread itself the call in progress is the caller's own.
    callee_done_.wait(lock, [&] {
        return callee_ != client || (delivering_ && deliverer_ == std::this_thread::get_id());
    });
}

bool Bus::submit(BusClient* client, const Frame& frame, Origin origin) {
    if (!well_formed(frame)) return false;
    std::unique_lock lock(mutex_);
    Station* station = find(client);
    if (station == nullptr || station->frame) return false;
    station->frame = as_sent(frame);
    station->origin = origin;
    station->on_bus = false;
    // The callbacks at the end of a frame stand for what a controller does within the
    // intermission: a frame submitted from them waits at that frame's end, so a sender can keep
    // the bus saturated.
    station->submitted = finishing_ ? std::min(Clock::now(), last_end_) : Clock::now();
    if (pacing_ == Pacing::kPaced) {
        changed_.notify_one();
        return true;
    }
    // Unpaced: the first submitter delivers everything that waits, including what its callbacks
    // and other threads submit meanwhile; later submitters leave their frame to it.
    if (delivering_) return true;
    delivering_ = true;
    deliverer_ = std::this_thread::get_id();
    while (transmit_next(lock)) {
    }
    delivering_ = false;
    deliverer_ = {};
    return true;
}

void Bus::name_thread(std::string_view name) {
    if (thread_.joinable()) platform::set_thread_name(thread_.native_handle(), name);
}

BusCounters Bus::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

void Bus::run() {
    platform::use_precise_timers();
    std::unique_lock lock(mutex_);
    delivering_ = true;
    deliverer_ = std::this_thread::get_id();
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || has_waiting_frame(); });
        if (stopping_) return;
        transmit_next(lock);
    }
}

bool Bus::has_waiting_frame() const {
    return std::any_of(stations_.begin(), stations_.end(), waiting);
}

Bus::Station* Bus::find(BusClient* client) {
    const auto it =
        std::find_if(stations_.begin(), stations_.end(),
                     [client](const Station& station) { return station.client == client; });
    return it == stations_.end() ? nullptr : &*it;
}

template <typename Call>
bool Bus::call_client(std::unique_lock<std::mutex>& lock, BusClient* client, Call&& call) {
    if (find(client) == nullptr) return false;
    callee_ = client;
    lock.unlock();
    call();
    lock.lock();
    callee_ = nullptr;
    callee_done_.notify_all();
    return true;
}

bool Bus::transmit_next(std::unique_lock<std::mutex>& lock) {
    if (!has_waiting_frame()) return false;
    const Clock::time_point start = arbitration_start();
    Station& winner = arbitrate(start);
    winner.on_bus = true;
    BusClient* const sender = winner.client;
    const Frame frame = *winner.frame;
    const Origin origin = winner.origin;
    notify_losers(lock, sender, frame, start);

    uint32_t bit_rate = 0;
    call_client(lock, sender, [&] { bit_rate = sender->bit_rate(); });
    TxOutcome outcome = TxOutcome::kNotAcknowledged;
    if (bit_rate != 0) {
        const std::optional<TxOutcome> delivered =
            deliver(lock, sender, frame, origin, start, bit_rate);
        if (!delivered) return false;
        outcome = *delivered;
    }
    report_outcome(lock, sender, frame, outcome);
    finishing_ = false;
    return true;
}

bool Bus::waiting(const Station& station) {
    return station.frame && !station.on_bus;
}

Bus::Clock::time_point Bus::arbitration_start() const {
    // Unpaced there is no time: everything waiting competes.
    if (pacing_ == Pacing::kUnpaced) return {};
    Clock::time_point earliest = Clock::time_point::max();
    for (const Station& station : stations_) {
        if (waiting(station)) earliest = std::min(earliest, station.submitted);
    }
    return std::max(last_end_, earliest);
}

bool Bus::competes(const Station& station, Clock::time_point start) const {
    return waiting(station) && (pacing_ == Pacing::kUnpaced || station.submitted <= start);
}

Bus::Station& Bus::arbitrate(Clock::time_point start) {
    Station* winner = nullptr;
    for (Station& station : stations_) {
        // Strictly better only: of equal frames the earlier attached client goes first.
        if (competes(station, start) &&
            (winner == nullptr || wins_arbitration(*station.frame, *winner->frame))) {
            winner = &station;
        }
    }
    return *winner;
}

void Bus::notify_losers(std::unique_lock<std::mutex>& lock, BusClient* sender, const Frame& frame,
                        Clock::time_point start) {
    struct Loser {
        BusClient* client;
        Frame frame;
        unsigned bit;
    };
    // Collected before the first call, which may change the stations.
    std::vector<Loser> losers;
    for (const Station& station : stations_) {
        if (station.client == sender || !competes(station, start)) continue;
        if (const auto bit = arbitration_lost_at(frame, *station.frame)) {
            losers.push_back({station.client, *station.frame, *bit});
        }
    }
    for (const Loser& loser : losers) {
        call_client(lock, loser.client,
                    [&] { loser.client->arbitration_lost(loser.frame, loser.bit); });
    }
}

std::optional<TxOutcome> Bus::deliver(std::unique_lock<std::mutex>& lock, BusClient* sender,
                                      const Frame& frame, Origin origin, Clock::time_point start,
                                      uint32_t bit_rate) {
    const Station* const station = find(sender);
    if (station == nullptr || station->disconnected) return TxOutcome::kOffTheWire;
    if (const std::optional<unsigned> error_at = bits_before_wire_error(frame))
        return destroy(lock, sender, start, bit_rate, *error_at + kErrorFrameBits);
    const unsigned bits = frame_bit_length(frame);
    Clock::time_point end = Clock::now();
    if (pacing_ == Pacing::kPaced) {
        const std::optional<Clock::time_point> paced_end = occupy_bus(lock, start, bit_rate, bits);
        if (!paced_end) return std::nullopt;
        end = *paced_end;
        finishing_ = true;
    }

    std::vector<Peer> peers = listeners(lock, sender);
    const bool acknowledged = std::any_of(peers.begin(), peers.end(), [&](const Peer& peer) {
        return peer.bit_rate == bit_rate && peer.active;
    });
    ++counters_.frames;
    counters_.bits += bits;
    if (acknowledged) ++counters_.acknowledged;

    const uint64_t time_ns = steady_nanoseconds(end);
    for (const Peer& peer : peers) {
        if (peer.bit_rate == 0) continue;
        BusClient* const client = peer.client;
        if (peer.bit_rate != bit_rate) {
            if (call_client(lock, client, [&] { client->bus_error(BusErrorKind::kStuff); })) {
                ++counters_.bus_errors;
            }
        } else if (acknowledged) {
            const auto hand_over = [&] {
                if (origin == Origin::kRelayed) {
                    client->receive_relayed(frame, time_ns);
                } else {
                    client->receive(frame, time_ns);
                }
            };
            if (call_client(lock, client, hand_over)) {
                ++counters_.receptions;
            }
        } else {
            // The sender's error frame after the missing acknowledgement destroys the frame for
            // listeners too.
            if (call_client(lock, client, [&] { client->bus_error(BusErrorKind::kForm); })) {
                ++counters_.bus_errors;
            }
        }
    }
    return acknowledged ? TxOutcome::kAcknowledged : TxOutcome::kNotAcknowledged;
}

std::optional<unsigned> Bus::bits_before_wire_error(const Frame& frame) {
    // A bus stuck dominant shows the sender a bit error at the first recessive bit it drives.
    if (faults_.stuck_dominant) return bits_to_first_recessive(frame);
    // The random errors strike at the frame's end, so a destroyed frame costs its whole length.
    constexpr unsigned kPercent = 100;
    if (faults_.bit_error_percent != 0 && faults_.draws() % kPercent < faults_.bit_error_percent)
        return frame_bit_length(frame);
    return std::nullopt;
}

std::optional<TxOutcome> Bus::destroy(std::unique_lock<std::mutex>& lock, BusClient* sender,
                                      Clock::time_point start, uint32_t bit_rate, unsigned bits) {
    if (pacing_ == Pacing::kPaced) {
        if (!occupy_bus(lock, start, bit_rate, bits)) return std::nullopt;
        finishing_ = true;
    }
    ++counters_.error_frames;
    counters_.bits += bits;
    // Receivers at the sender's rate see its error flag break the frame's form; others cannot
    // decode anything of it.
    for (const Peer& peer : listeners(lock, sender)) {
        if (peer.bit_rate == 0) continue;
        const BusErrorKind kind = peer.bit_rate == bit_rate ? BusErrorKind::kForm : BusErrorKind::kStuff;
        if (call_client(lock, peer.client, [&] { peer.client->bus_error(kind); }))
            ++counters_.bus_errors;
    }
    return TxOutcome::kBitError;
}

void Bus::set_stuck_dominant(bool on) {
    std::lock_guard lock(mutex_);
    faults_.stuck_dominant = on;
}

void Bus::set_bit_errors(unsigned percent, uint32_t seed) {
    constexpr unsigned kAll = 100;
    std::lock_guard lock(mutex_);
    faults_.bit_error_percent = std::min(percent, kAll);
    faults_.draws.seed(seed);
}

void Bus::set_disconnected(BusClient* client, bool disconnected) {
    std::lock_guard lock(mutex_);
    if (Station* station = find(client)) station->disconnected = disconnected;
}

void Bus::clear_faults() {
    std::lock_guard lock(mutex_);
    faults_.stuck_dominant = false;
    faults_.bit_error_percent = 0;
    for (Station& station : stations_) station.disconnected = false;
}

std::vector<Bus::Peer> Bus::listeners(std::unique_lock<std::mutex>& lock, BusClient* sender) {
    std::vector<Peer> peers;
    for (const Station& station : stations_) {
        if (station.client != sender && !station.disconnected) peers.push_back({station.client});
    }
    std::erase_if(peers, [&](Peer& peer) {
        return !call_client(lock, peer.client, [&] {
            peer.bit_rate = peer.client->bit_rate();
            peer.active = peer.client->active();
        });
    });
    return peers;
}

void Bus::report_outcome(std::unique_lock<std::mutex>& lock, BusClient* sender, const Frame& frame,
                         TxOutcome outcome) {
    Station* const station = find(sender);
    if (station == nullptr || !station->on_bus) return;  // detached meanwhile
    // Cleared first, so that the sender may submit its next frame from transmitted().
    station->frame.reset();
    station->on_bus = false;
    call_client(lock, sender, [&] { sender->transmitted(frame, outcome); });
}

std::optional<Bus::Clock::time_point> Bus::occupy_bus(std::unique_lock<std::mutex>& lock,
                                                      Clock::time_point start, uint32_t bit_rate,
                                                      unsigned bits) {
    if (busy_ && start == last_end_ && busy_->bit_rate == bit_rate) {
        busy_->bits += bits;
    } else {
        busy_ = BusyPeriod{.start = start, .bit_rate = bit_rate, .bits = bits};
    }
    const Clock::time_point end =
        busy_->start + std::chrono::duration_cast<Clock::duration>(bit_time(busy_->bits, bit_rate));
    if (end > Clock::now()) {
        const bool saturated = end - busy_->start > kSaturatedWakeInterval;
        const Clock::time_point wake =
            saturated ? std::max(end, last_wake_ + kSaturatedWakeInterval) : end;
        stopped_.wait_until(lock, wake, [&] { return stopping_; });
        last_wake_ = Clock::now();
    }
    if (stopping_) return std::nullopt;
    last_end_ = end;
    return end;
}

}  // namespace k5320::can
