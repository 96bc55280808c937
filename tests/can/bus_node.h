// A bus node for tests: records what the bus tells it and can react from its callbacks.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "emulator/can/bus.h"

namespace k5320::can {

inline constexpr auto kTimeout = std::chrono::seconds(10);  // generous: the machine may be busy

struct Reception {
    Frame frame;
    uint64_t time_ns;
};

class TestNode : public BusClient {
  public:
    explicit TestNode(uint32_t rate, bool is_active = true) : rate_(rate), active_(is_active) {}
    // Leaves the bus it joined, so the bus never calls a node that is gone.
    ~TestNode() override {
        if (bus_ != nullptr) bus_->detach(this);
    }

    void join(Bus& bus) {
        bus_ = &bus;
        bus.attach(this);
    }

    void set_rate(uint32_t rate) { rate_ = rate; }
    void set_active(bool is_active) { active_ = is_active; }
    // Called on the bus's delivering thread, after the event is recorded.
    std::function<void(const Frame&)> on_receive;
    std::function<void(const Frame&, TxOutcome)> on_transmitted;

    uint32_t bit_rate() const override { return rate_; }
    bool active() const override { return active_; }
    void receive(const Frame& frame, uint64_t time_ns) override {
        record([&] { received_.push_back({frame, time_ns}); });
        if (on_receive) on_receive(frame);
    }
    void bus_error(BusErrorKind kind) override {
        record([&] { errors_.push_back(kind); });
    }
    void transmitted(const Frame& frame, TxOutcome outcome) override {
        record([&] { outcomes_.push_back(outcome); });
        if (on_transmitted) on_transmitted(frame, outcome);
    }
    void arbitration_lost(const Frame& frame, unsigned bit) override {
        record([&] { lost_.push_back({frame.id, bit}); });
    }

    std::vector<Reception> received() const {
        return locked([&] { return received_; });
    }
    std::vector<Frame> frames() const {
        return locked([&] {
            std::vector<Frame> result;
            for (const Reception& reception : received_) result.push_back(reception.frame);
            return result;
        });
    }
    std::vector<BusErrorKind> errors() const {
        return locked([&] { return errors_; });
    }
    std::vector<TxOutcome> outcomes() const {
        return locked([&] { return outcomes_; });
    }
    std::vector<std::pair<uint32_t, unsigned>> lost() const {
        return locked([&] { return lost_; });
    }

    bool wait_for_frames(std::size_t count) const {
        return wait([&] { return received_.size() >= count; });
    }
    // Waits until the frames received so far satisfy condition.
    bool wait_for_frames(const std::function<bool(const std::vector<Frame>&)>& condition) const {
        return wait([&] {
            std::vector<Frame> frames;
            for (const Reception& reception : received_) frames.push_back(reception.frame);
            return condition(frames);
        });
    }
    bool wait_for_errors(std::size_t count) const {
        return wait([&] { return errors_.size() >= count; });
    }
    bool wait_for_outcomes(std::size_t count) const {
        return wait([&] { return outcomes_.size() >= count; });
    }

  private:
    template <typename Change>
    void record(Change&& change) {
        std::lock_guard lock(mutex_);
        change();
        changed_.notify_all();
    }
    template <typename Read>
    std::invoke_result_t<Read> locked(Read&& read) const {
        std::lock_guard lock(mutex_);
        return read();
    }
    template <typename Condition>
    bool wait(Condition&& condition) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kTimeout, condition);
    }

    Bus* bus_ = nullptr;
    std::atomic<uint32_t> rate_;
    std::atomic<bool> active_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Reception> received_;
    std::vector<BusErrorKind> errors_;
    std::vector<TxOutcome> outcomes_;
    std::vector<std::pair<uint32_t, unsigned>> lost_;
};

inline Frame data_frame(uint32_t id, std::initializer_list<uint8_t> bytes, bool extended = false) {
    Frame frame{.id = id, .extended = extended, .length = static_cast<uint8_t>(bytes.size())};
    std::copy(bytes.begin(), bytes.end(), frame.data.begin());
    return frame;
}

inline std::string pacing_name(const ::testing::TestParamInfo<Pacing>& param_info) {
    return param_info.param == Pacing::kPaced ? "Paced" : "Unpaced";
}

}  // namespace k5320::can
