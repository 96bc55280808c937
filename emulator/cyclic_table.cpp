#include "emulator/cyclic_table.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace k5320::emulator {

CyclicTable::Clock::time_point CyclicTable::Entry::due() const {
    return start + cycle * static_cast<int64_t>(next_cycle);
}

std::optional<uint8_t> CyclicTable::add(const can::Frame& frame, uint32_t cycle_ms, uint32_t count,
                                        Clock::time_point now) {
    if (cycle_ms == 0) return std::nullopt;
    const auto free = std::find_if(entries_.begin(), entries_.end(),
                                   [](const std::optional<Entry>& e) { return !e; });
    if (free == entries_.end()) return std::nullopt;
    // The table holds fewer entries than there are handles, so a free one is always found.
    while (handle_in_use(next_handle_))
        next_handle_ = static_cast<uint8_t>((next_handle_ + 1) % kHandles);
    const uint8_t handle = next_handle_;
    next_handle_ = static_cast<uint8_t>((handle + 1) % kHandles);
    Entry entry;
    entry.handle = handle;
    entry.frame = frame;
    entry.cycle = std::chrono::milliseconds(cycle_ms);
    entry.endless = count == dpram::kCyclicCountEndless;
    entry.left = count;
    entry.start = now;
    *free = entry;
    return handle;
}

bool CyclicTable::remove(uint8_t handle) {
    for (std::optional<Entry>& e : entries_) {
        if (e && e->handle == handle) {
            e.reset();
            return true;
        }
    }
    return false;
}

bool CyclicTable::enable(uint8_t handle, Clock::time_point now) {
    Entry* e = find(handle);
    if (e == nullptr) return false;
    if (e->enabled) return true;  // already sending: its cycle is not disturbed
    e->enabled = true;
    e->start = e->last_sent ? std::max(now, *e->last_sent + e->cycle) : now;
    e->next_cycle = 0;
    return true;
}

bool CyclicTable::disable(uint8_t handle) {
    Entry* e = find(handle);
    if (e == nullptr) return false;
    e->enabled = false;
    return true;
}

std::optional<uint32_t> CyclicTable::rest(uint8_t handle) const {
    const Entry* e = find(handle);
    if (e == nullptr) return std::nullopt;
    return e->endless ? dpram::kCyclicRestEndless : e->left;
}

std::optional<bool> CyclicTable::enabled(uint8_t handle) const {
    const Entry* e = find(handle);
    if (e == nullptr) return std::nullopt;
    return e->enabled;
}

void CyclicTable::clear() {
    entries_.fill(std::nullopt);
    next_handle_ = 0;
}

std::size_t CyclicTable::size() const {
    return static_cast<std::size_t>(
        std::count_if(entries_.begin(), entries_.end(),
                      [](const std::optional<Entry>& e) { return e.has_value(); }));
}

void CyclicTable::transmit_due(Clock::time_point now,
                               const std::function<bool(const can::Frame&, uint8_t handle)>& take) {
    std::vector<Entry*> due;
    for (std::optional<Entry>& e : entries_) {
        if (e && e->sending() && e->due() <= now) due.push_back(&*e);
    }
    std::sort(due.begin(), due.end(), [](const Entry* a, const Entry* b) {
        return a->due() != b->due() ? a->due() < b->due() : a->handle < b->handle;
    });
    for (Entry* e : due) {
        if (take(e->frame, e->handle)) e->last_sent = now;
        // On to the first cycle after now: one frame per cycle at most, however late this is.
        e->next_cycle = static_cast<uint64_t>((now - e->start) / e->cycle) + 1;
    }
}

void CyclicTable::count_sent(uint8_t handle) {
    // The entry may have been deleted while its last frame was on its way.
    Entry* e = find(handle);
    if (e != nullptr && !e->used_up() && !e->endless) --e->left;
}

std::optional<CyclicTable::Clock::time_point> CyclicTable::next_due() const {
    std::optional<Clock::time_point> earliest;
    for (const std::optional<Entry>& e : entries_) {
        if (!e || !e->sending()) continue;
        if (!earliest || e->due() < *earliest) earliest = e->due();
    }
    return earliest;
}

CyclicTable::Entry* CyclicTable::find(uint8_t handle) {
    return const_cast<Entry*>(std::as_const(*this).find(handle));
}

const CyclicTable::Entry* CyclicTable::find(uint8_t handle) const {
    for (const std::optional<Entry>& e : entries_) {
        if (e && e->handle == handle) return &*e;
    }
    return nullptr;
}

bool CyclicTable::handle_in_use(uint8_t handle) const {
    return find(handle) != nullptr;
}

}  // namespace k5320::emulator
