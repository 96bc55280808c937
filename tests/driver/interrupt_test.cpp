// The interrupt service and the user interrupt routine: how every answer value is filed, and
// how user routines are installed, called, replaced and removed.
#include <dirent.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "backplane/inspect.h"
#include "driver/frame/slot_state.h"
#include "driver/irq/answer_class.h"
#include "driver/irq/interrupt_service.h"
#include "emulator/module_probe.h"
#include "k5320.h"
#include "k5320/commands.h"
#include "k5320/sja1000_registers.h"
#include "platform/named_event.h"
#include "platform/thread.h"
#include "tests/eventually.h"

namespace {

using k5320::driver::Field;
using k5320::driver::slot_context;
using namespace std::chrono_literals;

constexpr uint8_t kSlot = 1;

// What the user routines saw, shared with the test thread.
struct Calls {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<uint8_t> types;  // the interrupt type each call read
    int second_routine_calls = 0;

    void record(uint8_t type, bool second) {
        std::lock_guard lock(mutex);
        types.push_back(type);
        if (second) ++second_routine_calls;
        changed.notify_all();
    }
    bool wait_for(size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return types.size() >= count; });
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return types.size();
    }
};
Calls calls;

void record_call(bool second) {
    uint8_t type = 0;
    EXPECT_EQ(K5320_ReadUserInttType(kSlot, &type), K5320_SUCCESS);
    calls.record(type, second);
}
void first_routine() {
    record_call(false);
}
void second_routine() {
    record_call(true);
}
void self_removing_routine() {
    EXPECT_EQ(K5320_RemoveUserISR(kSlot), K5320_SUCCESS);
    record_call(false);
}

int thread_count() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

using k5320::test::eventually;

bool user_event_exists() {
    struct stat st {};
    const std::string object = k5320::platform::NamedEvent::object_name("USER_IST_SLOT_1");
    return stat(("/dev/shm" + object).c_str(), &st) == 0;
}

class Interrupts : public ::testing::Test {
  protected:
    void SetUp() override {
        // A fresh module for every test, also when the whole suite runs in one process.
        ASSERT_TRUE(k5320::backplane::in_process_host().replace_module(kSlot, "5320"));
        ASSERT_EQ(K5320_Init(kSlot), K5320_SUCCESS);
        std::lock_guard lock(calls.mutex);
        calls.types.clear();
        calls.second_routine_calls = 0;
    }
    k5320::emulator::Module& module() { return *k5320::backplane::in_process_host().module(kSlot); }
    k5320::emulator::ModuleProbe probe() { return k5320::emulator::ModuleProbe(module()); }

    // Posts an answer as the firmware would and waits until the interrupt service has filed it.
    void post_and_wait_filed(uint8_t value) {
        probe().post_answer(value);
        ASSERT_TRUE(eventually([&] { return !probe().answer_pending(); })) << int(value);
        k5320::driver::SlotLock settle(kSlot);  // the service files under this lock
    }
};

// The slot is released while a silenced command waits through its last repeat request: the
// recovery that follows must neither register the slot again nor ask its module anything.
TEST_F(Interrupts, RecoveryAfterRemoveIrqLeavesTheReleasedSlotAlone) {
    namespace cmd = k5320::cmd;
    constexpr uint64_t kRepeatRequests = 3;
    probe().silence(cmd::kReadRegister, true);
    const uint64_t repeats = probe().commands_seen(cmd::kRepeatRequest);
    const uint64_t queries = probe().commands_seen(cmd::kModeQuery);
    int result = -1;
    std::thread caller([&] {
        uint8_t value = 0;
        result = K5320_InputByte(kSlot, k5320::sja1000::SJA1000_SR, &value);
    });
    EXPECT_TRUE(probe().wait_for_commands(cmd::kRepeatRequest, repeats + kRepeatRequests, 10s));
    EXPECT_EQ(K5320_RemoveIrq(kSlot), K5320_SUCCESS);
    caller.join();
    EXPECT_EQ(result, K5320_ERR_NO_ANSWER);
    EXPECT_FALSE(k5320::backplane::in_process_host().registered(kSlot));
    EXPECT_EQ(probe().commands_seen(cmd::kModeQuery), queries);
}

// A caller that polls TxAnswer and sees the refusal must find its flag already set, as the
// transmit call returns 22 on it. Each round files 216 while the reader spins on TxAnswer.
TEST_F(Interrupts, RefusalFlagIsVisibleBeforeTheRefusalItself) {
    using k5320::driver::kBufferTxRefused;
    constexpr uint32_t kRounds = 20000;
    k5320::driver::SlotRecord& record = slot_context(kSlot).record;
    std::atomic<uint32_t> filed_round{0};
    std::atomic<uint32_t> seen_round{0};
    uint32_t refusals_without_flag = 0;
    std::thread reader([&] {
        for (uint32_t round = 1; round <= kRounds; ++round) {
            while (filed_round.load() != round) std::this_thread::yield();
            // Spinning, not yielding: the reader must look while the service is filing.
            while (record.get(Field::TxAnswer) != k5320::answer::kTxRefused) {
            }
            if ((record.get(Field::BufferStatus) & kBufferTxRefused) == 0) ++refusals_without_flag;
            seen_round.store(round);
        }
    });
    for (uint32_t round = 1; round <= kRounds; ++round) {
        record.set(Field::TxAnswer, 0);
        record.clear_bits(Field::BufferStatus, kBufferTxRefused);
        filed_round.store(round);
        {
            k5320::driver::SlotLock lock(kSlot);
            k5320::driver::irq::file_answer(kSlot, k5320::answer::kTxRefused);
        }
        while (seen_round.load() != round) std::this_thread::yield();
    }
    reader.join();
    EXPECT_EQ(refusals_without_flag, 0u);
}

TEST_F(Interrupts, EveryValueIsFiledByItsClass) {
    ASSERT_EQ(K5320_InstallUserISR(kSlot, first_routine), K5320_SUCCESS);
    using k5320::driver::irq::AnswerClass;
    size_t user_calls = 0;
    for (int v = 0; v < 256; ++v) {
        SCOPED_TRACE(v);
        auto& record = slot_context(kSlot).record;
        record.set(Field::BufferStatus, 0);
        record.set(Field::CmdArrived, 0);
        post_and_wait_filed(static_cast<uint8_t>(v));
        const AnswerClass cls = k5320::driver::irq::kAnswerClasses[v];
        switch (cls) {
            case AnswerClass::kUser:
            case AnswerClass::kCmdArrived:
                ASSERT_TRUE(calls.wait_for(++user_calls));
                EXPECT_EQ(calls.types.back(), cls == AnswerClass::kUser ? v : 209);
                EXPECT_EQ(record.get(Field::CmdArrived), cls == AnswerClass::kCmdArrived ? 1u : 0u);
                break;
            default:
                EXPECT_EQ(record.get(*k5320::driver::irq::answer_field(cls)), uint32_t(v));
                break;
        }
        EXPECT_EQ(record.get(Field::BufferStatus), v == 216 ? 0x20u : 0u);
    }
    // Values of the library's own classes never reached the routine.
    EXPECT_EQ(calls.count(), user_calls);
}

TEST_F(Interrupts, ClassesMatchTheDocumentedTable) {
    using k5320::driver::irq::AnswerClass;
    using k5320::driver::irq::kAnswerClasses;
    for (int v : {0, 100, 208, 222, 223, 236, 237, 242, 248, 255})
        EXPECT_EQ(kAnswerClasses[v], AnswerClass::kUser) << v;
    for (int v = 224; v <= 233; ++v) EXPECT_EQ(kAnswerClasses[v], AnswerClass::kLoader) << v;
    for (int v :
         {214, 217, 218, 219, 220, 221, 234, 235, 238, 239, 243, 246, 247, 250, 251, 252, 253, 254})
        EXPECT_EQ(kAnswerClasses[v], AnswerClass::kGeneral) << v;
    EXPECT_EQ(kAnswerClasses[209], AnswerClass::kRx);
    EXPECT_EQ(kAnswerClasses[213], AnswerClass::kRx);
    EXPECT_EQ(kAnswerClasses[249], AnswerClass::kCmdArrived);
}

TEST_F(Interrupts, UserValuesWithoutARoutineChangeNothing) {
    auto& record = slot_context(kSlot).record;
    uint8_t before = 0;
    EXPECT_EQ(K5320_ReadUserInttType(kSlot, &before), K5320_SUCCESS);
    for (uint8_t v : {1, 208, 222, 242, 255}) post_and_wait_filed(v);
    uint8_t type = 0;
    EXPECT_EQ(K5320_ReadUserInttType(kSlot, &type), K5320_SUCCESS);
    EXPECT_EQ(type, before);
    for (int f = 0; f < k5320::driver::kSlotRecordFields; ++f) {
        if (static_cast<Field>(f) != Field::Initialized) {
            EXPECT_EQ(record.get(static_cast<Field>(f)), 0u) << f;
        }
    }
}

TEST_F(Interrupts, InstallTwiceMakesOneThreadAndTheSecondRoutineReplacesTheFirst) {
    const int before = thread_count();
    ASSERT_EQ(K5320_InstallUserISR(kSlot, first_routine), K5320_SUCCESS);
    ASSERT_EQ(K5320_InstallUserISR(kSlot, second_routine), K5320_SUCCESS);
    EXPECT_EQ(thread_count(), before + 1);
    EXPECT_TRUE(user_event_exists());
    post_and_wait_filed(7);
    ASSERT_TRUE(calls.wait_for(1));
    EXPECT_EQ(calls.second_routine_calls, 1);
    uint8_t type = 0;
    EXPECT_EQ(K5320_ReadUserInttType(kSlot, &type), K5320_SUCCESS);
    EXPECT_EQ(type, 7);  // kept after reading
}

TEST_F(Interrupts, RemovedRoutineIsNeverCalledAgain) {
    const int before = thread_count();
    ASSERT_EQ(K5320_InstallUserISR(kSlot, first_routine), K5320_SUCCESS);
    ASSERT_EQ(K5320_RemoveUserISR(kSlot), K5320_SUCCESS);
    EXPECT_EQ(thread_count(), before);  // joined before the removal returned
    EXPECT_FALSE(user_event_exists());
    post_and_wait_filed(5);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(calls.count(), 0u);
}

std::atomic<bool> slow_call_running{false};
std::atomic<int> slow_calls{0};
void slow_routine() {
    slow_call_running = true;
    ++slow_calls;
    std::this_thread::sleep_for(50ms);
    slow_call_running = false;
}

TEST_F(Interrupts, ReplacementWaitsForTheOldRoutinesCallInProgress) {
    ASSERT_EQ(K5320_InstallUserISR(kSlot, slow_routine), K5320_SUCCESS);
    probe().post_answer(11);
    ASSERT_TRUE(eventually([] { return slow_call_running.load(); }));
    ASSERT_EQ(K5320_InstallUserISR(kSlot, first_routine), K5320_SUCCESS);
    EXPECT_FALSE(slow_call_running);  // the old call had ended before the replacement returned
    post_and_wait_filed(12);
    ASSERT_TRUE(calls.wait_for(1));
    EXPECT_EQ(calls.types.back(), 12);
    EXPECT_EQ(slow_calls, 1);
}

TEST_F(Interrupts, RoutineCanRemoveItself) {
    const int before = thread_count();
    ASSERT_EQ(K5320_InstallUserISR(kSlot, self_removing_routine), K5320_SUCCESS);
    post_and_wait_filed(3);
    ASSERT_TRUE(calls.wait_for(1));
    EXPECT_TRUE(eventually([&] { return thread_count() == before; }));
    post_and_wait_filed(4);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(calls.count(), 1u);
    // The slot is still usable, and a routine can be installed again.
    ASSERT_EQ(K5320_InstallUserISR(kSlot, first_routine), K5320_SUCCESS);
    post_and_wait_filed(6);
    EXPECT_TRUE(calls.wait_for(2));
}

TEST_F(Interrupts, RemoveIrqEndsTheUserThreadAndEvent) {
    const int before = thread_count();
    ASSERT_EQ(K5320_InstallUserISR(kSlot, first_routine), K5320_SUCCESS);
    ASSERT_EQ(K5320_RemoveIrq(kSlot), K5320_SUCCESS);
    EXPECT_EQ(thread_count(), before);
    EXPECT_FALSE(user_event_exists());
    EXPECT_EQ(K5320_Init(kSlot), K5320_SUCCESS);
}

// The user event is named: another program may open it and consume signals, the wake-up that
// ends the user thread included. Removal must still end the thread.
TEST_F(Interrupts, RemovalEndsTheThreadEvenWhenAnotherHolderStealsTheWakeUp) {
    const int before = thread_count();
    ASSERT_EQ(K5320_InstallUserISR(kSlot, first_routine), K5320_SUCCESS);
    auto foreign = k5320::platform::NamedEvent::open("USER_IST_SLOT_1");
    ASSERT_TRUE(foreign);
    std::atomic<bool> stop{false};
    // Above the user thread's priority where the process may use real-time policies, so that
    // the kernel wakes the thief first.
    auto thief = k5320::platform::Thread::start([&](std::stop_token) {
        while (!stop) foreign->wait(50);
    });
    ASSERT_TRUE(thief);
    thief->set_ce_priority(0);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(K5320_RemoveUserISR(kSlot), K5320_SUCCESS);
        ASSERT_EQ(K5320_InstallUserISR(kSlot, first_routine), K5320_SUCCESS);
    }
    ASSERT_EQ(K5320_RemoveUserISR(kSlot), K5320_SUCCESS);
    stop = true;
    thief->join();
    EXPECT_EQ(thread_count(), before);
}

// Installs, fires and removes routines from several threads at once; run under ThreadSanitizer
// this checks the service, the user threads and removal for races.
TEST_F(Interrupts, InstallFireAndRemoveConcurrently) {
    std::atomic<bool> stop{false};
    std::thread firer([&] {
        for (int i = 0; !stop.load(); ++i) {
            if (!probe().answer_pending()) probe().post_answer(static_cast<uint8_t>(i % 200));
            std::this_thread::yield();
        }
    });
    std::thread installer([&] {
        for (int i = 0; i < 200; ++i) {
            EXPECT_EQ(K5320_InstallUserISR(kSlot, i % 2 ? first_routine : second_routine),
                      K5320_SUCCESS);
            if (i % 3 == 0) {
                EXPECT_EQ(K5320_RemoveUserISR(kSlot), K5320_SUCCESS);
            }
        }
    });
    std::thread reader([&] {
        uint8_t type = 0;
        for (int i = 0; i < 2000; ++i) {
            EXPECT_EQ(K5320_ReadUserInttType(kSlot, &type), 0);
        }
    });
    installer.join();
    reader.join();
    stop = true;
    firer.join();
    EXPECT_EQ(K5320_RemoveIrq(kSlot), K5320_SUCCESS);
    const size_t after_removal = calls.count();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(calls.count(), after_removal);
}

}  // namespace
