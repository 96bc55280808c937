// Slot ownership across processes: the first process to initialise a slot owns it until it
// releases it or dies.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "k5320.h"
#include "tests/driver/driver_test_support.h"

extern char** environ;

namespace {

constexpr uint8_t kSlot = 1;

// A slot_owner process with its stdout connected to us and, when asked, its stdin too.
struct OwnerProcess {
    pid_t pid = -1;
    FILE* out = nullptr;
    int in = -1;  // write end of the helper's stdin, or -1

    explicit OwnerProcess(const char* mode, bool feed_stdin = false,
                          const std::string& table = k5320::test::test_table_name()) {
        // Close-on-exec, so that no other helper inherits an end and keeps it open: a helper
        // must see its stdin end when this one closes it.
        int fds[2];
        int input[2] = {-1, -1};
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        if (feed_stdin && pipe2(input, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        if (feed_stdin) posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
        const std::string slot = std::to_string(kSlot);
        char* args[] = {const_cast<char*>(SLOT_OWNER_PATH), const_cast<char*>(table.c_str()),
                        const_cast<char*>(slot.c_str()), const_cast<char*>(mode), nullptr};
        if (posix_spawn(&pid, SLOT_OWNER_PATH, &actions, nullptr, args, environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out = fdopen(fds[0], "r");
        if (feed_stdin) {
            close(input[0]);
            in = input[1];
        }
    }
    OwnerProcess(const OwnerProcess&) = delete;
    OwnerProcess& operator=(const OwnerProcess&) = delete;

    // The owner's K5320_Init result, once it has reported it.
    int init_result() {
        int rc = -1;
        return out && std::fscanf(out, "%d", &rc) == 1 ? rc : -1;
    }
    // Reads the busy helper's reports up to the one of this stage; its result, or -1 when the
    // helper ended first.
    int wait_for_stage(const std::string& stage) {
        char name[32];
        int rc = -1;
        while (out && std::fscanf(out, "%31s %d", name, &rc) == 2)
            if (stage == name) return rc;
        return -1;
    }
    void close_stdin() {
        if (in >= 0) close(in);
        in = -1;
    }
    int wait_exit() {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return status;
    }
    ~OwnerProcess() {
        close_stdin();
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out) std::fclose(out);
    }
};

// The shared-memory objects of this test process's namespace (slot table and named events)
// that exist now, by name.
std::set<std::string> shared_objects_of_this_run() {
    std::set<std::string> names;
    std::string marker = "-";  // appended: "-" + std::string trips GCC 12's -Wrestrict at -O3
    marker += k5320::test::test_table_name();
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", error)) {
        const std::string name = entry.path().filename().string();
        if (name.ends_with(marker) || name.find(marker + "-") != std::string::npos)
            names.insert(name);
    }
    return names;
}

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

// Racers start together; the claim is one compare-and-swap, so exactly one of them wins each
// round, whatever the interleaving.
TEST(Ownership, OfManyProcessesRacingForOneSlotExactlyOneWins) {
    constexpr int kRacers = 16;
    constexpr int kRounds = 4;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        std::vector<std::unique_ptr<OwnerProcess>> racers;
        for (int i = 0; i < kRacers; ++i) {
            racers.push_back(std::make_unique<OwnerProcess>("race", true));
            ASSERT_GT(racers.back()->pid, 0);
        }
        for (auto& racer : racers) racer->close_stdin();  // the start signal
        int winners = 0;
        int refused = 0;
        for (auto& racer : racers) {
            const int rc = racer->init_result();
            winners += rc == K5320_SUCCESS;
            refused += rc == K5320_ERR_ALREADY_REGISTERED;
        }
        EXPECT_EQ(winners, 1);
        EXPECT_EQ(refused, kRacers - 1);
        EXPECT_EQ(K5320_Init(kSlot), K5320_ERR_ALREADY_REGISTERED);
    }  // every racer is killed here
    EXPECT_EQ(K5320_Init(kSlot), K5320_SUCCESS);
}

// An owner killed in the middle of any stage of its work leaves the slot to the next process,
// and nothing in /dev/shm but the slot table: its user routine's named event goes with it.
TEST(Ownership, OwnerKilledAtAnyPointOfItsWorkLeavesTheSlotFreeAndNoSharedObjects) {
    constexpr int kKillsPerStage = 3;
    constexpr int kMaxDelayUs = 3000;
    const std::string table =
        "k5320-slots-" + std::to_string(geteuid()) + "-" + k5320::test::test_table_name();
    std::mt19937 random(20240309);
    std::uniform_int_distribution<int> delay_us(0, kMaxDelayUs);
    // "spawned": killed at a random moment of its start-up or K5320_Init.
    for (const std::string stage : {"spawned", "init", "configure", "isr", "send", "mailbox"}) {
        for (int kill_round = 0; kill_round < kKillsPerStage; ++kill_round) {
            SCOPED_TRACE(stage + " " + std::to_string(kill_round));
            {
                OwnerProcess owner("busy");
                ASSERT_GT(owner.pid, 0);
                if (stage != "spawned") {
                    ASSERT_EQ(owner.wait_for_stage(stage), K5320_SUCCESS);
                }
                usleep(static_cast<useconds_t>(delay_us(random)));
                kill(owner.pid, SIGKILL);
                EXPECT_TRUE(WIFSIGNALED(owner.wait_exit()));
            }
            ASSERT_EQ(K5320_Init(kSlot), K5320_SUCCESS);
            uint8_t mode = 0;
            EXPECT_EQ(K5320_Check186Mode(kSlot, &mode), K5320_SUCCESS);
            EXPECT_EQ(K5320_RemoveIrq(kSlot), K5320_SUCCESS);
            const std::set<std::string> left = shared_objects_of_this_run();
            EXPECT_TRUE(left.empty() || left == std::set<std::string>{table})
                << "left in /dev/shm: " << ::testing::PrintToString(left);
        }
    }
}

// A slot table another user could have made, could open or could reach by a second name is never
// used, and never changed: K5320_Init then refuses the slot (44) rather than share it.
class SlotTableSecurity : public ::testing::Test {
  protected:
    void TearDown() override {
        for (const std::string& path : made_) unlink(path.c_str());
    }
    // A table name of its own for one helper process, and its path in /dev/shm.
    std::string table(const char* what) {
        const std::string suffix = k5320::test::test_table_name() + "-" + what;
        path_ = "/dev/shm/k5320-slots-" + std::to_string(geteuid()) + "-" + suffix;
        made_.push_back(path_);
        return suffix;
    }
    // An empty private object at path.
    bool make_object(const std::string& path, mode_t mode) {
        made_.push_back(path);
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
        if (fd < 0) return false;
        const bool made = fchmod(fd, mode) == 0;
        close(fd);
        return made;
    }
    int init_in_new_process(const std::string& suffix) {
        OwnerProcess owner("release", false, suffix);
        const int rc = owner.init_result();
        owner.wait_exit();
        return rc;
    }
    struct stat status() const {
        struct stat st {};
        lstat(path_.c_str(), &st);
        return st;
    }

    std::string path_;
    std::vector<std::string> made_;
};

TEST_F(SlotTableSecurity, TableOpenToOthersIsRefusedAndLeftAlone) {
    const std::string suffix = table("open");
    ASSERT_TRUE(make_object(path_, 0666));
    EXPECT_EQ(init_in_new_process(suffix), K5320_ERR_ALREADY_REGISTERED);
    EXPECT_EQ(status().st_mode & 0777, 0666u);
    EXPECT_EQ(status().st_size, 0);  // never sized, so never used
}

TEST_F(SlotTableSecurity, TableReachedByASecondNameIsRefused) {
    const std::string suffix = table("linked");
    const std::string other = path_ + "-other";
    ASSERT_TRUE(make_object(other, 0600));
    ASSERT_EQ(link(other.c_str(), path_.c_str()), 0);
    EXPECT_EQ(init_in_new_process(suffix), K5320_ERR_ALREADY_REGISTERED);
    EXPECT_EQ(status().st_size, 0);
}

TEST_F(SlotTableSecurity, SymbolicLinkToAFileOfOursIsNotFollowed) {
    const std::string suffix = table("symlink");
    const std::string target = path_ + "-target";
    ASSERT_TRUE(make_object(target, 0600));
    ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
    EXPECT_EQ(init_in_new_process(suffix), K5320_ERR_ALREADY_REGISTERED);
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);  // not sized, so not written through the link
}

TEST_F(SlotTableSecurity, PrivateObjectThatIsNoTableIsRefused) {
    const std::string suffix = table("garbage");
    ASSERT_TRUE(make_object(path_, 0600));
    {
        const int fd = open(path_.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        const std::vector<char> garbage(4096, '\xA5');
        ASSERT_EQ(write(fd, garbage.data(), garbage.size()), static_cast<ssize_t>(garbage.size()));
        close(fd);
    }
    EXPECT_EQ(init_in_new_process(suffix), K5320_ERR_ALREADY_REGISTERED);
}

TEST_F(SlotTableSecurity, TableOfAnotherUserIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give the table away";
    constexpr uid_t kNobody = 65534;
    const std::string suffix = table("foreign");
    ASSERT_TRUE(make_object(path_, 0600));
    ASSERT_EQ(chown(path_.c_str(), kNobody, kNobody), 0);
    EXPECT_EQ(init_in_new_process(suffix), K5320_ERR_ALREADY_REGISTERED);
    EXPECT_EQ(status().st_size, 0);
}

// The umask may not leave the owner a table it cannot open for writing, nor open it to others.
TEST_F(SlotTableSecurity, NewTableIsReadAndWriteForItsOwnerOnlyWhateverTheUmask) {
    for (const mode_t mask : {mode_t{0}, mode_t{0277}}) {
        SCOPED_TRACE(mask);
        const std::string suffix = table(mask == 0 ? "umask0" : "umask277");
        const mode_t saved = umask(mask);  // inherited by the helper
        const int rc = init_in_new_process(suffix);
        umask(saved);
        EXPECT_EQ(rc, K5320_SUCCESS);
        EXPECT_EQ(status().st_mode & 0777, 0600u);
    }
}

}  // namespace
