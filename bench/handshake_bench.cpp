// Round trip of one standard command handshake (command written, firmware answers through the
// answer byte and the slot interrupt, the caller sees the answer), with its median and 99th
// percentile, and how many repeat requests the firmware saw meanwhile (target: none).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "backplane/inspect.h"
#include "bench/bench_support.h"
#include "driver/dpram/handshake.h"
#include "emulator/module_probe.h"
#include "k5320.h"
#include "k5320/commands.h"

namespace {

using k5320::driver::Field;
using k5320::driver::Handshake;
namespace cmd = k5320::cmd;
namespace answer = k5320::answer;

constexpr uint8_t kSlot = 1;

// The module is inspected directly: it must run in this process (bench_backplane compares with
// the service).
[[maybe_unused]] const bool kInProcess = (k5320::bench::run_backplane_in_process(), true);

void ensure_initialised() {
    static const bool ready = [] {
        if (K5320_Init(kSlot) != K5320_SUCCESS) {
            std::fprintf(stderr, "K5320_Init(%d) failed\n", kSlot);
            std::exit(1);
        }
        return true;
    }();
    (void)ready;
}

double percentile(std::vector<double>& v, double p) {
    const auto k = static_cast<size_t>(p * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return v[k];
}

void BM_StandardHandshakeRoundTrip(benchmark::State& state) {
    ensure_initialised();
    const k5320::emulator::ModuleProbe probe(*k5320::backplane::in_process_host().module(kSlot));
    const uint64_t repeats_before = probe.commands_seen(cmd::kRepeatRequest);
    const Handshake mode_query{.command = cmd::kModeQuery,
                               .field = Field::PingAnswer,
                               .success_low = answer::kProgramMode,
                               .success_high = answer::kLoaderMode};
    std::vector<double> micros;
    int failures = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        failures += k5320::driver::run_handshake(kSlot, mode_query).result != K5320_SUCCESS;
        micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    state.counters["median_us"] = percentile(micros, 0.5);
    state.counters["p99_us"] = percentile(micros, 0.99);
    state.counters["repeat_requests"] =
        static_cast<double>(probe.commands_seen(cmd::kRepeatRequest) - repeats_before);
    state.counters["failures"] = failures;
}

BENCHMARK(BM_StandardHandshakeRoundTrip)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
