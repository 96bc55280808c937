// What a bus's links carry, as its server asks: a frame counts as carried when it ends while a
// link to that backplane is up, for a frame still in delivery also when the link has just come
// back, and never for another backplane or the time before and after.
#include "bridges/backplane_links.h"

#include <gtest/gtest.h>

#include <chrono>

#include "emulator/can/bus.h"

namespace k5320::bridges {
namespace {

constexpr BackplaneLinks::Id kOwn = 1;
constexpr BackplaneLinks::Id kFar = 2;
constexpr BackplaneLinks::Id kOther = 3;

uint64_t now_ns() {
    return can::steady_nanoseconds(std::chrono::steady_clock::now());
}

TEST(BackplaneLinksTest, AFrameCountsAsCarriedOnlyWhileALinkToItsBackplaneIsUp) {
    BackplaneLinks links(kOwn);
    const int link = 0;
    const uint64_t before = now_ns();
    EXPECT_FALSE(links.carried(kFar, before, before));

    const uint64_t since = links.carrying(&link, kFar);
    EXPECT_LE(before, since);
    EXPECT_FALSE(links.carried(kFar, since - 1, since - 1));
    EXPECT_TRUE(links.carried(kFar, since, since));
    EXPECT_TRUE(links.carried(kFar, since - 1, since)) << "it may have ended at since";
    EXPECT_FALSE(links.carried(kOther, since, since));

    links.stopped(&link);
    const uint64_t after = now_ns();
    EXPECT_TRUE(links.carried(kFar, since, since)) << "a frame still being delivered";
    EXPECT_FALSE(links.carried(kFar, after, after));

    // Back up: the frames of the first span still count, the gap between does not.
    const uint64_t again = links.carrying(&link, kFar);
    EXPECT_TRUE(links.carried(kFar, since, since));
    EXPECT_FALSE(links.carried(kFar, after, after));
    EXPECT_TRUE(links.carried(kFar, again, again));
}

TEST(BackplaneLinksTest, EachLinkKeepsItsOwnSpan) {
    BackplaneLinks links(kOwn);
    const int first = 0;
    const int second = 0;
    links.carrying(&first, kFar);
    links.carrying(&second, kOther);
    links.stopped(&second);
    const uint64_t after = now_ns();
    EXPECT_TRUE(links.carried(kFar, after, after));
    EXPECT_FALSE(links.carried(kOther, after, after));
}

TEST(BackplaneLinksTest, EveryBackplaneMakesItsOwnIdentity) {
    EXPECT_NE(BackplaneLinks().own(), BackplaneLinks().own());
    EXPECT_EQ(BackplaneLinks(kFar).own(), kFar);
}

}  // namespace
}  // namespace k5320::bridges
