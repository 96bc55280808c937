// What the stand-in backplane holds: which slots carry which module type, and the buses the
// modules are wired to. Read from the file named by TARN_BACKPLANE_CONFIG, else the default.
#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridges/socketcand_protocol.h"

namespace k5320::backplane {

inline constexpr int kFirstSlot = 1;
inline constexpr int kLastSlot = 7;
inline constexpr uint32_t kDefaultBitRate = 125000;
inline constexpr uint32_t kMinBitRate = 1000;
inline constexpr uint32_t kMaxBitRate = 1000000;
inline constexpr std::size_t kMaxTypeLength = 51;  // the module name buffer holds 52 with its zero
inline constexpr std::size_t kMaxBusNameLength = 15;
// Links to remote socketcand servers, on all buses together.
inline constexpr std::size_t kMaxRemoteLinks = 16;
inline constexpr const char* kConfigEnvironmentVariable = "TARN_BACKPLANE_CONFIG";

struct BusConfig {
    std::string name;
    uint32_t bit_rate = kDefaultBitRate;
    bool demo_node = false;
    bool paced = true;  // frames take their time on the wire; unpaced delivers at once
    // A socketcand server on the bus, listening on address:port.
    bool socketcand = false;
    std::string socketcand_address = bridges::socketcand::kDefaultAddress;
    uint16_t socketcand_port = bridges::socketcand::kDefaultPort;
    // ",open": a loopback server serves every local user, not only the backplane's own.
    bool socketcand_open = false;
    // Remote socketcand servers the bus joins as a client ("socketcand-remote=", any number).
    std::vector<bridges::socketcand::RemoteEndpoint> remote_links;
    // A SocketCAN interface bridged to the bus; empty for none.
    std::string socketcan_interface;
    // Faults on the wire from the start (see can::Bus).
    bool stuck_dominant = false;
    unsigned bit_error_percent = 0;
    uint32_t bit_error_seed = 0;

    bool operator==(const BusConfig&) const = default;
};

struct SlotConfig {
    std::string type;  // empty: no module in the slot
    std::string bus;   // empty: the module is wired to no bus

    bool operator==(const SlotConfig&) const = default;
};

struct Config {
    std::vector<BusConfig> buses;
    std::array<SlotConfig, kLastSlot + 1> slots{};  // indexed by slot number; [0] unused
    // Why this is not the backplane the user asked for ("<file>: line 3: ..."); empty when it is.
    std::string problem;

    // Slots 1 and 2 hold a 5320 on bus "can0" at 125 kbit/s with a demo node.
    static Config default_backplane();
    // All slots empty: what a bad configuration file gives.
    static Config empty_backplane() { return {}; }

    const BusConfig* bus(std::string_view name) const;
    bool operator==(const Config&) const = default;
};

struct ParseResult {
    std::optional<Config> config;
    int line = 0;  // line of the error; 0 when it concerns the whole file
    std::string message;

    bool ok() const { return config.has_value(); }
    // "line 3: slot number must be 1..7"
    std::string error() const;
};

ParseResult parse_config(std::string_view text);
// Only a regular file is read: a FIFO or device in its place must not block the reader.
ParseResult load_config_file(const std::string& path);

// The text with every byte outside printable ASCII written as \xNN, so that a hostile
// configuration cannot put control sequences into a log or a terminal.
std::string printable(std::string_view text);

// The backplane this process runs: the file named by TARN_BACKPLANE_CONFIG, else the default.
// A bad or unreadable file is reported on diagnostics ("TarnSDK_CE: <path>: line N: <message>")
// and gives an empty backplane whose problem says so.
Config config_from_environment(std::ostream& diagnostics);

}  // namespace k5320::backplane
