// What the receiving policy's idle pace costs on this machine with nothing of ours in the way: a
// poller that wakes every 10 ms and makes one round trip to another process per poll (a doorbell
// it wakes, an answer it waits for), as a waiting receiver does with its module. The figures are
// the floor an idle `k5320 dump` or python-can receiver is read against: on a virtual machine a
// wake-up through the kernel costs tens of microseconds, and no receiver that follows the policy
// can wake fewer times than this.
//   bench_idle_floor [SECONDS]
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <thread>

#include "k5320/receive_policy.h"
#include "platform/futex.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kIdlePoll{k5320::receive_policy::kIdlePollMs};
constexpr uint32_t kAnswerTimeoutMs = 1000;  // every wait is bounded
constexpr uint32_t kQuiet = 0;
constexpr uint32_t kRung = 1;
constexpr uint32_t kStop = 2;

struct Shared {
    std::atomic<uint32_t> bell{kQuiet};
    std::atomic<uint32_t> answer{0};
};

// Answers each ring of the bell until told to stop, as the module's thread does.
void answer_until_stopped(Shared& shared) {
    for (;;) {
        const uint32_t bell = shared.bell.load(std::memory_order_acquire);
        if (bell == kStop) return;
        if (bell == kQuiet) {
            k5320::platform::futex_wait(shared.bell, kQuiet, kAnswerTimeoutMs);
            continue;
        }
        shared.bell.store(kQuiet, std::memory_order_relaxed);
        shared.answer.store(1, std::memory_order_release);
        k5320::platform::futex_wake(shared.answer);
    }
}

void poll_once(Shared& shared) {
    shared.answer.store(0, std::memory_order_relaxed);
    shared.bell.store(kRung, std::memory_order_release);
    k5320::platform::futex_wake(shared.bell);
    while (shared.answer.load(std::memory_order_acquire) == 0)
        if (!k5320::platform::futex_wait(shared.answer, 0, kAnswerTimeoutMs)) return;
}

// CPU time of a process in nanoseconds, all its threads, from the scheduler's own account.
double cpu_ns_of(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/schedstat");
    double ns = 0;
    stat >> ns;
    return ns;
}

double own_cpu_ns() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

double percent(double cpu_ns, Clock::duration wall) {
    return 100 * cpu_ns / static_cast<double>(std::chrono::nanoseconds(wall).count());
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: bench_idle_floor [SECONDS]\n");
        return 2;
    }
    void* page =
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) {
        std::perror("mmap");
        return 1;
    }
    auto& shared = *new (page) Shared;
    const pid_t answerer = fork();
    if (answerer < 0) {
        std::perror("fork");
        return 1;
    }
    if (answerer == 0) {
        answer_until_stopped(shared);
        _exit(0);
    }

    const auto run =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    auto next = Clock::now();
    const auto began = next;
    const double poller0 = own_cpu_ns();
    const double answerer0 = cpu_ns_of(answerer);
    while (Clock::now() - began < run) {
        next += kIdlePoll;
        std::this_thread::sleep_until(next);
        poll_once(shared);
    }
    const auto wall = Clock::now() - began;
    const double poller = own_cpu_ns() - poller0;
    const double answered = cpu_ns_of(answerer) - answerer0;

    shared.bell.store(kStop, std::memory_order_release);
    k5320::platform::futex_wake(shared.bell);
    waitpid(answerer, nullptr, 0);
    std::printf("%-28s poller %5.2f %% of a core, answerer %5.2f %% (over %.0f s)\n",
                "floor: bare 10 ms poll", percent(poller, wall), percent(answered, wall), seconds);
    return 0;
}
