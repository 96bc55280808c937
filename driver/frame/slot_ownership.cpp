#include "driver/frame/slot_ownership.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "driver/frame/slot_state.h"
#include "driver/sdk/tarn_sdk.h"
#include "platform/private_object.h"

namespace k5320::driver::ownership {
namespace {

constexpr uint32_t kTableMagic = 0x4B353332;  // "K532"
constexpr uint32_t kTableVersion = 1;

// One entry per slot: 0 = free, else (pid << 32) | low 32 bits of the process start time, which
// tells a live owner from a recycled pid.
struct SharedTable {
    std::atomic<uint32_t> magic;
    std::atomic<uint32_t> version;
    std::atomic<uint64_t> owner[kSlotTableSize];
};

std::string& table_suffix() {
    static std::string* suffix = new std::string;
    return *suffix;
}

// The table of the backplane this process reaches: processes on one backplane exclude each other
// from its slots, and a user's test backplane beside the everyday one does not block it. A
// backplane inside the process has no id and takes the user's table.
std::string table_name() {
    char id[TRN_BACKPLANE_ID_SIZE] = "";
    std::string name = trn_GetBackplaneId(id, sizeof id) == 0 && id[0] != '\0'
                           ? "/" + std::string(id) + "-k5320-slots"
                           : "/k5320-slots-" + std::to_string(geteuid());
    if (!table_suffix().empty()) name += "-" + table_suffix();
    return name;
}

int create_or_open(const std::string& name) {
    // Each retry means the name was removed between two opens (tests remove their tables).
    constexpr int kOpenAttempts = 4;
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        const int fd = platform::create_or_open_shared_memory(name);
        if (fd >= 0 || errno != ENOENT) return fd;
    }
    return -1;
}

// Opens the per-user table. It must be a plain object of this user, closed to everybody else and
// reachable by this one name only: a table another user made, could open, or reaches through a
// second name could be used to hijack or block our slots.
SharedTable* open_table() {
    const std::string name = table_name();
    int fd = create_or_open(name);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (!platform::is_private_plain_object(fd) || fstat(fd, &st) != 0) {
        close(fd);
        return nullptr;
    }
    if (st.st_size < static_cast<off_t>(sizeof(SharedTable)) &&
        ftruncate(fd, sizeof(SharedTable)) != 0) {
        close(fd);
        return nullptr;
    }
    void* mem = mmap(nullptr, sizeof(SharedTable), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (mem == MAP_FAILED) return nullptr;
    auto* table = static_cast<SharedTable*>(mem);
    uint32_t expected = 0;
    if (table->magic.compare_exchange_strong(expected, kTableMagic))
        table->version.store(kTableVersion);
    else if (expected != kTableMagic)
        return nullptr;
    return table;
}

// Mapped once per process and never unmapped: unload code still needs it at exit.
SharedTable* table() {
    static SharedTable* const shared = open_table();
    return shared;
}

// Start time of a process in clock ticks since boot (field 22 of /proc/PID/stat), and whether it
// is still running (a zombie that was killed but not reaped no longer owns anything).
bool read_process(pid_t pid, uint64_t* start_time) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* f = std::fopen(path, "re");
    if (!f) return false;
    char buf[1024];
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    const char* p = std::strrchr(buf, ')');  // the command name may hold blanks and ')'
    if (!p) return false;
    char state = 0;
    unsigned long long start = 0;
    // After ')': state (field 3), then fields 4..21 skipped, then starttime (field 22).
    if (std::sscanf(p + 1,
                    " %c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d "
                    "%*d %llu",
                    &state, &start) != 2)
        return false;
    if (state == 'Z' || state == 'X' || state == 'x') return false;
    *start_time = start;
    return true;
}

uint64_t make_token(pid_t pid, uint64_t start_time) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(pid)) << 32) | (start_time & 0xFFFFFFFFu);
}

uint64_t my_token() {
    // Recomputed after fork: a child is another owner than its parent.
    static std::atomic<uint64_t> cached{0};
    const pid_t pid = getpid();
    uint64_t token = cached.load(std::memory_order_relaxed);
    if (token != 0 && static_cast<pid_t>(token >> 32) == pid) return token;
    uint64_t start = 0;
    read_process(pid, &start);
    token = make_token(pid, start);
    cached.store(token, std::memory_order_relaxed);
    return token;
}

bool token_alive(uint64_t token) {
    uint64_t start = 0;
    const auto pid = static_cast<pid_t>(token >> 32);
    return read_process(pid, &start) && make_token(pid, start) == token;
}

}  // namespace

bool try_claim(uint8_t slot) {
    SharedTable* t = table();
    if (!t) return false;
    std::atomic<uint64_t>& entry = t->owner[slot % kSlotTableSize];
    const uint64_t mine = my_token();
    uint64_t current = 0;
    while (!entry.compare_exchange_strong(current, mine)) {
        if (current == mine || token_alive(current)) return false;
        // The owner is gone: take over exactly that stale entry, unless somebody else was faster.
    }
    return true;
}

void release(uint8_t slot) {
    SharedTable* t = table();
    if (!t) return;
    std::atomic<uint64_t>& entry = t->owner[slot % kSlotTableSize];
    uint64_t current = entry.load();
    while (current != 0 && (current == my_token() || !token_alive(current))) {
        if (entry.compare_exchange_weak(current, 0)) return;
    }
}

Owner owner_of(uint8_t slot) {
    SharedTable* t = table();
    if (!t) return Owner::kNobody;
    const uint64_t current = t->owner[slot % kSlotTableSize].load();
    if (current == 0) return Owner::kNobody;
    if (current == my_token()) return Owner::kThisProcess;
    return token_alive(current) ? Owner::kOtherProcess : Owner::kNobody;
}

void use_table_for_test(const std::string& name) {
    table_suffix() = name;
}

void remove_test_table() {
    if (!table_suffix().empty()) shm_unlink(table_name().c_str());
}

}  // namespace k5320::driver::ownership
