// A second local user, for tests of what one user's backplane keeps from another's. Only root
// can create one and act as it; elsewhere those tests skip with a message.
#pragma once

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

namespace k5320::test {

inline constexpr const char* kOtherUser = "k5320-other";

// The other user's id, created on first use; none unless this runs as root.
inline std::optional<uid_t> other_user() {
    if (geteuid() != 0) return std::nullopt;
    if (getpwnam(kOtherUser) == nullptr) {
        const std::string create =
            std::string("useradd --system --no-create-home ") + kOtherUser + " >/dev/null 2>&1";
        (void)!std::system(create.c_str());
    }
    const passwd* entry = getpwnam(kOtherUser);
    if (entry == nullptr) return std::nullopt;
    return entry->pw_uid;
}

inline constexpr const char* kNeedsRoot = "needs root to act as a second local user";

// Runs the command (no single quotes in it) through sh as the other user; its standard output.
inline std::string run_as_other_user(const std::string& command) {
    const std::string line =
        std::string("runuser -u ") + kOtherUser + " -- sh -c '" + command + "' 2>&1";
    FILE* pipe = popen(line.c_str(), "r");
    if (pipe == nullptr) return {};
    std::string out;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    pclose(pipe);
    return out;
}

}  // namespace k5320::test
