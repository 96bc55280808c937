// The backplane configuration parser on arbitrary text. Beyond not crashing: a configuration it
// accepts holds only what the format allows (slot types, bus names and rates in range, every
// wired bus declared once), an error names a line of the text, and an accepted configuration
// written back in the format parses to the same configuration.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "backplane/config.h"

namespace {

using namespace k5320::backplane;

void require(bool holds, const char* what, std::string_view text) {
    if (holds) return;
    std::fprintf(stderr, "config fuzz: %s\n--- text ---\n%.*s\n", what,
                 static_cast<int>(text.size()), text.data());
    std::abort();
}

bool bus_name_character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
}

bool type_character(char c) {
    return c > ' ' && c <= '~';
}

void check_config(const Config& config, std::string_view text) {
    for (size_t i = 0; i < config.buses.size(); ++i) {
        const BusConfig& bus = config.buses[i];
        require(!bus.name.empty() && bus.name.size() <= kMaxBusNameLength &&
                    std::all_of(bus.name.begin(), bus.name.end(), bus_name_character),
                "accepted bus name outside the format", text);
        require(bus.bit_rate >= kMinBitRate && bus.bit_rate <= kMaxBitRate,
                "accepted bit rate outside 1000..1000000", text);
        for (size_t j = 0; j < i; ++j)
            require(config.buses[j].name != bus.name, "bus accepted twice", text);
    }
    require(config.slots[0] == SlotConfig{}, "slot 0 filled", text);
    for (int slot = kFirstSlot; slot <= kLastSlot; ++slot) {
        const SlotConfig& wiring = config.slots[slot];
        if (wiring.type.empty()) {
            require(wiring.bus.empty(), "empty slot wired to a bus", text);
            continue;
        }
        require(wiring.type.size() <= kMaxTypeLength &&
                    std::all_of(wiring.type.begin(), wiring.type.end(), type_character),
                "accepted module type outside the format", text);
        require(wiring.bus.empty() || config.bus(wiring.bus) != nullptr,
                "slot wired to an undeclared bus", text);
    }
}

// The configuration in the file format.
std::string written(const Config& config) {
    std::string text;
    for (const BusConfig& bus : config.buses) {
        text += "bus " + bus.name + " rate=" + std::to_string(bus.bit_rate);
        if (bus.demo_node) text += " demo";
        if (!bus.paced) text += " unpaced";
        if (bus.socketcand) {
            text +=
                " socketcand=" + bus.socketcand_address + ":" + std::to_string(bus.socketcand_port);
            if (bus.socketcand_open) text += ",open";
        }
        if (!bus.socketcan_interface.empty()) text += " socketcan=" + bus.socketcan_interface;
        for (const auto& remote : bus.remote_links)
            text += " socketcand-remote=" + remote.host + ":" + std::to_string(remote.port) + "/" +
                    remote.channel;
        if (bus.stuck_dominant) text += " stuck-dominant";
        if (bus.bit_error_percent != 0 || bus.bit_error_seed != 0)
            text += " bit-errors=" + std::to_string(bus.bit_error_percent) + ":" +
                    std::to_string(bus.bit_error_seed);
        text += '\n';
    }
    for (int slot = kFirstSlot; slot <= kLastSlot; ++slot) {
        const SlotConfig& wiring = config.slots[slot];
        if (wiring.type.empty()) continue;
        text += "slot " + std::to_string(slot) + " " + wiring.type;
        if (!wiring.bus.empty()) text += " bus=" + wiring.bus;
        text += '\n';
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const ParseResult result = parse_config(text);
    if (!result.ok()) {
        const auto lines = static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;
        require(result.line >= 0 && result.line <= lines, "error on a line the text lacks", text);
        require(!result.message.empty(), "error without a message", text);
        return 0;
    }
    check_config(*result.config, text);
    const std::string again = written(*result.config);
    const ParseResult reparsed = parse_config(again);
    require(reparsed.ok() && *reparsed.config == *result.config,
            "configuration written back parses differently", text);
    return 0;
}
