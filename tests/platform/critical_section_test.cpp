#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "platform/critical_section.h"

namespace k5320::platform {
namespace {

TEST(CriticalSectionTest, OwnerReentersAndOthersWaitUntilTheLastLeave) {
    CriticalSection section;
    section.enter();
    ASSERT_TRUE(section.try_enter()) << "the owner must be able to enter again";

    auto other_gets_in = [&] {
        bool entered = false;
        std::thread other([&] {
            entered = section.try_enter();
            if (entered) section.leave();
        });
        other.join();
        return entered;
    };
    EXPECT_FALSE(other_gets_in());
    section.leave();
    EXPECT_FALSE(other_gets_in()) << "still held once";
    section.leave();
    EXPECT_TRUE(other_gets_in());
}

TEST(CriticalSectionTest, ExcludesConcurrentIncrements) {
    constexpr int kIncrements = 100000;
    CriticalSection section;
    int counter = 0;  // deliberately not atomic: only the section protects it
    auto work = [&] {
        for (int i = 0; i < kIncrements; ++i) {
            std::lock_guard guard(section);
            ++counter;
        }
    };
    std::thread first(work);
    std::thread second(work);
    first.join();
    second.join();
    EXPECT_EQ(counter, 2 * kIncrements);
}

}  // namespace
}  // namespace k5320::platform
