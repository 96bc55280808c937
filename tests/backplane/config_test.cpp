// The backplane configuration file: what it accepts, and every way it is refused.
#include "backplane/config.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace k5320::backplane {
namespace {

BusConfig bus_config(std::string name, uint32_t rate, bool demo, bool paced) {
    BusConfig bus;
    bus.name = std::move(name);
    bus.bit_rate = rate;
    bus.demo_node = demo;
    bus.paced = paced;
    return bus;
}

TEST(ConfigTest, DefaultBackplaneHoldsTwo5320OnOneDemoBus) {
    const Config config = Config::default_backplane();
    ASSERT_EQ(config.buses.size(), 1u);
    EXPECT_EQ(config.buses[0], bus_config("can0", 125000, true, true));
    EXPECT_EQ(config.slots[1], (SlotConfig{"5320", "can0"}));
    EXPECT_EQ(config.slots[2], (SlotConfig{"5320", "can0"}));
    for (int slot = 3; slot <= kLastSlot; ++slot) EXPECT_TRUE(config.slots[slot].type.empty());
}

TEST(ConfigTest, ParsesBusesAndSlotsWithCommentsBlanksAndCrlf) {
    const ParseResult result = parse_config(
        "# two buses\n"
        "\n"
        "slot 7 5325 bus=fast_1   # wired before its bus is declared\r\n"
        "\tbus  fast_1 rate=1000000 unpaced\r\n"
        "bus slow-bus rate=1000 demo\n"
        "slot 1 MyModule-X bus=slow-bus\n"
        "slot 4 5323\n"
        "bus lonely\n");
    ASSERT_TRUE(result.ok()) << result.error();
    const Config& config = *result.config;
    ASSERT_EQ(config.buses.size(), 3u);
    EXPECT_EQ(*config.bus("fast_1"), bus_config("fast_1", 1000000, false, false));
    EXPECT_EQ(*config.bus("slow-bus"), bus_config("slow-bus", 1000, true, true));
    EXPECT_EQ(*config.bus("lonely"), bus_config("lonely", kDefaultBitRate, false, true));
    EXPECT_EQ(config.slots[7], (SlotConfig{"5325", "fast_1"}));
    EXPECT_EQ(config.slots[1], (SlotConfig{"MyModule-X", "slow-bus"}));
    EXPECT_EQ(config.slots[4], (SlotConfig{"5323", ""}));
    for (const int empty : {2, 3, 5, 6}) EXPECT_EQ(config.slots[empty], SlotConfig{}) << empty;
}

TEST(ConfigTest, EmptyTextIsAnEmptyBackplane) {
    const ParseResult result = parse_config("# nothing here\n\n");
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(*result.config, Config::empty_backplane());
}

TEST(ConfigTest, LongestNamesAreAccepted) {
    const std::string type(kMaxTypeLength, 'T');
    const std::string bus(kMaxBusNameLength, 'b');
    const ParseResult result = parse_config("bus " + bus + "\nslot 3 " + type + " bus=" + bus);
    ASSERT_TRUE(result.ok()) << result.error();
    EXPECT_EQ(result.config->slots[3], (SlotConfig{type, bus}));
}

TEST(ConfigTest, SocketcandAndSocketcanOptions) {
    const ParseResult result = parse_config(
        "bus a socketcand\n"
        "bus b socketcand=30000 socketcan=vcan0\n"
        "bus c rate=1000000 socketcand=127.0.0.2:29999\n"
        "bus d socketcand=0.0.0.0\n"
        "bus e socketcand=127.0.0.1:30001,open\n");
    ASSERT_TRUE(result.ok()) << result.error();
    const Config& config = *result.config;
    EXPECT_TRUE(config.bus("a")->socketcand);
    EXPECT_EQ(config.bus("a")->socketcand_address, "127.0.0.1");
    EXPECT_EQ(config.bus("a")->socketcand_port, 29536);
    EXPECT_TRUE(config.bus("a")->socketcan_interface.empty());
    EXPECT_EQ(config.bus("b")->socketcand_port, 30000);
    EXPECT_EQ(config.bus("b")->socketcand_address, "127.0.0.1");
    EXPECT_EQ(config.bus("b")->socketcan_interface, "vcan0");
    EXPECT_EQ(config.bus("c")->socketcand_address, "127.0.0.2");
    EXPECT_EQ(config.bus("c")->socketcand_port, 29999);
    EXPECT_EQ(config.bus("d")->socketcand_address, "0.0.0.0");
    EXPECT_EQ(config.bus("d")->socketcand_port, 29536);
    EXPECT_FALSE(config.bus("d")->socketcand_open);
    EXPECT_TRUE(config.bus("e")->socketcand_open);
    EXPECT_EQ(config.bus("e")->socketcand_address, "127.0.0.1");
    EXPECT_EQ(config.bus("e")->socketcand_port, 30001);
    EXPECT_FALSE(Config::default_backplane().buses[0].socketcand);
}

TEST(ConfigTest, SocketcandRemoteLinksSeveralPerBus) {
    using bridges::socketcand::RemoteEndpoint;
    const ParseResult result = parse_config(
        "bus a socketcand=30000 socketcand-remote=10.0.0.2:29536 "
        "socketcand-remote=rig-2.example.org:30001/vcan1\n"
        "bus b socketcand-remote=localhost:1\n");
    ASSERT_TRUE(result.ok()) << result.error();
    EXPECT_EQ(result.config->bus("a")->remote_links,
              (std::vector<RemoteEndpoint>{{"10.0.0.2", 29536, "can0"},
                                           {"rig-2.example.org", 30001, "vcan1"}}));
    EXPECT_EQ(result.config->bus("b")->remote_links,
              (std::vector<RemoteEndpoint>{{"localhost", 1, "can0"}}));
    EXPECT_TRUE(Config::default_backplane().buses[0].remote_links.empty());

    std::string most = "bus a";
    for (std::size_t i = 0; i < kMaxRemoteLinks; ++i) most += " socketcand-remote=h:1";
    EXPECT_TRUE(parse_config(most).ok());
    EXPECT_EQ(parse_config(most + "\nbus b socketcand-remote=h:2").error(),
              "line 2: at most 16 socketcand-remote links in all");
}

struct Rejection {
    std::string text;
    std::string error;  // exactly as reported
};

// Names each case by the error it expects.
void PrintTo(const Rejection& rejection, std::ostream* out) {
    *out << rejection.error;
}

class ConfigRejectionTest : public ::testing::TestWithParam<Rejection> {};

TEST_P(ConfigRejectionTest, NamesTheLineAndKeepsNothing) {
    const ParseResult result = parse_config(GetParam().text);
    EXPECT_FALSE(result.config.has_value()) << "half-applied";
    EXPECT_EQ(result.error(), GetParam().error);
}

// Each bad line comes after good ones, so the line number must be counted, not guessed.
const std::string kGood = "bus can0\nslot 1 5320 bus=can0\n";

INSTANTIATE_TEST_SUITE_P(
    EveryRule, ConfigRejectionTest,
    ::testing::Values(
        Rejection{kGood + "slots 2 5320", "line 3: unknown keyword 'slots' (expected bus or slot)"},
        // Control bytes would reach logs and terminals.
        Rejection{kGood + "bogus\x1b[2J\x7f",
                  "line 3: unknown keyword 'bogus\\x1b[2J\\x7f' (expected bus or slot)"},
        Rejection{kGood + "slot 0 5320", "line 3: slot number must be 1..7"},
        Rejection{kGood + "slot 8 5320", "line 3: slot number must be 1..7"},
        Rejection{kGood + "slot x 5320", "line 3: slot number must be 1..7"},
        Rejection{kGood + "slot 99999999999999999999999 5320", "line 3: slot number must be 1..7"},
        Rejection{kGood + "slot 2", "line 3: slot needs a number and a module type"},
        Rejection{kGood + "# ok\nslot 1 5323", "line 4: slot 1 declared twice (first on line 2)"},
        Rejection{kGood + "slot 2 " + std::string(kMaxTypeLength + 1, 'T'),
                  "line 3: module type must be 1..51 printable characters"},
        Rejection{kGood + "slot 2 53\x01"
                          "20",
                  "line 3: module type must be 1..51 printable characters"},
        Rejection{kGood + "slot 2 5320 bus", "line 3: unknown slot option 'bus'"},
        Rejection{kGood + "slot 2 5320 demo", "line 3: unknown slot option 'demo'"},
        Rejection{kGood + "slot 2 5320 bus=can0 bus=can0", "line 3: slot option 'bus' given twice"},
        Rejection{kGood + "slot 2 5320 bus=can.0",
                  "line 3: bus name must be 1..15 characters of A-Z, a-z, 0-9, _ and -"},
        Rejection{kGood + "slot 2 5320 bus=",
                  "line 3: bus name must be 1..15 characters of A-Z, a-z, 0-9, _ and -"},
        Rejection{kGood + "slot 2 5320 bus=can9\nbus can1",
                  "line 3: slot 2: bus 'can9' is not declared"},
        Rejection{kGood + "bus", "line 3: bus needs a name"},
        Rejection{kGood + "bus " + std::string(kMaxBusNameLength + 1, 'b'),
                  "line 3: bus name must be 1..15 characters of A-Z, a-z, 0-9, _ and -"},
        Rejection{kGood + "bus can0", "line 3: bus 'can0' declared twice"},
        Rejection{kGood + "bus b rate=999", "line 3: rate must be 1000..1000000 bit/s"},
        Rejection{kGood + "bus b rate=1000001", "line 3: rate must be 1000..1000000 bit/s"},
        Rejection{kGood + "bus b rate=99999999999999999999999",
                  "line 3: rate must be 1000..1000000 bit/s"},
        Rejection{kGood + "bus b rate=125k", "line 3: rate must be a number of bit/s"},
        Rejection{kGood + "bus b rate=", "line 3: rate must be a number of bit/s"},
        Rejection{kGood + "bus b rate=-5", "line 3: rate must be a number of bit/s"},
        Rejection{kGood + "bus b fast", "line 3: unknown bus option 'fast'"},
        Rejection{kGood + "bus b demo=1", "line 3: unknown bus option 'demo=1'"},
        Rejection{kGood + "bus b demo demo", "line 3: bus option 'demo' given twice"},
        Rejection{kGood + "bus b socketcand=",
                  "line 3: socketcand takes PORT, ADDRESS or ADDRESS:PORT (IPv4, port 1..65535)"},
        Rejection{kGood + "bus b socketcand=0",
                  "line 3: socketcand takes PORT, ADDRESS or ADDRESS:PORT (IPv4, port 1..65535)"},
        Rejection{kGood + "bus b socketcand=65536",
                  "line 3: socketcand takes PORT, ADDRESS or ADDRESS:PORT (IPv4, port 1..65535)"},
        Rejection{kGood + "bus b socketcand=localhost",
                  "line 3: socketcand takes PORT, ADDRESS or ADDRESS:PORT (IPv4, port 1..65535)"},
        Rejection{kGood + "bus b socketcand=1.2.3:80",
                  "line 3: socketcand takes PORT, ADDRESS or ADDRESS:PORT (IPv4, port 1..65535)"},
        Rejection{kGood + "bus b socketcand=127.0.0.1:",
                  "line 3: socketcand takes PORT, ADDRESS or ADDRESS:PORT (IPv4, port 1..65535)"},
        Rejection{kGood + "bus b socketcand=127.0.0.1:x",
                  "line 3: socketcand takes PORT, ADDRESS or ADDRESS:PORT (IPv4, port 1..65535)"},
        Rejection{kGood + "bus b socketcand socketcand=1",
                  "line 3: bus option 'socketcand' given twice"},
        Rejection{kGood + "bus b socketcand-remote=",
                  "line 3: socketcand-remote takes HOST:PORT or HOST:PORT/CHANNEL (port 1..65535, "
                  "channel 1..15 characters)"},
        Rejection{kGood + "bus b socketcand-remote=host",
                  "line 3: socketcand-remote takes HOST:PORT or HOST:PORT/CHANNEL (port 1..65535, "
                  "channel 1..15 characters)"},
        Rejection{kGood + "bus b socketcand-remote=host:0",
                  "line 3: socketcand-remote takes HOST:PORT or HOST:PORT/CHANNEL (port 1..65535, "
                  "channel 1..15 characters)"},
        Rejection{kGood + "bus b socketcand-remote=host:65536",
                  "line 3: socketcand-remote takes HOST:PORT or HOST:PORT/CHANNEL (port 1..65535, "
                  "channel 1..15 characters)"},
        Rejection{kGood + "bus b socketcand-remote=:30000",
                  "line 3: socketcand-remote takes HOST:PORT or HOST:PORT/CHANNEL (port 1..65535, "
                  "channel 1..15 characters)"},
        Rejection{kGood + "bus b socketcand-remote=-host:1",
                  "line 3: socketcand-remote takes HOST:PORT or HOST:PORT/CHANNEL (port 1..65535, "
                  "channel 1..15 characters)"},
        Rejection{kGood + "bus b socketcand-remote=ho_st:1",
                  "line 3: socketcand-remote takes HOST:PORT or HOST:PORT/CHANNEL (port 1..65535, "
                  "channel 1..15 characters)"},
        Rejection{kGood + "bus b socketcand-remote=host:1/",
                  "line 3: socketcand-remote takes HOST:PORT or HOST:PORT/CHANNEL (port 1..65535, "
                  "channel 1..15 characters)"},
        Rejection{kGood + "bus b socketcand-remote=host:1/a>b",
                  "line 3: socketcand-remote takes HOST:PORT or HOST:PORT/CHANNEL (port 1..65535, "
                  "channel 1..15 characters)"},
        Rejection{kGood + "bus b socketcand-remote=host:1/" + std::string(16, 'c') + "",
                  "line 3: socketcand-remote takes HOST:PORT or HOST:PORT/CHANNEL (port 1..65535, "
                  "channel 1..15 characters)"},
        Rejection{kGood + "bus b socketcand-remote",
                  "line 3: unknown bus option 'socketcand-remote'"},
        Rejection{kGood + "bus b socketcan=",
                  "line 3: socketcan needs an interface name of 1..15 characters"},
        Rejection{kGood + "bus b socketcan=" + std::string(16, 'v'),
                  "line 3: socketcan needs an interface name of 1..15 characters"},
        Rejection{kGood + "bus b socketcan", "line 3: unknown bus option 'socketcan'"},
        Rejection{kGood + "bus b rate=1000 rate=2000", "line 3: bus option 'rate' given twice"}));

}  // namespace
}  // namespace k5320::backplane
