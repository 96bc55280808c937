#include "backplane/config.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ostream>

namespace k5320::backplane {

namespace {

// A configuration is a few lines; anything far larger is not one (or is a device that never ends).
constexpr std::size_t kMaxFileSize = 1 << 20;
constexpr char kCommentStart = '#';
constexpr char kFirstPrintable = '!';  // printable ASCII without the blank
constexpr char kLastPrintable = '~';
constexpr std::string_view kDefaultBusName = "can0";
constexpr std::string_view kDefaultModuleType = "5320";

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::vector<std::string_view> tokens_of(std::string_view line) {
    if (const auto comment = line.find(kCommentStart); comment != std::string_view::npos) {
        line = line.substr(0, comment);
    }
    std::vector<std::string_view> tokens;
    std::size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && is_blank(line[pos])) ++pos;
        const std::size_t start = pos;
        while (pos < line.size() && !is_blank(line[pos])) ++pos;
        if (pos > start) tokens.push_back(line.substr(start, pos - start));
    }
    return tokens;
}

bool valid_bus_name(std::string_view name) {
    if (name.empty() || name.size() > kMaxBusNameLength) return false;
    for (const char c : name) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

bool valid_module_type(std::string_view type) {
    if (type.empty() || type.size() > kMaxTypeLength) return false;
    for (const char c : type) {
        if (c < kFirstPrintable || c > kLastPrintable) return false;
    }
    return true;
}

std::optional<uint64_t> number_of(std::string_view text) {
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec == std::errc::invalid_argument || end != text.data() + text.size()) {
        return std::nullopt;
    }
    if (ec == std::errc::result_out_of_range) return UINT64_MAX;
    return value;
}

// Splits "key=value"; no '=' gives an empty value and has_value false.
struct Option {
    std::string_view key;
    std::string_view value;
    bool has_value = false;
};

Option option_of(std::string_view token) {
    const auto equals = token.find('=');
    if (equals == std::string_view::npos) return {token, {}, false};
    return {token.substr(0, equals), token.substr(equals + 1), true};
}

// Appended piece by piece: GCC 12 at -O3 takes "'" + std::string&& for an overlapping copy
// (a false -Wrestrict).
std::string quoted(std::string_view text) {
    std::string result(1, '\'');
    result += printable(text);
    result += '\'';
    return result;
}

// "PORT", "ADDRESS:PORT" or "ADDRESS" (IPv4 dotted), each optionally followed by ",open";
// false when malformed.
bool parse_listen_address(std::string_view text, BusConfig& bus) {
    constexpr std::string_view kOpenSuffix = ",open";
    if (text.ends_with(kOpenSuffix)) {
        bus.socketcand_open = true;
        text.remove_suffix(kOpenSuffix.size());
    }
    std::string_view address = text;
    std::string_view port;
    bool has_port = true;
    if (const auto colon = text.rfind(':'); colon != std::string_view::npos) {
        address = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (address.empty()) return false;
    } else if (text.find('.') == std::string_view::npos) {
        address = {};
        port = text;
    } else {
        has_port = false;
    }
    if (has_port) {
        const std::optional<uint64_t> number = number_of(port);
        if (!number || *number == 0 || *number > UINT16_MAX) return false;
        bus.socketcand_port = static_cast<uint16_t>(*number);
    }
    if (!address.empty()) {
        in_addr parsed{};
        if (::inet_pton(AF_INET, std::string(address).c_str(), &parsed) != 1) return false;
        bus.socketcand_address = std::string(address);
    }
    return true;
}

bool valid_interface_name(std::string_view name) {
    if (name.empty() || name.size() >= IF_NAMESIZE) return false;
    for (const char c : name) {
        if (c < kFirstPrintable || c > kLastPrintable || c == '/' || c == ':') return false;
    }
    return true;
}

bool valid_host_name(std::string_view host) {
    constexpr std::size_t kMaxHostLength = 253;
    if (host.empty() || host.size() > kMaxHostLength || host.front() == '-') return false;
    return std::all_of(host.begin(), host.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '-';
    });
}

// "HOST:PORT" or "HOST:PORT/CHANNEL"; none when malformed.
std::optional<bridges::socketcand::RemoteEndpoint> parse_remote(std::string_view text) {
    bridges::socketcand::RemoteEndpoint remote;
    if (const auto slash = text.find('/'); slash != std::string_view::npos) {
        remote.channel = std::string(text.substr(slash + 1));
        text = text.substr(0, slash);
    }
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::optional<uint64_t> port = number_of(text.substr(colon + 1));
    if (!port || *port == 0 || *port > UINT16_MAX) return std::nullopt;
    remote.port = static_cast<uint16_t>(*port);
    remote.host = std::string(text.substr(0, colon));
    // The channel goes into the protocol's "< open CHANNEL >": no brackets of its own.
    const bool bracketed = remote.channel.find_first_of("<>") != std::string::npos;
    if (!valid_host_name(remote.host) || !valid_interface_name(remote.channel) || bracketed)
        return std::nullopt;
    return remote;
}

const std::string kBusNameRule = "bus name must be 1..15 characters of A-Z, a-z, 0-9, _ and -";

class Parser {
  public:
    ParseResult run(std::string_view text) {
        int line_number = 0;
        std::size_t pos = 0;
        while (pos <= text.size()) {
            const std::size_t end = std::min(text.find('\n', pos), text.size());
            ++line_number;
            if (!parse_line(line_number, text.substr(pos, end - pos))) return std::move(error_);
            pos = end + 1;
        }
        // Buses may be declared after the slots that use them.
        for (int slot = kFirstSlot; slot <= kLastSlot; ++slot) {
            const SlotConfig& wiring = config_.slots[slot];
            if (!wiring.bus.empty() && config_.bus(wiring.bus) == nullptr) {
                fail(slot_lines_[slot], "slot " + std::to_string(slot) + ": bus " +
                                            quoted(wiring.bus) + " is not declared");
                return std::move(error_);
            }
        }
        return ParseResult{std::move(config_), 0, {}};
    }

  private:
    bool fail(int line, std::string message) {
        error_ = ParseResult{std::nullopt, line, std::move(message)};
        return false;
    }

    bool parse_line(int line, std::string_view text) {
        const std::vector<std::string_view> tokens = tokens_of(text);
        if (tokens.empty()) return true;
        if (tokens[0] == "bus") return parse_bus(line, tokens);
        if (tokens[0] == "slot") return parse_slot(line, tokens);
        return fail(line, "unknown keyword " + quoted(tokens[0]) + " (expected bus or slot)");
    }

    // "PERCENT" or "PERCENT:SEED".
    static bool parse_bit_errors(std::string_view text, BusConfig& bus) {
        constexpr uint64_t kAllPercent = 100;
        const std::size_t colon = text.find(':');
        const std::optional<uint64_t> percent = number_of(text.substr(0, colon));
        if (!percent || *percent > kAllPercent) return false;
        bus.bit_error_percent = static_cast<unsigned>(*percent);
        if (colon == std::string_view::npos) return true;
        const std::optional<uint64_t> seed = number_of(text.substr(colon + 1));
        if (!seed || *seed > UINT32_MAX) return false;
        bus.bit_error_seed = static_cast<uint32_t>(*seed);
        return true;
    }

    bool parse_bus(int line, const std::vector<std::string_view>& tokens) {
        if (tokens.size() < 2) return fail(line, "bus needs a name");
        BusConfig bus;
        bus.name = std::string(tokens[1]);
        if (!valid_bus_name(bus.name)) return fail(line, kBusNameRule);
        if (config_.bus(bus.name) != nullptr) {
            return fail(line, "bus " + quoted(bus.name) + " declared twice");
        }
        bool rate_given = false;
        bool demo_given = false;
        bool unpaced_given = false;
        bool socketcand_given = false;
        bool socketcan_given = false;
        bool stuck_given = false;
        bool bit_errors_given = false;
        for (std::size_t i = 2; i < tokens.size(); ++i) {
            const Option option = option_of(tokens[i]);
            bool* given = nullptr;
            if (option.key == "rate" && option.has_value) {
                given = &rate_given;
                const std::optional<uint64_t> rate = number_of(option.value);
                if (!rate) return fail(line, "rate must be a number of bit/s");
                if (*rate < kMinBitRate || *rate > kMaxBitRate) {
                    return fail(line, "rate must be 1000..1000000 bit/s");
                }
                bus.bit_rate = static_cast<uint32_t>(*rate);
            } else if (option.key == "demo" && !option.has_value) {
                given = &demo_given;
                bus.demo_node = true;
            } else if (option.key == "unpaced" && !option.has_value) {
                given = &unpaced_given;
                bus.paced = false;
            } else if (option.key == "socketcand") {
                given = &socketcand_given;
                bus.socketcand = true;
                if (option.has_value && !parse_listen_address(option.value, bus)) {
                    return fail(
                        line,
                        "socketcand takes PORT, ADDRESS or ADDRESS:PORT (IPv4, port 1..65535)");
                }
            } else if (option.key == "socketcand-remote" && option.has_value) {
                // Several remote servers may share a bus: no "given twice" here.
                std::optional<bridges::socketcand::RemoteEndpoint> remote =
                    parse_remote(option.value);
                if (!remote) {
                    return fail(line,
                                "socketcand-remote takes HOST:PORT or HOST:PORT/CHANNEL (port "
                                "1..65535, channel 1..15 characters)");
                }
                if (++remote_links_ > kMaxRemoteLinks) {
                    return fail(line, "at most " + std::to_string(kMaxRemoteLinks) +
                                          " socketcand-remote links in all");
                }
                bus.remote_links.push_back(std::move(*remote));
                continue;
            } else if (option.key == "socketcan" && option.has_value) {
                given = &socketcan_given;
                if (!valid_interface_name(option.value)) {
                    return fail(line, "socketcan needs an interface name of 1..15 characters");
                }
                bus.socketcan_interface = std::string(option.value);
            } else if (option.key == "stuck-dominant" && !option.has_value) {
                given = &stuck_given;
                bus.stuck_dominant = true;
            } else if (option.key == "bit-errors" && option.has_value) {
                given = &bit_errors_given;
                if (!parse_bit_errors(option.value, bus)) {
                    return fail(line, "bit-errors takes PERCENT (0..100) or PERCENT:SEED");
                }
            } else {
                return fail(line, "unknown bus option " + quoted(tokens[i]));
            }
            if (*given) return fail(line, "bus option " + quoted(option.key) + " given twice");
            *given = true;
        }
        config_.buses.push_back(std::move(bus));
        return true;
    }

    bool parse_slot(int line, const std::vector<std::string_view>& tokens) {
        if (tokens.size() < 3) return fail(line, "slot needs a number and a module type");
        const std::optional<uint64_t> number = number_of(tokens[1]);
        if (!number || *number < kFirstSlot || *number > kLastSlot) {
            return fail(line, "slot number must be 1..7");
        }
        const int slot = static_cast<int>(*number);
        if (slot_lines_[slot] != 0) {
            return fail(line, "slot " + std::to_string(slot) + " declared twice (first on line " +
                                  std::to_string(slot_lines_[slot]) + ")");
        }
        SlotConfig wiring;
        wiring.type = std::string(tokens[2]);
        if (!valid_module_type(wiring.type)) {
            return fail(line, "module type must be 1..51 printable characters");
        }
        bool bus_given = false;
        for (std::size_t i = 3; i < tokens.size(); ++i) {
            const Option option = option_of(tokens[i]);
            if (option.key != "bus" || !option.has_value) {
                return fail(line, "unknown slot option " + quoted(tokens[i]));
            }
            if (bus_given) return fail(line, "slot option 'bus' given twice");
            bus_given = true;
            if (!valid_bus_name(option.value)) return fail(line, kBusNameRule);
            wiring.bus = std::string(option.value);
        }
        config_.slots[slot] = std::move(wiring);
        slot_lines_[slot] = line;
        return true;
    }

    Config config_;
    std::size_t remote_links_ = 0;
    std::array<int, kLastSlot + 1> slot_lines_{};
    ParseResult error_;
};

}  // namespace

Config Config::default_backplane() {
    Config config;
    BusConfig bus;
    bus.name = std::string(kDefaultBusName);
    bus.demo_node = true;
    config.buses.push_back(std::move(bus));
    for (const int slot : {1, 2}) {
        config.slots[slot] =
            SlotConfig{std::string(kDefaultModuleType), std::string(kDefaultBusName)};
    }
    return config;
}

const BusConfig* Config::bus(std::string_view name) const {
    for (const BusConfig& candidate : buses) {
        if (candidate.name == name) return &candidate;
    }
    return nullptr;
}

std::string ParseResult::error() const {
    if (line > 0) return "line " + std::to_string(line) + ": " + message;
    return message;
}

ParseResult parse_config(std::string_view text) {
    return Parser().run(text);
}

std::string printable(std::string_view text) {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    constexpr unsigned kNibbleBits = 4;
    constexpr unsigned kNibbleMask = 0xF;
    std::string out;
    for (const char c : text) {
        if (c == ' ' || (c >= kFirstPrintable && c <= kLastPrintable)) {
            out += c;
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        out += "\\x";
        out += kHexDigits[byte >> kNibbleBits];
        out += kHexDigits[byte & kNibbleMask];
    }
    return out;
}

ParseResult load_config_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return ParseResult{std::nullopt, 0, std::string("cannot open: ") + std::strerror(errno)};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return ParseResult{std::nullopt, 0, "not a regular file"};
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            const int error = errno;
            ::close(fd);
            return ParseResult{std::nullopt, 0,
                               std::string("cannot read: ") + std::strerror(error)};
        }
        if (got == 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() > kMaxFileSize) {
            ::close(fd);
            return ParseResult{std::nullopt, 0, "file is larger than 1 MiB"};
        }
    }
    ::close(fd);
    return parse_config(text);
}

Config config_from_environment(std::ostream& diagnostics) {
    const char* path = std::getenv(kConfigEnvironmentVariable);
    if (path == nullptr || *path == '\0') return Config::default_backplane();
    ParseResult result = load_config_file(path);
    if (!result.ok()) {
        Config refused = Config::empty_backplane();
        refused.problem = printable(path) + ": " + result.error();
        diagnostics << "TarnSDK_CE: " << refused.problem << std::endl;
        return refused;
    }
    return std::move(*result.config);
}

}  // namespace k5320::backplane
