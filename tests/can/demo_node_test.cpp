// The demo node: its periodic traffic, its answers to remote frames, and no flood when alone.
#include "emulator/can/demo_node.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/can/bus_node.h"

namespace k5320::can {
namespace {

std::vector<Frame> with_id(const std::vector<Frame>& frames, uint32_t id, bool extended) {
    std::vector<Frame> result;
    std::copy_if(frames.begin(), frames.end(), std::back_inserter(result),
                 [&](const Frame& f) { return f.id == id && f.extended == extended && !f.remote; });
    return result;
}

uint32_t big_endian(const Frame& frame, std::size_t at) {
    return uint32_t{frame.data[at]} << 24 | uint32_t{frame.data[at + 1]} << 16 |
           uint32_t{frame.data[at + 2]} << 8 | frame.data[at + 3];
}

class DemoNodeTest : public ::testing::TestWithParam<Pacing> {
  protected:
    Bus bus{GetParam()};
};

TEST_P(DemoNodeTest, SendsItsPeriodicFramesWithChangingData) {
    TestNode monitor(kDemoNodeDefaultBitRate);
    monitor.join(bus);
    DemoNode demo(bus);
    ASSERT_TRUE(monitor.wait_for_frames([](const std::vector<Frame>& frames) {
        return with_id(frames, kDemoFastId, false).size() >= 4 &&
               with_id(frames, kDemoExtendedId, true).size() >= 2 &&
               !with_id(frames, kDemoSlowId, false).empty();
    }));
    demo.stop();
    const std::vector<Frame> frames = monitor.frames();

    const std::vector<Frame> fast = with_id(frames, kDemoFastId, false);
    for (std::size_t i = 0; i < fast.size(); ++i) {
        EXPECT_EQ(fast[i].length, kMaxDataLength);
        EXPECT_EQ(fast[i].data[0], i) << "the counter counts every frame";
        if (i > 0) {
            EXPECT_NE(fast[i].data, fast[i - 1].data);
        }
    }
    const std::vector<Frame> extended = with_id(frames, kDemoExtendedId, true);
    EXPECT_EQ(extended[0].length, kMaxDataLength);
    EXPECT_EQ(big_endian(extended[1], 4), big_endian(extended[0], 4) + 1);
    // The frames' slots in the schedule, a quarter second apart (more if the machine was too
    // busy to keep one).
    const uint32_t slot_distance = big_endian(extended[1], 0) - big_endian(extended[0], 0);
    EXPECT_GE(slot_distance, 250u);
    EXPECT_EQ(slot_distance % 250, 0u);
    const std::vector<Frame> slow = with_id(frames, kDemoSlowId, false);
    EXPECT_EQ(slow[0].length, 2);
    // Only its own identifiers, and every frame acknowledged by the monitor.
    EXPECT_EQ(fast.size() + extended.size() + slow.size(), frames.size());
    EXPECT_EQ(demo.counters().sent, frames.size());
}

TEST_P(DemoNodeTest, AnswersRemoteFramesForItsOwnIdentifiers) {
    TestNode requester(kDemoNodeDefaultBitRate);
    requester.join(bus);
    DemoNode demo(bus);
    const std::vector<Frame> requests = {
        // Lengths the periodic frames do not have, so the answers can be told apart.
        Frame{.id = kDemoSlowId, .remote = true, .length = 5},
        Frame{.id = kDemoExtendedId, .extended = true, .remote = true, .length = 3},
        Frame{.id = kDemoFastId, .remote = true, .length = 0},
        // Not the demo node's: the same number in the other format, and a foreign identifier.
        Frame{.id = kDemoFastId, .extended = true, .remote = true, .length = 1},
        Frame{.id = 0x555, .remote = true, .length = 1},
    };
    for (const Frame& request : requests) {
        const std::size_t before = requester.outcomes().size();
        ASSERT_TRUE(bus.submit(&requester, request));
        ASSERT_TRUE(requester.wait_for_outcomes(before + 1));
        EXPECT_EQ(requester.outcomes().at(before), TxOutcome::kAcknowledged);
    }
    auto answered = [](const std::vector<Frame>& frames, const Frame& request) {
        return std::any_of(frames.begin(), frames.end(), [&](const Frame& f) {
            return !f.remote && f.id == request.id && f.extended == request.extended &&
                   f.length == request.length;
        });
    };
    ASSERT_TRUE(requester.wait_for_frames([&](const std::vector<Frame>& frames) {
        return answered(frames, requests[0]) && answered(frames, requests[1]) &&
               answered(frames, requests[2]);
    }));
    demo.stop();
    const std::vector<Frame> frames = requester.frames();
    EXPECT_FALSE(answered(frames, requests[3]));
    EXPECT_FALSE(answered(frames, requests[4]));
    EXPECT_EQ(demo.counters().remote_answered, 3u);
}

TEST_P(DemoNodeTest, AloneOnTheBusItDoesNotRepeatUnacknowledgedFrames) {
    TestNode foreign(kDemoNodeDefaultBitRate * 2);  // sees every frame as a bus error
    foreign.join(bus);
    const auto start = std::chrono::steady_clock::now();
    DemoNode demo(bus);
    ASSERT_TRUE(foreign.wait_for_errors(3));  // the first round: one frame of each
    demo.stop();
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);

    const BusCounters counters = bus.counters();
    EXPECT_EQ(counters.acknowledged, 0u);
    EXPECT_EQ(demo.counters().not_acknowledged, counters.frames);
    // No more than the schedule gives in the time it ran; repeats would be many times more.
    const uint64_t scheduled =
        elapsed.count() / 100 + 1 + elapsed.count() / 250 + 1 + elapsed.count() / 1000 + 1;
    EXPECT_LE(counters.frames, scheduled);
    EXPECT_GE(counters.frames, 3u);
}

INSTANTIATE_TEST_SUITE_P(Pacing, DemoNodeTest, ::testing::Values(Pacing::kPaced, Pacing::kUnpaced),
                         pacing_name);

}  // namespace
}  // namespace k5320::can
