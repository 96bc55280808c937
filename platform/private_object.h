// Files and shared-memory objects that only this user may reach. One that another user made, can
// open, or reaches through a second name could be used to read, block or hijack what we keep in
// it, so such an object is refused rather than used.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace k5320::platform {

inline constexpr mode_t kOwnerReadWrite = S_IRUSR | S_IWUSR;
inline constexpr mode_t kForeignAccessBits = S_IRWXG | S_IRWXO;

// The status is of this user's object, closed to group and others.
bool is_private(const struct stat& status);

// fd is a plain file or object that is private and has no second name (hard link).
bool is_private_plain_object(int fd);

// Creates the shared-memory object with owner-only access whatever the umask (every process of
// the user must be able to open it for writing), or opens the existing one, which the caller
// must still check. -1 with errno on failure; ENOENT when the name was removed between the two
// opens, which the caller may retry. glibc's shm_open never follows a symbolic link.
int create_or_open_shared_memory(const std::string& name);

}  // namespace k5320::platform
