#include "bridges/wake_event.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

namespace k5320::bridges {

bool WakeEvent::open() {
    close();
    fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return fd_ >= 0;
}

void WakeEvent::ring() const {
    if (fd_ < 0) return;
    const uint64_t one = 1;
    // Fails only when the count is at its limit: the thread has a wake-up waiting anyway.
    [[maybe_unused]] const ssize_t ignored = ::write(fd_, &one, sizeof one);
}

void WakeEvent::drain() const {
    if (fd_ < 0) return;
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t ignored = ::read(fd_, &count, sizeof count);
}

void WakeEvent::close() {
    if (const int fd = std::exchange(fd_, -1); fd >= 0) ::close(fd);
}

}  // namespace k5320::bridges
