// The client side of the backplane service: finding it, starting it on first use, and mapping
// its shared block.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "backplane/service.h"
#include "backplane/welcome_message.h"
#include "platform/private_object.h"

extern char** environ;

namespace k5320::backplane {

namespace {

using namespace std::chrono_literals;
// How long a starting service may take to open its socket (sanitizer builds start slowly).
constexpr auto kStartTimeout = 20s;
// Where Linux keeps the POSIX shared-memory objects, one file each.
constexpr const char* kSharedMemoryFolder = "/dev/shm";
constexpr auto kConnectRetry = 5ms;
constexpr int kFaultReplyTimeoutMs = 10'000;
// Where the installed service lies, relative to the installed library's folder: the build sets
// it from its install folders ("../libexec/k5320" for lib and libexec).
constexpr const char* kInstalledServiceFolder = K5320_INSTALLED_SERVICE_FOLDER;

std::string system_error(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            if (fd_ >= 0) close(fd_);
            fd_ = other.release();
        }
        return *this;
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

// A connection to a live service of this user; -1 when none listens.
int connect_service(const std::filesystem::path& socket) {
    sockaddr_un address{};
    if (!fill_socket_address(socket, &address)) return -1;
    FileDescriptor fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) return -1;
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return -1;
    const std::optional<ucred> peer = peer_credentials(fd.get());
    if (!peer || peer->uid != geteuid()) return -1;
    return fd.release();
}

// The program started as the service: $TARN_BACKPLANED; else the one beside this library (the
// build tree places it there); else the installed one, in the service folder that the build
// wrote relative to the library folder (lib/../libexec/k5320), so an installed tree finds its
// own service under any prefix.
std::filesystem::path service_program() {
    if (const char* path = std::getenv(kServiceProgramEnvironmentVariable); path && *path)
        return path;
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&runtime_directory), &info) == 0 ||
        info.dli_fname == nullptr) {
        return kServiceProgramName;
    }
    // The folder as the loader named it: ".." is resolved by the kernel on the real folders.
    const std::filesystem::path library_folder =
        std::filesystem::path(info.dli_fname).parent_path();
    const std::filesystem::path beside = library_folder / kServiceProgramName;
    if (access(beside.c_str(), X_OK) == 0) return beside;
    return library_folder / kInstalledServiceFolder / kServiceProgramName;
}

// Starts the service detached from this process: it forks into the background at once, and
// this waits only for that first process.
bool spawn_service(std::string* error) {
    const std::string program = service_program().string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
    char background[] = "--background";
    char* args[] = {const_cast<char*>(program.c_str()), background, nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, args, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        errno = rc;
        *error = system_error(program.c_str());
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        *error = program + " failed to start";
        return false;
    }
    return true;
}

// The service's welcome: its shared block, checked and mapped. nullptr on any mismatch.
SharedBackplane* receive_welcome(int connection, std::string* error) {
    wire::WelcomeMessage welcome;
    ssize_t n = -1;
    do {
        n = recvmsg(connection, welcome.header(), MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    const std::optional<int> memory_fd = welcome.attached();
    const wire::Message& message = welcome.message();
    if (n != sizeof message || !memory_fd) {
        *error = "no welcome from the service";
        return nullptr;
    }
    FileDescriptor memory(*memory_fd);
    if (message.kind != wire::Kind::kWelcome || message.value != SharedBackplane::kLayoutVersion ||
        message.size != sizeof(SharedBackplane)) {
        *error = "the service runs another version of the backplane; stop it and retry";
        return nullptr;
    }
    struct stat st {};
    if (fstat(memory.get(), &st) != 0 || st.st_uid != geteuid() ||
        st.st_size < static_cast<off_t>(sizeof(SharedBackplane))) {
        *error = "the service's shared memory is not this user's";
        return nullptr;
    }
    void* block =
        mmap(nullptr, sizeof(SharedBackplane), PROT_READ | PROT_WRITE, MAP_SHARED, memory.get(), 0);
    if (block == MAP_FAILED) {
        *error = system_error("mmap");
        return nullptr;
    }
    auto* shared = static_cast<SharedBackplane*>(block);
    if (!shared->valid()) {
        munmap(block, sizeof(SharedBackplane));
        *error = "the service's shared memory is not a backplane";
        return nullptr;
    }
    return shared;
}

class SocketLink final : public ServiceLink {
  public:
    explicit SocketLink(int fd) : fd_(fd) {}
    // The service answers nothing but fault requests, one at a time, in order.
    std::optional<uint64_t> inject(const FaultRequest& request) override {
        std::lock_guard lock(request_mutex_);
        const wire::FaultMessage message{wire::Kind::kFault, request};
        if (send(fd_, &message, sizeof message, MSG_NOSIGNAL) != sizeof message)
            return std::nullopt;
        pollfd ready{fd_, POLLIN, 0};
        if (poll(&ready, 1, kFaultReplyTimeoutMs) != 1) return std::nullopt;
        wire::FaultReply reply{};
        if (recv(fd_, &reply, sizeof reply, 0) != sizeof reply ||
            reply.kind != wire::Kind::kFaultApplied || reply.applied == 0)
            return std::nullopt;
        return reply.result;
    }
    // Closing the socket is what tells the service this process has gone; the kernel does the
    // same when the process dies.
    ~SocketLink() override { disown(); }
    void disown() override {
        if (fd_ >= 0) close(std::exchange(fd_, -1));
    }
    void interrupt_registered(int slot, bool registered) override {
        const wire::Message message{
            registered ? wire::Kind::kRegistered : wire::Kind::kUnregistered, slot, 0, 0};
        // A service that has gone must not kill this process with SIGPIPE.
        (void)send(fd_, &message, sizeof message, MSG_NOSIGNAL | MSG_DONTWAIT);
    }

    int open_tap(std::string_view bus, uint32_t bit_rate, uint32_t* used_rate,
                 std::string* error) override;

  private:
    int fd_;
    std::mutex request_mutex_;
};

// A tap has a connection of its own, over which the service streams the tap's events.
int SocketLink::open_tap(std::string_view bus, uint32_t bit_rate, uint32_t* used_rate,
                         std::string* error) {
    wire::TapOpenMessage request{wire::Kind::kTapOpen, bit_rate, {}};
    if (bus.empty() || bus.size() >= sizeof request.bus) {
        *error = "no bus '" + printable(bus) + "' on the backplane";
        return -1;
    }
    std::memcpy(request.bus, bus.data(), bus.size());
    FileDescriptor connection(connect_service(runtime_directory() / kSocketName));
    if (connection.get() < 0) {
        *error = "the backplane service does not answer";
        return -1;
    }
    // Every connection is welcomed with the shared block, which a tap does not need.
    wire::WelcomeMessage welcome;
    ssize_t n = -1;
    do {
        n = recvmsg(connection.get(), welcome.header(), MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (const std::optional<int> memory = welcome.attached()) close(*memory);
    if (n != sizeof(wire::Message) || welcome.message().kind != wire::Kind::kWelcome) {
        *error = "no welcome from the service";
        return -1;
    }
    wire::TapOpenedReply reply{};
    pollfd ready{connection.get(), POLLIN, 0};
    if (send(connection.get(), &request, sizeof request, MSG_NOSIGNAL) != sizeof request ||
        poll(&ready, 1, kFaultReplyTimeoutMs) != 1 ||
        recv(connection.get(), &reply, sizeof reply, 0) != sizeof reply ||
        reply.kind != wire::Kind::kTapOpened) {
        *error = "the backplane service did not open the tap";
        return -1;
    }
    if (reply.opened == 0) {
        *error = "no bus '" + printable(bus) + "' on the backplane";
        return -1;
    }
    *used_rate = reply.bit_rate;
    return connection.release();
}

}  // namespace

bool fill_socket_address(const std::filesystem::path& socket, sockaddr_un* address) {
    const std::string path = socket.string();
    if (path.size() >= sizeof address->sun_path) return false;
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

std::optional<ucred> peer_credentials(int fd) {
    ucred peer{};
    socklen_t length = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) return std::nullopt;
    return peer;
}

std::filesystem::path runtime_directory() {
    if (const char* dir = std::getenv(kRuntimeEnvironmentVariable); dir && *dir) return dir;
    if (const char* dir = std::getenv("XDG_RUNTIME_DIR"); dir && *dir)
        return std::filesystem::path(dir) / "tarn-backplane";
    return std::filesystem::path("/tmp") / ("tarn-backplane-" + std::to_string(geteuid()));
}

std::string backplane_id(const std::filesystem::path& runtime) {
    struct stat st {};
    if (stat(runtime.c_str(), &st) != 0) return {};
    char id[kMaxBackplaneIdLength + 1];
    std::snprintf(id, sizeof id, "tarn-%u-%jx-%jx", static_cast<unsigned>(geteuid()),
                  static_cast<uintmax_t>(st.st_dev), static_cast<uintmax_t>(st.st_ino));
    return id;
}

void remove_backplane_objects(const std::string& id) {
    if (id.empty()) return;
    const std::string prefix = id + "-";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(kSharedMemoryFolder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(prefix)) shm_unlink(("/" + name).c_str());
    }
}

bool make_private_directory(const std::filesystem::path& dir, std::string* error) {
    if (mkdir(dir.c_str(), S_IRWXU) != 0 && errno != EEXIST) {
        *error = system_error(dir.c_str());
        return false;
    }
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) {
        *error = system_error(dir.c_str());
        return false;
    }
    if (!S_ISDIR(st.st_mode) || !platform::is_private(st)) {
        *error = dir.string() + " is not a directory private to this user";
        return false;
    }
    return true;
}

int open_private_file(const std::filesystem::path& file, int flags) {
    const int fd =
        open(file.c_str(), flags | O_CREAT | O_NOFOLLOW | O_CLOEXEC, platform::kOwnerReadWrite);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !platform::is_private(st)) {
        close(fd);
        return -1;
    }
    return fd;
}

std::unique_ptr<Host> attach_to_service(std::string* error, bool* started) {
    const std::filesystem::path dir = runtime_directory();
    if (!make_private_directory(dir, error)) return nullptr;
    const std::filesystem::path socket = dir / kSocketName;
    sockaddr_un unused{};
    if (!fill_socket_address(socket, &unused)) {
        *error = socket.string() + ": path too long for a socket";
        return nullptr;
    }
    FileDescriptor connection;
    {
        // One starter at a time; the service also takes this lock to close its socket when it
        // ends, so a connection is either accepted by the old service or meets a new one.
        FileDescriptor lock(open_private_file(dir / kStartLockName, O_RDWR));
        if (lock.get() < 0 || flock(lock.get(), LOCK_EX) != 0) {
            *error = (dir / kStartLockName).string() + ": not usable";
            return nullptr;
        }
        connection = FileDescriptor(connect_service(socket));
        if (connection.get() < 0) {
            if (!spawn_service(error)) return nullptr;
            if (started != nullptr) *started = true;
            const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
            while (connection.get() < 0 && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(kConnectRetry);
                connection = FileDescriptor(connect_service(socket));
            }
            if (connection.get() < 0) {
                *error =
                    "the backplane service did not start (see " + (dir / kLogName).string() + ")";
                return nullptr;
            }
        }
    }
    SharedBackplane* shared = receive_welcome(connection.get(), error);
    if (shared == nullptr) return nullptr;
    // Mapped for the rest of the process: the driver's unload code uses the backplane at exit.
    return std::make_unique<ServiceHost>(
        *shared, std::make_unique<SocketLink>(connection.release()), backplane_id(dir));
}

}  // namespace k5320::backplane
