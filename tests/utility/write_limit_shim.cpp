// Preloaded into a test process (LD_PRELOAD): a disk that fills up. Once the test calls
// k5320_disk_full_after(n), writes to regular files go through until n bytes more have been
// written, the one that crosses the mark is cut short there, and every later one fails with
// ENOSPC, as write(2) behaves on a full file system. Pipes, terminals and sockets are not
// counted, so the test runner's own output still gets through.
#include <dlfcn.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>

namespace {

using WriteFunction = ssize_t (*)(int, const void*, size_t);

// Negative: no limit.
std::atomic<long long> room{-1};

WriteFunction real_write() {
    static const auto function = reinterpret_cast<WriteFunction>(dlsym(RTLD_NEXT, "write"));
    return function;
}

bool regular_file(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void k5320_disk_full_after(long long bytes) {
    room.store(bytes);
}

__attribute__((visibility("default"))) ssize_t write(int fd, const void* data, size_t size) {
    if (room.load() < 0 || !regular_file(fd)) return real_write()(fd, data, size);
    long long left = room.load();
    size_t allowed = 0;
    do {
        allowed = static_cast<unsigned long long>(left) < size ? static_cast<size_t>(left) : size;
    } while (!room.compare_exchange_weak(left, left - static_cast<long long>(allowed)));
    if (allowed == 0 && size > 0) {
        errno = ENOSPC;
        return -1;
    }
    return real_write()(fd, data, allowed);
}

}  // extern "C"
