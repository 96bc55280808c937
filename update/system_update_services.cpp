// UpdateSystem of a POSIX system: files read with read(2) under an exclusive advisory lock, the
// local time zone of the C library, and a plain sleep.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "update/update_services.h"

namespace k5320::update {
namespace {

constexpr int kTmBaseYear = 1900;
constexpr int kTmFirstMonth = 1;  // tm_mon counts from 0

class PosixFirmwareFile final : public FirmwareFile {
  public:
    explicit PosixFirmwareFile(int fd) : fd_(fd) {}
    ~PosixFirmwareFile() override { ::close(fd_); }
    PosixFirmwareFile(const PosixFirmwareFile&) = delete;
    PosixFirmwareFile& operator=(const PosixFirmwareFile&) = delete;

    std::optional<FileStatus> status() override {
        struct stat info {};
        if (::fstat(fd_, &info) != 0) return std::nullopt;
        return FileStatus{static_cast<uint64_t>(info.st_size), info.st_mtime};
    }

    std::size_t read(std::span<uint8_t> into) override {
        std::size_t total = 0;
        while (total < into.size()) {
            const ssize_t got = ::read(fd_, into.data() + total, into.size() - total);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            total += static_cast<std::size_t>(got);
        }
        return total;
    }

  private:
    int fd_;
};

class SystemUpdateServices final : public UpdateSystem {
  public:
    std::unique_ptr<FirmwareFile> open_file(const std::string& path) override {
        // Without blocking: opening a pipe that nobody writes would hang the dialog.
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) return nullptr;
        // Only a plain file has a size that is its content: a device, a pipe or a directory would
        // be taken for an empty (or endless) firmware and replace the module's own.
        struct stat info {};
        // Shared with nobody: a program that locks the file as well cannot change it under us.
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
            ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return nullptr;
        }
        return std::make_unique<PosixFirmwareFile>(fd);
    }

    CalendarTime local_time(std::time_t time) override {
        std::tm local{};
        localtime_r(&time, &local);
        return {local.tm_year + kTmBaseYear,
                local.tm_mon + kTmFirstMonth,
                local.tm_mday,
                local.tm_hour,
                local.tm_min,
                local.tm_sec};
    }

    void sleep_ms(uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
};

}  // namespace

UpdateSystem& system_update_services() {
    static SystemUpdateServices services;
    return services;
}

}  // namespace k5320::update
