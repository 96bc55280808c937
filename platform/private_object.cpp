#include "platform/private_object.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

namespace k5320::platform {

bool is_private(const struct stat& status) {
    return status.st_uid == geteuid() && (status.st_mode & kForeignAccessBits) == 0;
}

bool is_private_plain_object(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && is_private(status) &&
           status.st_nlink == 1;
}

int create_or_open_shared_memory(const std::string& name) {
    const int fd =
        shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kOwnerReadWrite);
    if (fd >= 0) {
        // The umask may have narrowed the mode.
        if (fchmod(fd, kOwnerReadWrite) != 0) {
            const int error = errno;
            ::close(fd);
            shm_unlink(name.c_str());
            errno = error;
            return -1;
        }
        return fd;
    }
    if (errno != EEXIST) return -1;
    return shm_open(name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0);
}

}  // namespace k5320::platform
