// DPRAM access through the raw exports: every byte costs a page-register write and a data-window
// access through the backplane SDK. Reported beside what a CAN frame needs: a 21-byte receive
// record, and the 9,009 frames per second of a saturated 1 Mbit/s bus.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/bench_support.h"
#include "k5320.h"

namespace {

// DPRAM access of a module in this process (bench_backplane compares with the service).
[[maybe_unused]] const bool kInProcess = (k5320::bench::run_backplane_in_process(), true);

constexpr uint8_t kSlot = 1;
constexpr int kRecordBytes = 21;
constexpr const char* kBusReference = "1 Mbit/s bus: 9009 frames/s";

void ensure_initialised() {
    static const bool ready = [] {
        const int rc = K5320_Init(kSlot);
        if (rc != K5320_SUCCESS) {
            std::fprintf(stderr, "K5320_Init(%d) failed: %d\n", kSlot, rc);
            std::exit(1);
        }
        return true;
    }();
    (void)ready;
}

void report_bytes(benchmark::State& state, int bytes_per_op) {
    state.SetBytesProcessed(state.iterations() * bytes_per_op);
    // Receive records this access rate could move, beside what a saturated bus delivers.
    state.counters["records"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * bytes_per_op / kRecordBytes,
                           benchmark::Counter::kIsRate);
    state.SetLabel(kBusReference);
}

void BM_ReadByte(benchmark::State& state) {
    ensure_initialised();
    uint8_t v = 0;
    for (auto _ : state) {
        K5320_DPRAMReadByte(kSlot, 0x123, &v);
        benchmark::DoNotOptimize(v);
    }
    report_bytes(state, 1);
}

void BM_WriteByte(benchmark::State& state) {
    ensure_initialised();
    uint8_t v = 0;
    for (auto _ : state) K5320_DPRAMWriteByte(kSlot, 0x123, v++);
    report_bytes(state, 1);
}

void BM_ReadWord(benchmark::State& state) {
    ensure_initialised();
    uint16_t v = 0;
    for (auto _ : state) {
        K5320_DPRAMReadWord(kSlot, 0x124, &v);
        benchmark::DoNotOptimize(v);
    }
    report_bytes(state, 2);
}

void BM_WriteWord(benchmark::State& state) {
    ensure_initialised();
    uint16_t v = 0;
    for (auto _ : state) K5320_DPRAMWriteWord(kSlot, 0x124, v++);
    report_bytes(state, 2);
}

void BM_ReadBlock512(benchmark::State& state) {
    ensure_initialised();
    std::vector<uint8_t> buf(512);
    for (auto _ : state) {
        K5320_DPRAMReadMultiByte(kSlot, 0x200, buf.data(), 512);
        benchmark::DoNotOptimize(buf.data());
    }
    report_bytes(state, 512);
}

void BM_WriteBlock512(benchmark::State& state) {
    ensure_initialised();
    std::vector<uint8_t> buf(512, 0x5A);
    for (auto _ : state) K5320_DPRAMWriteMultiByte(kSlot, 0x200, buf.data(), 512);
    report_bytes(state, 512);
}

BENCHMARK(BM_ReadByte);
BENCHMARK(BM_WriteByte);
BENCHMARK(BM_ReadWord);
BENCHMARK(BM_WriteWord);
BENCHMARK(BM_ReadBlock512);
BENCHMARK(BM_WriteBlock512);

}  // namespace

BENCHMARK_MAIN();
