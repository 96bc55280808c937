// A full-size firmware download (393152 bytes in 49 blocks), from K5320_Load_IntoDownloadMode to
// the new record read back. Target: under 1 s on the emulator, and at most 1.1 times the
// protocol's fixed waits (the settling after the change of mode and after the erase), which
// the counter fixed_waits_share gives. The module syncs each erase and each new image to the
// disk of its flash file before it answers, as a flash takes its programming time; with the
// flash file on tmpfs (TMPDIR=/dev/shm) the figure is the protocol's waits without the disk's.
#include <benchmark/benchmark.h>
#include <linux/magic.h>
#include <stdlib.h>
#include <sys/vfs.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "driver/loader/settle_times.h"
#include "k5320.h"

namespace {

constexpr uint8_t kSlot = 1;
constexpr size_t kImageSize = 393152;
constexpr uint16_t kBlock = 8186;
// What the driver sleeps per download whatever the module does.
constexpr double kFixedWaitsMs = k5320::driver::kModeSettleMs + k5320::driver::kDeleteSettleMs;

// Where the benchmark's flash file lives, for the label.
std::string g_flash_medium = "flash file on an unknown file system";

std::string flash_medium(const std::string& directory) {
    struct statfs fs {};
    if (statfs(directory.c_str(), &fs) != 0) return g_flash_medium;
    return fs.f_type == TMPFS_MAGIC ? "flash file in memory (tmpfs)"
                                    : "flash file on disk, synced at each write";
}

bool check(int rc, const char* what) {
    if (rc == K5320_SUCCESS) return true;
    std::fprintf(stderr, "%s failed: %d\n", what, rc);
    return false;
}

void BM_FullSizeDownload(benchmark::State& state) {
    std::vector<uint8_t> image(kImageSize);
    std::mt19937 random(1);
    for (auto& b : image) b = static_cast<uint8_t>(random());
    FirmwareInfo info{};
    std::snprintf(info.fileName, sizeof info.fileName, "BENCH.EXE");
    info.month = 1;
    info.day = 1;
    info.crc = K5320_Load_CalculatedCRC(image.data(), kImageSize);
    info.size = kImageSize;
    if (!check(K5320_Init(kSlot), "K5320_Init") ||
        !check(K5320_Load_Init(kSlot), "K5320_Load_Init")) {
        state.SkipWithError("no module");
        return;
    }
    const auto started = std::chrono::steady_clock::now();
    for (auto _ : state) {
        bool ok = check(K5320_Load_IntoDownloadMode(kSlot), "IntoDownloadMode") &&
                  check(K5320_Load_DeleteFirmware(kSlot), "DeleteFirmware") &&
                  check(K5320_Load_DownloadInfo(kSlot, info), "DownloadInfo");
        uint16_t block = 1;
        for (size_t offset = 0; ok && offset < kImageSize; offset += kBlock, ++block) {
            const auto length =
                static_cast<uint16_t>(std::min<size_t>(kBlock, kImageSize - offset));
            ok = check(K5320_Load_DownloadData(kSlot, block, image.data() + offset, length),
                       "DownloadData");
        }
        FirmwareInfo back{};
        ok = ok && check(K5320_Load_GetFirmwareInfo(kSlot, &back), "GetFirmwareInfo");
        if (!ok || back.size != kImageSize) {
            state.SkipWithError("download failed");
            break;
        }
    }
    const std::chrono::duration<double, std::milli> elapsed =
        std::chrono::steady_clock::now() - started;
    K5320_Load_RunProgram(kSlot);
    K5320_RestoreK5320(kSlot);
    if (state.iterations() > 0)
        state.counters["fixed_waits_share"] =
            elapsed.count() / static_cast<double>(state.iterations()) / kFixedWaitsMs;
    state.counters["bytes_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * kImageSize), benchmark::Counter::kIsRate);
    state.SetLabel("target: under 1 s per download, fixed_waits_share <= 1.1; " + g_flash_medium);
}

BENCHMARK(BM_FullSizeDownload)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
    // A flash of its own: the benchmark must not replace the firmware of the user's emulated
    // modules.
    std::string dir = (std::filesystem::temp_directory_path() / "k5320-bench-XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr) return 1;
    setenv(k5320::emulator::kStateEnvironmentVariable, dir.c_str(), 1);
    g_flash_medium = flash_medium(dir);
    k5320::bench::run_backplane_in_process();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return 0;
}
