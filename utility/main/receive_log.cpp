#include "utility/main/receive_log.h"

#include <array>
#include <cstdio>

#include "utility/main/message_format.h"

namespace k5320::utility {
namespace {

constexpr char kPathSeparator = '/';
constexpr char kExtensionMark = '.';
// "YYYYMMDD_hhmmss.txt" and its end; wider fields (a year past 9999) still fit.
constexpr std::size_t kFileNameBuffer = 64;

}  // namespace

std::string log_file_name(const LocalTime& time) {
    std::array<char, kFileNameBuffer> name{};
    std::snprintf(name.data(), name.size(), "%04d%02d%02d_%02d%02d%02d.txt", time.year, time.month,
                  time.day, time.hour, time.minute, time.second);
    return name.data();
}

std::string_view directory_of(std::string_view path) {
    const std::size_t last = path.rfind(kPathSeparator);
    return last == std::string_view::npos ? std::string_view{} : path.substr(0, last + 1);
}

std::string_view application_name_of(std::string_view path) {
    std::string_view name = path.substr(directory_of(path).size());
    const std::size_t dot = name.rfind(kExtensionMark);
    if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
    return name;
}

bool ReceiveLog::open() {
    close();
    tried_.clear();
    const std::string name = log_file_name(files_.local_time());
    // Without a known folder the file would land wherever the process happens to stand: such a
    // place is skipped.
    const std::string beside_program(directory_of(files_.program_path()));
    std::string home = files_.home_directory();
    if (!home.empty() && home.back() != kPathSeparator) home += kPathSeparator;
    for (const std::string& folder : {beside_program, home}) {
        if (folder.empty()) continue;
        if (open_at(folder + name)) return true;
    }
    return false;
}

bool ReceiveLog::open_at(const std::string& path) {
    tried_.push_back(path);
    path_ = path;
    file_ = files_.create_file(path);
    if (file_ == nullptr) return false;
    if (file_->write(kLogHeader)) return true;
    file_.reset();
    return false;
}

bool ReceiveLog::write(std::string_view line) {
    return file_ != nullptr && file_->write(line);
}

void ReceiveLog::close() {
    file_.reset();
}

}  // namespace k5320::utility
