// Slot interrupts through the real SDK functions: who calls the routine, when, and when not.
#include <atomic>
#include <future>
#include <mutex>
#include <utility>

#include "emulator/module_probe.h"
#include "k5320/commands.h"
#include "sdk_test_support.h"

namespace k5320::backplane {
namespace {

using namespace test;

constexpr int kSlot = 1;
Deliveries& g_deliveries = *new Deliveries;

// Reads and so acknowledges the answer byte, as the driver's interrupt service does.
int read_answer_routine() {
    g_deliveries.add(read_dpram(kSlot, dpram::kAnswerByte));
    return 0;
}

class InterruptTest : public ::testing::Test {
  protected:
    void SetUp() override {
        module = fresh_slot(kSlot);
        ASSERT_NE(module, nullptr);
        g_deliveries.clear();
    }
    void TearDown() override {
        trn_EnableSlotInterrupt(kSlot, 0);
        trn_UnregisterSlotInterrupt(kSlot);
        trn_InterruptDone(kSlot);
    }
    void arm() {
        trn_RegisterSlotInterrupt(kSlot, read_answer_routine);
        trn_EnableSlotInterrupt(kSlot, 1);
    }
    void command(uint8_t code) { write_dpram(kSlot, dpram::kCommandByte, code); }

    emulator::Module* module = nullptr;
};

TEST_F(InterruptTest, AnswerCallsTheRoutineOnAnotherThread) {
    arm();
    command(cmd::kModeQuery);
    ASSERT_TRUE(g_deliveries.wait_for(1));
    EXPECT_EQ(g_deliveries.snapshot(), std::vector<int>{answer::kProgramMode});
    std::lock_guard lock(g_deliveries.mutex);
    EXPECT_NE(g_deliveries.threads[0], std::this_thread::get_id());
    EXPECT_FALSE(host().line_pending(kSlot));
    EXPECT_FALSE(emulator::ModuleProbe(*module).answer_pending());
}

TEST_F(InterruptTest, KeepsDeliveringAfterTheRoutineReturns) {
    arm();
    // Three answers at once: each is posted only after the routine read the one before.
    emulator::ModuleProbe(*module).post_answer(1);
    emulator::ModuleProbe(*module).post_answer(2);
    emulator::ModuleProbe(*module).post_answer(3);
    ASSERT_TRUE(g_deliveries.wait_for(3));
    // And one command after another.
    for (std::size_t round = 0; round < 20; ++round) {
        command(round % 2 == 0 ? cmd::kLoaderMode : cmd::kProgramMode);
        ASSERT_TRUE(g_deliveries.wait_for(4 + round)) << "round " << round;
    }
    const std::vector<int> values = g_deliveries.snapshot();
    ASSERT_EQ(values.size(), 23u);
    EXPECT_EQ((std::vector<int>(values.begin(), values.begin() + 3)), (std::vector<int>{1, 2, 3}));
    for (std::size_t round = 0; round < 20; ++round) {
        EXPECT_EQ(values[3 + round], round % 2 == 0 ? answer::kLoaderMode : answer::kProgramMode);
    }
}

TEST_F(InterruptTest, BurstOfAnswersArrivesCompleteAndInOrder) {
    arm();
    constexpr int kBurst = 200;
    std::thread poster([this] {
        for (int value = 0; value < kBurst; ++value)
            emulator::ModuleProbe(*module).post_answer(static_cast<uint8_t>(value));
    });
    poster.join();
    ASSERT_TRUE(g_deliveries.wait_for(kBurst));
    const std::vector<int> values = g_deliveries.snapshot();
    ASSERT_EQ(values.size(), std::size_t{kBurst});
    for (int value = 0; value < kBurst; ++value) EXPECT_EQ(values[value], value);
}

TEST_F(InterruptTest, DisabledSlotKeepsTheLinePendingUntilEnabled) {
    trn_RegisterSlotInterrupt(kSlot, read_answer_routine);
    emulator::ModuleProbe(*module).post_answer(77);
    EXPECT_FALSE(g_deliveries.wait_for(1, kQuietPeriod));
    EXPECT_TRUE(host().line_pending(kSlot));

    trn_EnableSlotInterrupt(kSlot, 1);
    ASSERT_TRUE(g_deliveries.wait_for(1));
    EXPECT_EQ(g_deliveries.snapshot(), std::vector<int>{77});
}

TEST_F(InterruptTest, UnregisteredSlotKeepsTheLinePendingUntilRegistered) {
    trn_EnableSlotInterrupt(kSlot, 1);
    trn_RegisterSlotInterrupt(kSlot, read_answer_routine);
    trn_UnregisterSlotInterrupt(kSlot);
    emulator::ModuleProbe(*module).post_answer(78);
    EXPECT_FALSE(g_deliveries.wait_for(1, kQuietPeriod));
    EXPECT_TRUE(host().line_pending(kSlot));
    EXPECT_FALSE(host().registered(kSlot));

    trn_RegisterSlotInterrupt(kSlot, read_answer_routine);
    ASSERT_TRUE(g_deliveries.wait_for(1));
    EXPECT_EQ(g_deliveries.snapshot(), std::vector<int>{78});
}

TEST_F(InterruptTest, InterruptDoneClearsAPendingLine) {
    trn_RegisterSlotInterrupt(kSlot, read_answer_routine);
    emulator::ModuleProbe(*module).post_answer(79);
    ASSERT_TRUE(host().line_pending(kSlot));
    trn_InterruptDone(kSlot);
    EXPECT_FALSE(host().line_pending(kSlot));

    trn_EnableSlotInterrupt(kSlot, 1);
    EXPECT_FALSE(g_deliveries.wait_for(1, kQuietPeriod));
    // The answer itself is still there to be read.
    EXPECT_TRUE(emulator::ModuleProbe(*module).answer_pending());
    EXPECT_EQ(read_dpram(kSlot, dpram::kAnswerByte), 79);
}

TEST_F(InterruptTest, LostInterruptIsRecoveredByARepeatRequest) {
    arm();
    emulator::ModuleProbe(*module).lose_interrupts(1);
    command(cmd::kModeQuery);
    ASSERT_TRUE(emulator::ModuleProbe(*module).wait_for_commands(cmd::kModeQuery, 1, kTimeout));
    EXPECT_TRUE(emulator::ModuleProbe(*module).answer_pending());
    EXPECT_FALSE(host().line_pending(kSlot));
    EXPECT_FALSE(g_deliveries.wait_for(1, kQuietPeriod));

    command(cmd::kRepeatRequest);
    ASSERT_TRUE(g_deliveries.wait_for(1));
    EXPECT_EQ(g_deliveries.snapshot(), std::vector<int>{answer::kProgramMode});
}

// The driver unregisters while holding the lock its interrupt service takes first.
std::mutex& g_driver_lock = *new std::mutex;
std::atomic<std::promise<void>*> g_routine_entered{nullptr};

int locking_routine() {
    if (auto* entered = g_routine_entered.exchange(nullptr)) entered->set_value();
    std::lock_guard lock(g_driver_lock);
    g_deliveries.add(read_dpram(kSlot, dpram::kAnswerByte));
    return 0;
}

TEST_F(InterruptTest, UnregisterDoesNotWaitForARoutineThatIsRunning) {
    std::promise<void> entered;
    g_routine_entered.store(&entered);
    trn_RegisterSlotInterrupt(kSlot, locking_routine);
    trn_EnableSlotInterrupt(kSlot, 1);
    {
        std::unique_lock driver(g_driver_lock);
        emulator::ModuleProbe(*module).post_answer(80);
        ASSERT_EQ(entered.get_future().wait_for(kTimeout), std::future_status::ready);
        auto unregistered =
            std::async(std::launch::async, [] { trn_UnregisterSlotInterrupt(kSlot); });
        ASSERT_EQ(unregistered.wait_for(kTimeout), std::future_status::ready)
            << "unregister waited for the routine: the driver would deadlock";
    }
    // The call that was under way finishes; no new one starts.
    ASSERT_TRUE(g_deliveries.wait_for(1));
    emulator::ModuleProbe(*module).post_answer(81);
    EXPECT_FALSE(g_deliveries.wait_for(2, kQuietPeriod));
    EXPECT_EQ(g_deliveries.snapshot(), std::vector<int>{80});
    EXPECT_TRUE(host().line_pending(kSlot));
}

TEST_F(InterruptTest, SlotsDeliverIndependently) {
    arm();
    emulator::Module* other = fresh_slot(2);
    ASSERT_NE(other, nullptr);
    emulator::ModuleProbe(*other).post_answer(
        90);  // slot 2 has no routine: its line stays pending, slot 1 unaffected
    emulator::ModuleProbe(*module).post_answer(91);
    ASSERT_TRUE(g_deliveries.wait_for(1));
    EXPECT_EQ(g_deliveries.snapshot(), std::vector<int>{91});
    EXPECT_TRUE(host().line_pending(2));
    trn_InterruptDone(2);
}

// A caller that claims the line before its command runs the routine for the answer itself; the
// claim withdrawn, a raise nobody took goes to the interrupt thread; a new registration forgets
// the claims of a caller that was killed.
TEST_F(InterruptTest, ACallerThatClaimsTheLineRunsTheRoutineForItsAnswer) {
    constexpr int kAwaitTimeoutUs = 2'000'000;
    const std::atomic<uint32_t> unmoved{0};
    const auto* count = reinterpret_cast<const unsigned*>(&unmoved);
    arm();
    // The interrupt thread, awake right then (just registered, say), may still take one.
    constexpr int kRounds = 10;
    int ran_here = 0;
    for (int round = 0; round < kRounds; ++round) {
        trn_ClaimSlotInterrupt(kSlot, 1);
        command(cmd::kModeQuery);
        if (trn_AwaitSlotInterrupt(kSlot, kAwaitTimeoutUs, count, 0) == Host::kAwaitRan) {
            ++ran_here;
            std::lock_guard lock(g_deliveries.mutex);
            EXPECT_EQ(g_deliveries.threads.back(), std::this_thread::get_id());
        }
        trn_ClaimSlotInterrupt(kSlot, 0);
        ASSERT_TRUE(g_deliveries.wait_for(round + 1));
        EXPECT_EQ(g_deliveries.snapshot().back(), answer::kProgramMode);
    }
    EXPECT_GE(ran_here, kRounds / 2);

    trn_ClaimSlotInterrupt(kSlot, 1);
    emulator::ModuleProbe(*module).post_answer(80);
    EXPECT_FALSE(g_deliveries.wait_for(kRounds + 1, kQuietPeriod))
        << "the interrupt thread took a claimed line";
    trn_ClaimSlotInterrupt(kSlot, 0);
    ASSERT_TRUE(g_deliveries.wait_for(kRounds + 1));
    EXPECT_EQ(g_deliveries.snapshot().back(), 80);

    trn_EnableSlotInterrupt(kSlot, 0);
    EXPECT_EQ(trn_AwaitSlotInterrupt(kSlot, kAwaitTimeoutUs, count, 0), Host::kAwaitNotHere);
}

TEST_F(InterruptTest, ARegistrationForgetsTheClaimOfACallerThatWasKilled) {
    arm();
    trn_ClaimSlotInterrupt(kSlot, 1);  // never withdrawn
    trn_UnregisterSlotInterrupt(kSlot);
    trn_RegisterSlotInterrupt(kSlot, read_answer_routine);
    command(cmd::kModeQuery);
    ASSERT_TRUE(g_deliveries.wait_for(1));
    EXPECT_EQ(g_deliveries.snapshot(), std::vector<int>{answer::kProgramMode});
}

}  // namespace
}  // namespace k5320::backplane
