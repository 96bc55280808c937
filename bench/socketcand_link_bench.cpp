// A bus joined to another across TCP: bus A serves its frames by socketcand, bus B's link joins
// it, both paced at 1 Mbit/s in this process. Reports the frames per second a saturated bus A
// gets across to bus B beside the bus limit (the goal: every frame crosses), and the latency the
// link adds to one frame (from its end on A to its end on B, less its own time on B's wire).
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bridges/socketcand_link.h"
#include "bridges/socketcand_server.h"
#include "can/frame_length.h"

namespace {

using namespace k5320;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t kRate = bench::SaturatingPeer::kBitRate;
constexpr auto kSaturatedFor = 2s;
constexpr auto kPatience = 10s;
constexpr int kLatencySamples = 300;
constexpr double kPercent = 100.0;
constexpr double kMedian = 0.5;
constexpr double kTail = 0.99;
constexpr double kNanosecondsPerMicrosecond = 1000.0;

// Acknowledges and counts what reaches bus B, with the end of the last frame.
class Receiver final : public can::BusClient {
  public:
    uint32_t bit_rate() const override { return kRate; }
    bool active() const override { return true; }
    void receive(const can::Frame&, uint64_t time_ns) override {
        std::lock_guard lock(mutex_);
        ++frames_;
        last_ns_ = time_ns;
        changed_.notify_all();
    }
    void bus_error(can::BusErrorKind) override {}
    void transmitted(const can::Frame&, can::TxOutcome) override {}
    // The end of the count-th frame; none within the patience.
    std::optional<uint64_t> wait_for(uint64_t count) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, kPatience, [&] { return frames_ >= count; }))
            return std::nullopt;
        return last_ns_;
    }
    uint64_t frames() const {
        std::lock_guard lock(mutex_);
        return frames_;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t frames_ = 0;
    uint64_t last_ns_ = 0;
};

// Bus A with its server and sender, bus B with its link and receiver.
struct JoinedBuses {
    JoinedBuses()
        : server(a, "can0", kRate, {.address = "127.0.0.1", .port = 0}),
          sender(a),
          link(b, "can0", kRate, {.host = "127.0.0.1", .port = server.port()}, b_backplane,
               status) {
        b.attach(&receiver);
    }
    ~JoinedBuses() {
        link.stop();
        server.stop();
        b.detach(&receiver);
    }
    bool up() const {
        const auto deadline = Clock::now() + kPatience;
        while (status.state != bridges::LinkState::kUp) {
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    can::Bus a{can::Pacing::kPaced};
    can::Bus b{can::Pacing::kPaced};
    bridges::SocketcandServer server;
    bench::SaturatingPeer sender;
    Receiver receiver;
    bridges::LinkStatus status;
    bridges::BackplaneLinks b_backplane;
    bridges::SocketcandLink link;
};

void BM_SaturatedBusThroughOneLink(benchmark::State& state) {
    for (auto _ : state) {
        JoinedBuses buses;
        if (!buses.up()) return state.SkipWithError("the link did not come up");
        const auto started = Clock::now();
        buses.sender.saturate(bench::kUnstuffedFrame);
        std::this_thread::sleep_for(kSaturatedFor);
        buses.sender.stop();
        while (!buses.sender.idle()) std::this_thread::sleep_for(1ms);
        const double seconds =
            std::chrono::duration<double>(buses.sender.last_end() - started).count();
        const uint64_t sent = buses.sender.acknowledged();
        buses.receiver.wait_for(sent);
        const uint64_t crossed = buses.receiver.frames();
        state.counters["sent_per_s"] = static_cast<double>(sent) / seconds;
        state.counters["crossed_per_s"] = static_cast<double>(crossed) / seconds;
        state.counters["bus_limit_per_s"] = bench::kBusLimitFramesPerSecond;
        state.counters["crossed_percent"] =
            kPercent * static_cast<double>(crossed) / static_cast<double>(sent);
        state.counters["dropped"] =
            static_cast<double>(buses.status.dropped_from_remote + buses.status.dropped_to_remote);
    }
}
BENCHMARK(BM_SaturatedBusThroughOneLink)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_AddedLatencyOfOneFrame(benchmark::State& state) {
    const double own_time_ns =
        static_cast<double>(can::frame_bit_length(bench::kUnstuffedFrame)) * 1e9 / kRate;
    for (auto _ : state) {
        JoinedBuses buses;
        if (!buses.up()) return state.SkipWithError("the link did not come up");
        std::vector<double> added_us;
        for (int i = 1; i <= kLatencySamples; ++i) {
            buses.sender.submit(bench::kUnstuffedFrame);
            const std::optional<uint64_t> arrived = buses.receiver.wait_for(i);
            if (!arrived) return state.SkipWithError("a frame did not cross");
            // The sender notes the end of its frame just after the bus handed the frame on.
            while (buses.sender.acknowledged() < static_cast<uint64_t>(i))
                std::this_thread::yield();
            const auto sent_ns =
                static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        buses.sender.last_end().time_since_epoch())
                                        .count());
            added_us.push_back((static_cast<double>(*arrived) - sent_ns - own_time_ns) /
                               kNanosecondsPerMicrosecond);
        }
        state.counters["added_median_us"] = bench::percentile(added_us, kMedian);
        state.counters["added_p99_us"] = bench::percentile(added_us, kTail);
        state.counters["frame_time_us"] = own_time_ns / kNanosecondsPerMicrosecond;
    }
}
BENCHMARK(BM_AddedLatencyOfOneFrame)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
