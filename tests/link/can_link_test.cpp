// End to end through the C API: emulated modules on the virtual CAN bus, talking to each other
// and to the demo node, as a program sees real modules on a real bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "backplane/fault_request.h"
#include "backplane/inspect.h"
#include "emulator/module_probe.h"
#include "emulator/sja1000.h"
#include "k5320.h"
#include "k5320/commands.h"
#include "tests/eventually.h"
#include "tests/link/link_support.h"

namespace {

using namespace k5320::test;
const bool kBackplaneChosen = choose_link_backplane();

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace sja = k5320::emulator::sja1000;

constexpr uint8_t kSender = kLinkSender;
constexpr uint8_t kReceiver = kLinkReceiver;
constexpr uint8_t kLoner = 3;
constexpr uint8_t kBulkSender = 4;
constexpr uint8_t kBulkReceiver = 5;
constexpr uint8_t kDemoListener = 6;

constexpr uint8_t k125k = kBaud125k;
constexpr uint8_t k250k = kBaud250k;
constexpr uint8_t k500k = kBaud500k;
constexpr uint8_t kStatusErrorWarning = sja::SR_ES;

class CanLink : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(kBackplaneChosen);
        for (const uint8_t slot :
             {kSender, kReceiver, kLoner, kBulkSender, kBulkReceiver, kDemoListener}) {
            ASSERT_TRUE(k5320::backplane::in_process_host().replace_module(slot, "5320"));
        }
    }

    static void start(uint8_t slot, uint8_t baud, uint32_t code = 0, uint32_t mask = kAcceptAll) {
        ASSERT_EQ(K5320_Init(slot), K5320_SUCCESS);
        ASSERT_EQ(K5320_ConfigWithoutStruct(slot, code, mask, baud, 0, 0), K5320_SUCCESS);
    }

    static int send(uint8_t slot, uint32_t id, bool extended, bool remote,
                    std::vector<uint8_t> data, uint8_t length = 0xFF) {
        if (length == 0xFF) length = static_cast<uint8_t>(data.size());
        data.resize(8);
        return K5320_SendWithoutStruct(slot, extended, id, remote, length, data.data());
    }

    // One received message; none when nothing arrived in time. result gets the receive's result.
    static std::optional<Message> receive(uint8_t slot, std::chrono::milliseconds timeout = 2s,
                                          int* result = nullptr) {
        const auto deadline = Clock::now() + timeout;
        do {
            if (std::optional<Message> m = take_message(slot, result)) return m;
            std::this_thread::sleep_for(1ms);
        } while (Clock::now() < deadline);
        return std::nullopt;
    }

    static uint8_t status(uint8_t slot) {
        uint8_t value = 0;
        EXPECT_EQ(K5320_Status(slot, &value), K5320_SUCCESS);
        return value;
    }
};

TEST_F(CanLink, FramesArriveAsSentWithRisingTimeStamps) {
    ASSERT_NO_FATAL_FAILURE(start(kSender, k500k));
    ASSERT_NO_FATAL_FAILURE(start(kReceiver, k500k));
    EXPECT_EQ(status(kSender), 0x0C);

    struct Case {
        uint32_t id;
        bool extended;
        bool remote;
        std::vector<uint8_t> data;
        uint8_t length;
    };
    const std::vector<Case> cases = {
        {0x123, false, false, {0xDE, 0xAD, 0xBE, 0xEF}, 4},
        {0x7FF, false, false, {1, 2, 3, 4, 5, 6, 7, 8}, 8},
        {0x1FFFFFFF, true, false, {0x11, 0x22, 0x33}, 3},
        {0x000, false, false, {}, 0},
        {0x18FEF100, true, true, {}, 6},
        {0x321, false, true, {}, 2},
        // A length above 8 sends 8 bytes.
        {0x456, false, false, {9, 8, 7, 6, 5, 4, 3, 2}, 12},
    };
    uint64_t previous_stamp = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        ASSERT_EQ(send(kSender, c.id, c.extended, c.remote, c.data, c.length), K5320_SUCCESS);
        // Remote frames must leave the caller's buffer as it was.
        Message expected_untouched;
        expected_untouched.data.fill(0xA5);
        Message m = expected_untouched;
        uint16_t count = 0;
        ASSERT_TRUE(eventually(
            [&] { return K5320_RxMsgCount(kReceiver, &count) == K5320_SUCCESS && count > 0; }));
        uint32_t high = 0;
        uint32_t low = 0;
        ASSERT_EQ(K5320_ReceiveWithoutStruct(kReceiver, &m.extended, &m.id, &m.remote, &m.length,
                                             m.data.data(), &high, &low),
                  K5320_SUCCESS);
        EXPECT_EQ(m.id, c.id);
        EXPECT_EQ(m.extended, c.extended ? 1 : 0);
        EXPECT_EQ(m.remote, c.remote ? 1 : 0);
        EXPECT_EQ(m.length, std::min<uint8_t>(c.length, 8));
        if (c.remote) {
            EXPECT_EQ(m.data, expected_untouched.data);
        } else {
            std::array<uint8_t, 8> expected{};
            std::copy(c.data.begin(), c.data.end(), expected.begin());
            EXPECT_EQ(m.data, expected);
        }
        const uint64_t stamp = uint64_t{high} << 32 | low;
        EXPECT_GT(stamp, previous_stamp);
        previous_stamp = stamp;
    }
    // The sender's frames were all acknowledged: no time-out, no error bits.
    uint8_t flag = 0xFF;
    EXPECT_EQ(K5320_IsTxTimeout(kSender, &flag), K5320_SUCCESS);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(status(kSender) & kStatusErrorWarning, 0);
}

TEST_F(CanLink, AcceptanceFilterKeepsOnlyMatchingFrames) {
    ASSERT_NO_FATAL_FAILURE(start(kSender, k500k));
    // Single filter over an 11-bit identifier: ACR0/1 carry ID10..0 and RTR, data bytes are
    // don't care. Only 0x123 data frames pass.
    const uint32_t code = 0x123u << 21;
    const uint32_t mask = 0x000FFFFF;
    ASSERT_NO_FATAL_FAILURE(start(kReceiver, k500k, code, mask));
    ASSERT_EQ(send(kSender, 0x124, false, false, {1}), K5320_SUCCESS);
    ASSERT_EQ(send(kSender, 0x123, false, true, {}, 1), K5320_SUCCESS);
    ASSERT_EQ(send(kSender, 0x123, false, false, {2}), K5320_SUCCESS);
    const std::optional<Message> m = receive(kReceiver);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->id, 0x123u);
    EXPECT_EQ(m->remote, 0);
    EXPECT_EQ(m->data[0], 2);
    EXPECT_FALSE(receive(kReceiver, 50ms));
}

TEST_F(CanLink, BitRateMismatchDeliversNothingAndShowsErrors) {
    ASSERT_NO_FATAL_FAILURE(start(kSender, k500k));
    ASSERT_NO_FATAL_FAILURE(start(kReceiver, k250k));
    ASSERT_EQ(send(kSender, 0x100, false, false, {1, 2}), K5320_SUCCESS);
    // The sender retries its unacknowledged frame; the receiver sees a stuff error each time.
    EXPECT_TRUE(eventually([] { return (status(kSender) & kStatusErrorWarning) != 0; }));
    EXPECT_TRUE(eventually([] { return (status(kReceiver) & kStatusErrorWarning) != 0; }));
    int rc = 0;
    EXPECT_FALSE(receive(kReceiver, 50ms, &rc));
    uint8_t unused[8] = {};
    uint32_t id = 0;
    uint8_t b = 0;
    uint32_t w = 0;
    EXPECT_EQ(K5320_ReceiveWithoutStruct(kReceiver, &b, &id, &b, &b, unused, &w, &w),
              K5320_ERR_NO_MESSAGE);
}

TEST_F(CanLink, LoneModuleIsNotAcknowledgedAndTimesOut) {
    ASSERT_NO_FATAL_FAILURE(start(kLoner, k500k));
    ASSERT_EQ(send(kLoner, 0x7E0, false, false, {0x02, 0x10, 0x03}), K5320_SUCCESS);
    uint8_t flag = 0;
    EXPECT_TRUE(
        eventually([&] { return K5320_IsTxTimeout(kLoner, &flag) == K5320_SUCCESS && flag != 0; }));
    // Error passive after sixteen unacknowledged tries, and it stays there: alone on the bus a
    // controller keeps retrying without going bus-off.
    EXPECT_EQ(status(kLoner) & (sja::SR_ES | sja::SR_BS), sja::SR_ES);
    uint8_t tx_errors = 0;
    ASSERT_EQ(K5320_InputByte(kLoner, sja::SJA1000_TXERR, &tx_errors), K5320_SUCCESS);
    EXPECT_EQ(tx_errors, sja::kErrorPassiveLimit);
    // Clearing the transmit buffer gives the frame up and clears the flag.
    ASSERT_EQ(K5320_ClearTxSoftBuffer(kLoner), K5320_SUCCESS);
    ASSERT_EQ(K5320_IsTxTimeout(kLoner, &flag), K5320_SUCCESS);
    EXPECT_EQ(flag, 0);
}

TEST_F(CanLink, TransmitBufferRefusesWhenFull) {
    ASSERT_NO_FATAL_FAILURE(start(kLoner, k500k));
    const auto capacity = k5320::emulator::CanChannel::kTransmitBufferFrames;
    for (std::size_t i = 0; i < capacity; ++i) {
        ASSERT_EQ(send(kLoner, 0x10, false, false, {static_cast<uint8_t>(i)}), K5320_SUCCESS) << i;
    }
    EXPECT_EQ(send(kLoner, 0x10, false, false, {0xFF}), K5320_ERR_TX_REFUSED);
    ASSERT_EQ(K5320_ClearTxSoftBuffer(kLoner), K5320_SUCCESS);
    EXPECT_EQ(send(kLoner, 0x10, false, false, {0}), K5320_SUCCESS);
}

TEST_F(CanLink, BanksCarrySixtyFourRecordsEachInOrder) {
    ASSERT_NO_FATAL_FAILURE(start(kBulkSender, k500k));
    ASSERT_NO_FATAL_FAILURE(start(kBulkReceiver, k500k));
    constexpr unsigned kFrames = 150;
    for (unsigned i = 0; i < kFrames; ++i) {
        ASSERT_EQ(send(kBulkSender, i, false, false, {static_cast<uint8_t>(i)}), K5320_SUCCESS);
    }
    ASSERT_TRUE(eventually([] {
        return k5320::emulator::ModuleProbe(
                   *k5320::backplane::in_process_host().module(kBulkReceiver))
                   .frames_received() == kFrames;
    }));
    std::vector<uint16_t> counts;  // of each bank, as the first look at it shows
    uint16_t count = 0;
    for (unsigned i = 0; i < kFrames; ++i) {
        const bool new_bank = count <= 1;
        ASSERT_EQ(K5320_RxMsgCount(kBulkReceiver, &count), K5320_SUCCESS);
        if (new_bank) counts.push_back(count);
        const std::optional<Message> m = receive(kBulkReceiver, 0ms);
        ASSERT_TRUE(m) << i;
        EXPECT_EQ(m->id, i);
        EXPECT_EQ(m->data[0], static_cast<uint8_t>(i));
    }
    EXPECT_EQ(counts, (std::vector<uint16_t>{64, 64, 22}));
    EXPECT_FALSE(receive(kBulkReceiver, 0ms));
}

TEST_F(CanLink, ReceiveOverflowIsReportedUntilCleared) {
    ASSERT_NO_FATAL_FAILURE(start(kBulkSender, k500k));
    ASSERT_NO_FATAL_FAILURE(start(kBulkReceiver, k500k));
    const std::size_t capacity = k5320::emulator::CanChannel::kReceiveBufferFrames;
    for (std::size_t i = 0; i < capacity + 10; ++i) {
        ASSERT_EQ(send(kBulkSender, 0x200, false, false, {static_cast<uint8_t>(i)}), K5320_SUCCESS);
    }
    // The controller flags the lost frames as a data overrun.
    uint8_t sr = 0;
    ASSERT_EQ(K5320_InputByte(kBulkReceiver, sja::SJA1000_SR, &sr), K5320_SUCCESS);
    EXPECT_NE(sr & sja::SR_DOS, 0);

    for (int i = 0; i < 70; ++i) {  // into the second bank
        int rc = 0;
        ASSERT_TRUE(receive(kBulkReceiver, 0ms, &rc)) << i;
        EXPECT_EQ(rc, K5320_ERR_TX_REFUSED) << i;
    }
    ASSERT_EQ(K5320_ClearDataOverrun(kBulkReceiver), K5320_SUCCESS);
    ASSERT_EQ(K5320_InputByte(kBulkReceiver, sja::SJA1000_SR, &sr), K5320_SUCCESS);
    EXPECT_EQ(sr & sja::SR_DOS, 0);
    int rc = 0;
    ASSERT_TRUE(receive(kBulkReceiver, 0ms, &rc));
    EXPECT_EQ(rc, K5320_SUCCESS);
}

TEST_F(CanLink, ClearingTheReceiveBufferDropsWhatWaits) {
    ASSERT_NO_FATAL_FAILURE(start(kBulkSender, k500k));
    ASSERT_NO_FATAL_FAILURE(start(kBulkReceiver, k500k));
    for (int i = 0; i < 10; ++i) ASSERT_EQ(send(kBulkSender, 1, false, false, {}), K5320_SUCCESS);
    ASSERT_TRUE(receive(kBulkReceiver, 0ms));
    ASSERT_EQ(K5320_ClearRxSoftBuffer(kBulkReceiver), K5320_SUCCESS);
    EXPECT_FALSE(receive(kBulkReceiver, 0ms));
    ASSERT_EQ(send(kBulkSender, 2, false, false, {}), K5320_SUCCESS);
    const std::optional<Message> m = receive(kBulkReceiver, 0ms);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->id, 2u);
}

TEST_F(CanLink, DemoNodeSendsAndAnswersRemoteFrames) {
    ASSERT_NO_FATAL_FAILURE(start(kDemoListener, k125k));
    std::vector<uint32_t> seen;
    ASSERT_TRUE(eventually(
        [&] {
            if (const std::optional<Message> m = receive(kDemoListener, 0ms)) seen.push_back(m->id);
            return std::count(seen.begin(), seen.end(), 0x321u) > 0 &&
                   std::count(seen.begin(), seen.end(), 0x18FF0001u) > 0 &&
                   std::count(seen.begin(), seen.end(), 0x100u) > 1;
        },
        3s));
    ASSERT_EQ(K5320_ClearRxSoftBuffer(kDemoListener), K5320_SUCCESS);
    ASSERT_EQ(send(kDemoListener, 0x321, false, true, {}, 2), K5320_SUCCESS);
    EXPECT_TRUE(eventually([&] {
        const std::optional<Message> m = receive(kDemoListener, 0ms);
        return m && m->id == 0x321 && m->remote == 0 && m->length == 2;
    }));
}

// System message values the user routine of the lone module saw.
std::atomic<unsigned> g_warnings{0};
std::atomic<unsigned> g_passives{0};

void record_system_message() {
    uint8_t type = 0;
    if (K5320_ReadUserInttType(3, &type) != K5320_SUCCESS) return;
    if (type == k5320::sysmsg::kErrorWarning) ++g_warnings;
    if (type == k5320::sysmsg::kErrorPassive) ++g_passives;
}

TEST_F(CanLink, SystemMessagesReportErrorStateChangesOnlyWhenOn) {
    for (const bool on : {false, true}) {
        SCOPED_TRACE(on);
        // A fresh controller each round, with its error counters at 0.
        K5320_RemoveIrq(kLoner);
        ASSERT_TRUE(k5320::backplane::in_process_host().replace_module(kLoner, "5320"));
        g_warnings = 0;
        g_passives = 0;
        ASSERT_NO_FATAL_FAILURE(start(kLoner, k500k));
        ASSERT_EQ(K5320_InstallUserISR(kLoner, record_system_message), K5320_SUCCESS);
        ASSERT_EQ(K5320_SetSystemMsg(kLoner, on), K5320_SUCCESS);
        ASSERT_EQ(send(kLoner, 0x55, false, false, {1}), K5320_SUCCESS);
        uint8_t flag = 0;
        ASSERT_TRUE(eventually(
            [&] { return K5320_IsTxTimeout(kLoner, &flag) == K5320_SUCCESS && flag != 0; }));
        if (on) {
            // The last change is error passive, and the routine's call after it reads that.
            EXPECT_TRUE(eventually([] { return g_passives.load() > 0; }));
            // One message per change: two in all. A routine call may read the next message's
            // type when the two come close together, so the split between them may vary.
            EXPECT_LE(g_warnings.load(), 1u);
            EXPECT_LE(g_warnings.load() + g_passives.load(), 2u);
        } else {
            EXPECT_EQ(g_warnings.load() + g_passives.load(), 0u);
        }
        K5320_RemoveUserISR(kLoner);
    }
}

// System messages the link's sender saw.
std::atomic<unsigned> g_sender_bus_offs{0};

void record_sender_bus_off() {
    uint8_t type = 0;
    if (K5320_ReadUserInttType(kSender, &type) != K5320_SUCCESS) return;
    if (type == k5320::sysmsg::kBusOff) ++g_sender_bus_offs;
}

bool wire_fault(k5320::backplane::FaultKind kind, int32_t value = 1) {
    k5320::backplane::FaultRequest request{kind, 0, 0, value};
    std::strncpy(request.bus, "link", sizeof request.bus - 1);
    return k5320::backplane::inject_fault(request).has_value();
}

TEST_F(CanLink, AStuckDominantWireTakesTheSenderOffTheBusUntilTheHostStartsItAgain) {
    using k5320::backplane::FaultKind;
    g_sender_bus_offs = 0;
    ASSERT_NO_FATAL_FAILURE(start(kSender, k500k));
    ASSERT_NO_FATAL_FAILURE(start(kReceiver, k500k));
    ASSERT_EQ(K5320_InstallUserISR(kSender, record_sender_bus_off), K5320_SUCCESS);
    ASSERT_EQ(K5320_SetSystemMsg(kSender, 1), K5320_SUCCESS);

    ASSERT_TRUE(wire_fault(FaultKind::kBusStuckDominant));
    ASSERT_EQ(send(kSender, 0x123, false, false, {1}), K5320_SUCCESS);
    EXPECT_TRUE(eventually([] { return (status(kSender) & sja::SR_BS) != 0; }));
    EXPECT_TRUE(eventually([] { return g_sender_bus_offs.load() > 0; }));
    uint8_t receive_errors = 0;
    EXPECT_EQ(K5320_InputByte(kReceiver, sja::SJA1000_RXERR, &receive_errors), K5320_SUCCESS);
    EXPECT_GT(receive_errors, 0);

    // The wire healed, the controller stays off the bus: only the host restarts it.
    ASSERT_TRUE(wire_fault(FaultKind::kBusClear));
    ASSERT_EQ(send(kReceiver, 0x200, false, false, {2}), K5320_SUCCESS);
    ASSERT_TRUE(receive(kSender, 200ms) == std::nullopt);
    EXPECT_NE(status(kSender) & sja::SR_BS, 0);

    ASSERT_EQ(K5320_ConfigWithoutStruct(kSender, 0, kAcceptAll, k500k, 0, 0), K5320_SUCCESS);
    EXPECT_EQ(status(kSender) & sja::SR_BS, 0);
    ASSERT_EQ(send(kSender, 0x124, false, false, {3}), K5320_SUCCESS);
    const std::optional<Message> m = receive(kReceiver);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->id, 0x124u);
    K5320_RemoveUserISR(kSender);
}

}  // namespace
