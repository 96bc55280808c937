#include "platform/thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace k5320::platform {

namespace {

constexpr int kCeHighestPriority = 0;
constexpr int kCeLowestRealTimePriority = 247;
constexpr int kCeLowestPriority = 255;
constexpr int kFifoHighestUsed = 98;
constexpr int kFifoLowest = 1;

int fifo_priority_for(int ce_priority) {
    return kFifoHighestUsed -
           ce_priority * (kFifoHighestUsed - kFifoLowest) / kCeLowestRealTimePriority;
}

}  // namespace

std::unique_ptr<Thread> Thread::start(std::function<void(std::stop_token)> body) {
    if (!body) {
        errno = EINVAL;
        return nullptr;
    }
    std::unique_ptr<Thread> thread(new Thread());
    std::latch& started = thread->started_;
    try {
        thread->thread_ = std::jthread([&started, body = std::move(body)](std::stop_token stop) {
            started.wait();
            body(std::move(stop));
        });
    } catch (const std::system_error& error) {
        errno = error.code().value();
        return nullptr;
    }
    thread->id_ = thread->thread_.get_id();
    started.count_down();
    return thread;
}

Thread::~Thread() {
    if (!thread_.joinable()) return;
    if (is_current()) {
        thread_.request_stop();
        thread_.detach();
        return;
    }
    thread_.request_stop();
    thread_.join();
}

bool Thread::set_ce_priority(int ce_priority) {
    if (!thread_.joinable()) {
        errno = EINVAL;
        return false;
    }
    return set_thread_ce_priority(thread_.native_handle(), ce_priority);
}

bool set_thread_ce_priority(std::thread::native_handle_type thread, int ce_priority) {
    if (ce_priority < kCeHighestPriority || ce_priority > kCeLowestPriority) {
        errno = EINVAL;
        return false;
    }
    sched_param param{};
    int policy = SCHED_OTHER;
    if (ce_priority <= kCeLowestRealTimePriority) {
        policy = SCHED_FIFO;
        param.sched_priority = fifo_priority_for(ce_priority);
    }
    const int rc = pthread_setschedparam(thread, policy, &param);
    if (rc != 0) {
        errno = rc;
        return false;
    }
    return true;
}

void Thread::set_name(std::string_view name) {
    if (thread_.joinable()) set_thread_name(thread_.native_handle(), name);
}

void set_thread_name(std::thread::native_handle_type thread, std::string_view name) {
    constexpr std::size_t kLongestName = 15;
    const std::string kept(name.substr(0, kLongestName));
    pthread_setname_np(thread, kept.c_str());
}

void Thread::join() {
    if (is_current()) {
        std::fputs("k5320::platform::Thread::join() called on its own thread: would never return\n",
                   stderr);
        std::abort();
    }
    if (thread_.joinable()) thread_.join();
}

void use_precise_timers() {
    constexpr unsigned long kSlackNanoseconds = 1;  // 0 would restore the default
    prctl(PR_SET_TIMERSLACK, kSlackNanoseconds);
}

}  // namespace k5320::platform
