// The per-user backplane service with real processes: each test runs client processes against a
// service of its own (own runtime and state directories), so parallel test runs never meet.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "backplane/service.h"
#include "k5320_result.h"
#include "tests/other_user.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace bp = k5320::backplane;

constexpr auto kServiceEndTimeout = 15s;  // grace period plus a sanitizer build's shutdown
constexpr int kFrames = 20;

// A client process with its stdout on a pipe (and its stderr in a file, when one is named).
class Client {
  public:
    Client(const std::vector<std::string>& env, std::vector<std::string> args,
           const std::string& error_file = {}) {
        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        if (!error_file.empty()) {
            posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, error_file.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, S_IRUSR | S_IWUSR);
        }
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
        args.insert(args.begin(), BACKPLANE_CLIENT_PATH);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> environment(env);
        for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
        std::vector<char*> envp;
        for (auto& e : environment) envp.push_back(e.data());
        envp.push_back(nullptr);
        if (posix_spawn(&pid_, BACKPLANE_CLIENT_PATH, &actions, nullptr, argv.data(),
                        envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out_ = fdopen(fds[0], "r");
    }
    ~Client() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ != nullptr) std::fclose(out_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool started() const { return pid_ > 0 && out_ != nullptr; }
    // The next line of output, without its newline; empty at the end.
    std::string line() {
        char buffer[256];
        if (out_ == nullptr || std::fgets(buffer, sizeof buffer, out_) == nullptr) return {};
        std::string text(buffer);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
    }
    int wait() {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void kill_hard() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    FILE* out_ = nullptr;
};

bool process_alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

// "... service=<pid>" -> pid
pid_t service_of(const std::string& line) {
    const auto at = line.find("service=");
    return at == std::string::npos ? 0 : std::atoi(line.c_str() + at + 8);
}

class BackplaneService : public ::testing::Test {
  protected:
    void SetUp() override {
        char base[] = "/tmp/k5320-service-test-XXXXXX";
        ASSERT_NE(mkdtemp(base), nullptr);
        base_ = base;
        runtime_ = base_ / "run";
        table_ = "service-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
        env_ = {"TARN_BACKPLANE=service", "TARN_BACKPLANE_RUNTIME=" + runtime_.string(),
                "TARN_BACKPLANE_STATE=" + (base_ / "state").string(),
                "TARN_BACKPLANE_CONFIG=" + std::string(LINK_BACKPLANE)};
    }
    void TearDown() override {
        // The service goes by itself; one a failed test left behind is stopped here.
        if (const pid_t pid = running_service(); pid > 0) {
            kill(pid, SIGTERM);
            wait_gone(pid);
        }
        bp::remove_backplane_objects(bp::backplane_id(runtime_));
        std::error_code ignored;
        fs::remove_all(base_, ignored);
    }

    std::vector<std::string> args(std::string command, int slot, std::string extra = {}) const {
        std::vector<std::string> a{table_, std::move(command), std::to_string(slot)};
        if (!extra.empty()) a.push_back(std::move(extra));
        return a;
    }
    pid_t running_service() const {
        std::ifstream file(runtime_ / bp::kPidFileName);
        pid_t pid = 0;
        return file >> pid && process_alive(pid) ? pid : 0;
    }
    static bool wait_gone(pid_t pid) {
        const auto deadline = std::chrono::steady_clock::now() + kServiceEndTimeout;
        while (process_alive(pid)) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }
    static std::string read_file(const fs::path& path) {
        std::ifstream file(path);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }
    std::string log() const { return read_file(runtime_ / bp::kLogName); }
    bool stop() const {
        setenv(bp::kRuntimeEnvironmentVariable, runtime_.c_str(), 1);
        std::ostringstream out;
        const bool stopped = bp::stop_service(out);
        unsetenv(bp::kRuntimeEnvironmentVariable);
        return stopped;
    }
    void use_config(const fs::path& file) {
        env_.back() = "TARN_BACKPLANE_CONFIG=" + file.string();
    }
    // What a client printed on stderr, started with the arguments.
    std::string errors_of(std::vector<std::string> arguments, std::string* first_line = nullptr) {
        const fs::path errors = base_ / ("stderr-" + std::to_string(++clients_));
        Client client(env_, std::move(arguments), errors.string());
        const std::string line = client.line();
        if (first_line != nullptr) *first_line = line;
        client.wait();
        return read_file(errors);
    }

    fs::path base_;
    fs::path runtime_;
    std::string table_;
    std::vector<std::string> env_;
    int clients_ = 0;
};

TEST_F(BackplaneService, StartsOnFirstUseAndEndsAfterTheLastClient) {
    EXPECT_FALSE(fs::exists(runtime_ / bp::kSocketName));
    Client first(env_, args("hold", 1));
    ASSERT_TRUE(first.started());
    ASSERT_EQ(first.line(), "0");
    const pid_t service = running_service();
    ASSERT_GT(service, 0);
    struct stat st {};
    ASSERT_EQ(stat(runtime_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat((runtime_ / bp::kSocketName).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u);

    // A second client meets the same service.
    Client second(env_, args("init", 2));
    const std::string result = second.line();
    EXPECT_EQ(service_of(result), service) << result;
    EXPECT_EQ(result.substr(0, 4), "0 0 ");
    EXPECT_EQ(second.wait(), 0);

    // The service outlives its clients by the grace period only, and cleans up after itself.
    first.kill_hard();
    EXPECT_TRUE(wait_gone(service));
    EXPECT_FALSE(fs::exists(runtime_ / bp::kSocketName));
    const std::string text = log();
    EXPECT_NE(text.find("client"), std::string::npos) << text;
    EXPECT_NE(text.find("no clients"), std::string::npos) << text;
}

TEST_F(BackplaneService, FramesSentByOneProcessReachAnother) {
    Client receiver(env_, args("receive", 2, std::to_string(kFrames)));
    ASSERT_TRUE(receiver.started());
    ASSERT_EQ(receiver.line(), "ready 0");
    Client sender(env_, args("send", 1, std::to_string(kFrames)));
    EXPECT_EQ(sender.line(), "sent " + std::to_string(kFrames) + " rc 0");
    for (int i = 0; i < kFrames; ++i) {
        char expected[16];
        std::snprintf(expected, sizeof expected, "%x", 0x100 + i);
        ASSERT_EQ(receiver.line(), expected) << "frame " << i;
    }
    EXPECT_EQ(receiver.line(), "end " + std::to_string(kFrames));
    EXPECT_EQ(sender.wait(), 0);
    EXPECT_EQ(receiver.wait(), 0);
}

TEST_F(BackplaneService, SlotIsFreeAgainWhenItsOwnerIsKilled) {
    Client owner(env_, args("hold", 1));
    ASSERT_EQ(owner.line(), "0");
    {
        Client third(env_, args("init", 1));
        const std::string result = third.line();
        EXPECT_EQ(result.substr(0, 3), std::to_string(K5320_ERR_ALREADY_REGISTERED) + " ")
            << result;
        EXPECT_EQ(third.wait(), 0);
    }
    const pid_t service = running_service();
    owner.kill_hard();
    // The next process takes the slot, and the module still answers: the dead owner's
    // registration is gone and nothing it left half done blocks the service.
    Client next(env_, args("init", 1));
    const std::string result = next.line();
    EXPECT_EQ(result.substr(0, 4), "0 0 ") << result;
    EXPECT_EQ(service_of(result), service);
    EXPECT_EQ(next.wait(), 0);
    EXPECT_NE(log().find("dropped the interrupt registration of slot 1"), std::string::npos)
        << log();
}

TEST_F(BackplaneService, EachBackplaneOfAUserHasSlotOwnersOfItsOwn) {
    Client owner(env_, args("hold", 1));
    ASSERT_EQ(owner.line(), "0");
    // A test backplane of the same user beside it: its slot 1 holds another module.
    const fs::path other_runtime = base_ / "other-run";
    std::vector<std::string> other_env = env_;
    other_env[1] = "TARN_BACKPLANE_RUNTIME=" + other_runtime.string();
    other_env[2] = "TARN_BACKPLANE_STATE=" + (base_ / "other-state").string();
    Client other(other_env, args("init", 1));
    const std::string result = other.line();
    EXPECT_EQ(result.substr(0, 4), "0 0 ") << result;
    EXPECT_EQ(other.wait(), 0);

    // What the processes of a backplane shared goes with its service.
    const std::string id = bp::backplane_id(other_runtime);
    ASSERT_FALSE(id.empty());
    EXPECT_TRUE(wait_gone(service_of(result)));
    for (const auto& entry : fs::directory_iterator("/dev/shm"))
        EXPECT_FALSE(entry.path().filename().string().starts_with(id + "-")) << entry.path();
}

TEST_F(BackplaneService, DownloadedFirmwareOutlivesClientsAndTheService) {
    Client loader(env_, args("download", 1, "SERVICE.EXE"));
    const std::string downloaded = loader.line();
    ASSERT_EQ(downloaded.substr(0, 14), "0 SERVICE.EXE ") << downloaded;
    EXPECT_EQ(loader.wait(), 0);
    const pid_t first_service = service_of(downloaded);

    // The next process, on the same service, sees the same record.
    Client probe(env_, args("info", 1));
    const std::string same = probe.line();
    EXPECT_EQ(same.substr(0, same.find(" service=")),
              downloaded.substr(0, downloaded.find(" service=")));
    EXPECT_EQ(service_of(same), first_service);
    EXPECT_EQ(probe.wait(), 0);

    // A new service reads it back from the flash store.
    ASSERT_TRUE(wait_gone(first_service));
    Client later(env_, args("info", 1));
    const std::string after = later.line();
    EXPECT_EQ(after.substr(0, after.find(" service=")),
              downloaded.substr(0, downloaded.find(" service=")));
    EXPECT_NE(service_of(after), first_service);
    EXPECT_GT(service_of(after), 0);
    EXPECT_EQ(later.wait(), 0);
}

// A stop ends the service in order, with clients attached: socket and pid file are removed.
TEST_F(BackplaneService, StopEndsTheServiceInOrder) {
    Client holder(env_, args("hold", 1));
    ASSERT_EQ(holder.line(), "0");
    const pid_t service = running_service();
    ASSERT_GT(service, 0);
    setenv(bp::kRuntimeEnvironmentVariable, runtime_.c_str(), 1);
    std::ostringstream out;
    EXPECT_TRUE(bp::stop_service(out)) << out.str();
    unsetenv(bp::kRuntimeEnvironmentVariable);
    EXPECT_TRUE(wait_gone(service));
    EXPECT_FALSE(fs::exists(runtime_ / bp::kSocketName));
    EXPECT_FALSE(fs::exists(runtime_ / bp::kPidFileName));
    EXPECT_NE(log().find("stopping on signal"), std::string::npos) << log();
}

// A fault injected through the service reaches its module: the driver sees the silence and the
// module the repeat requests, and the slot works again once the fault is lifted.
TEST_F(BackplaneService, FaultsAreInjectedIntoTheServicesModules) {
    Client client(env_, args("fault", 1));
    ASSERT_TRUE(client.started());
    EXPECT_EQ(client.line(), std::to_string(K5320_ERR_NO_ANSWER) + " 3 0");
    EXPECT_EQ(client.wait(), 0);
    EXPECT_NE(log().find("injected fault"), std::string::npos) << log();
}

// Started by hand into the background, the service makes its missing runtime directory private
// whatever the umask, as a client does, and runs.
TEST_F(BackplaneService, StartedByHandInTheBackgroundMakesItsDirectoryPrivate) {
    ASSERT_FALSE(fs::exists(runtime_));
    setenv(bp::kRuntimeEnvironmentVariable, runtime_.c_str(), 1);
    const mode_t old_mask = umask(S_IWGRP | S_IWOTH);
    char program[] = BACKPLANED_PATH;
    char background[] = "--background";
    char* argv[] = {program, background, nullptr};
    pid_t first = -1;
    const int spawned = posix_spawn(&first, program, nullptr, nullptr, argv, environ);
    umask(old_mask);
    unsetenv(bp::kRuntimeEnvironmentVariable);
    ASSERT_EQ(spawned, 0);
    int status = 0;
    ASSERT_EQ(waitpid(first, &status, 0), first);  // the first process leaves at once
    const auto deadline = std::chrono::steady_clock::now() + kServiceEndTimeout;
    while (running_service() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_GT(running_service(), 0) << log();
    struct stat st {};
    ASSERT_EQ(stat(runtime_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, static_cast<mode_t>(S_IRWXU));
}

// The runtime directory must be the user's own: another user could read, block or spoof it.
TEST_F(BackplaneService, RefusesARuntimeDirectoryOpenToOthers) {
    std::string error;
    ASSERT_TRUE(bp::make_private_directory(runtime_, &error)) << error;
    ASSERT_EQ(chmod(runtime_.c_str(), 0755), 0);
    EXPECT_FALSE(bp::make_private_directory(runtime_, &error));
    EXPECT_NE(error.find("private"), std::string::npos) << error;
    setenv(bp::kRuntimeEnvironmentVariable, runtime_.c_str(), 1);
    EXPECT_EQ(bp::attach_to_service(&error), nullptr);
    unsetenv(bp::kRuntimeEnvironmentVariable);
    EXPECT_FALSE(fs::exists(runtime_ / bp::kSocketName));

    ASSERT_EQ(chmod(runtime_.c_str(), 0700), 0);
    const fs::path file = runtime_ / "file";
    std::ofstream(file) << "x";
    ASSERT_EQ(chmod(file.c_str(), 0644), 0);
    EXPECT_LT(bp::open_private_file(file, O_RDWR), 0);
    fs::create_symlink(file, runtime_ / "link");
    EXPECT_LT(bp::open_private_file(runtime_ / "link", O_RDWR), 0);
}

// Neither a FIFO named as the configuration nor one in place of a flash file blocks the service
// or the program starting it, and --stop reaches the service.
TEST_F(BackplaneService, FifosInPlaceOfItsFilesHangNothing) {
    const fs::path fifo = base_ / "backplane.conf";
    ASSERT_EQ(mkfifo(fifo.c_str(), S_IRUSR | S_IWUSR), 0);
    use_config(fifo);
    Client holder(env_, args("hold", 1), (base_ / "starter").string());
    EXPECT_NE(holder.line(), "0") << "an empty backplane has no module in slot 1";
    EXPECT_TRUE(stop());
    holder.kill_hard();
    const std::string errors = read_file(base_ / "starter");
    EXPECT_NE(errors.find("backplane.conf: not a regular file"), std::string::npos) << errors;

    use_config(LINK_BACKPLANE);
    std::string error;
    ASSERT_TRUE(bp::make_private_directory(base_ / "state", &error)) << error;
    ASSERT_EQ(mkfifo((base_ / "state" / "slot-1.flash").c_str(), S_IRUSR | S_IWUSR), 0);
    Client client(env_, args("init", 2));
    EXPECT_EQ(client.line().substr(0, 4), "0 0 ");
    EXPECT_EQ(client.wait(), 0);
    EXPECT_NE(log().find("slot-1.flash is not a regular file"), std::string::npos) << log();
}

// What the service found wrong reaches the program that started it, escaped, and not the next.
TEST_F(BackplaneService, ProblemsAreShownByTheProgramThatStartedTheService) {
    const fs::path bad = base_ / "bad.conf";
    std::ofstream(bad) << "bus b\nbogus\x1b[2J\n";
    use_config(bad);
    Client holder(env_, args("hold", 1), (base_ / "starter").string());
    EXPECT_NE(holder.line(), "0") << "slot 1 is empty";
    const std::string expected = "bad.conf: line 2: unknown keyword 'bogus\\x1b[2J'";
    const std::string starter = read_file(base_ / "starter");
    EXPECT_NE(starter.find(expected), std::string::npos) << starter;
    EXPECT_EQ(starter.find('\x1b'), std::string::npos);
    EXPECT_EQ(log().find('\x1b'), std::string::npos);
    EXPECT_EQ(errors_of(args("init", 1)), "") << "only the starter reports";
    EXPECT_TRUE(stop());
    holder.kill_hard();

    // A port another program holds: the socketcand server cannot listen.
    const int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &where.sin_addr);
    socklen_t size = sizeof where;
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    ASSERT_EQ(getsockname(taken, reinterpret_cast<sockaddr*>(&where), &size), 0);
    const std::string port = std::to_string(ntohs(where.sin_port));
    std::ofstream(bad) << "bus b socketcand=127.0.0.1:" + port + "\nslot 1 5320 bus=b\n";
    const std::string errors = errors_of(args("init", 1));
    EXPECT_NE(errors.find("bus b: socketcand: cannot listen on 127.0.0.1:" + port),
              std::string::npos)
        << errors;
    close(taken);
}

// A runtime directory another user created first is refused with a plain error: running a
// private backplane instead would silently part this user's programs.
TEST_F(BackplaneService, AnotherUsersRuntimeDirectoryIsRefusedNotWorkedAround) {
    const std::optional<uid_t> other = k5320::test::other_user();
    if (!other) GTEST_SKIP() << k5320::test::kNeedsRoot;
    ASSERT_EQ(mkdir(runtime_.c_str(), S_IRWXU), 0);
    ASSERT_EQ(chown(runtime_.c_str(), *other, *other), 0);
    std::string result;
    const std::string errors = errors_of(args("init", 1), &result);
    EXPECT_NE(errors.find("is not a directory private to this user"), std::string::npos) << errors;
    EXPECT_NE(errors.find("TARN_BACKPLANE=inprocess"), std::string::npos) << errors;
    EXPECT_NE(result.substr(0, 2), "0 ") << "no module answers: " << result;
}

}  // namespace
