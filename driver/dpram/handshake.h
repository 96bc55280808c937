// The command handshake: write parameters and a command under the slot lock, then poll the
// answer field without the lock, with repeat requests and the interrupt recovery as the last
// resort. Every firmware operation runs through this one routine with its own parameters.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>

#include "driver/frame/slot_state.h"
#include "k5320_result.h"

namespace k5320::driver {

struct Refusal {
    uint8_t answer;
    int result;
};

// The refusal answers of a handshake, held by value: a handshake may be built by a function and
// outlive the braces it was written with.
class Refusals {
  public:
    static constexpr size_t kCapacity = 2;
    constexpr Refusals() = default;
    constexpr Refusals(std::initializer_list<Refusal> list) {
        for (const Refusal& r : list)
            if (count_ < kCapacity) items_[count_++] = r;
    }
    constexpr const Refusal* begin() const { return items_.data(); }
    constexpr const Refusal* end() const { return items_.data() + count_; }

  private:
    std::array<Refusal, kCapacity> items_{};
    size_t count_ = 0;
};

struct Handshake {
    uint8_t command;
    Field field;
    // The answers that end the wait successfully: one value, or a range (lowest..highest).
    uint8_t success_low;
    uint8_t success_high = success_low;
    Refusals refusals = {};
    uint32_t poll_sleep_ms =
        0;  // a poll's length in ms; 0: a yielding poll's (kYieldingPollLength)
    uint32_t polls_per_cycle = 3000;
    uint32_t repeat_requests = 3;
    bool recovery = true;
    int no_answer_result = K5320_ERR_NO_ANSWER;
    // A second field whose answers end the wait as well (whichever comes first); cleared with
    // the first.
    std::optional<Field> second_field = std::nullopt;

    // The same exchange, also ended by an answer in `other`.
    constexpr Handshake also_ended_by(Field other) const {
        Handshake h = *this;
        h.second_field = other;
        return h;
    }
    // The same exchange, with polls of `ms` instead of yielding ones.
    constexpr Handshake polled_every(uint32_t ms) const {
        Handshake h = *this;
        h.poll_sleep_ms = ms;
        return h;
    }
    // The same exchange, giving up after its repeat requests without the interrupt recovery.
    constexpr Handshake without_recovery() const {
        Handshake h = *this;
        h.recovery = false;
        return h;
    }
    // The same exchange, giving `result` when no answer comes.
    constexpr Handshake without_answer_giving(int result) const {
        Handshake h = *this;
        h.no_answer_result = result;
        return h;
    }
};

// The standard exchange of every firmware command: cycles of 3000 yielding polls, then up to three
// repeat requests, then the interrupt recovery.
constexpr Handshake standard_exchange(uint8_t command, Field field, uint8_t success_low,
                                      uint8_t success_high, Refusals refusals = {}) {
    return Handshake{.command = command,
                     .field = field,
                     .success_low = success_low,
                     .success_high = success_high,
                     .refusals = refusals};
}

// The same with one success answer.
constexpr Handshake standard_exchange(uint8_t command, Field field, uint8_t success,
                                      Refusals refusals = {}) {
    return standard_exchange(command, field, success, success, refusals);
}

// The exchange of reset steps and of the resident loader: the command is sent once and awaited
// for 1200 polls of a millisecond (1.2 s; the wait ends as soon as the answer is filed), without
// repeat requests or the recovery.
inline constexpr uint32_t kOnceOnlyPollSleepMs = 1;
inline constexpr uint32_t kOnceOnlyPolls = 1200;

constexpr Handshake once_only_exchange(uint8_t command, Field field, uint8_t success_low,
                                       uint8_t success_high, Refusals refusals = {}) {
    return Handshake{.command = command,
                     .field = field,
                     .success_low = success_low,
                     .success_high = success_high,
                     .refusals = refusals,
                     .poll_sleep_ms = kOnceOnlyPollSleepMs,
                     .polls_per_cycle = kOnceOnlyPolls,
                     .repeat_requests = 0,
                     .recovery = false};
}

struct HandshakeOutcome {
    int result;       // 0, a refusal's result, or the no-answer result
    uint32_t answer;  // the answer that ended the wait (0 when none came)
};

// Parameters written to the DPRAM under the slot lock, before the command byte.
using ParameterWriter = std::function<void()>;

HandshakeOutcome run_handshake(uint8_t slot, const Handshake& handshake,
                               const ParameterWriter& write_parameters = {});

// Only the waiting part (for operations that write their command themselves).
HandshakeOutcome await_answer(uint8_t slot, const Handshake& handshake);

}  // namespace k5320::driver
