// The receive monitor of K5320W_Utility on a saturated bus: the real window on the offscreen
// platform, its 1 ms polling tick reading slot 1, and a paced 1 Mbit/s bus that a node of the
// benchmark's own keeps full of standard 8-byte frames. Figures, each run with the list on and
// the log off, with both on, and with both off:
//   - share_pct: frames the window counted of those the bus acknowledged (target 100 %, and the
//     receive lamp never red);
//   - window_frames_per_s beside bus_frames_per_s, and x_bus_limit against the 9009 frames/s a
//     1 Mbit/s bus carries at most;
//   - window_cores: CPU time of the window's thread (ticks, library calls, model and painting)
//     per second of wall time (target under 0.3); process_cores adds the emulated module, the
//     bus and the interrupt threads, for reference.
// A further run shows the view per identifier in the list's place: id_share_pct is the frames
// its rows count of those the bus acknowledged (target 100 %).
// With K5320_MONITOR_SOAK_SECONDS set, one more run keeps list and log on for that long (600 for
// the ten-minute soak) and samples the resident memory every 10 s after a minute's warm-up:
// rss_growth_kb is the last sample less the first (target: flat), and frames listed and counted
// must still equal the frames on the bus.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "backplane/inspect.h"
#include "bench/bench_support.h"
#include "can/frame.h"
#include "emulator/can/bus.h"
#include "utility/main/module_api.h"
#include "utility/qt/utility_window.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace can = k5320::can;
using k5320::utility::ControlId;
using k5320::utility::UtilityWindow;

const k5320::bench::OwnBackplane kBackplane(K5320_MONITOR_BENCH_BACKPLANE, "bench-monitor");

constexpr std::string_view kSaturatedBus = "saturated";
constexpr int kBaud1MIndex = 8;  // " 1000K bps  " in the Baud list
using k5320::bench::kBusLimitFramesPerSecond;
constexpr double kPercent = 100;
constexpr double kTargetCores = 0.3;
constexpr auto kWindow = 3s;
// After the peer stops: time for the window to read what still waits.
constexpr auto kDrainTimeout = 2s;
constexpr auto kSettle = 100ms;

// A standard 8-byte frame without stuff bits: 111 bits, the most frames a second.
constexpr can::Frame kFrame{.id = 0x2AA,
                            .extended = false,
                            .remote = false,
                            .length = can::kMaxDataLength,
                            .data = {0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double cpuSeconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Runs the window's event loop for a while.
void runEvents(Clock::duration how_long) {
    QEventLoop loop;
    QTimer::singleShot(std::chrono::duration_cast<std::chrono::milliseconds>(how_long), &loop,
                       &QEventLoop::quit);
    loop.exec();
}

template <typename Predicate>
bool runEventsUntil(Predicate done, Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        runEvents(10ms);
    }
    return true;
}

using Peer = k5320::bench::SaturatingPeer;

class NoBoxes final : public k5320::utility::MessageBoxes {
  public:
    std::vector<std::string> shown;
    void show(std::string_view, std::string_view text) override { shown.emplace_back(text); }
};

void click(const UtilityWindow& window, ControlId id) {
    qobject_cast<QAbstractButton*>(window.control(id))->click();
}

bool checked(const UtilityWindow& window, ControlId id) {
    return qobject_cast<QAbstractButton*>(window.control(id))->isChecked();
}

qsizetype linesIn(const std::string& path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) return -1;
    return file.readAll().count('\n');
}

// Resident memory of this process in KiB.
double residentKb() {
    long pages_total = 0;
    long pages_resident = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) return 0;
    const int n = std::fscanf(statm, "%ld %ld", &pages_total, &pages_resident);
    std::fclose(statm);
    return n == 2 ? static_cast<double>(pages_resident) *
                        static_cast<double>(sysconf(_SC_PAGESIZE)) / 1024
                  : 0;
}

constexpr auto kSoakWarmUp = 60s;
constexpr auto kSoakSample = 10s;

// Soak length from the environment; zero: no soak.
Clock::duration soakLength() {
    const char* text = std::getenv("K5320_MONITOR_SOAK_SECONDS");
    return std::chrono::seconds(text != nullptr ? std::strtoul(text, nullptr, 10) : 0);
}

// Frames the view per identifier has counted, over all its rows.
double countedPerIdentifier(const k5320::utility::UtilityDialog& dialog) {
    double counted = 0;
    const auto& table = dialog.identifiers();
    for (int row = 0; row < table.size(); ++row)
        counted += static_cast<double>(table.row(row).count);
    return counted;
}

// state.range(0): list on; state.range(1): log on; state.range(2): soak; state.range(3): the view
// per identifier shown instead of the list.
void BM_MonitorOnSaturatedBus(benchmark::State& state) {
    const bool list = state.range(0) != 0;
    const bool log = state.range(1) != 0;
    const Clock::duration how_long = state.range(2) != 0 ? soakLength() : Clock::duration(kWindow);
    const bool per_identifier = state.range(3) != 0;
    can::Bus* bus = k5320::backplane::in_process_host().bus(kSaturatedBus);
    if (!kBackplane.ready() || bus == nullptr) {
        state.SkipWithError("no backplane");
        return;
    }
    for (auto _ : state) {
        k5320::utility::CApiModule library;
        NoBoxes boxes;
        UtilityWindow window(library, &boxes);
        window.show();
        qobject_cast<QComboBox*>(window.control(ControlId::kBaud))->setCurrentIndex(kBaud1MIndex);
        click(window, ControlId::kInitialize);
        if (checked(window, ControlId::kShowOnList) != list) click(window, ControlId::kShowOnList);
        if (log) click(window, ControlId::kSaveToFile);
        if (per_identifier) window.identifierToggle()->click();
        const auto& dialog = window.behaviour();
        if (!boxes.shown.empty() || !dialog.state().polling_active ||
            dialog.state().log_open != log) {
            state.SkipWithError("the window could not be set up");
            return;
        }
        runEvents(kSettle);
        const uint32_t counted_before = dialog.state().rx_count;
        const double per_identifier_before = countedPerIdentifier(dialog);

        Peer peer(*bus);
        const double thread_cpu_before = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        const double process_cpu_before = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        const auto begin = Clock::now();
        if (!peer.saturate(kFrame)) {
            state.SkipWithError("peer could not submit");
            return;
        }
        double rss_first = 0;
        double rss_last = 0;
        if (how_long <= kSoakWarmUp) {
            runEvents(how_long);
        } else {
            runEvents(kSoakWarmUp);
            rss_first = rss_last = residentKb();
            while (Clock::now() - begin + kSoakSample <= how_long) {
                runEvents(kSoakSample);
                rss_last = residentKb();
            }
            runEvents(how_long - (Clock::now() - begin));
        }
        const double wall = seconds(Clock::now() - begin);
        const double window_cpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - thread_cpu_before;
        const double process_cpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - process_cpu_before;
        const uint32_t counted_in_window = dialog.state().rx_count - counted_before;
        state.SetIterationTime(wall);

        peer.stop();
        const bool peer_finished = runEventsUntil([&] { return peer.idle(); }, kDrainTimeout);
        const double bus_time = seconds(peer.last_end() - begin);
        const auto acknowledged = static_cast<double>(peer.acknowledged());
        runEventsUntil(
            [&] { return dialog.state().rx_count - counted_before >= peer.acknowledged(); },
            kDrainTimeout);
        const auto counted = static_cast<double>(dialog.state().rx_count - counted_before);
        // The view takes the frames with the next refresh.
        runEventsUntil(
            [&] { return countedPerIdentifier(dialog) - per_identifier_before >= counted; },
            kDrainTimeout);
        const double per_identifier_counted = countedPerIdentifier(dialog) - per_identifier_before;
        const bool lamp_red = (dialog.state().buffer_alarm & k5320::utility::kRxBufferAlarm) != 0;

        qsizetype log_lines = 0;
        if (log) {
            const std::string path = dialog.log_path();
            click(window, ControlId::kSaveToFile);
            log_lines = linesIn(path) - 1;  // without the header
            std::filesystem::remove(path);
        }

        const double bus_rate = bus_time > 0 ? acknowledged / bus_time : 0;
        const double cores = window_cpu / wall;
        const double share = acknowledged > 0 ? kPercent * counted / acknowledged : 0;
        state.counters["bus_frames"] = acknowledged;
        state.counters["counted"] = counted;
        state.counters["share_pct"] = share;
        state.counters["bus_frames_per_s"] = bus_rate;
        state.counters["x_bus_limit"] = bus_rate / kBusLimitFramesPerSecond;
        state.counters["window_frames_per_s"] = counted_in_window / wall;
        state.counters["window_cores"] = cores;
        state.counters["process_cores"] = process_cpu / wall;
        state.counters["rx_lamp_red"] = lamp_red;
        state.counters["list_rows"] = dialog.messages().size();
        if (log) state.counters["log_lines"] = static_cast<double>(log_lines);
        state.counters["id_rows"] = dialog.identifiers().size();
        state.counters["id_share_pct"] =
            acknowledged > 0 ? kPercent * per_identifier_counted / acknowledged : 0;
        if (rss_first > 0) {
            state.counters["rss_after_warm_up_kb"] = rss_first;
            state.counters["rss_growth_kb"] = rss_last - rss_first;
        }
        const bool complete = peer_finished && counted == acknowledged && !lamp_red &&
                              (!log || log_lines == static_cast<qsizetype>(counted)) &&
                              per_identifier_counted == acknowledged;
        state.SetLabel(std::string(per_identifier ? "per identifier"
                                   : list         ? "list"
                                                  : "no list") +
                       (log ? ", log" : ", no log") + ": 100 % without alarm " +
                       (complete ? "met" : "MISSED") + ", under 0.3 core " +
                       (cores < kTargetCores ? "met" : "MISSED") +
                       (boxes.shown.empty() ? "" : "; message box: " + boxes.shown.front()));
    }
}

// The soak run is listed only when a soak length is set, so that a plain run reports no error.
void registerRuns() {
    auto* runs = benchmark::RegisterBenchmark("BM_MonitorOnSaturatedBus", BM_MonitorOnSaturatedBus)
                     ->ArgNames({"list", "log", "soak", "per_id"})
                     ->Args({1, 0, 0, 0})
                     ->Args({1, 1, 0, 0})
                     ->Args({0, 0, 0, 0})
                     ->Args({1, 0, 0, 1});
    if (soakLength() != Clock::duration::zero()) runs->Args({1, 1, 1, 0});
    runs->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
    // No screen is needed: the window paints into memory as on a display.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    registerRuns();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
