// The view per identifier: a row per identifier and format, counts and cycle times, the last
// data with its changed bytes, and one announcement per batch however many frames it holds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/utility/fake_dialog_parts.h"
#include "utility/main/identifier_table.h"

namespace k5320::utility::test {
namespace {

constexpr int kCount = static_cast<int>(IdentifierColumn::kCount);
constexpr int kLastCycle = static_cast<int>(IdentifierColumn::kLastCycle);
constexpr int kMeanCycle = static_cast<int>(IdentifierColumn::kMeanCycle);
constexpr int kLength = static_cast<int>(IdentifierColumn::kLength);
constexpr int kData = static_cast<int>(IdentifierColumn::kFirstData);

ReceivedMessage frame(uint32_t id, std::vector<uint8_t> bytes, uint32_t time, uint8_t mode = 0) {
    ReceivedMessage message;
    message.mode = mode;
    message.id = id;
    message.length = static_cast<uint8_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), message.data.begin());
    message.time_low = time;
    return message;
}

std::string row_text(const IdentifierTable& table, int row) {
    std::string text;
    for (int column = 0; column < kIdentifierColumnCount; ++column) {
        if (column > 0) text += ",";
        text += table.cell(row, column);
    }
    return text;
}

class IdentifierTableTest : public ::testing::Test {
  protected:
    void SetUp() override { table.set_observer(&changes); }
    IdentifierTable table;
    ListChanges changes;
};

TEST_F(IdentifierTableTest, ABatchCountsEachIdentifierAndFormatWithItsCycleAndChangedBytes) {
    const std::vector<ReceivedMessage> batch{
        frame(0x100, {1, 2, 3}, 0),
        frame(0x100, {9}, 5, 1),  // the same number in the other format: a row of its own
        frame(0x100, {1, 2, 3}, 100),
        frame(0x100, {1, 7, 3}, 300),
    };
    table.add(batch);
    ASSERT_EQ(table.size(), 2);
    // Cycle 200 x 100 us = 20.0 ms; mean (300 - 0) / 2 intervals = 15.0 ms.
    EXPECT_EQ(row_text(table, 0), "100,2.0A,3,20.0,15.0,3,01,07,03,,,,,");
    EXPECT_EQ(row_text(table, 1), "100,2.0B,1,,,1,09,,,,,,,");
    EXPECT_FALSE(table.byte_changed(0, 0));
    EXPECT_TRUE(table.byte_changed(0, 1));
    EXPECT_FALSE(table.byte_changed(0, 2));
    // One insertion for the batch, no change of rows the view did not know.
    EXPECT_EQ(changes.changes, (std::vector<std::string>{"insert 0+2"}));
    EXPECT_EQ(changes.unconfirmed, 0);

    // Known identifiers only: one change over the rows touched; a new one is appended.
    table.add(std::vector<ReceivedMessage>{frame(0x100, {1, 7, 3}, 400)});
    EXPECT_EQ(table.cell(0, kCount), "4");
    EXPECT_EQ(table.cell(0, kLastCycle), "10.0");
    EXPECT_EQ(table.cell(0, kMeanCycle), "13.3");
    EXPECT_FALSE(table.byte_changed(0, 1));
    table.add(std::vector<ReceivedMessage>{frame(0x7FF, {}, 410), frame(0x100, {}, 420, 1)});
    EXPECT_EQ(changes.changes,
              (std::vector<std::string>{"insert 0+2", "change 0-0", "insert 2+1", "change 1-1"}));
    EXPECT_EQ(table.cell(2, 0), "7FF");

    table.clear();
    EXPECT_EQ(table.size(), 0);
    EXPECT_EQ(changes.changes.back(), "clear");
    EXPECT_EQ(changes.unconfirmed, 0);
}

TEST_F(IdentifierTableTest, ARemoteFrameShowsItsLengthAndKeepsTheLastData) {
    ReceivedMessage remote = frame(0x321, {}, 20);
    remote.rtr = 1;
    remote.length = 2;
    remote.data = {0xEE, 0xEE};  // whatever the buffer held: not the frame's data
    table.add(std::vector<ReceivedMessage>{frame(0x321, {5, 6}, 10), remote});
    EXPECT_EQ(table.cell(0, kLength), "R2");
    EXPECT_EQ(table.cell(0, kData), "");
    EXPECT_FALSE(table.byte_changed(0, 0));
    table.add(std::vector<ReceivedMessage>{frame(0x321, {5, 8}, 30)});
    EXPECT_EQ(row_text(table, 0), "321,2.0A,3,1.0,1.0,2,05,08,,,,,,");
    EXPECT_FALSE(table.byte_changed(0, 0));
    EXPECT_TRUE(table.byte_changed(0, 1));
}

}  // namespace
}  // namespace k5320::utility::test
