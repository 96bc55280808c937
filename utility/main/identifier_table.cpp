#include "utility/main/identifier_table.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>

namespace k5320::utility {
namespace {

// The key's bit above the 29 identifier bits: the extended format.
constexpr uint32_t kExtendedKeyBit = 1u << 31;
// Time stamps count 100 us; cycle times are shown in milliseconds.
constexpr double kTicksPerMs = 10;
constexpr std::size_t kCellBuffer = 32;

constexpr std::array<ListColumn, kIdentifierColumnCount> kColumns{{
    {"ID", 75, "1FFFFFFF"},
    {"Mode", 42, "2.0B"},
    {"Count", 70, "888888888"},
    {"Cycle(ms)", 70, "88888.8"},
    {"Mean(ms)", 70, "88888.8"},
    {"L", 19, "8"},
    {"D0", 28, "88"},
    {"D1", 28, "88"},
    {"D2", 28, "88"},
    {"D3", 28, "88"},
    {"D4", 28, "88"},
    {"D5", 28, "88"},
    {"D6", 28, "88"},
    {"D7", 28, "88"},
}};

uint32_t key_of(const ReceivedMessage& frame) {
    return frame.mode != 0 ? (frame.id | kExtendedKeyBit) : (frame.id & ~kExtendedKeyBit);
}

std::string printed_ms(double ticks) {
    std::array<char, kCellBuffer> text{};
    std::snprintf(text.data(), text.size(), "%.1f", ticks / kTicksPerMs);
    return text.data();
}

std::string printed_hex(uint32_t value, const char* format) {
    std::array<char, kCellBuffer> text{};
    std::snprintf(text.data(), text.size(), format, value);
    return text.data();
}

uint8_t changed_bytes(const IdentifierRow& row, const ReceivedMessage& frame) {
    uint8_t changed = 0;
    for (std::size_t i = 0; i < kMessageDataBytes; ++i)
        if (row.data[i] != frame.data[i]) changed |= static_cast<uint8_t>(1u << i);
    return changed;
}

void update_row(IdentifierRow& row, const ReceivedMessage& frame, bool first) {
    if (first) {
        row.id = frame.id;
        row.extended = frame.mode != 0;
        row.first_time = frame.time_stamp();
    } else {
        row.last_cycle = frame.time_stamp() - row.last_time;
        row.changed = frame.rtr != 0 ? 0 : changed_bytes(row, frame);
    }
    row.remote = frame.rtr != 0;
    row.length = frame.length;
    // A remote frame carries no data: the row keeps the last data it saw.
    if (!row.remote) row.data = frame.data;
    row.last_time = frame.time_stamp();
    ++row.count;
}

}  // namespace

double IdentifierRow::mean_cycle() const {
    if (count < 2) return 0;
    return static_cast<double>(last_time - first_time) / static_cast<double>(count - 1);
}

std::span<const ListColumn> identifier_columns() {
    return kColumns;
}

std::string IdentifierTable::cell(int index, int column) const {
    const IdentifierRow& shown = row(index);
    const int first_data = static_cast<int>(IdentifierColumn::kFirstData);
    if (column >= first_data) {
        const int byte = column - first_data;
        if (shown.remote || byte >= shown.length) return {};
        return printed_hex(shown.data[static_cast<std::size_t>(byte)], "%02X");
    }
    switch (static_cast<IdentifierColumn>(column)) {
        case IdentifierColumn::kId:
            return printed_hex(shown.id, "%" PRIX32);
        case IdentifierColumn::kMode:
            return shown.extended ? "2.0B" : "2.0A";
        case IdentifierColumn::kCount:
            return std::to_string(shown.count);
        case IdentifierColumn::kLastCycle:
            return shown.count < 2 ? std::string()
                                   : printed_ms(static_cast<double>(shown.last_cycle));
        case IdentifierColumn::kMeanCycle:
            return shown.count < 2 ? std::string() : printed_ms(shown.mean_cycle());
        case IdentifierColumn::kLength:
            return shown.remote ? "R" + std::to_string(shown.length) : std::to_string(shown.length);
        case IdentifierColumn::kFirstData:
            break;
    }
    return {};
}

bool IdentifierTable::byte_changed(int index, int data_byte) const {
    return (row(index).changed & (1u << data_byte)) != 0;
}

void IdentifierTable::add(std::span<const ReceivedMessage> frames) {
    const std::size_t old_size = rows_.size();
    std::size_t first_touched = old_size;
    std::size_t last_touched = 0;
    // Identifiers new in this batch wait beside the rows the view knows, and join them in one
    // insertion at the end.
    std::vector<IdentifierRow> fresh;
    for (const ReceivedMessage& frame : frames) {
        const auto [found, is_new] = index_.try_emplace(key_of(frame), old_size + fresh.size());
        if (is_new) fresh.emplace_back();
        const std::size_t at = found->second;
        IdentifierRow& row = at < old_size ? rows_[at] : fresh[at - old_size];
        update_row(row, frame, is_new);
        if (at < old_size) {
            first_touched = std::min(first_touched, at);
            last_touched = std::max(last_touched, at);
        }
    }
    if (!fresh.empty()) {
        if (observer_ != nullptr)
            observer_->rows_about_to_be_inserted(static_cast<int>(old_size),
                                                 static_cast<int>(fresh.size()));
        rows_.insert(rows_.end(), fresh.begin(), fresh.end());
        if (observer_ != nullptr) observer_->rows_inserted();
    }
    if (first_touched < old_size && observer_ != nullptr) {
        observer_->cells_changed(static_cast<int>(first_touched), static_cast<int>(last_touched), 0,
                                 kIdentifierColumnCount - 1);
    }
}

void IdentifierTable::clear() {
    if (observer_ != nullptr) observer_->about_to_clear();
    rows_.clear();
    index_.clear();
    if (observer_ != nullptr) observer_->cleared();
}

}  // namespace k5320::utility
