#include <linux/capability.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>

#include "platform/thread.h"

namespace k5320::platform {
namespace {

using std::chrono::seconds;

// The body blocks until stopped, woken by the stop request rather than by polling.
void run_until_stopped(std::stop_token stop, std::atomic<bool>& ended) {
    std::mutex mutex;
    std::condition_variable_any stopped;
    std::unique_lock lock(mutex);
    stopped.wait(lock, stop, [] { return false; });
    ended = true;
}

TEST(ThreadTest, CooperativeStopEndsTheBody) {
    std::atomic<bool> ended{false};
    auto thread = Thread::start([&](std::stop_token stop) { run_until_stopped(stop, ended); });
    ASSERT_NE(thread, nullptr);
    EXPECT_FALSE(ended.load());
    thread->request_stop();
    thread->join();
    EXPECT_TRUE(ended.load());
    thread->join();  // a second join is a no-op
}

TEST(ThreadTest, DestructorStopsAndJoins) {
    std::atomic<bool> ended{false};
    auto thread = Thread::start([&](std::stop_token stop) { run_until_stopped(stop, ended); });
    ASSERT_NE(thread, nullptr);
    thread.reset();
    EXPECT_TRUE(ended.load());
}

// A Thread destroyed by its own body detaches instead of deadlocking or terminating.
TEST(ThreadTest, DestroyedFromItsOwnBody) {
    std::promise<Thread*> self;
    auto self_ready = self.get_future().share();
    // Shared, so the detached thread may finish set_value() after this test has returned.
    auto done = std::make_shared<std::promise<void>>();
    auto done_ready = done->get_future();
    auto thread = Thread::start([self_ready, done](std::stop_token) {
        delete self_ready.get();
        done->set_value();
    });
    ASSERT_NE(thread, nullptr);
    self.set_value(thread.release());
    EXPECT_EQ(done_ready.wait_for(seconds(5)), std::future_status::ready);
}

TEST(ThreadDeathTest, JoinFromItselfIsRefused) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            std::promise<Thread*> self;
            auto self_ready = self.get_future().share();
            auto thread =
                Thread::start([self_ready](std::stop_token) { self_ready.get()->join(); });
            self.set_value(thread.get());
            thread->join();
        },
        "join\\(\\) called on its own thread");
}

struct PriorityOutcome {
    bool applied = false;
    int error = 0;    // errno after set_ce_priority
    int policy = -1;  // as the thread itself sees it afterwards
    int priority = -1;
};

PriorityOutcome apply_ce_85() {
    PriorityOutcome outcome;
    std::promise<void> go;
    std::promise<void> observed;
    auto go_ready = go.get_future().share();
    auto thread = Thread::start([&, go_ready](std::stop_token) {
        go_ready.wait();
        sched_param param{};
        pthread_getschedparam(pthread_self(), &outcome.policy, &param);
        outcome.priority = param.sched_priority;
        observed.set_value();
    });
    if (!thread) return outcome;
    errno = 0;
    outcome.applied = thread->set_ce_priority(85);
    outcome.error = errno;
    go.set_value();
    observed.get_future().wait();
    return outcome;
}

TEST(ThreadTest, CePriority85IsFifoOrRefused) {
    const PriorityOutcome outcome = apply_ce_85();
    if (outcome.applied) {
        EXPECT_EQ(outcome.policy, SCHED_FIFO);
        EXPECT_EQ(outcome.priority, 65);
    } else {
        EXPECT_EQ(outcome.policy, SCHED_OTHER) << "a refused change must keep the default policy";
    }
}

// Drops the right to real-time policies, then exits 0 only if the call reported EPERM and left
// the default policy in place.
[[noreturn]] void exit_with_ce_85_outcome_without_real_time_right() {
    const rlimit no_real_time{0, 0};
    setrlimit(RLIMIT_RTPRIO, &no_real_time);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3]{};
    syscall(SYS_capget, &header, caps);
    caps[0].effective &= ~(1u << CAP_SYS_NICE);
    if (syscall(SYS_capset, &header, caps) != 0) _exit(2);
    const PriorityOutcome outcome = apply_ce_85();
    const bool refused_cleanly =
        !outcome.applied && outcome.error == EPERM && outcome.policy == SCHED_OTHER;
    _exit(refused_cleanly ? 0 : 1);
}

TEST(ThreadDeathTest, CePriorityWithoutRealTimeRightKeepsTheDefault) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exit_with_ce_85_outcome_without_real_time_right(), ::testing::ExitedWithCode(0),
                "");
}

TEST(ThreadTest, CePriorityOutOfRangeIsRefused) {
    std::atomic<bool> ended{false};
    auto thread = Thread::start([&](std::stop_token stop) { run_until_stopped(stop, ended); });
    ASSERT_NE(thread, nullptr);
    EXPECT_FALSE(thread->set_ce_priority(-1));
    EXPECT_FALSE(thread->set_ce_priority(256));
    EXPECT_TRUE(thread->set_ce_priority(251)) << "ordinary levels need no privilege";
}

}  // namespace
}  // namespace k5320::platform
