// The receive log: a text file in the running program's directory, named after the local time
// at which logging was switched on, with a header line and one line per received message.
//
// The file services it needs (the program's path, the local time, creating and writing a file)
// are behind FileServices, so tests can put the file elsewhere or make it fail.
#pragma once

#include <memory>
#include <string>
#include <string_view>

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

    // Creates the file named from the local time in the program's directory and writes the
    // header line. False when the file cannot be created or the header not written; the log
    // then stays closed.
    bool open();
    bool is_open() const { return file_ != nullptr; }
    // Appends one line. False when it could not be written whole.
    bool write(std::string_view line);
    void close();
    // Where the open (or last opened) file is.
    const std::string& path() const { return path_; }

  private:
    FileServices& files_;
    std::unique_ptr<LogFile> file_;
    std::string path_;
};

}  // namespace k5320::utility
