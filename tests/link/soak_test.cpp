// A long mix of firmware operations on one slot while a busy process takes the other core, a
// second slot is drained by its own thread and a user routine fires on every command record:
// every operation must get its answer on the first request.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>

#include "backplane/inspect.h"
#include "emulator/module_probe.h"
#include "k5320.h"
#include "k5320/commands.h"
#include "tests/link/link_support.h"

extern char** environ;

namespace {

using namespace k5320::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace cmd = k5320::cmd;

const bool kBackplaneChosen = choose_link_backplane();

constexpr uint8_t kSender = kLinkSender;
constexpr uint8_t kReceiver = kLinkReceiver;
constexpr uint8_t kBaud1M = 8;
constexpr uint32_t kSingleId = 0x123;
constexpr uint32_t kCyclicId = 0x700;
constexpr uint32_t kCyclicPeriodMs = 5;
constexpr uint64_t kDefaultOperations = 100'000;

uint64_t operations_wanted() {
    const char* text = std::getenv("K5320_SOAK_OPERATIONS");
    return text != nullptr ? std::strtoull(text, nullptr, 10) : kDefaultOperations;
}

// A process that spins until killed: it keeps one core busy, as another program would.
class BusyProcess {
  public:
    BusyProcess() {
        char shell[] = "/bin/sh";
        char flag[] = "-c";
        char loop[] = "while :; do :; done";
        char* argv[] = {shell, flag, loop, nullptr};
        if (posix_spawn(&pid_, shell, nullptr, nullptr, argv, environ) != 0) pid_ = -1;
    }
    ~BusyProcess() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    bool running() const { return pid_ > 0; }

  private:
    pid_t pid_ = -1;
};

std::atomic<uint64_t> routine_calls{0};
void count_routine() {
    routine_calls.fetch_add(1, std::memory_order_relaxed);
}

// Takes every frame slot 2 receives until told to stop, counting the single frames.
class Drain {
  public:
    void run() {
        while (!stop_.load(std::memory_order_acquire)) {
            int rc = 0;
            auto m = take_message(kReceiver, &rc);
            if (!m) {
                std::this_thread::sleep_for(200us);
                continue;
            }
            if (rc != K5320_SUCCESS) overruns_.fetch_add(1);
            if (m->id == kSingleId) singles_.fetch_add(1);
        }
    }
    void stop() { stop_.store(true, std::memory_order_release); }
    uint64_t singles() const { return singles_.load(); }
    uint64_t overruns() const { return overruns_.load(); }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> singles_{0};
    std::atomic<uint64_t> overruns_{0};
};

struct Tally {
    uint64_t operations = 0;
    uint64_t sends_accepted = 0;
    uint64_t sends_refused_full = 0;
    std::map<std::string, std::map<int, uint64_t>> unexpected;  // operation -> result -> count
    void expect(const char* what, int rc, std::initializer_list<int> allowed) {
        ++operations;
        if (std::find(allowed.begin(), allowed.end(), rc) == allowed.end()) ++unexpected[what][rc];
    }
};

// One operation of the mix; the cyclic entry goes round add, rest, pause, resume, delete.
void operate(uint64_t i, uint8_t* handle, Tally& tally) {
    static constexpr std::array<uint8_t, 8> kData = {1, 2, 3, 4, 5, 6, 7, 8};
    switch (i % 10) {
        case 0:
        case 1:
        case 2:
        case 3:
        case 4: {
            const int rc = K5320_SendWithoutStruct(kSender, 0, kSingleId, 0, 8, kData.data());
            tally.expect("send", rc, {K5320_SUCCESS, K5320_ERR_TX_REFUSED});
            if (rc == K5320_SUCCESS) ++tally.sends_accepted;
            if (rc == K5320_ERR_TX_REFUSED) ++tally.sends_refused_full;
            break;
        }
        case 5:
            tally.expect("clear buffer status", K5320_ClearBufferStatus(kSender), {K5320_SUCCESS});
            break;
        case 6: {
            uint8_t status = 0;
            tally.expect("status", K5320_Status(kSender, &status), {K5320_SUCCESS});
            break;
        }
        case 7:
        case 8: {
            std::array<uint8_t, 16> record{};
            for (size_t b = 0; b < record.size(); ++b) record[b] = static_cast<uint8_t>(i + b);
            std::array<uint8_t, 512> echo{};
            uint16_t length = 0;
            const int rc = K5320_SendReceiveCmd(kSender, 1, record.data(), record.size(),
                                                echo.data(), &length, 5000);
            tally.expect("mailbox", rc, {K5320_SUCCESS});
            if (rc == K5320_SUCCESS && (length != record.size() ||
                                        !std::equal(record.begin(), record.end(), echo.begin())))
                ++tally.unexpected["mailbox echo differs"][0];
            break;
        }
        default: {
            const char* step = "cyclic";
            int rc = K5320_SUCCESS;
            uint32_t rest = 0;
            switch ((i / 10) % 5) {
                case 0:
                    *handle = 0xFF;
                    rc = K5320_AddCyclicTxMsg(kSender, 0, kCyclicId, 0, 8, kData.data(),
                                              kCyclicPeriodMs, 0, handle);
                    step = "cyclic add";
                    break;
                case 1:
                    rc = K5320_CheckCyclicTxRestMsg(kSender, *handle, &rest);
                    step = "cyclic rest";
                    break;
                case 2:
                    rc = K5320_DisableCyclicTxMsg(kSender, *handle);
                    step = "cyclic pause";
                    break;
                case 3:
                    rc = K5320_EnableCyclicTxMsg(kSender, *handle);
                    step = "cyclic resume";
                    break;
                default:
                    rc = K5320_DeleteCyclicTxMsg(kSender, *handle);
                    step = "cyclic delete";
                    break;
            }
            tally.expect(step, rc, {K5320_SUCCESS});
        }
    }
}

TEST(Soak, EveryOperationIsAnsweredOnTheFirstRequestWhileTheOtherCoreIsBusy) {
    ASSERT_TRUE(kBackplaneChosen);
    auto& host = k5320::backplane::in_process_host();
    for (const uint8_t slot : {kSender, kReceiver}) {
        ASSERT_TRUE(host.replace_module(slot, "5320"));
        ASSERT_EQ(K5320_Init(slot), K5320_SUCCESS);
        ASSERT_EQ(K5320_ConfigWithoutStruct(slot, 0, kAcceptAll, kBaud1M, 0, 0), K5320_SUCCESS);
    }
    ASSERT_EQ(K5320_InstallUserISR(kSender, count_routine), K5320_SUCCESS);
    const k5320::emulator::ModuleProbe probe(*host.module(kSender));
    const uint64_t repeats_before = probe.commands_seen(cmd::kRepeatRequest);
    const uint64_t mode_queries_before = probe.commands_seen(cmd::kModeQuery);

    const uint64_t wanted = operations_wanted();
    Tally tally;
    Drain drain;
    const auto started = Clock::now();
    {
        BusyProcess busy;
        ASSERT_TRUE(busy.running());
        std::thread drainer([&] { drain.run(); });
        uint8_t handle = 0xFF;
        for (uint64_t i = 0; i < wanted; ++i) operate(i, &handle, tally);
        // Whatever is still queued leaves at the bus's pace; then the receiver has it all.
        const auto deadline = Clock::now() + 30s;
        while (drain.singles() < tally.sends_accepted && Clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        drain.stop();
        drainer.join();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();

    // Every recovery starts with a mode query; the mix sends none of its own.
    const uint64_t repeats = probe.commands_seen(cmd::kRepeatRequest) - repeats_before;
    const uint64_t recoveries = probe.commands_seen(cmd::kModeQuery) - mode_queries_before;
    std::printf(
        "soak: %llu operations in %.1f s (%.0f/s), %llu sends accepted, %llu refused with the "
        "transmit buffer full, %llu frames received, %llu user routine calls, repeat requests "
        "%llu, recoveries %llu\n",
        static_cast<unsigned long long>(tally.operations), seconds, tally.operations / seconds,
        static_cast<unsigned long long>(tally.sends_accepted),
        static_cast<unsigned long long>(tally.sends_refused_full),
        static_cast<unsigned long long>(drain.singles()),
        static_cast<unsigned long long>(routine_calls.load()),
        static_cast<unsigned long long>(repeats), static_cast<unsigned long long>(recoveries));

    EXPECT_EQ(tally.operations, wanted);
    for (const auto& [what, results] : tally.unexpected)
        for (const auto& [rc, count] : results)
            ADD_FAILURE() << what << ": result " << rc << " " << count << " times";
    EXPECT_EQ(drain.singles(), tally.sends_accepted);
    EXPECT_EQ(drain.overruns(), 0u);
    EXPECT_EQ(repeats, 0u);
    EXPECT_EQ(recoveries, 0u);
    EXPECT_GT(routine_calls.load(), 0u);
}

}  // namespace
