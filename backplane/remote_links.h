// The buses' links to remote socketcand servers as the user's backplane last saw them, for
// programs to show (k5320 list).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace k5320::backplane {

struct RemoteLinkReport {
    std::string name;   // "BUS -> HOST:PORT/CHANNEL"
    std::string state;  // "connecting", "up" or "down"
    uint64_t to_remote = 0;
    uint64_t from_remote = 0;
    uint64_t dropped_to_remote = 0;
    uint64_t dropped_from_remote = 0;
    uint64_t connections = 0;
};

// In configuration order. Reaches the backplane (and starts the service) if nothing has yet.
std::vector<RemoteLinkReport> remote_links();

}  // namespace k5320::backplane
