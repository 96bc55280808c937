// The socketcand server in the process: a client that stops reading is dropped once its backlog
// passes the bound, while another client goes on receiving every frame; a flooding client
// delays no other client's answers or frames; idle connections lose their place; other users
// are kept out of a loopback server unless it is open.
#include "bridges/socketcand_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "tests/can/bus_node.h"
#include "tests/other_user.h"

namespace k5320::bridges {
namespace {

constexpr uint32_t kRate = 500000;
// Far more than the server's bound on a client's backlog plus what the kernel buffers hold.
constexpr uint64_t kFloodFrames = 250'000;

// Sends kFloodFrames frames in bursts with a pause between them, a load a reading client keeps
// up with whatever the scheduler does, and a stalled one falls behind of without limit.
constexpr uint64_t kBurstFrames = 200;
constexpr auto kBurstPause = std::chrono::milliseconds(1);

class Flooder final : public can::BusClient {
  public:
    explicit Flooder(can::Bus& bus) : bus_(bus) { bus_.attach(this); }
    ~Flooder() override { bus_.detach(this); }
    void run() {
        for (uint64_t i = 0; i < kFloodFrames; ++i) {
            // Unpaced, the frame has gone when submit returns.
            while (!bus_.submit(this, frame_)) std::this_thread::yield();
            if (i % kBurstFrames == 0) std::this_thread::sleep_for(kBurstPause);
        }
    }
    uint32_t bit_rate() const override { return kRate; }
    bool active() const override { return true; }
    void receive(const can::Frame&, uint64_t) override {}
    void bus_error(can::BusErrorKind) override {}
    void transmitted(const can::Frame&, can::TxOutcome) override {}

  private:
    can::Bus& bus_;
    const can::Frame frame_{0x123, false, false, 8, {1, 2, 3, 4, 5, 6, 7, 8}};
};

int connect_to(uint16_t port, bool small_buffer) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (small_buffer) {
        const int size = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &where.sin_addr);
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where), 0);
    return fd;
}

std::string reply(int fd) {
    std::string text;
    char c = 0;
    while (text.empty() || text.back() != '>') {
        if (::recv(fd, &c, 1, 0) != 1) return text;
        text += c;
    }
    return text;
}

void say(int fd, const std::string& text) {
    ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(text.size()));
}

// A lost reply ends the wait instead of hanging the test.
void bound_waits(int fd) {
    const timeval patience{.tv_sec = 10, .tv_usec = 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
}

// True once the server has closed the connection (everything before the end is skipped).
bool closed_by_server(int fd) {
    char c = 0;
    for (;;) {
        const ssize_t got = ::recv(fd, &c, 1, 0);
        if (got == 0) return true;
        if (got < 0) return false;
    }
}

void handshake(int fd) {
    ASSERT_EQ(reply(fd), "< hi >");
    const std::string open = "< open can0 >";
    ::send(fd, open.data(), open.size(), 0);
    ASSERT_EQ(reply(fd), "< ok >");
    const std::string raw = "< rawmode >";
    ::send(fd, raw.data(), raw.size(), 0);
    ASSERT_EQ(reply(fd), "< ok >");
}

TEST(SocketcandServerTest, AClientThatStopsReadingIsDroppedAndTheOtherGetsEveryFrame) {
    can::Bus bus(can::Pacing::kUnpaced);
    SocketcandServer server(bus, "can0", kRate, {.address = "127.0.0.1", .port = 0});
    ASSERT_TRUE(server.ok());
    const int stalled = connect_to(server.port(), true);
    const int reader = connect_to(server.port(), false);
    // A lost frame ends the wait instead of hanging the test.
    const timeval patience{.tv_sec = 10, .tv_usec = 0};
    ::setsockopt(reader, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    handshake(stalled);
    handshake(reader);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // past the handshake gap

    std::atomic<uint64_t> frames{0};
    std::thread drain([&] {
        char buffer[65536];
        for (;;) {
            const ssize_t got = ::recv(reader, buffer, sizeof buffer, 0);
            if (got <= 0) return;
            for (ssize_t i = 0; i < got; ++i) frames += buffer[i] == '>' ? 1 : 0;
            if (frames == kFloodFrames) return;
        }
    });
    Flooder flooder(bus);
    flooder.run();
    drain.join();
    EXPECT_EQ(frames, kFloodFrames);
    EXPECT_EQ(server.counters().slow_clients, 1u);
    server.stop();
    ::close(stalled);
    ::close(reader);
}

TEST(SocketcandServerTest, AFloodingClientDelaysNeitherAnotherClientsAnswersNorItsFrames) {
    constexpr uint32_t kSlowRate = 125000;  // about 1 ms a frame: the flood lasts a second
    constexpr std::size_t kFlood = 1000;
    constexpr std::size_t kPolite = 10;
    constexpr std::size_t kQueuePlaces = 64;
    constexpr uint32_t kFloodId = 0x100;
    constexpr uint32_t kPoliteId = 0x200;
    can::Bus bus(can::Pacing::kPaced);
    can::TestNode listener(kSlowRate);  // acknowledges and records
    listener.join(bus);
    SocketcandServer server(bus, "can0", kSlowRate, {.address = "127.0.0.1", .port = 0});
    ASSERT_TRUE(server.ok());
    const int flooder = connect_to(server.port(), false);
    bound_waits(flooder);
    handshake(flooder);
    std::string flood;
    for (std::size_t i = 0; i < kFlood; ++i) flood += "< send 100 8 01 02 03 04 05 06 07 08 >";
    std::jthread flooding([&] { say(flooder, flood); });
    ASSERT_TRUE(listener.wait_for_frames(1));

    // Its queue places all taken, the server still answers the next client at once.
    const int polite = connect_to(server.port(), false);
    bound_waits(polite);
    handshake(polite);
    EXPECT_LT(server.counters().sent, kFlood - kQueuePlaces) << "the open waited for the flood";

    std::string frames;
    for (std::size_t i = 0; i < kPolite; ++i) frames += "< send 200 1 " + std::to_string(i) + " >";
    say(polite, frames);
    const auto count = [](const std::vector<can::Frame>& all, uint32_t id) {
        return static_cast<std::size_t>(
            std::count_if(all.begin(), all.end(), [&](const can::Frame& f) { return f.id == id; }));
    };
    ASSERT_TRUE(listener.wait_for_frames(
        [&](const std::vector<can::Frame>& all) { return count(all, kPoliteId) == kPolite; }));
    EXPECT_LT(count(listener.frames(), kFloodId), kFlood) << "its frames waited for the flood";
    flooding.join();
    server.stop();
    ::close(flooder);
    ::close(polite);
}

TEST(SocketcandServerTest, AConnectionHoldingAPlaceIdleIsClosedAndAnOpenedOneStays) {
    constexpr auto kIdle = std::chrono::milliseconds(100);
    can::Bus bus(can::Pacing::kUnpaced);
    SocketcandServer server(bus, "can0", kRate,
                            {.address = "127.0.0.1", .port = 0, .idle_timeout = kIdle});
    ASSERT_TRUE(server.ok());
    const int silent = connect_to(server.port(), false);
    const int half_sent = connect_to(server.port(), false);
    const int quiet_reader = connect_to(server.port(), false);
    for (const int fd : {silent, half_sent, quiet_reader}) bound_waits(fd);
    handshake(half_sent);
    handshake(quiet_reader);
    say(half_sent, "< send 123 1 0");

    EXPECT_TRUE(closed_by_server(silent));
    EXPECT_TRUE(closed_by_server(half_sent));
    // A client that opened a bus and only listens keeps its place.
    say(quiet_reader, "< echo >");
    EXPECT_EQ(reply(quiet_reader), "< echo >");
    EXPECT_EQ(server.counters().timed_out, 2u);
    server.stop();
    for (const int fd : {silent, half_sent, quiet_reader}) ::close(fd);
}

TEST(SocketcandServerTest, OtherUsersAreRefusedOnLoopbackUnlessTheServerIsOpen) {
    if (!test::other_user()) GTEST_SKIP() << test::kNeedsRoot;
    can::Bus bus(can::Pacing::kUnpaced);
    const auto first_reply_to_other_user = [](uint16_t port) {
        return test::run_as_other_user(
            "python3 -c \"import socket; s = socket.create_connection((\\\"127.0.0.1\\\", " +
            std::to_string(port) + ")); print(s.recv(64).decode())\"");
    };
    SocketcandServer own(bus, "can0", kRate, {.address = "127.0.0.1", .port = 0});
    ASSERT_TRUE(own.ok());
    EXPECT_EQ(first_reply_to_other_user(own.port()), "< error access denied >\n");
    EXPECT_EQ(own.counters().refused, 1u);
    const int mine = connect_to(own.port(), false);
    bound_waits(mine);
    EXPECT_EQ(reply(mine), "< hi >");
    ::close(mine);

    SocketcandServer open(bus, "can1", kRate, {.address = "127.0.0.1", .port = 0, .open = true});
    ASSERT_TRUE(open.ok());
    EXPECT_EQ(first_reply_to_other_user(open.port()), "< hi >\n");
    own.stop();
    open.stop();
}

}  // namespace
}  // namespace k5320::bridges
