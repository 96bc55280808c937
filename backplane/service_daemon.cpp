// The backplane service: one per user, hosting the modules, buses and demo nodes in a shared
// block that every client maps. Clients reach it through a socket in the user's private runtime
// directory; a client's connection lives as long as the client, so the service knows at once
// when one goes, however it died.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <new>
#include <sstream>
#include <thread>
#include <vector>

#include "backplane/rack.h"
#include "backplane/service.h"
#include "backplane/welcome_message.h"

namespace k5320::backplane {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr int kListenBacklog = 16;
constexpr int kPollTickMs = 200;
constexpr auto kStopTimeout = 10s;
constexpr auto kStopPoll = 20ms;

std::ostream* g_log = &std::cerr;

// One line per event, stamped with the local time.
std::ostream& log_line() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
    return *g_log << stamp << " k5320-backplaned[" << getpid() << "]: ";
}

struct Client {
    pid_t pid = 0;
};

class Service {
  public:
    explicit Service(const ServiceOptions& options) : options_(options) {}
    ~Service() {
        taps_.clear();
        rack_.reset();
        if (memory_ != nullptr) munmap(memory_, sizeof(SharedBackplane));
        if (memory_fd_ >= 0) close(memory_fd_);
        for (auto& [fd, client] : clients_) close(fd);
        if (listen_fd_ >= 0) close(listen_fd_);
        if (signal_fd_ >= 0) close(signal_fd_);
        if (lock_fd_ >= 0) close(lock_fd_);
    }

    // Claims the directory for this service and builds the backplane; false (logged) if not.
    bool start();
    int run();

  private:
    bool create_memory();
    bool open_socket();
    void accept_client();
    void serve_client(int fd);
    void apply_fault_for(const Client& client, int fd, const FaultRequest& request);
    void open_tap_for(const Client& client, int fd, const wire::TapOpenMessage& request);
    void drop_client(int fd);
    void log_counters(bool always);
    // Closes the socket if still nobody is connected (under the start lock, so that a client
    // that is connecting now reaches either this service or the next).
    bool close_if_idle();

    const ServiceOptions options_;
    std::filesystem::path dir_;
    std::string id_;  // the backplane's, taken while its directory surely exists
    int lock_fd_ = -1;
    int memory_fd_ = -1;
    SharedBackplane* memory_ = nullptr;
    std::unique_ptr<Rack> rack_;
    int listen_fd_ = -1;
    int signal_fd_ = -1;
    std::map<int, Client> clients_;
    std::map<std::string, can::BusCounters> last_counters_;
    TapSet taps_;  // keyed by the reader's connection; detached before the rack goes
};

bool Service::start() {
    // Blocked before any thread starts, so that every thread inherits the mask and a stop
    // signal reaches only the signalfd: the service then ends in order, removing its socket.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal_fd_ = signalfd(-1, &signals, SFD_CLOEXEC);
    signal(SIGPIPE, SIG_IGN);
    dir_ = runtime_directory();
    std::string error;
    if (!make_private_directory(dir_, &error)) {
        log_line() << error << '\n';
        return false;
    }
    // Held for the service's life: at most one service per directory. A service still ending
    // holds it a moment longer; the new one waits for it.
    lock_fd_ = open_private_file(dir_ / kServiceLockName, O_RDWR);
    if (lock_fd_ < 0) {
        log_line() << (dir_ / kServiceLockName).string() << ": not usable\n";
        return false;
    }
    if (flock(lock_fd_, options_.foreground ? LOCK_EX | LOCK_NB : LOCK_EX) != 0) {
        log_line() << "a backplane service already runs for " << dir_.string()
                   << "; stop it first (k5320-backplaned --stop)\n";
        return false;
    }
    // What its clients shared lives no longer than the service; one that crashed left it behind.
    id_ = backplane_id(dir_);
    remove_backplane_objects(id_);
    // Named at once, so that --stop reaches a service still reading its configuration and
    // flash; the stop signal waits in the signalfd until run() takes it.
    if (const int pid_fd = open_private_file(dir_ / kPidFileName, O_WRONLY | O_TRUNC);
        pid_fd >= 0) {
        const std::string pid = std::to_string(getpid()) + "\n";
        (void)!write(pid_fd, pid.data(), pid.size());
        close(pid_fd);
    }
    if (!create_memory()) return false;
    std::ostringstream diagnostics;  // the refusal of a file is among the rack's problems
    const Config config = config_from_environment(diagnostics);
    rack_ = std::make_unique<Rack>(config, *memory_);
    const std::string problems = rack_->problems();
    std::istringstream lines(problems);
    for (std::string line; std::getline(lines, line);) log_line() << line << '\n';
    // The clients show them: the one that started the service, and k5320 list.
    memory_->set_problems(problems);
    memory_->stamp(static_cast<uint32_t>(getpid()));
    for (int slot = kFirstSlot; slot <= kLastSlot; ++slot) {
        if (const std::string type = rack_->type(slot); !type.empty()) {
            log_line() << "slot " << slot << ": " << type << " on bus "
                       << (config.slots[slot].bus.empty() ? "-" : config.slots[slot].bus) << '\n';
        }
    }
    return open_socket();
}

bool Service::create_memory() {
    memory_fd_ = memfd_create("tarn-backplane", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (memory_fd_ < 0 || ftruncate(memory_fd_, sizeof(SharedBackplane)) != 0) {
        log_line() << "shared memory: " << std::strerror(errno) << '\n';
        return false;
    }
    // Clients cannot resize it under the service (which would fault on the lost pages).
    fcntl(memory_fd_, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL);
    void* block =
        mmap(nullptr, sizeof(SharedBackplane), PROT_READ | PROT_WRITE, MAP_SHARED, memory_fd_, 0);
    if (block == MAP_FAILED) {
        log_line() << "mmap: " << std::strerror(errno) << '\n';
        return false;
    }
    memory_ = new (block) SharedBackplane();
    return true;
}

bool Service::open_socket() {
    const std::filesystem::path socket = dir_ / kSocketName;
    sockaddr_un address{};
    const std::string path = socket.string();
    if (!fill_socket_address(socket, &address)) {
        log_line() << path << ": path too long for a socket\n";
        return false;
    }
    listen_fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    // A socket left by a service that crashed: nobody listens on it (the lock says so).
    unlink(path.c_str());
    const mode_t old_mask = umask(S_IRWXG | S_IRWXO);
    const bool bound =
        listen_fd_ >= 0 &&
        bind(listen_fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        listen(listen_fd_, kListenBacklog) == 0;
    umask(old_mask);
    if (!bound) {
        log_line() << path << ": " << std::strerror(errno) << '\n';
        return false;
    }
    log_line() << "listening on " << path << '\n';
    return true;
}

void Service::accept_client() {
    for (;;) {
        const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        const std::optional<ucred> peer = peer_credentials(fd);
        if (!peer || peer->uid != geteuid()) {
            log_line() << "refused a connection of uid "
                       << (peer ? std::to_string(peer->uid) : std::string("unknown")) << '\n';
            close(fd);
            continue;
        }
        wire::WelcomeMessage welcome;
        welcome.message() = {wire::Kind::kWelcome, 0, SharedBackplane::kLayoutVersion,
                             static_cast<uint32_t>(sizeof(SharedBackplane))};
        welcome.attach(memory_fd_);
        if (sendmsg(fd, welcome.header(), MSG_NOSIGNAL) != sizeof(wire::Message)) {
            close(fd);
            continue;
        }
        clients_[fd].pid = peer->pid;
        log_line() << "client " << peer->pid << " attached (" << clients_.size() << " attached)\n";
    }
}

void Service::serve_client(int fd) {
    union {
        wire::Message plain;
        wire::FaultMessage fault;
        wire::TapOpenMessage tap;
    } message{};
    const ssize_t n = recv(fd, &message, sizeof message, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        drop_client(fd);
        return;
    }
    Client& client = clients_[fd];
    if (n == sizeof message.fault && message.fault.kind == wire::Kind::kFault) {
        apply_fault_for(client, fd, message.fault.request);
        return;
    }
    if (n == sizeof message.tap && message.tap.kind == wire::Kind::kTapOpen) {
        open_tap_for(client, fd, message.tap);
        return;
    }
    if (n != sizeof message.plain) return;
    const int slot = message.plain.slot;
    if (slot < kFirstSlot || slot > kLastSlot) return;
    if (message.plain.kind == wire::Kind::kRegistered) {
        log_line() << "client " << client.pid << " registered the interrupt of slot " << slot
                   << '\n';
    } else if (message.plain.kind == wire::Kind::kUnregistered) {
        log_line() << "client " << client.pid << " released the interrupt of slot " << slot << '\n';
    }
}

void Service::apply_fault_for(const Client& client, int fd, const FaultRequest& request) {
    wire::FaultReply reply{wire::Kind::kFaultApplied, 0, 0};
    if (const std::optional<uint64_t> result = rack_->inject(request)) {
        reply.applied = 1;
        reply.result = *result;
    }
    // Counter reads are too frequent to log; a fault is worth a line.
    if (request.kind != FaultKind::kCommandsSeen) {
        log_line() << "client " << client.pid << " injected fault "
                   << static_cast<int>(request.kind) << " into slot " << request.slot
                   << " (command " << request.command << ", value " << request.value << ")"
                   << (reply.applied ? "" : ": refused") << '\n';
    }
    (void)send(fd, &reply, sizeof reply, MSG_NOSIGNAL | MSG_DONTWAIT);
}

void Service::open_tap_for(const Client& client, int fd, const wire::TapOpenMessage& request) {
    const std::string name(request.bus, strnlen(request.bus, sizeof request.bus));
    const BusConfig* config = rack_->config().bus(name);
    can::Bus* bus = rack_->bus(name);
    wire::TapOpenedReply reply{wire::Kind::kTapOpened, 0, 0};
    // The tap writes to a descriptor of its own for the connection, closed when it goes.
    const int tap_fd = config != nullptr && bus != nullptr ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
    if (tap_fd >= 0) {
        reply.opened = 1;
        reply.bit_rate = request.bit_rate != 0 ? request.bit_rate : config->bit_rate;
        constexpr int kTapBuffer = 4 << 20;
        setsockopt(tap_fd, SOL_SOCKET, SO_SNDBUF, &kTapBuffer, sizeof kTapBuffer);
    }
    // The reply goes first: the tap's events follow it on the same connection.
    (void)send(fd, &reply, sizeof reply, MSG_NOSIGNAL | MSG_DONTWAIT);
    log_line() << "client " << client.pid << " tapped bus " << printable(name) << " at "
               << reply.bit_rate << " bit/s" << (reply.opened ? "" : ": no such bus") << '\n';
    if (tap_fd >= 0) taps_.add(*bus, fd, tap_fd, reply.bit_rate);
}

void Service::drop_client(int fd) {
    taps_.remove(fd);  // before the connection closes: the tap writes to it
    const Client client = clients_[fd];
    clients_.erase(fd);
    close(fd);
    // Its registrations go with it: the lines stay pending for the next process that registers.
    for (int slot = kFirstSlot; slot <= kLastSlot; ++slot) {
        auto owner = static_cast<uint32_t>(client.pid);
        if (memory_->slots[slot].interrupt_client.compare_exchange_strong(owner, 0))
            log_line() << "dropped the interrupt registration of slot " << slot << '\n';
    }
    log_line() << "client " << client.pid << " gone (" << clients_.size() << " attached)\n";
}

void Service::log_counters(bool always) {
    for (const BusConfig& config : rack_->config().buses) {
        can::Bus* bus = rack_->bus(config.name);
        if (bus == nullptr) continue;
        const can::BusCounters now = bus->counters();
        can::BusCounters& last = last_counters_[config.name];
        if (!always && now.frames == last.frames && now.bus_errors == last.bus_errors) continue;
        log_line() << "bus " << config.name << ": " << now.frames << " frames ("
                   << now.frames - last.frames << " new), " << now.acknowledged << " acknowledged, "
                   << now.receptions << " receptions, " << now.bus_errors << " bus errors\n";
        last = now;
    }
}

bool Service::close_if_idle() {
    const int lock = open_private_file(dir_ / kStartLockName, O_RDWR);
    if (lock >= 0) flock(lock, LOCK_EX);
    accept_client();  // a client that connected meanwhile keeps the service
    const bool idle = clients_.empty();
    if (idle) {
        unlink((dir_ / kSocketName).c_str());
        close(listen_fd_);
        listen_fd_ = -1;
    }
    if (lock >= 0) close(lock);
    return idle;
}

int Service::run() {
    auto idle_since = Clock::now();
    auto next_counters = Clock::now() + std::chrono::milliseconds(options_.counter_interval_ms);
    for (;;) {
        std::vector<pollfd> fds{{listen_fd_, POLLIN, 0}, {signal_fd_, POLLIN, 0}};
        for (const auto& [fd, client] : clients_) fds.push_back({fd, POLLIN, 0});
        poll(fds.data(), fds.size(), kPollTickMs);
        if (fds[1].revents != 0) {
            signalfd_siginfo info{};
            (void)!read(signal_fd_, &info, sizeof info);
            taps_.clear();
        log_line() << "stopping on signal " << info.ssi_signo << " with " << clients_.size()
                       << " clients attached\n";
            unlink((dir_ / kSocketName).c_str());
            break;
        }
        if (fds[0].revents != 0) accept_client();
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents != 0) serve_client(fds[i].fd);
        }
        const auto now = Clock::now();
        if (now >= next_counters) {
            log_counters(false);
            next_counters = now + std::chrono::milliseconds(options_.counter_interval_ms);
        }
        // A service run by hand stays until it is stopped: its user is watching it.
        if (!clients_.empty() || options_.foreground) {
            idle_since = now;
        } else if (now - idle_since >= std::chrono::milliseconds(options_.grace_ms)) {
            if (close_if_idle()) {
                log_line() << "no clients for " << options_.grace_ms << " ms; ending\n";
                break;
            }
            idle_since = now;
        }
    }
    log_counters(true);
    remove_backplane_objects(id_);
    unlink((dir_ / kPidFileName).c_str());
    return 0;
}

}  // namespace

int run_service(const ServiceOptions& options) {
    std::ofstream log_file;
    if (!options.foreground) {
        // Detached: the starting process waits only for this first process.
        const pid_t child = fork();
        if (child < 0) return 1;
        if (child > 0) _exit(0);
        setsid();
        // Made private here already: a directory the umask left open to others would be refused
        // by this service and every client after it.
        std::string ignored;
        const int log_fd =
            make_private_directory(runtime_directory(), &ignored)
                ? open_private_file(runtime_directory() / kLogName, O_WRONLY | O_TRUNC)
                : -1;
        if (log_fd >= 0) {
            dup2(log_fd, STDERR_FILENO);
            close(log_fd);
        }
    }
    Service service(options);
    if (!service.start()) return 1;
    return service.run();
}

bool stop_service(std::ostream& out) {
    const std::filesystem::path dir = runtime_directory();
    // A service runs exactly while its lock is held; the pid file alone could name a
    // recycled process.
    const int lock = open_private_file(dir / kServiceLockName, O_RDWR);
    std::ifstream pid_file(dir / kPidFileName);
    pid_t pid = 0;
    if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) == 0 || !(pid_file >> pid) || pid <= 0 ||
        kill(pid, SIGTERM) != 0) {
        if (lock >= 0) close(lock);
        out << "no backplane service runs for " << dir.string() << '\n';
        return false;
    }
    // Gone when its lock is free again.
    const auto deadline = Clock::now() + kStopTimeout;
    while (lock >= 0 && flock(lock, LOCK_EX | LOCK_NB) != 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(kStopPoll);
    if (lock >= 0) close(lock);
    out << "stopped the backplane service " << pid << '\n';
    return true;
}

}  // namespace k5320::backplane
