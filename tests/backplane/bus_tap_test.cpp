#include "backplane/bus_tap.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "backplane/inspect.h"
#include "tests/can/bus_node.h"

namespace k5320::backplane {
namespace {

constexpr uint32_t kBurstId = 0x7F0;  // above the demo node's identifiers
constexpr int kBurstFrames = 300;
constexpr int kReadTimeoutMs = 10'000;

// A burst that keeps the bus busy for longer than a tap takes to read a batch reaches the reader
// whole and in order, and part of it in batches of more than one event.
TEST(BusTapTest, ABurstArrivesWholeInOrderAndInBatches) {
    std::string error;
    const std::unique_ptr<BusTap> tap = open_bus_tap("can0", 0, &error);
    ASSERT_NE(tap, nullptr) << error;
    can::Bus* bus = in_process_host().bus("can0");
    ASSERT_NE(bus, nullptr);

    can::TestNode sender(tap->bit_rate());
    sender.join(*bus);
    std::atomic<int> submitted = 1;
    const auto frame = [](int sequence) {
        return can::data_frame(
            kBurstId, {static_cast<uint8_t>(sequence >> 8), static_cast<uint8_t>(sequence & 0xFF)});
    };
    sender.on_transmitted = [&](const can::Frame&, can::TxOutcome) {
        if (submitted < kBurstFrames) bus->submit(&sender, frame(submitted++));
    };
    ASSERT_TRUE(bus->submit(&sender, frame(0)));

    int next = 0;
    bool batched = false;
    while (next < kBurstFrames) {
        TapEvent event;
        ASSERT_EQ(tap->next(&event, kReadTimeoutMs), BusTap::Read::kEvent) << "after " << next;
        EXPECT_EQ(event.lost, 0u);
        if (event.kind != TapEvent::Kind::kFrame || event.id != kBurstId) continue;
        ASSERT_EQ(event.data[0] << 8 | event.data[1], next);
        ++next;
        batched = batched || tap->holds_events();
    }
    EXPECT_TRUE(batched) << "every event of a " << kBurstFrames << "-frame burst came alone";
}

}  // namespace
}  // namespace k5320::backplane
