// The SocketCAN bridge against vcan0 when the kernel has AF_CAN and the interface exists; on a
// machine without SocketCAN it must refuse cleanly and stay off the bus.
#include "bridges/socketcan_bridge.h"

#include <gtest/gtest.h>
#include <linux/can.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "emulator/can/demo_node.h"

namespace k5320::bridges {
namespace {

constexpr uint32_t kRate = 500000;

TEST(SocketcanBridgeTest, WithoutSocketcanTheBridgeStaysOffTheBus) {
    const int probe = ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (probe >= 0) {
        ::close(probe);
        GTEST_SKIP() << "this kernel has AF_CAN; the failure path is not reachable here";
    }
    can::Bus bus(can::Pacing::kUnpaced);
    SocketcanBridge bridge(bus, "vcan0", kRate);
    EXPECT_FALSE(bridge.ok());
    EXPECT_NE(bridge.failure().find("no SocketCAN"), std::string::npos) << bridge.failure();
    // Off the bus: a frame sent there is not acknowledged by the bridge.
    can::DemoNode node(bus, kRate);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    node.stop();
    EXPECT_EQ(node.counters().sent, 0u);
    EXPECT_GT(node.counters().not_acknowledged, 0u);
}

TEST(SocketcanBridgeTest, FramesCrossBetweenVcanAndTheBus) {
    const int probe = ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (probe < 0) GTEST_SKIP() << "this kernel has no AF_CAN (SocketCAN)";
    ::close(probe);
    if (::if_nametoindex("vcan0") == 0) GTEST_SKIP() << "no vcan0 interface";
    can::Bus bus(can::Pacing::kUnpaced);
    SocketcanBridge bridge(bus, "vcan0", kRate);
    ASSERT_TRUE(bridge.ok()) << bridge.failure();
    // The demo node's frames go out on vcan0.
    can::DemoNode node(bus, kRate);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    node.stop();
    bridge.stop();
    EXPECT_GT(bridge.counters().to_socket, 0u);
    EXPECT_EQ(bridge.counters().write_errors, 0u);
}

}  // namespace
}  // namespace k5320::bridges
