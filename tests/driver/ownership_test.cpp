// Slot ownership across processes: the first process to initialise a slot owns it until it
// releases it or dies.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "k5320.h"
#include "tests/driver/driver_test_support.h"

extern char** environ;

namespace {

constexpr uint8_t kSlot = 1;

// A slot_owner process with its stdout connected to us.
struct OwnerProcess {
    pid_t pid = -1;
    FILE* out = nullptr;

    OwnerProcess(const char* mode) {
        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        const std::string table = k5320::test::test_table_name();
        const std::string slot = std::to_string(kSlot);
        char* args[] = {const_cast<char*>(SLOT_OWNER_PATH), const_cast<char*>(table.c_str()),
                        const_cast<char*>(slot.c_str()), const_cast<char*>(mode), nullptr};
        if (posix_spawn(&pid, SLOT_OWNER_PATH, &actions, nullptr, args, environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out = fdopen(fds[0], "r");
    }
    // The owner's K5320_Init result, once it has reported it.
    int init_result() {
        int rc = -1;
        return out && std::fscanf(out, "%d", &rc) == 1 ? rc : -1;
    }
    int wait_exit() {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return status;
    }
    ~OwnerProcess() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out) std::fclose(out);
    }
};

TEST(Ownership, SecondProcessIsRefusedUntilTheOwnerIsKilled) {
    OwnerProcess owner("hold");
    ASSERT_GT(owner.pid, 0);
    ASSERT_EQ(owner.init_result(), K5320_SUCCESS);

    EXPECT_EQ(K5320_Init(kSlot), K5320_ERR_ALREADY_REGISTERED);
    uint8_t b = 0;
    EXPECT_EQ(K5320_DPRAMReadByte(kSlot, 0, &b), K5320_ERR_NOT_INITIALIZED);
    // Releasing on this side must not free the other process's slot.
    EXPECT_EQ(K5320_RemoveIrq(kSlot), K5320_SUCCESS);
    EXPECT_EQ(K5320_Init(kSlot), K5320_ERR_ALREADY_REGISTERED);

    kill(owner.pid, SIGKILL);
    EXPECT_TRUE(WIFSIGNALED(owner.wait_exit()));
    EXPECT_EQ(K5320_Init(kSlot), K5320_SUCCESS);
}

TEST(Ownership, KilledButUnreapedOwnerNoLongerOwns) {
    OwnerProcess owner("hold");
    ASSERT_EQ(owner.init_result(), K5320_SUCCESS);
    kill(owner.pid, SIGKILL);
    // Wait until the kernel has turned it into a zombie, without reaping it.
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(owner.pid), &info, WEXITED | WNOWAIT), 0);
    EXPECT_EQ(K5320_Init(kSlot), K5320_SUCCESS);
}

TEST(Ownership, OwnerThatExitsNormallyReleasesItsSlot) {
    OwnerProcess owner("release");
    ASSERT_EQ(owner.init_result(), K5320_SUCCESS);
    EXPECT_EQ(owner.wait_exit(), 0);
    EXPECT_EQ(K5320_Init(kSlot), K5320_SUCCESS);
}

TEST(Ownership, ThisProcessOwningTheSlotRefusesAnotherProcess) {
    ASSERT_EQ(K5320_Init(kSlot), K5320_SUCCESS);
    OwnerProcess other("release");
    EXPECT_EQ(other.init_result(), K5320_ERR_ALREADY_REGISTERED);
    other.wait_exit();
    // The other process's unload left our registration alone.
    uint8_t b = 0;
    EXPECT_EQ(K5320_DPRAMReadByte(kSlot, 0, &b), K5320_SUCCESS);
    EXPECT_EQ(K5320_Init(kSlot), K5320_ERR_ALREADY_REGISTERED);
}

}  // namespace
