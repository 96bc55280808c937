// What a firmware update needs of the world, each behind a small interface: the library's
// loader calls, the firmware file and the clock. Programs use the C API and the system's files;
// tests feed names, sizes, times and failures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "k5320.h"

namespace k5320::update {

// The library calls of a firmware update.
class LoaderApi {
  public:
    virtual ~LoaderApi() = default;

    virtual int init(uint8_t slot) = 0;
    virtual int load_init(uint8_t slot) = 0;
    virtual int get_firmware_info(uint8_t slot, FirmwareInfo& info) = 0;
    virtual uint16_t calculated_crc(const uint8_t* data, uint32_t length) = 0;
    virtual int into_download_mode(uint8_t slot) = 0;
    virtual int delete_firmware(uint8_t slot) = 0;
    virtual int download_info(uint8_t slot, const FirmwareInfo& info) = 0;
    virtual int download_data(uint8_t slot, uint16_t block_number, const uint8_t* data,
                              uint16_t length) = 0;
    virtual int adjust_date_time(uint8_t slot) = 0;
    virtual int run_program(uint8_t slot) = 0;
    virtual int restore(uint8_t slot) = 0;
    // Gives the slot up on the host's side only (its interrupt and ownership): no command
    // reaches the module.
    virtual int release(uint8_t slot) = 0;
};

// Forwards every call to libK5320.
class CApiLoader final : public LoaderApi {
  public:
    int init(uint8_t slot) override;
    int load_init(uint8_t slot) override;
    int get_firmware_info(uint8_t slot, FirmwareInfo& info) override;
    uint16_t calculated_crc(const uint8_t* data, uint32_t length) override;
    int into_download_mode(uint8_t slot) override;
    int delete_firmware(uint8_t slot) override;
    int download_info(uint8_t slot, const FirmwareInfo& info) override;
    int download_data(uint8_t slot, uint16_t block_number, const uint8_t* data,
                      uint16_t length) override;
    int adjust_date_time(uint8_t slot) override;
    int run_program(uint8_t slot) override;
    int restore(uint8_t slot) override;
    int release(uint8_t slot) override;
};

struct FileStatus {
    uint64_t size = 0;
    std::time_t modified = 0;  // last modification
};

// A file open for reading, kept from other writers while open; closed when destroyed.
class FirmwareFile {
  public:
    virtual ~FirmwareFile() = default;
    virtual std::optional<FileStatus> status() = 0;
    // Reads up to into.size() bytes from the current position; returns how many arrived.
    virtual std::size_t read(std::span<uint8_t> into) = 0;
};

// A calendar time with the full year.
struct CalendarTime {
    int year = 0;
    int month = 0;  // 1..12
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

class UpdateSystem {
  public:
    virtual ~UpdateSystem() = default;
    // Opens the file for binary reading, shared with nobody; none when it cannot be opened.
    virtual std::unique_ptr<FirmwareFile> open_file(const std::string& path) = 0;
    // The time in the local time zone.
    virtual CalendarTime local_time(std::time_t time) = 0;
    virtual void sleep_ms(uint32_t ms) = 0;
};

// The system's files, local time zone and sleep.
UpdateSystem& system_update_services();

}  // namespace k5320::update
