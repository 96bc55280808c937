// Shared by the benchmarks: a backplane of their own, and a bus node that keeps a bus full.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

#include "driver/frame/slot_ownership.h"
#include "emulator/can/bus.h"
#include "platform/named_event.h"

namespace k5320::bench {

// The benchmark's own backplane (config_file), flash kept in a temporary directory, and a slot
// table and event namespace of its own, so that a benchmark neither touches the user's emulated
// modules nor meets other programs on the same machine. Must be built before anything reaches
// the backplane, which reads its configuration once: make it a static of the benchmark.
class OwnBackplane {
  public:
    OwnBackplane(const char* config_file, const std::string& name) {
        // Benchmarks drive and inspect its modules and buses directly: it runs in this process.
        setenv("TARN_BACKPLANE", "inprocess", 1);
        setenv("TARN_BACKPLANE_CONFIG", config_file, 1);
        std::string dir =
            (std::filesystem::temp_directory_path() / ("k5320-" + name + "-XXXXXX")).string();
        if (mkdtemp(dir.data()) != nullptr) {
            state_dir_ = dir;
            setenv("TARN_BACKPLANE_STATE", dir.c_str(), 1);
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
