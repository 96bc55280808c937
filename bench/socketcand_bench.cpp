// The socketcand server under a hostile load: of its 16 places one client floods it with frames
// and one holds its place in silence, while 14 well-behaved clients open the bus and send a few
// frames each. Reports how long the slowest and the median well-behaved client waited for the
// answer to its open, and the share of their frames that reached the bus.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bridges/socketcand_server.h"
#include "emulator/can/bus.h"

namespace {

using namespace k5320;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kRate = 500000;
constexpr int kPlaces = 16;
constexpr int kWellBehaved = kPlaces - 2;  // the rest: one flooding, one silent
constexpr int kFramesEach = 20;
constexpr int kFloodFrames = 5000;
constexpr uint32_t kFloodId = 0x100;
constexpr uint32_t kFirstWellBehavedId = 0x200;
constexpr auto kDeadline = std::chrono::seconds(30);
constexpr double kPercent = 100.0;

// Acknowledges every frame and counts them by identifier.
class Counter final : public can::BusClient {
  public:
    uint32_t bit_rate() const override { return kRate; }
    bool active() const override { return true; }
    void receive(const can::Frame& frame, uint64_t) override {
        std::lock_guard lock(mutex_);
        if (frame.id == kFloodId) {
            ++flood_;
        } else if (frame.id >= kFirstWellBehavedId &&
                   frame.id < kFirstWellBehavedId + kWellBehaved) {
            ++well_behaved_;
        }
        changed_.notify_all();
    }
    void bus_error(can::BusErrorKind) override {}
    void transmitted(const can::Frame&, can::TxOutcome) override {}
    bool wait_for(int flood, int well_behaved) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kDeadline,
                                 [&] { return flood_ >= flood && well_behaved_ >= well_behaved; });
    }
    int well_behaved() const {
        std::lock_guard lock(mutex_);
        return well_behaved_;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int flood_ = 0;
    int well_behaved_ = 0;
};

int connect_to(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &where.sin_addr);
    ::connect(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where);
    const timeval patience{.tv_sec = std::chrono::seconds(kDeadline).count(), .tv_usec = 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    return fd;
}

void say(int fd, const std::string& text) {
    (void)::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
}

void await_reply(int fd) {
    char c = 0;
    while (::recv(fd, &c, 1, 0) == 1 && c != '>') {
    }
}

void open_raw(int fd) {
    await_reply(fd);  // hi
    say(fd, "< open can0 >");
    await_reply(fd);
    say(fd, "< rawmode >");
    await_reply(fd);
}

void BM_SixteenClientsOneFloodingOneSilent(benchmark::State& state) {
    for (auto _ : state) {
        can::Bus bus(can::Pacing::kPaced);
        Counter counter;
        bus.attach(&counter);
        bridges::SocketcandServer server(bus, "can0", kRate, {.address = "127.0.0.1", .port = 0});
        const int silent = connect_to(server.port());
        const int flooder = connect_to(server.port());
        open_raw(flooder);
        std::string flood;
        for (int i = 0; i < kFloodFrames; ++i) flood += "< send 100 8 01 02 03 04 05 06 07 08 >";
        std::jthread flooding([&] { say(flooder, flood); });
        counter.wait_for(1, 0);

        const auto started = Clock::now();
        std::vector<double> open_ms(kWellBehaved);
        std::vector<int> fds(kWellBehaved);
        {
            std::vector<std::jthread> clients;
            for (int i = 0; i < kWellBehaved; ++i) {
                clients.emplace_back([&, i] {
                    fds[i] = connect_to(server.port());
                    await_reply(fds[i]);
                    const auto asked = Clock::now();
                    say(fds[i], "< open can0 >");
                    await_reply(fds[i]);
                    open_ms[i] =
                        std::chrono::duration<double, std::milli>(Clock::now() - asked).count();
                    say(fds[i], "< rawmode >");
                    await_reply(fds[i]);
                    char id[16];
                    std::snprintf(id, sizeof id, "%03X", kFirstWellBehavedId + i);
                    std::string frames;
                    for (int f = 0; f < kFramesEach; ++f)
                        frames +=
                            "< send " + std::string(id) + " 1 " + std::to_string(f % 10) + " >";
                    say(fds[i], frames);
                });
            }
        }
        counter.wait_for(1, kWellBehaved * kFramesEach);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - started).count());
        std::sort(open_ms.begin(), open_ms.end());
        state.counters["open_median_ms"] = open_ms[open_ms.size() / 2];
        state.counters["open_max_ms"] = open_ms.back();
        state.counters["frames_reached_bus_pct"] =
            kPercent * counter.well_behaved() / (kWellBehaved * kFramesEach);
        server.stop();
        flooding.join();
        bus.detach(&counter);
        for (const int fd : fds) ::close(fd);
        ::close(silent);
        ::close(flooder);
    }
}

BENCHMARK(BM_SixteenClientsOneFloodingOneSilent)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
