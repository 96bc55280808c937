#include "utility/main/message_list.h"

#include <algorithm>

namespace k5320::utility {

MessageList::MessageList() : ring_(kMessageListCapacity), runs_{0} {}

std::string_view MessageList::cell(int row, int column) const {
    if (row < 0 || row >= count_ || column < 0 || column >= kListColumnCount) return {};
    return ring_[slot_of(row)][static_cast<std::size_t>(column)].view();
}

std::size_t MessageList::slot_of(int row) const {
    // The list shows the runs latest first, each in arrival order; the ring holds them earliest
    // first. Walk the runs from the latest, counting where each one starts in the ring.
    int arrival_end = count_;
    for (auto run = runs_.rbegin(); run != runs_.rend(); ++run) {
        const int run_start = arrival_end - *run;
        if (row < *run) return (head_ + static_cast<std::size_t>(run_start + row)) % ring_.size();
        row -= *run;
        arrival_end = run_start;
    }
    return head_;  // not reached for a row below count_
}

void MessageList::make_room(int n) {
    int excess = count_ + n - kMessageListCapacity;
    while (excess > 0 && runs_.size() > 1) {
        // The earliest run is the list's last stretch of rows; its oldest rows are the first of
        // that stretch.
        const int earliest = runs_.front();
        const int dropped = std::min(excess, earliest);
        const int first = count_ - earliest;
        if (observer_ != nullptr) observer_->rows_about_to_be_removed(first, dropped);
        head_ = (head_ + static_cast<std::size_t>(dropped)) % ring_.size();
        count_ -= dropped;
        runs_.front() -= dropped;
        if (runs_.front() == 0) runs_.pop_front();
        if (observer_ != nullptr) observer_->rows_removed();
        excess -= dropped;
    }
}

void MessageList::append(std::span<const MessageRow> rows) {
    // The current run alone never fills the ring: the dialog empties the list at its 1000th
    // row. Should a caller pass more, only the newest rows that fit are kept.
    const int room = kMessageListCapacity - current_run_size();
    if (static_cast<int>(rows.size()) > room) rows = rows.last(static_cast<std::size_t>(room));
    const int n = static_cast<int>(rows.size());
    if (n == 0) return;
    make_room(n);

    const int first = current_run_size();
    if (observer_ != nullptr) observer_->rows_about_to_be_inserted(first, n);
    for (const MessageRow& row : rows) {
        ring_[(head_ + static_cast<std::size_t>(count_)) % ring_.size()] = row;
        ++count_;
    }
    runs_.back() += n;
    if (observer_ != nullptr) observer_->rows_inserted();
}

void MessageList::start_run() {
    if (runs_.back() != 0) runs_.push_back(0);
}

void MessageList::clear() {
    if (observer_ != nullptr) observer_->about_to_clear();
    head_ = 0;
    count_ = 0;
    runs_.assign(1, 0);
    if (observer_ != nullptr) observer_->cleared();
}

void MessageList::convert_current_run(DisplayMode from, DisplayMode to) {
    const int rows = current_run_size();
    if (rows == 0) return;
    for (int row = 0; row < rows; ++row) {
        MessageRow& cells = ring_[slot_of(row)];
        for (int column = kFirstDataColumn; column <= kLastDataColumn; ++column) {
            CellText& cell = cells[static_cast<std::size_t>(column)];
            if (!cell.empty()) cell = convert_cell(cell.view(), from, to);
        }
    }
    if (observer_ != nullptr)
        observer_->cells_changed(0, rows - 1, kFirstDataColumn, kLastDataColumn);
}

}  // namespace k5320::utility
