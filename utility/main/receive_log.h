// The receive log: a text file named after the local time at which logging was switched on, with
// a header line and one line per received message. It goes beside the running program when that
// folder takes it; an installed program's folder is not its user's to write, so the user's home
// folder is the second place.
//
// The file services it needs (the program's path, the home folder, the local time, creating and
// writing a file) are behind FileServices, so tests can put the file elsewhere or make it fail.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace k5320::utility {

struct LocalTime {
    int year = 0;
    int month = 0;  // 1 .. 12
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

class LogFile {
  public:
    virtual ~LogFile() = default;
    // Writes all of bytes at once; false when any of them could not be written.
    virtual bool write(std::string_view bytes) = 0;
};

class FileServices {
  public:
    virtual ~FileServices() = default;
    // The full path of the running program file; empty when it cannot be told.
    virtual std::string program_path() = 0;
    // The user's home folder as the password database has it (the environment can name any
    // folder); empty when it cannot be told.
    virtual std::string home_directory() = 0;
    virtual LocalTime local_time() = 0;
    // Creates the file anew (one of that name is replaced) for writing only, not shared with
    // other writers; nullptr when it cannot be created.
    virtual std::unique_ptr<LogFile> create_file(const std::string& path) = 0;
};

// The services of the machine the program runs on.
FileServices& system_file_services();

// "YYYYMMDD_hhmmss.txt".
std::string log_file_name(const LocalTime& time);
// The directory part of a path, up to and including its last separator; empty without one.
std::string_view directory_of(std::string_view path);
// The program's name as boxes are captioned with it: the file name without its extension.
std::string_view application_name_of(std::string_view path);

class ReceiveLog {
  public:
    explicit ReceiveLog(FileServices& files) : files_(files) {}

    // Creates the file named from the local time beside the program, or else in the home
    // folder, and writes the header line. False when neither place takes the file; the log then
    // stays closed and tried() names the paths it tried.
    bool open();
    bool is_open() const { return file_ != nullptr; }
    // Appends one line. False when it could not be written whole.
    bool write(std::string_view line);
    void close();
    // Where the open (or last opened) file is.
    const std::string& path() const { return path_; }
    // The paths the last open tried, in order.
    const std::vector<std::string>& tried() const { return tried_; }

  private:
    // Creates the file at path and writes the header; false when either fails.
    bool open_at(const std::string& path);

    FileServices& files_;
    std::unique_ptr<LogFile> file_;
    std::string path_;
    std::vector<std::string> tried_;
};

}  // namespace k5320::utility
