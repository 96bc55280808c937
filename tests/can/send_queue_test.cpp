// The send queue that the bus's nodes share: a burst drains in order from the owner's callbacks
// without deadlock, what waits is bounded, and a frame the bus refuses is held until its owner
// takes it back.
#include "emulator/can/send_queue.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "tests/can/bus_node.h"

namespace k5320::can {
namespace {

constexpr uint32_t kRate = 500000;
constexpr std::size_t kCapacity = 3;

struct Tagged {
    Frame frame;
    int tag = 0;
};

std::vector<uint32_t> ids_of(const std::vector<Frame>& frames) {
    std::vector<uint32_t> ids;
    for (const Frame& frame : frames) ids.push_back(frame.id);
    return ids;
}

// Unpaced, the bus calls transmitted() from inside submit(): a queue that held its lock around
// submit() would deadlock here rather than deliver the whole burst before pump() returns.
TEST(SendQueueTest, DrainsABurstInOrderWhenPumpedFromTransmitted) {
    Bus bus(Pacing::kUnpaced);
    TestNode monitor(kRate);
    monitor.join(bus);
    TestNode sender(kRate);
    SendQueue<Tagged> queue(bus, sender, kCapacity);
    std::vector<int> finished;
    sender.on_transmitted = [&](const Frame&, TxOutcome) {
        const std::optional<Tagged> item = queue.finished();
        finished.push_back(item ? item->tag : 0);
        EXPECT_TRUE(queue.pump());
    };
    sender.join(bus);

    for (int tag = 1; tag <= static_cast<int>(kCapacity); ++tag) {
        ASSERT_TRUE(queue.push({data_frame(0x100 + tag, {static_cast<uint8_t>(tag)}), tag}));
    }
    EXPECT_TRUE(queue.full());
    EXPECT_FALSE(queue.push({data_frame(0x1FF, {}), 9})) << "a full queue takes nothing more";
    EXPECT_TRUE(queue.pump());
    EXPECT_EQ(finished, (std::vector<int>{1, 2, 3})) << "each item comes back with its own tag";
    EXPECT_EQ(ids_of(monitor.frames()), (std::vector<uint32_t>{0x101, 0x102, 0x103}));
    EXPECT_FALSE(queue.full());
}

TEST(SendQueueTest, HoldsARefusedFrameUntilTakenBackAndSendsNothingOnceClosed) {
    Bus bus(Pacing::kUnpaced);
    TestNode monitor(kRate);
    monitor.join(bus);
    TestNode sender(kRate);  // not attached yet, so the bus refuses its frames
    SendQueue<> queue(bus, sender, kCapacity);
    ASSERT_TRUE(queue.push(data_frame(0x101, {1})));
    ASSERT_TRUE(queue.push(data_frame(0x102, {2})));
    EXPECT_FALSE(queue.pump());

    // The refused frame still counts as on its way: nothing goes until the owner takes it back.
    sender.join(bus);
    EXPECT_TRUE(queue.pump());
    EXPECT_TRUE(monitor.frames().empty());
    const std::optional<Frame> refused = queue.finished();
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->id, 0x101u);
    EXPECT_FALSE(queue.finished().has_value()) << "taken back once";

    EXPECT_TRUE(queue.pump());
    EXPECT_EQ(ids_of(monitor.frames()), (std::vector<uint32_t>{0x102}));
    queue.finished();

    ASSERT_TRUE(queue.push(data_frame(0x103, {3})));
    queue.close();
    EXPECT_TRUE(queue.pump());
    EXPECT_EQ(ids_of(monitor.frames()), (std::vector<uint32_t>{0x102}));
}

}  // namespace
}  // namespace k5320::can
