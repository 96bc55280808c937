// The cyclic table on a clock of the test's own: handles, schedule, pause and resume, counts.
#include "emulator/cyclic_table.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <set>
#include <vector>

#include "k5320/dpram_map.h"

namespace k5320::emulator {
namespace {

using namespace std::chrono_literals;
using Clock = CyclicTable::Clock;

const Clock::time_point kT0 = Clock::time_point{} + 1h;

can::Frame frame_with_id(uint32_t id) {
    return can::Frame{.id = id, .length = 1, .data = {static_cast<uint8_t>(id)}};
}

// A table with a transmit path that takes frames while `room` lasts, records them and, unless
// told to hold them, sends them at once.
class CyclicTableTest : public ::testing::Test {
  protected:
    std::vector<uint32_t> round(Clock::time_point now) {
        std::vector<uint32_t> sent;
        std::vector<uint8_t> taken;
        table.transmit_due(now, [&](const can::Frame& f, uint8_t handle) {
            if (room == 0) return false;
            --room;
            sent.push_back(f.id);
            taken.push_back(handle);
            return true;
        });
        if (!hold) {
            for (uint8_t handle : taken) table.count_sent(handle);
        }
        return sent;
    }
    uint8_t add(uint32_t id, uint32_t cycle_ms, uint32_t count, Clock::time_point now = kT0) {
        const std::optional<uint8_t> handle = table.add(frame_with_id(id), cycle_ms, count, now);
        EXPECT_TRUE(handle);
        return handle.value_or(dpram::kCyclicNoHandle);
    }

    CyclicTable table;
    unsigned room = 1000;
    bool hold = false;
};

TEST_F(CyclicTableTest, FullTableZeroCycleAndUnknownHandlesAreRefused) {
    EXPECT_FALSE(table.add(frame_with_id(1), 0, 5, kT0));
    std::set<uint8_t> handles;
    for (std::size_t i = 0; i < CyclicTable::kEntries; ++i) handles.insert(add(1, 10, 1));
    EXPECT_EQ(handles.size(), CyclicTable::kEntries);
    EXPECT_EQ(handles.count(dpram::kCyclicNoHandle), 0u);
    EXPECT_FALSE(table.add(frame_with_id(1), 10, 1, kT0));

    const uint8_t gone = *handles.begin();
    ASSERT_TRUE(table.remove(gone));
    EXPECT_FALSE(table.remove(gone));
    EXPECT_FALSE(table.enable(gone, kT0));
    EXPECT_FALSE(table.disable(gone));
    EXPECT_FALSE(table.rest(gone));
    // The freed place is taken again, under a handle that was not in use yet.
    const std::optional<uint8_t> again = table.add(frame_with_id(1), 10, 1, kT0);
    ASSERT_TRUE(again);
    EXPECT_EQ(handles.count(*again), 0u);
    EXPECT_FALSE(table.rest(gone));
    EXPECT_FALSE(table.rest(dpram::kCyclicNoHandle));

    table.clear();
    EXPECT_EQ(table.size(), 0u);
    EXPECT_FALSE(table.next_due());
    EXPECT_EQ(add(1, 10, 1), 0);  // power-on numbering
}

TEST_F(CyclicTableTest, HandlesWrapBelowNoHandleAndSkipThoseInUse) {
    const uint8_t kept = add(1, 10, 0);
    for (unsigned i = 1; i < CyclicTable::kHandles; ++i) ASSERT_TRUE(table.remove(add(2, 10, 1)));
    const uint8_t next = add(3, 10, 1);  // wrapped past the last handle, and past `kept`
    EXPECT_NE(next, kept);
    EXPECT_EQ(next, static_cast<uint8_t>(kept + 1));
}

TEST_F(CyclicTableTest, SendsAtOnceThenEveryCycleAndAUsedUpEntryStaysWithRestZero) {
    const uint8_t h = add(7, 10, 3);
    EXPECT_EQ(table.rest(h), 3u);
    EXPECT_EQ(table.next_due(), kT0);
    EXPECT_EQ(round(kT0), std::vector<uint32_t>{7});
    EXPECT_EQ(table.next_due(), kT0 + 10ms);
    EXPECT_TRUE(round(kT0 + 9ms).empty());
    EXPECT_EQ(round(kT0 + 10ms).size(), 1u);
    EXPECT_EQ(table.rest(h), 1u);
    EXPECT_EQ(round(kT0 + 20ms).size(), 1u);
    EXPECT_EQ(table.rest(h), 0u);
    EXPECT_FALSE(table.next_due());
    EXPECT_TRUE(round(kT0 + 1s).empty());
    // Still there until deleted: it answers, and resuming it sends nothing more.
    EXPECT_TRUE(table.enable(h, kT0 + 1s));
    EXPECT_TRUE(round(kT0 + 2s).empty());
    EXPECT_EQ(table.rest(h), 0u);
    EXPECT_EQ(table.size(), 1u);
    EXPECT_TRUE(table.remove(h));
}

TEST_F(CyclicTableTest, LateRoundsSendOneFrameAndStayOnTheGrid) {
    add(1, 10, 0);
    ASSERT_EQ(round(kT0).size(), 1u);
    // The firmware was held up for three and a half cycles: one frame, no burst.
    EXPECT_EQ(round(kT0 + 35ms).size(), 1u);
    EXPECT_EQ(table.next_due(), kT0 + 40ms);
    // A slightly late round does not shift the cycles after it.
    EXPECT_EQ(round(kT0 + 41ms).size(), 1u);
    EXPECT_EQ(table.next_due(), kT0 + 50ms);
}

TEST_F(CyclicTableTest, FrameTheTransmitPathRefusesIsNotCounted) {
    const uint8_t h = add(1, 10, 2);
    room = 0;
    EXPECT_TRUE(round(kT0).empty());
    EXPECT_EQ(table.rest(h), 2u);
    EXPECT_EQ(table.next_due(), kT0 + 10ms);  // that cycle is given up
    room = 1;
    EXPECT_EQ(round(kT0 + 10ms).size(), 1u);
    EXPECT_EQ(table.rest(h), 1u);
}

TEST_F(CyclicTableTest, AFrameCountsWhenSentNotWhenTaken) {
    const uint8_t h = add(1, 10, 2);
    hold = true;
    EXPECT_EQ(round(kT0).size(), 1u);
    EXPECT_EQ(table.rest(h), 2u);
    table.count_sent(h);
    EXPECT_EQ(table.rest(h), 1u);
    table.count_sent(h);
    table.count_sent(h);  // a late report past the end changes nothing
    EXPECT_EQ(table.rest(h), 0u);
    table.count_sent(dpram::kCyclicNoHandle);  // no such entry: ignored
}

TEST_F(CyclicTableTest, PauseKeepsTheRestAndResumeKeepsTheCycleApart) {
    const uint8_t h = add(1, 10, 5);
    ASSERT_EQ(round(kT0).size(), 1u);
    ASSERT_EQ(round(kT0 + 10ms).size(), 1u);
    ASSERT_TRUE(table.disable(h));
    EXPECT_EQ(table.enabled(h), false);
    EXPECT_FALSE(table.next_due());
    EXPECT_TRUE(round(kT0 + 100ms).empty());
    EXPECT_EQ(table.rest(h), 3u);

    // Resumed right after the last frame: not before a cycle has passed since it.
    ASSERT_TRUE(table.disable(h));
    ASSERT_TRUE(table.enable(h, kT0 + 12ms));
    EXPECT_EQ(table.next_due(), kT0 + 20ms);
    // Resumed long after: at once, and on a new grid from there.
    ASSERT_TRUE(table.disable(h));
    ASSERT_TRUE(table.enable(h, kT0 + 203ms));
    EXPECT_EQ(table.next_due(), kT0 + 203ms);
    EXPECT_EQ(round(kT0 + 203ms).size(), 1u);
    EXPECT_EQ(table.next_due(), kT0 + 213ms);
    // Enabling a sending entry does not disturb its cycle.
    ASSERT_TRUE(table.enable(h, kT0 + 205ms));
    EXPECT_EQ(table.next_due(), kT0 + 213ms);
    EXPECT_EQ(round(kT0 + 213ms).size(), 1u);
    EXPECT_EQ(round(kT0 + 223ms).size(), 1u);
    EXPECT_EQ(table.rest(h), 0u);
    EXPECT_FALSE(table.next_due());
}

TEST_F(CyclicTableTest, EndlessEntryReportsItsOwnRestAndNeverEnds) {
    const uint8_t h = add(1, 1, dpram::kCyclicCountEndless);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(round(kT0 + i * 1ms).size(), 1u) << i;
    EXPECT_EQ(table.rest(h), dpram::kCyclicRestEndless);
    EXPECT_TRUE(table.next_due());
}

TEST_F(CyclicTableTest, EntriesDueTogetherGoEarliestDueFirst) {
    add(30, 30, 0, kT0);
    add(10, 10, 0, kT0 + 5ms);
    add(20, 20, 0, kT0 + 1ms);
    EXPECT_EQ(round(kT0 + 5ms), (std::vector<uint32_t>{30, 20, 10}));
    // Due at 15 (10), 21 (20), 30 (30).
    EXPECT_EQ(round(kT0 + 30ms), (std::vector<uint32_t>{10, 20, 30}));
    // Room for one only: the later ones lose their cycle.
    room = 1;
    EXPECT_EQ(round(kT0 + 60ms), (std::vector<uint32_t>{10}));
    room = 10;
    EXPECT_EQ(round(kT0 + 60ms), std::vector<uint32_t>{});
}

}  // namespace
}  // namespace k5320::emulator
