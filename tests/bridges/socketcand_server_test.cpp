// The socketcand server in the process: a client that stops reading is dropped once its backlog
// passes the bound, while another client goes on receiving every frame.
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
    SocketcandServer server(bus, "can0", kRate, "127.0.0.1", 0);
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

}  // namespace
}  // namespace k5320::bridges
