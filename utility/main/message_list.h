// The rows of the message list, held in a ring of at most 1000 rows, in the order the list
// shows them. A view watches it through ListObserver, which announces every change before it is
// made and confirms it after, so a model can be kept over the ring without copying it.
//
// Rows are added to the current run, whose rows are the first the list shows. A new run (after
// the module is set up again) puts its rows at the top, above the rows of earlier runs, which
// stay below it. When the ring is full, the oldest rows of the earliest run leave to make room:
// the list never holds more than 1000 rows, however often a module is set up again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string_view>
#include <vector>

#include "utility/main/message_format.h"

namespace k5320::utility {

inline constexpr int kMessageListCapacity = 1000;

class ListObserver {
  public:
    virtual ~ListObserver() = default;
    // Rows first .. first + count - 1 are inserted; the rows from first on move down.
    virtual void rows_about_to_be_inserted(int first, int count) = 0;
    virtual void rows_inserted() = 0;
    // Rows first .. first + count - 1 are removed.
    virtual void rows_about_to_be_removed(int first, int count) = 0;
    virtual void rows_removed() = 0;
    virtual void about_to_clear() = 0;
    virtual void cleared() = 0;
    virtual void cells_changed(int first_row, int last_row, int first_column, int last_column) = 0;
};

class MessageList {
  public:
    MessageList();

    // The observer is told of every change from now on; nullptr for none.
    void set_observer(ListObserver* observer) { observer_ = observer; }

    int size() const { return count_; }
    // Rows of the current run: the list's rows 0 .. current_run_size() - 1.
    int current_run_size() const { return runs_.back(); }
    std::string_view cell(int row, int column) const;

    // Adds rows, in order, below the current run's last row, in one insertion.
    void append(std::span<const MessageRow> rows);
    // The rows so far become earlier rows; the next row added goes to the top.
    void start_run();
    void clear();
    // Rewrites every non-empty data cell of the current run from one format to another.
    void convert_current_run(DisplayMode from, DisplayMode to);

  private:
    // Position in the ring of the row the list shows at index row.
    std::size_t slot_of(int row) const;
    // Frees room for n rows by dropping the oldest rows of earlier runs.
    void make_room(int n);

    std::vector<MessageRow> ring_;
    std::size_t head_ = 0;  // ring position of the oldest row
    int count_ = 0;
    // Row counts of the runs, earliest first; the last is the current run. Rows are in the ring
    // in the order they arrived, so each run is one stretch of it.
    std::deque<int> runs_;
    ListObserver* observer_ = nullptr;
};

}  // namespace k5320::utility
