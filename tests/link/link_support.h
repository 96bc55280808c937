// Shared by the end-to-end tests: the backplane they run on, and a message as the C API hands
// it over.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "k5320.h"

namespace k5320::test {

// Slots as tests/link/backplane.conf wires them.
inline constexpr uint8_t kLinkSender = 1;  // slots 1 and 2 share the paced bus "link"
inline constexpr uint8_t kLinkReceiver = 2;

// Baud-rate indices.
inline constexpr uint8_t kBaud125k = 4;
inline constexpr uint8_t kBaud250k = 5;
inline constexpr uint8_t kBaud500k = 6;

inline constexpr uint32_t kAcceptAll = 0xFFFFFFFF;

// Chooses the tests' backplane. Must run before anything reaches the backplane, which reads its
// configuration once; a static initializer of each test file calls it.
inline bool choose_link_backplane() {
    static const bool chosen = setenv("TARN_BACKPLANE_CONFIG", K5320_LINK_BACKPLANE, 1) == 0;
    return chosen;
}

struct Message {
    uint32_t id = 0;
    uint8_t extended = 0;
    uint8_t remote = 0;
    uint8_t length = 0;
    std::array<uint8_t, 8> data{};
    uint64_t stamp = 0;
};

// The next message of the slot, if the firmware has one; result gets the receive's result.
// Messages delivered with the overflow flag set (22) count as received.
inline std::optional<Message> take_message(uint8_t slot, int* result = nullptr) {
    uint16_t count = 0;
    if (K5320_RxMsgCount(slot, &count) != K5320_SUCCESS || count == 0) return std::nullopt;
    Message m;
    uint32_t high = 0;
    uint32_t low = 0;
    const int rc = K5320_ReceiveWithoutStruct(slot, &m.extended, &m.id, &m.remote, &m.length,
                                              m.data.data(), &high, &low);
    if (result != nullptr) *result = rc;
    if (rc != K5320_SUCCESS && rc != K5320_ERR_TX_REFUSED) return std::nullopt;
    m.stamp = uint64_t{high} << 32 | low;
    return m;
}

}  // namespace k5320::test
