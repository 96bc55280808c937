// One bus's backplane identity, and which other backplanes the bus's links carry its frames to,
// shared by the bus's socketcand server and its links. The server sends another backplane's link
// no frame that one of these links carries there already, so that two backplanes joined both ways
// (each with a link to the other's server) get each frame once.
//
// A link carries the frames that end (BusClient::receive()'s time) from the moment it says so
// until the moment it says it stopped; the server asks about the frame's own time, so both decide
// alike even while a link comes up or goes down during the frame's delivery. A frame may then
// be dropped, but it does not go both ways.
//
// Locking: mutex_ guards the spans and is taken last: the server and the links call in while
// holding their own locks, and nothing here calls out.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

#include "bridges/socketcand_protocol.h"

namespace k5320::bridges {

class BackplaneLinks {
  public:
    using Id = socketcand::BackplaneId;

    // A random identity: the rack makes one per bus, since a bus, not the whole service, is what
    // a link joins; a link of one bus must not stand for a link of another bus of the service.
    // Random rather than counted or derived from the host, so that two services on one machine,
    // or a service and its restart, do not meet under the same one.
    BackplaneLinks();
    explicit BackplaneLinks(Id own) : own_(own) {}
    BackplaneLinks(const BackplaneLinks&) = delete;
    BackplaneLinks& operator=(const BackplaneLinks&) = delete;

    Id own() const { return own_; }

    // link carries to backplane remote the frames that end from now on; returns now (steady
    // clock, ns). Now is read under mutex_, so that a server asking later sees the span.
    uint64_t carrying(const void* link, Id remote);
    // link carries no frame that ends from now on.
    void stopped(const void* link);
    // Whether a link carries to remote a frame that ends between from_ns and to_ns.
    bool carried(Id remote, uint64_t from_ns, uint64_t to_ns) const;

  private:
    struct Span {
        Id remote = 0;
        uint64_t since_ns = 0;
        uint64_t until_ns = UINT64_MAX;
    };
    // The span before the last stays, for a frame still being delivered when the link came back.
    struct Spans {
        std::optional<Span> last;
        std::optional<Span> before;
    };

    const Id own_;
    mutable std::mutex mutex_;
    std::map<const void*, Spans> spans_;
};

}  // namespace k5320::bridges
