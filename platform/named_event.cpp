#include "platform/named_event.h"

#include "platform/private_object.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <new>

namespace k5320::platform {

// One 32-bit state word, so that every change is a single compare-and-swap a futex can watch:
// the low half counts blocked waiters, the high half counts releases granted by set(). Releases
// up to the waiter count are promised to those waiters; one more is the signalled state that the
// next wait consumes. Zero-filled memory is a valid non-signalled event.
struct NamedEvent::SharedState {
    std::atomic<uint32_t> state;
};

namespace {

constexpr const char* kObjectPrefix = "/k5320-event-";
constexpr uint32_t kWaiterMask = 0xFFFF;
constexpr uint32_t kReleaseShift = 16;
constexpr uint32_t kReleaseUnit = 1u << kReleaseShift;
// Keeps releases (at most waiters + 1) inside their 16 bits.
constexpr uint32_t kMaxWaiters = kWaiterMask - 1;
// Each retry means another handle removed or replaced the name meanwhile; a few always suffice.
constexpr int kOpenAttempts = 16;

uint32_t waiters_of(uint32_t state) {
    return state & kWaiterMask;
}
uint32_t releases_of(uint32_t state) {
    return state >> kReleaseShift;
}

// Keeps errno across cleanup calls, so failures report the cause and not the cleanup.
class ErrnoKeeper {
  public:
    ErrnoKeeper() : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }
    ErrnoKeeper(const ErrnoKeeper&) = delete;
    ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

  private:
    int saved_;
};

class FdOwner {
  public:
    explicit FdOwner(int fd) : fd_(fd) {}
    ~FdOwner() {
        if (fd_ >= 0) {
            ErrnoKeeper keep_errno;
            ::close(fd_);
        }
    }
    FdOwner(const FdOwner&) = delete;
    FdOwner& operator=(const FdOwner&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

// Every live handle holds a read lock on the object's first byte, an open-file-description lock:
// the kernel drops it when the handle's descriptor is closed, also when its process dies. So a
// write lock on that byte can be had exactly when no other handle is alive anywhere.
constexpr off_t kLivenessOffset = 0;
constexpr off_t kLivenessLength = 1;

bool set_liveness_lock(int fd, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = kLivenessOffset;
    lock.l_len = kLivenessLength;
    return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// Whether this handle (fd) is the only live one. Must be called with the open/close lock held,
// so that no other handle takes or gives up its lock meanwhile; leaves fd's own lock a write
// lock when it returns true.
bool only_live_handle(int fd) {
    ErrnoKeeper keep_errno;
    return set_liveness_lock(fd, F_WRLCK);
}

bool lock_exclusive(int fd) {
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

void unlock(int fd) {
    ErrnoKeeper keep_errno;
    flock(fd, LOCK_UN);
}

bool owned_privately(int fd) {
    if (is_private_plain_object(fd)) return true;
    errno = EACCES;
    return false;
}

// Whether the name still leads to the object behind fd (it may have been removed, or removed and
// created anew, between our shm_open and taking the lock).
bool name_refers_to(const std::string& object, int fd) {
    ErrnoKeeper keep_errno;
    FdOwner named(shm_open(object.c_str(), O_RDONLY, 0));
    if (named.get() < 0) return false;
    struct stat by_name {};
    struct stat by_fd {};
    return fstat(named.get(), &by_name) == 0 && fstat(fd, &by_fd) == 0 &&
           by_name.st_dev == by_fd.st_dev && by_name.st_ino == by_fd.st_ino;
}

}  // namespace

namespace {

std::string& test_namespace() {
    static std::string* space = new std::string;
    return *space;
}

}  // namespace

void NamedEvent::use_namespace_for_test(const std::string& space) {
    test_namespace() = space;
}

std::string NamedEvent::object_name(std::string_view name) {
    std::string object(kObjectPrefix);
    object += std::to_string(geteuid());
    object += '-';
    if (!test_namespace().empty()) {
        object += test_namespace();
        object += '-';
    }
    object += name;
    return object;
}

namespace {

// errno for a name that cannot be an event's, or 0.
int name_error(std::string_view name, const std::string& object) {
    if (name.empty() || name.find('/') != std::string_view::npos ||
        name.find('\0') != std::string_view::npos) {
        return EINVAL;
    }
    if (object.size() - 1 > NAME_MAX) return ENAMETOOLONG;  // without the leading '/'
    return 0;
}

}  // namespace

void NamedEvent::remove_if_unused(std::string_view name) {
    ErrnoKeeper keep_errno;
    const std::string object = object_name(name);
    if (name_error(name, object) != 0) return;
    FdOwner fd(shm_open(object.c_str(), O_RDWR, 0));
    if (fd.get() < 0 || !owned_privately(fd.get()) || !lock_exclusive(fd.get())) return;
    if (only_live_handle(fd.get()) && name_refers_to(object, fd.get())) shm_unlink(object.c_str());
}  // closing fd drops both locks

std::unique_ptr<NamedEvent> NamedEvent::open(std::string_view name) {
    const std::string object = object_name(name);
    if (const int error = name_error(name, object); error != 0) {
        errno = error;
        return nullptr;
    }

    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        FdOwner fd(create_or_open_shared_memory(object));
        if (fd.get() < 0) {
            if (errno == ENOENT) continue;  // the last handle removed it after our EEXIST
            return nullptr;
        }
        if (!owned_privately(fd.get())) return nullptr;
        if (!lock_exclusive(fd.get())) return nullptr;
        if (!name_refers_to(object, fd.get())) continue;  // closing fd drops the lock

        struct stat status {};
        if (fstat(fd.get(), &status) != 0) return nullptr;
        if (static_cast<size_t>(status.st_size) < sizeof(SharedState) &&
            ftruncate(fd.get(), sizeof(SharedState)) != 0) {
            return nullptr;
        }
        void* mapping =
            mmap(nullptr, sizeof(SharedState), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
        if (mapping == MAP_FAILED) return nullptr;
        auto* shared = static_cast<SharedState*>(mapping);
        if (only_live_handle(fd.get())) {
            // A fresh object, or one whose holders all died without removing it: nobody waits
            // or was promised a release, so it starts non-signalled.
            shared->state.store(0, std::memory_order_release);
        }
        if (!set_liveness_lock(fd.get(), F_RDLCK)) {
            ErrnoKeeper keep_errno;
            munmap(mapping, sizeof(SharedState));
            return nullptr;
        }
        unlock(fd.get());
        return std::unique_ptr<NamedEvent>(new NamedEvent(fd.release(), shared, object));
    }
    errno = EAGAIN;
    return nullptr;
}

NamedEvent::NamedEvent(int fd, SharedState* shared, std::string object)
    : fd_(fd), shared_(shared), object_name_(std::move(object)) {}

NamedEvent::~NamedEvent() {
    ErrnoKeeper keep_errno;
    // Under the lock no opener can take its liveness lock between our test and the removal.
    if (lock_exclusive(fd_) && only_live_handle(fd_) && name_refers_to(object_name_, fd_))
        shm_unlink(object_name_.c_str());
    munmap(shared_, sizeof(SharedState));
    ::close(fd_);  // also drops the lock
}

void NamedEvent::set() {
    std::atomic<uint32_t>& state = shared_->state;
    uint32_t current = state.load(std::memory_order_relaxed);
    do {
        if (releases_of(current) > waiters_of(current)) return;  // already signalled
    } while (!state.compare_exchange_weak(current, current + kReleaseUnit,
                                          std::memory_order_acq_rel, std::memory_order_relaxed));
    if (waiters_of(current) > 0) futex_wake(state, 1);
}

void NamedEvent::reset() {
    std::atomic<uint32_t>& state = shared_->state;
    uint32_t current = state.load(std::memory_order_relaxed);
    uint32_t cleared = 0;
    do {
        const uint32_t waiters = waiters_of(current);
        if (releases_of(current) <= waiters) return;  // nothing beyond promised releases
        cleared = (waiters << kReleaseShift) | waiters;
    } while (!state.compare_exchange_weak(current, cleared, std::memory_order_acq_rel,
                                          std::memory_order_relaxed));
}

bool NamedEvent::wait(uint32_t timeout_ms) {
    std::atomic<uint32_t>& state = shared_->state;
    uint32_t current = state.load(std::memory_order_acquire);

    // A newcomer takes only a signal not yet promised to a blocked waiter; otherwise it counts
    // itself as a waiter.
    for (;;) {
        if (releases_of(current) > waiters_of(current)) {
            if (state.compare_exchange_weak(current, current - kReleaseUnit,
                                            std::memory_order_acq_rel, std::memory_order_acquire)) {
                return true;
            }
            continue;
        }
        if (timeout_ms == 0) return false;
        if (waiters_of(current) >= kMaxWaiters) {
            errno = EOVERFLOW;
            return false;
        }
        if (state.compare_exchange_weak(current, current + 1, std::memory_order_acq_rel,
                                        std::memory_order_acquire)) {
            break;
        }
    }
    current += 1;

    using Clock = std::chrono::steady_clock;
    const bool bounded = timeout_ms != kWaitForever;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (releases_of(current) > 0) {
            if (state.compare_exchange_weak(current, current - kReleaseUnit - 1,
                                            std::memory_order_acq_rel, std::memory_order_acquire)) {
                return true;
            }
            continue;
        }
        uint32_t remaining_ms = kWaitForever;
        if (bounded) {
            const auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero()) {
                if (state.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel,
                                                std::memory_order_acquire)) {
                    return false;
                }
                continue;  // a release may have arrived meanwhile
            }
            remaining_ms =
                static_cast<uint32_t>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
        }
        futex_wait(state, current, remaining_ms);
        current = state.load(std::memory_order_acquire);
    }
}

uint32_t NamedEvent::waiter_count_for_test() const {
    return waiters_of(shared_->state.load(std::memory_order_acquire));
}

}  // namespace k5320::platform
