// FileServices of a POSIX system: the program's path from /proc, the home folder from the
// password database, the local time from the C library, and files written straight through with
// write(2), so every line is in the file as soon as it is logged.
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <system_error>
#include <vector>

#include "utility/main/receive_log.h"

namespace k5320::utility {
namespace {

constexpr int kTmBaseYear = 1900;
constexpr mode_t kLogFileMode = 0644;
// When the system names no size for a password database entry.
constexpr long kPasswordBufferFallback = 16384;

class PosixLogFile final : public LogFile {
  public:
    explicit PosixLogFile(int fd) : fd_(fd) {}
    ~PosixLogFile() override { ::close(fd_); }
    PosixLogFile(const PosixLogFile&) = delete;
    PosixLogFile& operator=(const PosixLogFile&) = delete;

    bool write(std::string_view bytes) override {
        while (!bytes.empty()) {
            const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return false;
            bytes.remove_prefix(static_cast<std::size_t>(written));
        }
        return true;
    }

  private:
    int fd_;
};

class SystemFileServices final : public FileServices {
  public:
    std::string program_path() override {
        std::error_code error;
        const std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
        return error ? std::string() : path.string();
    }

    std::string home_directory() override {
        long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
        if (size <= 0) size = kPasswordBufferFallback;
        std::vector<char> buffer(static_cast<std::size_t>(size));
        passwd entry{};
        passwd* found = nullptr;
        if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
            found == nullptr || found->pw_dir == nullptr)
            return {};
        return found->pw_dir;
    }

    LocalTime local_time() override {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        return {local.tm_year + kTmBaseYear,
                local.tm_mon + 1,
                local.tm_mday,
                local.tm_hour,
                local.tm_min,
                local.tm_sec};
    }

    std::unique_ptr<LogFile> create_file(const std::string& path) override {
        // Opened without truncating, so that a file another writer holds is left as it is;
        // emptied only once this process holds it alone. A symbolic link in the log's place is
        // not followed: whoever may write the directory could otherwise point the log, and its
        // truncation, at any file of ours.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                              kLogFileMode);
        if (fd < 0) return nullptr;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ftruncate(fd, 0) != 0) {
            ::close(fd);
            return nullptr;
        }
        return std::make_unique<PosixLogFile>(fd);
    }
};

}  // namespace

FileServices& system_file_services() {
    static SystemFileServices services;
    return services;
}

}  // namespace k5320::utility
