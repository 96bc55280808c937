// Shared by the benchmarks: the bus facts they measure against, a backplane of their own, and a
// bus node that keeps a bus full.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "backplane/config.h"
#include "backplane/service.h"
#include "driver/frame/slot_ownership.h"
#include "emulator/can/bus.h"
#include "emulator/flash_store.h"
#include "k5320/baud_codes.h"
#include "platform/named_event.h"

namespace k5320::bench {

// 1 Mbit/s: the last of the standard rate indices.
inline constexpr uint8_t kBaud1M = baud::kFirstStandardIndex + baud::kStandardRateCount - 1;
static_assert(baud::code_for_index(kBaud1M) == baud::k1000kbit);
inline constexpr uint32_t kAcceptAll = 0xFFFFFFFF;

// The most a 1 Mbit/s bus carries: standard 8-byte frames of 111 bits, none of them stuffed.
inline constexpr double kBusLimitFramesPerSecond = 9009;

// A standard 8-byte frame that needs no stuff bit, so it takes the 111 bits the bus limit
// assumes.
inline constexpr can::Frame kUnstuffedFrame{
    .id = 0x2AA,
    .extended = false,
    .remote = false,
    .length = can::kMaxDataLength,
    .data = {0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

// The value below which a share p (0..1) of the values lie.
inline double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    const auto k = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
    return values[k];
}

// The backplane runs in this process, never as the user's service with the user's modules: the
// benchmarks drive and inspect its modules and buses directly.
inline void run_backplane_in_process() {
    setenv(backplane::kModeEnvironmentVariable, backplane::kModeInProcess, 1);
}

// The benchmark's own backplane (config_file), flash kept in a temporary directory, and a slot
// table and event namespace of its own, so that a benchmark neither touches the user's emulated
// modules nor meets other programs on the same machine. Must be built before anything reaches
// the backplane, which reads its configuration once: make it a static of the benchmark.
class OwnBackplane {
  public:
    OwnBackplane(const char* config_file, const std::string& name) {
        run_backplane_in_process();
        setenv(backplane::kConfigEnvironmentVariable, config_file, 1);
        std::string dir =
            (std::filesystem::temp_directory_path() / ("k5320-" + name + "-XXXXXX")).string();
        if (mkdtemp(dir.data()) != nullptr) {
            state_dir_ = dir;
            setenv(emulator::kStateEnvironmentVariable, dir.c_str(), 1);
        }
        const std::string own = name + "-" + std::to_string(getpid());
        driver::ownership::use_table_for_test(own);
        platform::NamedEvent::use_namespace_for_test(own);
    }
    ~OwnBackplane() {
        driver::ownership::remove_test_table();
        std::error_code ignored;
        if (!state_dir_.empty()) std::filesystem::remove_all(state_dir_, ignored);
    }
    OwnBackplane(const OwnBackplane&) = delete;
    OwnBackplane& operator=(const OwnBackplane&) = delete;
    bool ready() const { return !state_dir_.empty(); }

  private:
    std::string state_dir_;
};

// A node of the benchmark's own on a bus, at 1 Mbit/s. It counts its frames and, while
// saturating, puts the next frame on the bus from the end of the last one, as a controller with
// a full transmit queue does.
class SaturatingPeer final : public can::BusClient {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr uint32_t kBitRate = 1'000'000;

    explicit SaturatingPeer(can::Bus& bus) : bus_(bus) { bus_.attach(this); }
    ~SaturatingPeer() override { bus_.detach(this); }
    SaturatingPeer(const SaturatingPeer&) = delete;
    SaturatingPeer& operator=(const SaturatingPeer&) = delete;

    uint32_t bit_rate() const override { return kBitRate; }
    bool active() const override { return true; }
    void receive(const can::Frame&, uint64_t) override {}
    void bus_error(can::BusErrorKind) override {}
    void transmitted(const can::Frame& frame, can::TxOutcome outcome) override {
        if (outcome == can::TxOutcome::kAcknowledged) {
            acknowledged_.fetch_add(1, std::memory_order_relaxed);
        } else {
            not_acknowledged_.fetch_add(1, std::memory_order_relaxed);
        }
        last_end_ns_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
        if (saturating_.load(std::memory_order_acquire) && bus_.submit(this, frame)) return;
        idle_.store(true, std::memory_order_release);
    }

    bool submit(const can::Frame& frame) { return bus_.submit(this, frame); }
    // Sends frame after frame until stop().
    bool saturate(const can::Frame& frame) {
        idle_.store(false, std::memory_order_release);
        saturating_.store(true, std::memory_order_release);
        return bus_.submit(this, frame);
    }
    void stop() { saturating_.store(false, std::memory_order_release); }
    bool idle() const { return idle_.load(std::memory_order_acquire); }

    uint64_t acknowledged() const { return acknowledged_.load(std::memory_order_relaxed); }
    uint64_t not_acknowledged() const { return not_acknowledged_.load(std::memory_order_relaxed); }
    Clock::time_point last_end() const {
        return Clock::time_point(Clock::duration(last_end_ns_.load(std::memory_order_relaxed)));
    }

  private:
    can::Bus& bus_;
    std::atomic<bool> saturating_{false};
    std::atomic<bool> idle_{true};
    std::atomic<uint64_t> acknowledged_{0};
    std::atomic<uint64_t> not_acknowledged_{0};
    std::atomic<Clock::rep> last_end_ns_{0};
};

}  // namespace k5320::bench
