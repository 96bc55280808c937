#include "bridges/backplane_links.h"

#include <chrono>
#include <random>

#include "emulator/can/bus.h"

namespace k5320::bridges {
namespace {

BackplaneLinks::Id random_id() {
    std::random_device entropy;
    std::uniform_int_distribution<BackplaneLinks::Id> any;
    return any(entropy);
}

}  // namespace

BackplaneLinks::BackplaneLinks() : own_(random_id()) {}

uint64_t BackplaneLinks::carrying(const void* link, Id remote) {
    std::lock_guard lock(mutex_);
    const uint64_t now = can::steady_nanoseconds(std::chrono::steady_clock::now());
    Spans& spans = spans_[link];
    spans.before = spans.last;
    spans.last = Span{remote, now};
    return now;
}

void BackplaneLinks::stopped(const void* link) {
    std::lock_guard lock(mutex_);
    const auto found = spans_.find(link);
    if (found == spans_.end() || !found->second.last) return;
    found->second.last->until_ns = can::steady_nanoseconds(std::chrono::steady_clock::now());
}

bool BackplaneLinks::carried(Id remote, uint64_t from_ns, uint64_t to_ns) const {
    const auto overlaps = [&](const std::optional<Span>& span) {
        return span && span->remote == remote && span->since_ns <= to_ns &&
               from_ns < span->until_ns;
    };
    std::lock_guard lock(mutex_);
    for (const auto& [link, spans] : spans_) {
        if (overlaps(spans.last) || overlaps(spans.before)) return true;
    }
    return false;
}

}  // namespace k5320::bridges
