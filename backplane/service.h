// The per-user backplane service: where its private runtime directory is, how a process reaches
// it (starting it on first use), and the service itself (run by k5320-backplaned).
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

#include "backplane/host.h"
#include "backplane/module_faults.h"

namespace k5320::backplane {

// Chooses the backplane: "inprocess" runs it inside the process, "service" (or unset) attaches
// to the user's backplane service.
inline constexpr const char* kModeEnvironmentVariable = "TARN_BACKPLANE";
inline constexpr const char* kModeInProcess = "inprocess";
inline constexpr const char* kModeService = "service";
// Overrides the runtime directory (the service's socket, lock files and log).
inline constexpr const char* kRuntimeEnvironmentVariable = "TARN_BACKPLANE_RUNTIME";
// Overrides the program started as the service (default: k5320-backplaned beside the library,
// else the installed one).
inline constexpr const char* kServiceProgramEnvironmentVariable = "TARN_BACKPLANED";
// How long the service stays after its last client has gone, in milliseconds.
inline constexpr const char* kGraceEnvironmentVariable = "TARN_BACKPLANE_GRACE_MS";
inline constexpr int kDefaultGraceMilliseconds = 2000;

inline constexpr const char* kServiceProgramName = "k5320-backplaned";
inline constexpr const char* kSocketName = "backplane.sock";
inline constexpr const char* kStartLockName = "start.lock";
inline constexpr const char* kServiceLockName = "service.lock";
inline constexpr const char* kPidFileName = "backplaned.pid";
inline constexpr const char* kLogName = "backplaned.log";

// $TARN_BACKPLANE_RUNTIME, else $XDG_RUNTIME_DIR/tarn-backplane, else /tmp/tarn-backplane-<uid>.
std::filesystem::path runtime_directory();

// The id of the backplane whose service runs in `runtime` (see trn_GetBackplaneId):
// "tarn-<uid>-<device>-<inode>" of the directory, the same whichever path names it; "" when the
// directory cannot be read.
std::string backplane_id(const std::filesystem::path& runtime);
inline constexpr std::size_t kMaxBackplaneIdLength =
    5 + 10 + 2 * (1 + 16);  // "tarn-" uid -dev -ino

// Removes this user's shared-memory objects named after the backplane `id`: the service does so
// when it starts and when it ends, so that nothing of an earlier run of it stays.
void remove_backplane_objects(const std::string& id);

// Creates the directory (mode 0700) if it is missing. Refuses one that is not a real directory
// of this user closed to everybody else: another user could otherwise read, block or spoof the
// service. error tells why.
bool make_private_directory(const std::filesystem::path& dir, std::string* error);

// Opens (creating, mode 0600) a file in the private directory; -1 unless it is a regular file of
// this user closed to others.
int open_private_file(const std::filesystem::path& file, int flags);

// The socket address of path; false when the path is too long for one.
bool fill_socket_address(const std::filesystem::path& socket, sockaddr_un* address);

// Process and user at the other end of a connected local socket.
std::optional<ucred> peer_credentials(int fd);

// Attaches to the user's service, starting it when none runs (started tells whether this did);
// nullptr (error tells why) when that fails.
std::unique_ptr<Host> attach_to_service(std::string* error, bool* started = nullptr);

// The messages on the service socket (a SOCK_SEQPACKET connection per client process).
namespace wire {
enum class Kind : uint32_t {
    kWelcome = 1,
    kRegistered = 2,
    kUnregistered = 3,
    kFault = 4,         // client -> service: a FaultMessage
    kFaultApplied = 5,  // service -> client: the FaultReply to it
    // client -> service, on a connection of its own: a TapOpenMessage. The service answers
    // with a TapOpenedReply and then sends the tap's TapEvents until the connection closes.
    kTapOpen = 6,
    kTapOpened = 7,
};
struct Message {
    Kind kind;
    int32_t slot;
    uint32_t value;  // welcome: the layout version of the shared block
    uint32_t size;   // welcome: its size
};
struct FaultMessage {
    Kind kind;
    FaultRequest request;
};
struct FaultReply {
    Kind kind;
    uint32_t applied;  // 0: refused (empty slot, value out of range)
    uint64_t result;
};
struct TapOpenMessage {
    Kind kind;
    uint32_t bit_rate;  // 0: the bus's configured rate
    char bus[kBusNameCapacity];
};
struct TapOpenedReply {
    Kind kind;
    uint32_t opened;    // 0: no such bus
    uint32_t bit_rate;  // the rate the tap listens at
};
}  // namespace wire

struct ServiceOptions {
    // Log to stderr and stay until stopped; else detach, log to the runtime directory and end
    // after the grace period without clients.
    bool foreground = false;
    int grace_ms = kDefaultGraceMilliseconds;
    int counter_interval_ms = 5000;  // how often the bus counters are logged (when they moved)
};

// Runs the service until its last client has gone for the grace period, or until SIGTERM or
// SIGINT. Returns the process's exit code.
int run_service(const ServiceOptions& options);

// Stops the user's running service (SIGTERM) and waits for it to end; false if none ran.
bool stop_service(std::ostream& out);

}  // namespace k5320::backplane
