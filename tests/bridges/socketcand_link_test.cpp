// Buses joined across TCP by links to socketcand servers, in the process: frames cross both ways
// exactly and in order and none comes back; a link outlives a restart of its server and counts
// what it dropped meanwhile; a ring of three carries each frame once to each bus, and so do two
// buses joined both ways, also once one of the two links has stopped; a bus joined to itself
// carries nothing round.
#include "bridges/socketcand_link.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bridges/socketcand_server.h"
#include "tests/can/bus_node.h"
#include "tests/eventually.h"

namespace k5320::bridges {
namespace {

constexpr uint32_t kRate = 1000000;
constexpr const char* kLoopback = "127.0.0.1";

// A bus with a node that sends and records, and a socketcand server; links are added later.
struct Side {
    explicit Side(uint16_t port = 0) : node(kRate) {
        node.join(bus);
        start_server(port);
    }
    ~Side() {
        for (auto& link : links) link->stop();
        if (server) server->stop();
    }
    void start_server(uint16_t port) {
        server = std::make_unique<SocketcandServer>(
            bus, "can0", kRate,
            SocketcandServer::Options{.address = kLoopback, .port = port, .backplane = &backplane});
        ASSERT_TRUE(server->ok());
    }
    LinkStatus& join(const Side& remote) {
        statuses.push_back(std::make_unique<LinkStatus>());
        links.push_back(std::make_unique<SocketcandLink>(
            bus, "can0", kRate,
            socketcand::RemoteEndpoint{.host = kLoopback, .port = remote.server->port()}, backplane,
            *statuses.back()));
        return *statuses.back();
    }
    // One frame at a time, each acknowledged before the next.
    void send(const std::vector<can::Frame>& frames) {
        for (const can::Frame& frame : frames) {
            const std::size_t before = node.outcomes().size();
            ASSERT_TRUE(bus.submit(&node, frame));
            ASSERT_TRUE(node.wait_for_outcomes(before + 1));
            ASSERT_EQ(node.outcomes().back(), can::TxOutcome::kAcknowledged);
        }
    }

    can::Bus bus{can::Pacing::kPaced};
    can::TestNode node;
    BackplaneLinks backplane;
    std::unique_ptr<SocketcandServer> server;
    std::vector<std::unique_ptr<LinkStatus>> statuses;
    std::vector<std::unique_ptr<SocketcandLink>> links;
};

// Counters move a moment after the frame has arrived: when written, and when its sender hears.
bool reaches(const std::atomic<uint64_t>& counter, uint64_t value) {
    return test::eventually([&] { return counter == value; });
}

bool up(const LinkStatus& status) {
    return test::eventually([&] { return status.state == LinkState::kUp; });
}

// Standard and extended, empty and full frames, each told apart by its identifier.
std::vector<can::Frame> frames_from(uint32_t first_id, std::size_t count) {
    std::vector<can::Frame> frames;
    for (std::size_t i = 0; i < count; ++i) {
        const auto n = static_cast<uint8_t>(i);
        can::Frame frame{.id = first_id + static_cast<uint32_t>(i),
                         .extended = i % 3 == 0,
                         .length = static_cast<uint8_t>(i % (can::kMaxDataLength + 1))};
        for (uint8_t b = 0; b < frame.length; ++b) frame.data[b] = static_cast<uint8_t>(n + b);
        frames.push_back(frame);
    }
    return frames;
}

bool received_exactly(const can::TestNode& node, const std::vector<can::Frame>& expected) {
    return node.wait_for_frames([&](const std::vector<can::Frame>& all) {
        return all.size() >= expected.size();
    }) && node.frames() == expected;
}

TEST(SocketcandLinkTest, FramesCrossBothWaysExactlyInOrderAndNoneComesBack) {
    constexpr std::size_t kFrames = 300;
    Side a;
    Side b;
    LinkStatus& link = b.join(a);
    ASSERT_TRUE(up(link));

    const std::vector<can::Frame> from_a = frames_from(0x100, kFrames);
    const std::vector<can::Frame> from_b = frames_from(0x400, kFrames);
    a.send(from_a);
    EXPECT_TRUE(received_exactly(b.node, from_a));
    b.send(from_b);
    // The protocol cannot carry a remote frame: it stays on its side, counted by the link.
    const can::Frame remote{.id = 0x7F0, .remote = true, .length = 2};
    b.send({remote});
    // Last of all, so that a frame sent back would have arrived before it.
    const can::Frame last = can::data_frame(0x7FF, {0xEE});
    b.send({last});
    std::vector<can::Frame> expected_at_a = from_b;
    expected_at_a.push_back(last);
    EXPECT_TRUE(received_exactly(a.node, expected_at_a));
    a.send({remote, last});
    std::vector<can::Frame> expected_at_b = from_a;
    expected_at_b.push_back(last);
    EXPECT_TRUE(received_exactly(b.node, expected_at_b));

    EXPECT_TRUE(reaches(link.to_remote, kFrames + 1)) << link.to_remote;
    EXPECT_TRUE(reaches(link.from_remote, kFrames + 1)) << link.from_remote;
    EXPECT_EQ(link.dropped_to_remote, 1u);
    EXPECT_EQ(link.dropped_from_remote, 0u);
    EXPECT_EQ(link.connections, 1u);
}

TEST(SocketcandLinkTest, ALinkComesBackAfterItsServerRestartsAndCountsWhatItDropped) {
    constexpr std::size_t kWhileDown = 5;
    Side a;
    Side b;
    LinkStatus& link = b.join(a);
    ASSERT_TRUE(up(link));
    const uint16_t port = a.server->port();

    a.server->stop();
    ASSERT_TRUE(test::eventually([&] { return link.state != LinkState::kUp; }));
    // The link acknowledges them here and drops them: the local bus does not wait.
    b.send(frames_from(0x200, kWhileDown));
    EXPECT_EQ(link.dropped_to_remote, kWhileDown);

    a.start_server(port);
    ASSERT_TRUE(test::eventually([&] { return link.connections == 2; }));
    const can::Frame after = can::data_frame(0x300, {1, 2, 3});
    b.send({after});
    EXPECT_TRUE(received_exactly(a.node, {after}));
    EXPECT_TRUE(reaches(link.to_remote, 1)) << link.to_remote;
}

TEST(SocketcandLinkTest, ARingOfThreeCarriesEachFrameOnceToEachBus) {
    constexpr std::size_t kFrames = 50;
    Side a;
    Side b;
    Side c;
    // Each pair is joined once, and every link carries both ways.
    for (LinkStatus* link : {&a.join(b), &b.join(c), &c.join(a)}) ASSERT_TRUE(up(*link));

    const std::vector<can::Frame> from_a = frames_from(0x100, kFrames);
    const std::vector<can::Frame> from_b = frames_from(0x200, kFrames);
    const std::vector<can::Frame> from_c = frames_from(0x300, kFrames);
    a.send(from_a);
    b.send(from_b);
    c.send(from_c);
    const auto only_from = [](const std::vector<can::Frame>& frames, uint32_t first_id) {
        std::vector<can::Frame> picked;
        for (const can::Frame& frame : frames) {
            if (frame.id >= first_id && frame.id < first_id + kFrames) picked.push_back(frame);
        }
        return picked;
    };
    struct Expectation {
        const Side& side;
        const std::vector<can::Frame>& first;
        uint32_t first_id;
        const std::vector<can::Frame>& second;
        uint32_t second_id;
    };
    for (const Expectation& expected : {Expectation{a, from_b, 0x200, from_c, 0x300},
                                        Expectation{b, from_a, 0x100, from_c, 0x300},
                                        Expectation{c, from_a, 0x100, from_b, 0x200}}) {
        const can::TestNode& node = expected.side.node;
        EXPECT_TRUE(node.wait_for_frames(2 * kFrames));
        const std::vector<can::Frame> all = node.frames();
        EXPECT_EQ(all.size(), 2 * kFrames) << "a frame arrived twice, or came back";
        // Each machine's frames in its order, whatever the interleaving of the two.
        EXPECT_EQ(only_from(all, expected.first_id), expected.first);
        EXPECT_EQ(only_from(all, expected.second_id), expected.second);
    }
}

// Two buses joined both ways: each sends its frames, then a last one, so that a copy of an
// earlier frame would stand before it in the record. Each side must have exactly the other's
// frames of every round so far, in order.
struct BothWays {
    BothWays() {
        for (LinkStatus* link : {&a.join(b), &b.join(a)}) EXPECT_TRUE(up(*link));
    }
    void exchange(uint32_t first_id) {
        constexpr std::size_t kFrames = 100;
        const std::vector<can::Frame> from_a = frames_from(first_id, kFrames);
        const std::vector<can::Frame> from_b = frames_from(first_id + kFrames, kFrames);
        const can::Frame last = can::data_frame(0x7FF, {0xEE});
        a.send(from_a);
        b.send(from_b);
        a.send({last});
        b.send({last});
        expected_at_b.insert(expected_at_b.end(), from_a.begin(), from_a.end());
        expected_at_b.push_back(last);
        expected_at_a.insert(expected_at_a.end(), from_b.begin(), from_b.end());
        expected_at_a.push_back(last);
        EXPECT_TRUE(received_exactly(b.node, expected_at_b));
        EXPECT_TRUE(received_exactly(a.node, expected_at_a));
    }

    Side a;
    Side b;
    std::vector<can::Frame> expected_at_a;
    std::vector<can::Frame> expected_at_b;
};

TEST(SocketcandLinkTest, TwoBusesJoinedBothWaysCarryEachFrameOnce) {
    BothWays buses;
    buses.exchange(0x100);
    // Each side's link carries its frames, so neither server hands one to the other side's link.
    // A copy that way would arrive late (a server holds frames back after the handshake), but
    // is counted as soon as the bus hands the frame over, before its sender hears.
    EXPECT_EQ(buses.a.server->counters().forwarded, 0u);
    EXPECT_EQ(buses.b.server->counters().forwarded, 0u);
}

TEST(SocketcandLinkTest, JoinedBothWaysFramesTakeTheOtherPathOnceALinkStops) {
    BothWays buses;
    buses.exchange(0x100);
    buses.a.links.front()->stop();
    buses.exchange(0x300);
}

TEST(SocketcandLinkTest, ABusJoinedToItselfCarriesNothing) {
    constexpr std::size_t kFrames = 10;
    Side a;
    LinkStatus& link = a.join(a);
    ASSERT_TRUE(up(link));
    a.send(frames_from(0x100, kFrames));
    // Both are counted before the sender hears: a frame that went round would be on its way.
    EXPECT_EQ(link.dropped_to_remote, kFrames);
    EXPECT_EQ(a.server->counters().forwarded, 0u);
}

}  // namespace
}  // namespace k5320::bridges
