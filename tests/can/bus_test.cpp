// The virtual CAN bus: delivery by bit rate, acknowledgement, arbitration, pacing, and clients
// that call back into the bus from its callbacks.
#include "emulator/can/bus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <optional>
#include <thread>

#include "can/frame_length.h"
#include "tests/can/bus_node.h"

namespace k5320::can {
namespace {

constexpr uint32_t kRate = 125000;
constexpr uint32_t kOtherRate = 250000;

class BusTest : public ::testing::TestWithParam<Pacing> {
  protected:
    // Submits and waits until the bus has told the sender how it went.
    std::optional<TxOutcome> send(TestNode& sender, const Frame& frame) {
        const std::size_t before = sender.outcomes().size();
        EXPECT_TRUE(bus.submit(&sender, frame));
        EXPECT_TRUE(sender.wait_for_outcomes(before + 1));
        const std::vector<TxOutcome> outcomes = sender.outcomes();
        if (outcomes.size() <= before) return std::nullopt;
        return outcomes[before];
    }

    Bus bus{GetParam()};
};

TEST_P(BusTest, FramesReachEveryOtherNodeAtTheRateAsTheWireCarriesThem) {
    TestNode a(kRate), b(kRate), c(kRate);
    a.join(bus);
    b.join(bus);
    c.join(bus);
    bus.attach(&b);  // a second attach changes nothing

    Frame short_frame = data_frame(0x123, {0x01, 0x02});
    short_frame.data[5] = 0xAA;  // past the length: not on the wire
    EXPECT_EQ(send(a, short_frame), TxOutcome::kAcknowledged);
    Frame remote{.id = 0x1ABCDEF, .extended = true, .remote = true, .length = 8};
    remote.data.fill(0x55);  // a remote frame carries no data
    EXPECT_EQ(send(b, remote), TxOutcome::kAcknowledged);

    Frame remote_sent = remote;
    remote_sent.data = {};
    EXPECT_EQ(b.frames(), std::vector<Frame>{data_frame(0x123, {0x01, 0x02})});
    EXPECT_EQ(c.frames(), (std::vector<Frame>{data_frame(0x123, {0x01, 0x02}), remote_sent}));
    EXPECT_EQ(a.frames(), std::vector<Frame>{remote_sent});
    EXPECT_TRUE(a.errors().empty() && b.errors().empty() && c.errors().empty());
    EXPECT_EQ(bus.counters().receptions, 4u);
    EXPECT_EQ(bus.counters().frames, 2u);
}

TEST_P(BusTest, AcknowledgedOnlyByAnActiveNodeAtTheSenderRate) {
    TestNode sender(kRate);
    TestNode listener(kRate, false);  // listen-only: receives but does not acknowledge
    TestNode foreign(kOtherRate);
    TestNode off(0);
    sender.join(bus);
    const Frame frame = data_frame(0x321, {0xDE, 0xAD, 0xBE, 0xEF});

    EXPECT_EQ(send(sender, frame), TxOutcome::kNotAcknowledged);

    listener.join(bus);
    foreign.join(bus);
    off.join(bus);
    EXPECT_EQ(send(sender, frame), TxOutcome::kNotAcknowledged);
    // The error frame after the missing acknowledgement destroys the frame for the listener.
    EXPECT_TRUE(listener.frames().empty());
    EXPECT_EQ(listener.errors(), std::vector<BusErrorKind>{BusErrorKind::kForm});

    listener.set_active(true);
    EXPECT_EQ(send(sender, frame), TxOutcome::kAcknowledged);
    EXPECT_EQ(listener.frames(), std::vector<Frame>{frame});
    EXPECT_EQ(listener.errors().size(), 1u);

    // A node at another rate decodes nothing and sees an error for every frame on the bus; a
    // node that is off the bus sees nothing at all.
    EXPECT_TRUE(foreign.frames().empty());
    EXPECT_EQ(foreign.errors(), std::vector<BusErrorKind>(2, BusErrorKind::kStuff));
    EXPECT_TRUE(off.frames().empty() && off.errors().empty());
    // Nor does an active node at another rate acknowledge.
    listener.set_rate(kOtherRate);
    EXPECT_EQ(send(sender, frame), TxOutcome::kNotAcknowledged);

    const BusCounters counters = bus.counters();
    EXPECT_EQ(counters.frames, 4u);
    EXPECT_EQ(counters.acknowledged, 1u);
    EXPECT_EQ(counters.receptions, 1u);
    EXPECT_EQ(counters.bus_errors, 5u);
    EXPECT_EQ(counters.bits, 4u * frame_bit_length(frame));
}

TEST_P(BusTest, WaitingFramesGoInArbitrationOrder) {
    // Submitted in this order, all while the blocker's frame ends.
    const std::vector<Frame> submitted = {
        data_frame(0x300, {0x03}),
        Frame{.id = 0x100 << 18, .extended = true},
        Frame{.id = 0x100, .remote = true, .length = 2},
        data_frame(0x100, {0x01}),
        Frame{.id = 0x0FF << 18 | 0x3FFFF, .extended = true},
    };
    std::atomic<bool> first = true;
    // Declared after what their callbacks use, so they leave the bus before it goes.
    TestNode blocker(kRate), monitor(kRate);
    std::vector<std::unique_ptr<TestNode>> senders;
    blocker.join(bus);
    monitor.join(bus);
    for (std::size_t i = 0; i < submitted.size(); ++i) {
        senders.push_back(std::make_unique<TestNode>(kRate));
        senders.back()->join(bus);
    }
    monitor.on_receive = [&](const Frame&) {
        if (!first.exchange(false)) return;
        for (std::size_t i = 0; i < submitted.size(); ++i) {
            EXPECT_TRUE(bus.submit(senders[i].get(), submitted[i]));
        }
    };

    EXPECT_TRUE(bus.submit(&blocker, data_frame(0x7FF, {})));
    ASSERT_TRUE(monitor.wait_for_frames(1 + submitted.size()));

    const std::vector<Frame> expected = {data_frame(0x7FF, {}), submitted[4], submitted[3],
                                         submitted[2],          submitted[1], submitted[0]};
    EXPECT_EQ(monitor.frames(), expected);
    // The last one lost four times, first against 0x0FF at the second identifier bit.
    const auto lost = senders[0]->lost();
    ASSERT_EQ(lost.size(), 4u);
    EXPECT_EQ(lost.front(), std::make_pair(uint32_t{0x300}, 1u));
    EXPECT_TRUE(senders[4]->lost().empty());
}

TEST_P(BusTest, OneFrameOnItsWayPerClientAndMalformedFramesRefused) {
    std::atomic<int> refused_while_delivered = 0;
    TestNode a(kRate), b(kRate), stranger(kRate);
    a.join(bus);
    b.join(bus);
    EXPECT_FALSE(bus.submit(&stranger, data_frame(0x001, {})));
    EXPECT_FALSE(bus.submit(&a, data_frame(0x800, {})));             // beyond 11 bits
    EXPECT_FALSE(bus.submit(&a, data_frame(0x20000000, {}, true)));  // beyond 29 bits
    EXPECT_FALSE(bus.submit(&a, Frame{.id = 0x001, .length = 9}));   // beyond 8 bytes
    EXPECT_EQ(bus.counters().frames, 0u);

    // While a's frame is delivered it is still on its way; from transmitted() the next is taken.
    b.on_receive = [&](const Frame& frame) {
        if (frame.id == 0x010 && !bus.submit(&a, data_frame(0x011, {}))) ++refused_while_delivered;
    };
    a.on_transmitted = [&](const Frame& frame, TxOutcome) {
        if (frame.id == 0x010) {
            EXPECT_TRUE(bus.submit(&a, data_frame(0x012, {})));
        }
    };
    EXPECT_TRUE(bus.submit(&a, data_frame(0x010, {})));
    ASSERT_TRUE(b.wait_for_frames(2));
    EXPECT_EQ(refused_while_delivered, 1);
    EXPECT_EQ(b.frames(), (std::vector<Frame>{data_frame(0x010, {}), data_frame(0x012, {})}));
}

TEST_P(BusTest, DetachedNodesAreCalledNoMore) {
    TestNode a(kRate), b(kRate), c(kRate);
    a.join(bus);
    b.join(bus);
    c.join(bus);
    // A node may leave from its own callback; the rest of the delivery goes on without it.
    b.on_receive = [&](const Frame&) { bus.detach(&b); };
    EXPECT_EQ(send(a, data_frame(0x100, {})), TxOutcome::kAcknowledged);
    EXPECT_EQ(send(a, data_frame(0x101, {})), TxOutcome::kAcknowledged);
    EXPECT_EQ(b.frames().size(), 1u);
    EXPECT_EQ(c.frames().size(), 2u);

    // From another thread, detach waits for a callback in progress.
    std::promise<void> entered, release;
    std::atomic<bool> callback_done = false;
    c.on_receive = [&](const Frame&) {
        entered.set_value();
        release.get_future().wait_for(kTimeout);
        callback_done = true;
    };
    std::thread sender([&] { bus.submit(&a, data_frame(0x102, {})); });
    ASSERT_EQ(entered.get_future().wait_for(kTimeout), std::future_status::ready);
    std::atomic<bool> done_when_detached = false;
    std::thread detacher([&] {
        bus.detach(&c);
        done_when_detached = callback_done.load();
    });
    // Gives the detacher time to block in detach; the check below holds either way.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    release.set_value();
    detacher.join();
    sender.join();
    EXPECT_TRUE(done_when_detached);
    EXPECT_EQ(send(a, data_frame(0x103, {})), TxOutcome::kNotAcknowledged);
    EXPECT_EQ(c.frames().size(), 3u);
}

// --- faults on the wire -------------------------------------------------------------------------

TEST_P(BusTest, AStuckDominantWireDestroysEveryTransmissionUntilCleared) {
    TestNode a(kRate), b(kRate), slower(kOtherRate);
    a.join(bus);
    b.join(bus);
    slower.join(bus);
    bus.set_stuck_dominant(true);
    for (int attempt = 0; attempt < 3; ++attempt)
        EXPECT_EQ(send(a, data_frame(0x123, {1})), TxOutcome::kBitError);
    EXPECT_TRUE(b.frames().empty());
    // Receivers see the error frame: at the sender's rate as a broken form, others as noise.
    EXPECT_EQ(b.errors(), std::vector<BusErrorKind>(3, BusErrorKind::kForm));
    EXPECT_EQ(slower.errors(), std::vector<BusErrorKind>(3, BusErrorKind::kStuff));
    EXPECT_EQ(bus.counters().error_frames, 3u);

    bus.clear_faults();
    EXPECT_EQ(send(a, data_frame(0x123, {1})), TxOutcome::kAcknowledged);
    EXPECT_EQ(b.frames(), std::vector<Frame>{data_frame(0x123, {1})});
}

TEST_P(BusTest, BitErrorsDestroyTheirShareAndTheSameSeedTheSameTransmissions) {
    TestNode a(kRate), b(kRate);
    a.join(bus);
    b.join(bus);
    constexpr int kTries = 200;
    auto outcomes_with_seed = [&](uint32_t seed) {
        bus.set_bit_errors(30, seed);
        std::vector<TxOutcome> outcomes;
        for (int i = 0; i < kTries; ++i) outcomes.push_back(*send(a, data_frame(0x100, {})));
        return outcomes;
    };
    const std::vector<TxOutcome> first = outcomes_with_seed(7);
    const auto destroyed = std::count(first.begin(), first.end(), TxOutcome::kBitError);
    EXPECT_GT(destroyed, kTries * 20 / 100);
    EXPECT_LT(destroyed, kTries * 40 / 100);
    EXPECT_EQ(b.frames().size(), static_cast<std::size_t>(kTries - destroyed));
    EXPECT_EQ(outcomes_with_seed(7), first);
    EXPECT_NE(outcomes_with_seed(8), first);
}

TEST_P(BusTest, ANodeOffTheWireHearsNothingAndNobodyHearsIt) {
    TestNode a(kRate), b(kRate);
    a.join(bus);
    b.join(bus);
    bus.set_disconnected(&a, true);
    EXPECT_EQ(send(a, data_frame(0x100, {})), TxOutcome::kOffTheWire);
    EXPECT_EQ(send(b, data_frame(0x200, {})), TxOutcome::kNotAcknowledged);
    EXPECT_TRUE(a.frames().empty() && b.frames().empty());
    EXPECT_EQ(bus.counters().frames, 1u);  // b's alone took bus time

    bus.set_disconnected(&a, false);
    EXPECT_EQ(send(a, data_frame(0x100, {})), TxOutcome::kAcknowledged);
}

INSTANTIATE_TEST_SUITE_P(Pacing, BusTest, ::testing::Values(Pacing::kPaced, Pacing::kUnpaced),
                         pacing_name);

TEST(PacedBusTest, BackToBackFramesTakeTheirExactBitTime) {
    const Frame frame = data_frame(0x123, {0xDE, 0xAD, 0xBE, 0xEF});  // 81 bits
    constexpr int kFrames = 40;
    const std::chrono::nanoseconds frame_time(81LL * 1'000'000'000 / kRate);  // 648 us
    std::atomic<int> sent = 1;
    Bus bus(Pacing::kPaced);
    TestNode sender(kRate), receiver(kRate);
    sender.join(bus);
    receiver.join(bus);
    sender.on_transmitted = [&](const Frame&, TxOutcome) {
        if (sent < kFrames) {
            ++sent;
            EXPECT_TRUE(bus.submit(&sender, frame));
        }
    };

    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(bus.submit(&sender, frame));
    ASSERT_TRUE(receiver.wait_for_frames(kFrames));
    const auto elapsed = std::chrono::steady_clock::now() - start;

    EXPECT_GE(elapsed, kFrames * frame_time);
    // Frames submitted from transmitted() follow at once, and their end times are computed from
    // the start of the busy period: exact, whatever the thread's wake-up latency.
    const std::vector<Reception> received = receiver.received();
    for (std::size_t i = 1; i < received.size(); ++i) {
        EXPECT_EQ(received[i].time_ns - received[i - 1].time_ns,
                  static_cast<uint64_t>(frame_time.count()))
            << i;
    }
    EXPECT_EQ(bus.counters().bits, uint64_t{kFrames} * 81);
}

TEST(UnpacedBusTest, DeliversBeforeSubmitReturns) {
    Bus bus(Pacing::kUnpaced);
    constexpr uint32_t kVerySlowRate = 10;  // 8 s per frame, were it paced
    TestNode sender(kVerySlowRate), receiver(kVerySlowRate);
    sender.join(bus);
    receiver.join(bus);
    for (uint8_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(bus.submit(&sender, data_frame(0x100, {i, i, i, i, i, i, i, i})));
        EXPECT_EQ(receiver.frames().size(), i + 1u);
        EXPECT_EQ(sender.outcomes().size(), i + 1u);
    }
}

}  // namespace
}  // namespace k5320::can
