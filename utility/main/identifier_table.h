// The view per identifier: one row for each identifier and format seen, with how often it came,
// its cycle time (the last interval and the mean) and its last data, the bytes that changed with
// the last frame marked. Rows stay in the order their identifiers first came, so a row keeps
// its place while the bus runs. Frames arrive in batches (what the ticks between two refreshes
// received); each batch is one insertion of the new identifiers and one change of the rows it
// touched, announced through ListObserver like the message list.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "utility/main/dialog_template.h"
#include "utility/main/message_format.h"
#include "utility/main/message_list.h"

namespace k5320::utility {

struct IdentifierRow {
    uint32_t id = 0;
    bool extended = false;
    bool remote = false;  // the last frame
    uint8_t length = 0;   // the last frame's
    std::array<uint8_t, kMessageDataBytes> data{};
    // Bit i: data byte i differs from the frame before the last.
    uint8_t changed = 0;
    uint64_t count = 0;
    uint64_t first_time = 0;  // time stamps, in units of 100 us
    uint64_t last_time = 0;
    uint64_t last_cycle = 0;  // between the last two frames; 0 before the second

    // The mean interval over every frame so far; 0 before the second.
    double mean_cycle() const;
};

// Columns of the view.
enum class IdentifierColumn : int {
    kId,
    kMode,
    kCount,
    kLastCycle,
    kMeanCycle,
    kLength,
    kFirstData,
};
inline constexpr int kIdentifierColumnCount =
    static_cast<int>(IdentifierColumn::kFirstData) + static_cast<int>(kMessageDataBytes);
std::span<const ListColumn> identifier_columns();

class IdentifierTable {
  public:
    void set_observer(ListObserver* observer) { observer_ = observer; }

    int size() const { return static_cast<int>(rows_.size()); }
    const IdentifierRow& row(int index) const { return rows_.at(static_cast<std::size_t>(index)); }
    // A cell as the view shows it: hexadecimal identifier and data, cycle times in
    // milliseconds.
    std::string cell(int row, int column) const;
    bool byte_changed(int row, int data_byte) const;

    // Takes a batch of frames in the order they were received.
    void add(std::span<const ReceivedMessage> frames);
    void clear();

  private:
    std::vector<IdentifierRow> rows_;
    // Row of an identifier; the format is the key's top bit, above the 29 identifier bits.
    std::unordered_map<uint32_t, std::size_t> index_;
    ListObserver* observer_ = nullptr;
};

}  // namespace k5320::utility
