// A saturated paced bus with faults on its wire: the frames per second that get through with a
// share of transmissions destroyed by error frames, beside the rate computed from the frame's and
// the error frame's exact lengths. One sender resubmits its frame the moment the bus reports on
// it (as a controller retries), one receiver acknowledges.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "can/frame_length.h"
#include "emulator/can/bus.h"

namespace {

namespace can = k5320::can;
using namespace std::chrono_literals;

constexpr uint32_t kBitRate = 1'000'000;
constexpr auto kRun = 2s;
constexpr uint32_t kSeed = 1;
const can::Frame kFrame{
    .id = 0x555, .length = 8, .data = {0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

class Receiver final : public can::BusClient {
  public:
    uint32_t bit_rate() const override { return kBitRate; }
    bool active() const override { return true; }
    void receive(const can::Frame&, uint64_t) override { ++frames; }
    void bus_error(can::BusErrorKind) override {}
    void transmitted(const can::Frame&, can::TxOutcome) override {}
    std::atomic<uint64_t> frames{0};
};

class Sender final : public can::BusClient {
  public:
    explicit Sender(can::Bus& bus) : bus_(bus) {}
    uint32_t bit_rate() const override { return kBitRate; }
    bool active() const override { return true; }
    void receive(const can::Frame&, uint64_t) override {}
    void bus_error(can::BusErrorKind) override {}
    void transmitted(const can::Frame&, can::TxOutcome) override {
        if (sending) bus_.submit(this, kFrame);
    }
    std::atomic<bool> sending{true};

  private:
    can::Bus& bus_;
};

// The rate at which frames get through when a share p of transmissions is destroyed at its end:
// each frame that arrives costs its own length plus p / (1 - p) destroyed tries, each its length
// and an error frame.
double computed_rate(double p) {
    const double frame_bits = can::frame_bit_length(kFrame);
    const double bits_per_frame = frame_bits + p / (1 - p) * (frame_bits + can::kErrorFrameBits);
    return kBitRate / bits_per_frame;
}

void BM_SaturatedWithBitErrors(benchmark::State& state) {
    const auto percent = static_cast<unsigned>(state.range(0));
    for (auto _ : state) {
        can::Bus bus(can::Pacing::kPaced);
        Receiver receiver;
        Sender sender(bus);
        bus.attach(&receiver);
        bus.attach(&sender);
        bus.set_bit_errors(percent, kSeed);
        const auto start = std::chrono::steady_clock::now();
        bus.submit(&sender, kFrame);
        std::this_thread::sleep_for(kRun);
        const uint64_t frames = receiver.frames.load();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        sender.sending = false;
        bus.detach(&sender);
        bus.detach(&receiver);
        const double rate = frames / seconds;
        const double computed = computed_rate(percent / 100.0);
        state.SetIterationTime(seconds);
        state.counters["frames_per_s"] = rate;
        state.counters["computed_per_s"] = computed;
        state.counters["share_of_computed"] = rate / computed;
        state.counters["error_frames"] = static_cast<double>(bus.counters().error_frames);
    }
}

BENCHMARK(BM_SaturatedWithBitErrors)
    ->Arg(0)
    ->Arg(1)
    ->Arg(10)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
