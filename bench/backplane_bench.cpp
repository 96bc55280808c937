// The same driver paths through the two arrangements of the backplane, side by side in one run:
// in this process, and through the per-user backplane service (shared DPRAM, interrupt line and
// doorbell as futexes in shared memory). Per arrangement: the command handshake round trip,
// sends per second and frames read per second on an unpaced bus between slots 1 and 2. Targets:
// through the service at least half the in-process figure, and still at least 3x (sends) and
// 10x (reads) the 9009 frames/s of a 1 Mbit/s bus.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "backplane/inspect.h"
#include "backplane/service.h"
#include "bench/bench_support.h"
#include "driver/dpram/handshake.h"
#include "driver/frame/slot_ownership.h"
#include "k5320.h"
#include "k5320/baud_codes.h"
#include "k5320/commands.h"
#include "platform/named_event.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace bp = k5320::backplane;

constexpr uint8_t kSender = 1;  // slots 1 and 2 share the unpaced bus of bench/can_bench.conf
constexpr uint8_t kReceiver = 2;
using k5320::bench::kAcceptAll;
using k5320::bench::kBaud1M;
using k5320::bench::kBusLimitFramesPerSecond;
constexpr k5320::can::Frame kFrame = k5320::bench::kUnstuffedFrame;
constexpr double kMedian = 0.5;
constexpr double kSendTargetRatio = 3;
constexpr double kReceiveTargetRatio = 10;
constexpr double kServiceTargetShare = 0.5;
constexpr int kSendBatch = 1000;  // below the receiver's 2048-frame buffer
constexpr int kSendBatches = 20;
constexpr int kFillFrames = 2000;
constexpr int kFillRounds = 10;
constexpr int kHandshakes = 20000;
constexpr auto kSettle = 20ms;
constexpr int kInProcess = 0;
constexpr int kService = 1;
const char* const kSideNames[] = {"in-process", "service"};

// Both backplanes, built before the first benchmark: each with the benchmark's configuration,
// flash in a temporary directory, the service in a runtime directory of its own.
class Backplanes {
  public:
    Backplanes() {
        // The service's runtime directory stays: the service leaves by itself after its grace
        // period.
        std::string run =
            (std::filesystem::temp_directory_path() / "k5320-bench-bp-run-XXXXXX").string();
        if (!own_.ready() || mkdtemp(run.data()) == nullptr) return;
        setenv(bp::kRuntimeEnvironmentVariable, run.c_str(), 1);
        std::ostringstream diagnostics;
        hosts_[kInProcess] = new bp::InProcessHost(bp::config_from_environment(diagnostics));
        std::string error;
        hosts_[kService] = bp::attach_to_service(&error).release();
        if (hosts_[kService] == nullptr) std::cerr << "no service: " << error << '\n';
    }
    // Makes the SDK use this side's host; false when it is missing.
    bool select(int side) {
        if (hosts_[side] == nullptr) return false;
        bp::select_host(*hosts_[side]);
        return true;
    }

  private:
    // Configuration, flash, slot table and event namespace of the benchmark's own; the service
    // started below inherits them.
    k5320::bench::OwnBackplane own_{K5320_BENCH_BACKPLANE, "bench-bp"};
    bp::Host* hosts_[2] = {nullptr, nullptr};  // live as long as the process
};

Backplanes& backplanes() {
    static Backplanes* const both = new Backplanes;
    return *both;
}

std::map<std::string, double> g_figures;  // "<name>/<side>" -> figure

bool start(uint8_t slot) {
    return K5320_Init(slot) == K5320_SUCCESS &&
           K5320_ConfigWithoutStruct(slot, 0, kAcceptAll, kBaud1M, 0, 0) == K5320_SUCCESS;
}

// Takes the side's host for one benchmark and gives the slots back afterwards.
class Side {
  public:
    Side(benchmark::State& state, std::initializer_list<uint8_t> slots) : slots_(slots) {
        side_ = static_cast<int>(state.range(0));
        state.SetLabel(kSideNames[side_]);
        ok_ = backplanes().select(side_);
        for (uint8_t slot : slots_) ok_ = ok_ && start(slot);
        if (!ok_) state.SkipWithError("the backplane could not be started");
    }
    ~Side() {
        for (uint8_t slot : slots_) K5320_RestoreK5320(slot);
    }
    bool ok() const { return ok_; }
    std::string key(const char* name) const { return std::string(name) + "/" + kSideNames[side_]; }

  private:
    std::vector<uint8_t> slots_;
    int side_ = 0;
    bool ok_ = false;
};

int send_one(uint8_t slot) {
    int rc = K5320_SendWithoutStruct(slot, 0, kFrame.id, 0, kFrame.length, kFrame.data.data());
    while (rc == K5320_ERR_TX_REFUSED) {  // transmit buffer full: wait for room
        std::this_thread::yield();
        rc = K5320_SendWithoutStruct(slot, 0, kFrame.id, 0, kFrame.length, kFrame.data.data());
    }
    return rc;
}

void BM_HandshakeRoundTrip(benchmark::State& state) {
    Side side(state, {kSender});
    if (!side.ok()) return;
    const k5320::driver::Handshake mode_query{.command = k5320::cmd::kModeQuery,
                                              .field = k5320::driver::Field::PingAnswer,
                                              .success_low = k5320::answer::kProgramMode,
                                              .success_high = k5320::answer::kLoaderMode};
    std::vector<double> micros;
    micros.reserve(kHandshakes);
    int failures = 0;
    for (auto _ : state) {
        const auto begin = Clock::now();
        failures += k5320::driver::run_handshake(kSender, mode_query).result != K5320_SUCCESS;
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
    }
    const double med = k5320::bench::percentile(micros, kMedian);
    state.counters["median_us"] = med;
    state.counters["failures"] = failures;
    g_figures[side.key("handshakes_per_s")] = med > 0 ? 1e6 / med : 0;
}

void BM_Send(benchmark::State& state) {
    Side side(state, {kSender, kReceiver});
    if (!side.ok()) return;
    double elapsed = 0;
    int errors = 0;
    for (auto _ : state) {
        const auto begin = Clock::now();
        for (int i = 0; i < kSendBatch; ++i) errors += send_one(kSender) != K5320_SUCCESS;
        const double batch = std::chrono::duration<double>(Clock::now() - begin).count();
        state.SetIterationTime(batch);
        elapsed += batch;
        std::this_thread::sleep_for(kSettle);
        errors += K5320_ClearRxSoftBuffer(kReceiver) != K5320_SUCCESS;
    }
    const double rate =
        static_cast<double>(kSendBatch) * static_cast<double>(state.iterations()) / elapsed;
    state.counters["sends_per_s"] = rate;
    state.counters["x_bus_limit"] = rate / kBusLimitFramesPerSecond;
    state.counters["errors"] = errors;
    g_figures[side.key("sends_per_s")] = rate;
}

// Untimed, slot 1 fills slot 2 over the unpaced bus; reading them all back is timed.
void BM_Receive(benchmark::State& state) {
    Side side(state, {kSender, kReceiver});
    if (!side.ok()) return;
    double elapsed = 0;
    int frames = 0;
    int errors = 0;
    for (auto _ : state) {
        for (int i = 0; i < kFillFrames; ++i) errors += send_one(kSender) != K5320_SUCCESS;
        std::this_thread::sleep_for(kSettle);
        const auto begin = Clock::now();
        int read = 0;
        while (read < kFillFrames) {
            uint16_t count = 0;
            if (K5320_RxMsgCount(kReceiver, &count) != K5320_SUCCESS || count == 0) {
                ++errors;  // frames missing
                break;
            }
            for (uint16_t i = 0; i < count; ++i, ++read) {
                uint8_t extended = 0, remote = 0, length = 0;
                uint8_t data[8] = {};
                uint32_t id = 0, high = 0, low = 0;
                const int rc = K5320_ReceiveWithoutStruct(kReceiver, &extended, &id, &remote,
                                                          &length, data, &high, &low);
                errors += (rc != K5320_SUCCESS && rc != K5320_ERR_TX_REFUSED) || id != kFrame.id;
            }
        }
        const double round = std::chrono::duration<double>(Clock::now() - begin).count();
        state.SetIterationTime(round);
        elapsed += round;
        frames += read;
    }
    const double rate = frames / elapsed;
    state.counters["frames_per_s"] = rate;
    state.counters["x_bus_limit"] = rate / kBusLimitFramesPerSecond;
    state.counters["errors"] = errors;
    g_figures[side.key("frames_per_s")] = rate;
}

BENCHMARK(BM_HandshakeRoundTrip)
    ->Arg(kInProcess)
    ->Arg(kService)
    ->Iterations(kHandshakes)
    ->UseRealTime();
BENCHMARK(BM_Send)
    ->Arg(kInProcess)
    ->Arg(kService)
    ->Iterations(kSendBatches)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Receive)
    ->Arg(kInProcess)
    ->Arg(kService)
    ->Iterations(kFillRounds)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The comparison, from the figures of this run.
void summarise() {
    struct Row {
        const char* figure;
        double bus_target;  // 0: no bus target
    };
    const Row rows[] = {{"handshakes_per_s", 0},
                        {"sends_per_s", kSendTargetRatio},
                        {"frames_per_s", kReceiveTargetRatio}};
    std::printf("\n%-18s %12s %12s %8s  %s\n", "figure", "in-process", "service", "ratio",
                "targets: ratio >= 0.5; service vs 1 Mbit/s bus");
    for (const Row& row : rows) {
        const double in = g_figures[std::string(row.figure) + "/in-process"];
        const double via = g_figures[std::string(row.figure) + "/service"];
        const double ratio = in > 0 ? via / in : 0;
        std::printf("%-18s %12.0f %12.0f %8.2f  %s", row.figure, in, via, ratio,
                    ratio >= kServiceTargetShare ? "met" : "MISSED");
        if (row.bus_target > 0) {
            std::printf(", %.1fx bus limit (target %.0fx): %s", via / kBusLimitFramesPerSecond,
                        row.bus_target,
                        via >= row.bus_target * kBusLimitFramesPerSecond ? "met" : "MISSED");
        }
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    backplanes();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    summarise();
    return 0;
}
