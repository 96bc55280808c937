// The ring of list rows: the order it shows runs in, the 1000-row cap, and announcements that
// let a view follow every change without reading the ring again.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/utility/fake_dialog_parts.h"
#include "utility/main/message_list.h"

namespace k5320::utility::test {
namespace {

// A row told apart by its first cell.
MessageRow row(const std::string& name) {
    MessageRow cells;
    cells[kNumberColumn].assign(name);
    cells[kFirstDataColumn].assign("0A");
    return cells;
}

// Row "PREFIXNUMBER", built by appending ("a" + std::to_string(i) trips GCC 12's false -Wrestrict
// at -O3).
MessageRow row(const char* prefix, int number) {
    std::string name = prefix;
    name += std::to_string(number);
    return row(name);
}

std::vector<std::string> names(const MessageList& list) {
    std::vector<std::string> shown;
    for (int i = 0; i < list.size(); ++i) shown.emplace_back(list.cell(i, kNumberColumn));
    return shown;
}

using Names = std::vector<std::string>;

// A view's copy of the rows, kept only from the announcements: what a model gives its view.
class Mirror final : public ListObserver {
  public:
    explicit Mirror(const MessageList& list) : list_(list) {}
    Names rows;

    void rows_about_to_be_inserted(int first, int count) override {
        pending_ = {first, count};
        ASSERT_LE(first, static_cast<int>(rows.size()));
    }
    void rows_inserted() override {
        for (int i = 0; i < pending_.second; ++i) {
            const int at = pending_.first + i;
            rows.insert(rows.begin() + at, std::string(list_.cell(at, kNumberColumn)));
        }
    }
    void rows_about_to_be_removed(int first, int count) override {
        ASSERT_LE(first + count, static_cast<int>(rows.size()));
        rows.erase(rows.begin() + first, rows.begin() + first + count);
    }
    void rows_removed() override {}
    void about_to_clear() override {}
    void cleared() override { rows.clear(); }
    void cells_changed(int, int, int, int) override {}

  private:
    const MessageList& list_;
    std::pair<int, int> pending_;
};

TEST(MessageList, LaterRunsGoOnTopAndOneBatchIsOneInsertion) {
    MessageList list;
    ListChanges changes;
    list.set_observer(&changes);
    const std::vector<MessageRow> first{row("a0"), row("a1"), row("a2")};
    list.append(first);
    list.start_run();
    list.start_run();  // a run without rows changes nothing
    list.append(std::vector{row("b0")});
    list.append(std::vector{row("b1"), row("b2")});
    EXPECT_EQ(names(list), (Names{"b0", "b1", "b2", "a0", "a1", "a2"}));
    EXPECT_EQ(list.current_run_size(), 3);
    EXPECT_EQ(changes.changes,
              (std::vector<std::string>{"insert 0+3", "insert 0+1", "insert 1+2"}));
    EXPECT_EQ(changes.unconfirmed, 0);

    // Conversions reach the current run only.
    list.convert_current_run(DisplayMode::kHex, DisplayMode::kDec);
    EXPECT_EQ(list.cell(2, kFirstDataColumn), "10");
    EXPECT_EQ(list.cell(3, kFirstDataColumn), "0A");
    EXPECT_EQ(changes.changes.back(), "change 0-2");

    list.clear();
    EXPECT_EQ(list.size(), 0);
    EXPECT_EQ(list.current_run_size(), 0);
    EXPECT_EQ(changes.changes.back(), "clear");
}

TEST(MessageList, AFullRingDropsTheOldestRowsOfTheEarliestRun) {
    MessageList list;
    ListChanges changes;
    list.set_observer(&changes);
    std::vector<MessageRow> batch;
    for (int i = 0; i < 600; ++i) batch.push_back(row("a", i));
    list.append(batch);
    list.start_run();
    batch.clear();
    for (int i = 0; i < 300; ++i) batch.push_back(row("b", i));
    list.append(batch);
    list.start_run();
    batch.clear();
    for (int i = 0; i < 400; ++i) batch.push_back(row("c", i));
    changes.changes.clear();
    list.append(batch);

    // 1300 rows would not fit: a0..a299 leave first, from the top of their stretch at the
    // bottom (rows 300.. before the insertion).
    EXPECT_EQ(list.size(), kMessageListCapacity);
    EXPECT_EQ(changes.changes, (std::vector<std::string>{"remove 300+300", "insert 0+400"}));
    const Names shown = names(list);
    EXPECT_EQ(shown[0], "c0");
    EXPECT_EQ(shown[399], "c399");
    EXPECT_EQ(shown[400], "b0");
    EXPECT_EQ(shown[700], "a300");
    EXPECT_EQ(shown[999], "a599");
}

TEST(MessageList, AnnouncementsKeepAViewsCopyExactUnderRandomUse) {
    MessageList list;
    Mirror mirror(list);
    list.set_observer(&mirror);
    std::mt19937 random(20240309);
    int next = 0;
    for (int step = 0; step < 3000; ++step) {
        const unsigned what = random() % 100;
        if (what < 3) {
            list.start_run();
        } else if (what < 4) {
            list.clear();
        } else {
            // The dialog never lets the current run reach 1000 rows.
            const int room = kMessageListCapacity - 1 - list.current_run_size();
            if (room <= 0) {
                list.start_run();
                continue;
            }
            std::vector<MessageRow> batch(std::min<int>(room, 1 + static_cast<int>(random() % 64)));
            for (MessageRow& cells : batch) cells = row(std::to_string(next++));
            list.append(batch);
        }
        ASSERT_LE(list.size(), kMessageListCapacity);
        ASSERT_EQ(mirror.rows, names(list)) << "step " << step;
    }
}

}  // namespace
}  // namespace k5320::utility::test
