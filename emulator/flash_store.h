// The module's flash: one firmware image and its 25-byte information record, kept in a file per
// module so that a downloaded firmware outlives the process, or in memory for a module that was
// given no file.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "k5320/dpram_map.h"

namespace k5320::emulator {

using FirmwareRecord = std::array<uint8_t, dpram::kFirmwareInfoSize>;

// The information record's fields, as the host fills them.
namespace record {
inline constexpr std::size_t kFileName = 0;
inline constexpr std::size_t kFileNameSize = 13;
inline constexpr std::size_t kYear = 13;  // years since 1980
inline constexpr std::size_t kMonth = 14;
inline constexpr std::size_t kDay = 15;
inline constexpr std::size_t kHour = 16;
inline constexpr std::size_t kMinute = 17;
inline constexpr std::size_t kSecond = 18;
inline constexpr std::size_t kCrc = 19;   // u16, little-endian
inline constexpr std::size_t kSize = 21;  // u32, little-endian

uint16_t crc(const FirmwareRecord& r);
uint32_t size(const FirmwareRecord& r);
void set_crc(FirmwareRecord& r, uint16_t crc);
void set_size(FirmwareRecord& r, uint32_t size);
}  // namespace record

struct FlashContents {
    FirmwareRecord record{};
    std::vector<uint8_t> image;

    bool operator==(const FlashContents&) const = default;
};

// Whether the image is the one its record describes: the only firmware the loader will start.
bool matches_record(const FlashContents& contents);

// What a module holds when it leaves the factory: a generated image of a few KB and its true
// record, always the same.
FlashContents builtin_firmware();

// Nothing the 80186 could address is larger.
inline constexpr uint32_t kFlashCapacity = 1u << 20;

enum class FlashState : uint8_t {
    kEmpty,       // erased: no image, no record
    kImage,       // an image and its record (which may or may not match)
    kUnreadable,  // the stored flash is damaged; it holds nothing the loader can use
};

class FlashStore {
  public:
    // Kept in memory only; holds the built-in firmware.
    FlashStore();
    // Kept in file, read now: a missing file is a fresh module (built-in firmware), a damaged
    // one is unreadable flash.
    explicit FlashStore(std::filesystem::path file);

    FlashState state() const { return state_; }
    // The image and record; none unless the state is kImage.
    const std::optional<FlashContents>& contents() const { return contents_; }
    bool holds_valid_image() const { return contents_ && matches_record(*contents_); }

    // Replaces the whole flash (none: erases it). The old contents stay, in memory and on disk,
    // when the write fails; false then.
    bool write(std::optional<FlashContents> contents);
    void fail_writes(bool on) { fail_writes_ = on; }

  private:
    std::optional<std::filesystem::path> file_;
    FlashState state_ = FlashState::kImage;
    std::optional<FlashContents> contents_;
    bool fail_writes_ = false;
};

// Where modules keep their flash: $TARN_BACKPLANE_STATE, else
// ${XDG_STATE_HOME:-$HOME/.local/state}/tarn-backplane; none when none of these is set.
std::optional<std::filesystem::path> flash_state_directory();
std::filesystem::path flash_file_for_slot(const std::filesystem::path& directory, int slot);
// Removes the temporary files of flash writes that a killed process left in the directory;
// nothing while a write is under way there.
void remove_stale_temporary_files(const std::filesystem::path& directory);

inline constexpr const char* kStateEnvironmentVariable = "TARN_BACKPLANE_STATE";

// The file format, exposed for tests that damage files on purpose.
namespace flash_file {
inline constexpr std::size_t kHeaderSize = 48;
std::vector<uint8_t> encode(const std::optional<FlashContents>& contents);
// None when the bytes are not a complete, intact flash file.
std::optional<std::optional<FlashContents>> decode(std::span<const uint8_t> bytes);
}  // namespace flash_file

}  // namespace k5320::emulator
