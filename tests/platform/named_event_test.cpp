#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/named_event.h"

namespace k5320::platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Long enough never to expire on a loaded machine where a signal is expected.
constexpr uint32_t kExpectSignalMs = 5000;
// Short, for waits that are expected to time out.
constexpr uint32_t kExpectTimeoutMs = 100;

// Names are unique per process, so parallel test processes never share an event.
std::string unique_name(const char* what) {
    return std::string("test-") + std::to_string(getpid()) + "-" + what;
}

bool object_exists(const std::string& name) {
    const std::string path = "/dev/shm" + NamedEvent::object_name(name);
    return access(path.c_str(), F_OK) == 0;
}

// Blocked waiters are only observable through the shared state; give them bounded time to block.
bool wait_for_waiters(const NamedEvent& event, uint32_t count) {
    const auto deadline = Clock::now() + milliseconds(kExpectSignalMs);
    while (event.waiter_count_for_test() < count) {
        if (Clock::now() > deadline) return false;
        sleep_ms(1);
    }
    return true;
}

TEST(NamedEventSignal, SetBeforeWaitIsKeptAndConsumedOnce) {
    auto event = NamedEvent::open(unique_name("kept"));
    ASSERT_NE(event, nullptr);
    EXPECT_FALSE(event->wait(0)) << "a new event must start non-signalled";

    event->set();
    event->set();  // collapses into the pending signal
    EXPECT_TRUE(event->wait(0));
    EXPECT_FALSE(event->wait(0)) << "auto-reset: one signal, one wait";
}

TEST(NamedEventSignal, ResetClearsPendingSignal) {
    auto event = NamedEvent::open(unique_name("reset"));
    ASSERT_NE(event, nullptr);
    event->set();
    event->reset();

    const auto start = Clock::now();
    EXPECT_FALSE(event->wait(kExpectTimeoutMs));
    EXPECT_GE(Clock::now() - start, milliseconds(kExpectTimeoutMs));
}

// A set that already released a blocked waiter is not taken back by a reset right after it.
TEST(NamedEventSignal, ResetDoesNotRecallAReleasedWaiter) {
    auto event = NamedEvent::open(unique_name("recall"));
    ASSERT_NE(event, nullptr);
    std::atomic<bool> released{false};
    std::thread waiter([&] { released = event->wait(kExpectSignalMs); });
    const bool blocked = wait_for_waiters(*event, 1);
    event->set();
    event->reset();
    waiter.join();

    EXPECT_TRUE(blocked);
    EXPECT_TRUE(released.load());
    EXPECT_FALSE(event->wait(0));
}

TEST(NamedEventSignal, OneSetReleasesExactlyOneOfTwoWaiters) {
    auto event = NamedEvent::open(unique_name("one-of-two"));
    ASSERT_NE(event, nullptr);
    std::atomic<int> released{0};
    auto waiter = [&] {
        if (event->wait(kExpectTimeoutMs * 6)) ++released;
    };
    std::thread first(waiter);
    std::thread second(waiter);
    const bool both_blocked = wait_for_waiters(*event, 2);
    event->set();
    first.join();
    second.join();

    EXPECT_TRUE(both_blocked);
    EXPECT_EQ(released.load(), 1);
    EXPECT_FALSE(event->wait(0)) << "the released waiter consumed the signal";
    EXPECT_EQ(event->waiter_count_for_test(), 0u) << "the timed-out waiter must deregister";
}

// Two sets while two threads are blocked release both, as a CE event would, and leave nothing.
TEST(NamedEventSignal, EachSetReleasesOneBlockedWaiter) {
    auto event = NamedEvent::open(unique_name("each-set"));
    ASSERT_NE(event, nullptr);
    std::atomic<int> released{0};
    auto waiter = [&] {
        if (event->wait(kExpectSignalMs)) ++released;
    };
    std::thread first(waiter);
    std::thread second(waiter);
    const bool both_blocked = wait_for_waiters(*event, 2);
    event->set();
    event->set();
    first.join();
    second.join();

    EXPECT_TRUE(both_blocked);
    EXPECT_EQ(released.load(), 2);
    EXPECT_FALSE(event->wait(0));
}

TEST(NamedEventSharing, SecondProcessSeesSetAndAnswers) {
    const std::string ping_name = unique_name("ping");
    const std::string pong_name = unique_name("pong");
    auto ping = NamedEvent::open(ping_name);
    auto pong = NamedEvent::open(pong_name);
    ASSERT_NE(ping, nullptr);
    ASSERT_NE(pong, nullptr);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto child_ping = NamedEvent::open(ping_name);
        auto child_pong = NamedEvent::open(pong_name);
        if (!child_ping || !child_pong) _exit(2);
        child_ping->set();
        const bool answered = child_pong->wait(kExpectSignalMs);
        child_ping.reset();
        child_pong.reset();
        _exit(answered ? 0 : 3);
    }

    EXPECT_TRUE(ping->wait(kExpectSignalMs));
    pong->set();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2: child could not open, 3: child missed the set";

    ping.reset();
    pong.reset();
    EXPECT_FALSE(object_exists(ping_name));
    EXPECT_FALSE(object_exists(pong_name));
}

TEST(NamedEventSharing, LastCloseRemovesTheObject) {
    const std::string name = unique_name("lifetime");
    auto first = NamedEvent::open(name);
    auto second = NamedEvent::open(name);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    first->set();
    EXPECT_TRUE(second->wait(0)) << "both handles must share one event";

    first.reset();
    EXPECT_TRUE(object_exists(name));
    second.reset();
    EXPECT_FALSE(object_exists(name));

    // The name is free again and a new event starts non-signalled.
    auto again = NamedEvent::open(name);
    ASSERT_NE(again, nullptr);
    EXPECT_FALSE(again->wait(0));
}

// A holder killed outright never closes its handle: the kernel drops its liveness lock all the
// same, so what it left (a pending signal, a blocked waiter) is gone for the next opener and the
// last live handle still removes the name; a left object nobody holds is removed on request.
TEST(NamedEventSharing, HoldersKilledWithoutClosingNeitherKeepTheObjectNorItsState) {
    const std::string name = unique_name("killed");
    const auto spawn_holder = [&](bool block_in_wait) {
        int ready[2];
        if (pipe(ready) != 0) return pid_t{-1};
        const pid_t child = fork();
        if (child == 0) {
            auto event = NamedEvent::open(name);
            if (!event) _exit(2);
            if (!block_in_wait) event->set();
            const char byte = 1;
            if (write(ready[1], &byte, 1) != 1) _exit(3);
            if (block_in_wait) event->wait(kWaitForever);
            for (;;) pause();
        }
        char byte = 0;
        close(ready[1]);
        const bool opened = read(ready[0], &byte, 1) == 1;
        close(ready[0]);
        return opened ? child : pid_t{-1};
    };
    const auto kill_holder = [](pid_t child) {
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        return WIFSIGNALED(status);
    };

    // Killed while the event was signalled: a new opener starts non-signalled, and its close is
    // the last one.
    pid_t holder = spawn_holder(false);
    ASSERT_GT(holder, 0);
    ASSERT_TRUE(kill_holder(holder));
    EXPECT_TRUE(object_exists(name));
    {
        auto event = NamedEvent::open(name);
        ASSERT_NE(event, nullptr);
        EXPECT_FALSE(event->wait(0));
    }
    EXPECT_FALSE(object_exists(name));

    // Killed while blocked in a wait, beside a live handle: the live one's close removes it.
    auto live = NamedEvent::open(name);
    ASSERT_NE(live, nullptr);
    holder = spawn_holder(true);
    ASSERT_GT(holder, 0);
    ASSERT_TRUE(wait_for_waiters(*live, 1));
    ASSERT_TRUE(kill_holder(holder));
    live.reset();
    EXPECT_FALSE(object_exists(name));

    // Left by a killed holder alone: removed on request, unless a live handle holds it.
    holder = spawn_holder(false);
    ASSERT_GT(holder, 0);
    NamedEvent::remove_if_unused(name);
    EXPECT_TRUE(object_exists(name)) << "removed while its holder was alive";
    ASSERT_TRUE(kill_holder(holder));
    NamedEvent::remove_if_unused(name);
    EXPECT_FALSE(object_exists(name));
    NamedEvent::remove_if_unused(name);  // nothing there: nothing happens
    EXPECT_FALSE(object_exists(name));
}

// An empty object of our own (a creator that died before sizing it) is sized, not mapped short.
TEST(NamedEventSharing, AdoptsOwnEmptyObject) {
    const std::string name = unique_name("empty");
    const std::string object = NamedEvent::object_name(name);
    const int fd = shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL, S_IRUSR | S_IWUSR);
    ASSERT_GE(fd, 0);
    close(fd);

    auto event = NamedEvent::open(name);
    ASSERT_NE(event, nullptr);
    EXPECT_FALSE(event->wait(0));
    event->set();
    EXPECT_TRUE(event->wait(0));
    event.reset();
    EXPECT_FALSE(object_exists(name));
}

class NamedEventSecurity : public ::testing::Test {
  protected:
    void TearDown() override { shm_unlink(NamedEvent::object_name(name_).c_str()); }

    // Creates the backing object as someone else might have, before any event is opened.
    int precreate(mode_t mode) {
        const int fd = shm_open(NamedEvent::object_name(name_).c_str(), O_RDWR | O_CREAT | O_EXCL,
                                S_IRUSR | S_IWUSR);
        if (fd >= 0) fchmod(fd, mode);
        return fd;
    }

    std::string name_ = unique_name("security");
};

TEST_F(NamedEventSecurity, RefusesObjectOpenToOthers) {
    const int fd = precreate(0666);
    ASSERT_GE(fd, 0);
    close(fd);
    errno = 0;
    EXPECT_EQ(NamedEvent::open(name_), nullptr);
    EXPECT_EQ(errno, EACCES);
}

TEST_F(NamedEventSecurity, RefusesOwnEventAfterItWasOpenedToGroup) {
    auto event = NamedEvent::open(name_);
    ASSERT_NE(event, nullptr);
    ASSERT_EQ(chmod(("/dev/shm" + NamedEvent::object_name(name_)).c_str(), 0660), 0);
    EXPECT_EQ(NamedEvent::open(name_), nullptr);
}

// Signals could be watched or forged through a second name that another program keeps.
TEST_F(NamedEventSecurity, RefusesObjectReachedByASecondName) {
    const std::string path = "/dev/shm" + NamedEvent::object_name(name_);
    const int fd = precreate(S_IRUSR | S_IWUSR);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(link(path.c_str(), (path + "-other").c_str()), 0);
    errno = 0;
    EXPECT_EQ(NamedEvent::open(name_), nullptr);
    EXPECT_EQ(errno, EACCES);
    unlink((path + "-other").c_str());
}

TEST_F(NamedEventSecurity, RefusesObjectOfAnotherUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give the object away";
    constexpr uid_t kNobody = 65534;
    const int fd = precreate(S_IRUSR | S_IWUSR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fchown(fd, kNobody, kNobody), 0);
    close(fd);
    errno = 0;
    EXPECT_EQ(NamedEvent::open(name_), nullptr);
    EXPECT_EQ(errno, EACCES);
}

TEST(NamedEventNames, RejectsNamesThatCouldEscapeTheirObject) {
    using namespace std::string_literals;
    for (const std::string& bad : {""s, "a/b"s, "../x"s, "a\0b"s}) {
        errno = 0;
        EXPECT_EQ(NamedEvent::open(bad), nullptr) << bad;
        EXPECT_EQ(errno, EINVAL) << bad;
    }
    errno = 0;
    EXPECT_EQ(NamedEvent::open(std::string(300, 'x')), nullptr);
    EXPECT_EQ(errno, ENAMETOOLONG);
}

}  // namespace
}  // namespace k5320::platform
