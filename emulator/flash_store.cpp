#include "emulator/flash_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "k5320/crc16.h"

namespace k5320::emulator {

namespace {

constexpr unsigned kBitsPerByte = 8;
constexpr uint32_t kByteMask = 0xFF;

uint32_t load_le(std::span<const uint8_t> bytes, std::size_t at, std::size_t width) {
    uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value |= uint32_t{bytes[at + i]} << (kBitsPerByte * i);
    return value;
}

void store_le(std::span<uint8_t> bytes, std::size_t at, std::size_t width, uint32_t value) {
    for (std::size_t i = 0; i < width; ++i) {
        bytes[at + i] = static_cast<uint8_t>((value >> (kBitsPerByte * i)) & kByteMask);
    }
}

constexpr std::size_t kCrcWidth = 2;
constexpr std::size_t kSizeWidth = 4;

}  // namespace

namespace record {
uint16_t crc(const FirmwareRecord& r) {
    return static_cast<uint16_t>(load_le(r, kCrc, kCrcWidth));
}
uint32_t size(const FirmwareRecord& r) {
    return load_le(r, kSize, kSizeWidth);
}
void set_crc(FirmwareRecord& r, uint16_t value) {
    store_le(r, kCrc, kCrcWidth, value);
}
void set_size(FirmwareRecord& r, uint32_t value) {
    store_le(r, kSize, kSizeWidth, value);
}
}  // namespace record

bool matches_record(const FlashContents& contents) {
    return record::size(contents.record) == contents.image.size() &&
           record::crc(contents.record) ==
               crc16::compute(contents.image.data(), contents.image.size());
}

FlashContents builtin_firmware() {
    constexpr std::size_t kImageSize = 6 * 1024;
    constexpr uint32_t kSeed = 0x5320'2024;
    constexpr char kName[] = "K5320FW.EXE";
    static_assert(sizeof kName <= record::kFileNameSize);
    // 1980 + 44 = 2024-03-15 10:30:00: a fixed build date, so every fresh module shows the same.
    constexpr uint8_t kYearsSince1980 = 44, kMonth = 3, kDay = 15, kHour = 10, kMinute = 30;

    FlashContents contents;
    contents.image.resize(kImageSize);
    uint32_t state = kSeed;
    for (uint8_t& byte : contents.image) {
        // xorshift32: varied bytes, the same on every run.
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<uint8_t>(state & kByteMask);
    }
    std::memcpy(contents.record.data() + record::kFileName, kName, sizeof kName);
    contents.record[record::kYear] = kYearsSince1980;
    contents.record[record::kMonth] = kMonth;
    contents.record[record::kDay] = kDay;
    contents.record[record::kHour] = kHour;
    contents.record[record::kMinute] = kMinute;
    contents.record[record::kSecond] = 0;
    record::set_crc(contents.record, crc16::compute(contents.image.data(), kImageSize));
    record::set_size(contents.record, kImageSize);
    return contents;
}

// --- file format ---------------------------------------------------------------------------------

namespace flash_file {
namespace {

constexpr std::array<uint8_t, 8> kMagic = {'T', 'A', 'R', 'N', 'F', 'L', 'S', 'H'};
constexpr uint32_t kVersion = 1;
constexpr uint8_t kKindEmpty = 0;
constexpr uint8_t kKindImage = 1;

constexpr std::size_t kMagicAt = 0;
constexpr std::size_t kVersionAt = 8;  // u16
constexpr std::size_t kVersionWidth = 2;
constexpr std::size_t kKindAt = 10;
constexpr std::size_t kRecordAt = 12;
constexpr std::size_t kImageLengthAt = 40;  // u32
constexpr std::size_t kChecksumAt = 44;     // u32 over everything else, image included
constexpr std::size_t kWordWidth = 4;
static_assert(kRecordAt + dpram::kFirmwareInfoSize <= kImageLengthAt);
static_assert(kChecksumAt + kWordWidth == kHeaderSize);

// FNV-1a: any flipped or missing byte changes it, which is all a torn file needs.
constexpr uint32_t kFnvOffsetBasis = 2166136261u;
constexpr uint32_t kFnvPrime = 16777619u;

uint32_t fnv1a(uint32_t hash, std::span<const uint8_t> bytes) {
    for (const uint8_t byte : bytes) hash = (hash ^ byte) * kFnvPrime;
    return hash;
}

// Over every byte but the checksum field itself.
uint32_t checksum(std::span<const uint8_t> bytes) {
    const std::size_t field = std::min(bytes.size(), kChecksumAt);
    const std::size_t after_field = std::min(bytes.size(), kChecksumAt + kWordWidth);
    return fnv1a(fnv1a(kFnvOffsetBasis, bytes.first(field)), bytes.subspan(after_field));
}

}  // namespace

std::vector<uint8_t> encode(const std::optional<FlashContents>& contents) {
    const std::size_t image_size = contents ? contents->image.size() : 0;
    std::vector<uint8_t> bytes(kHeaderSize + image_size);
    std::memcpy(bytes.data() + kMagicAt, kMagic.data(), kMagic.size());
    store_le(bytes, kVersionAt, kVersionWidth, kVersion);
    bytes[kKindAt] = contents ? kKindImage : kKindEmpty;
    if (contents) {
        std::memcpy(bytes.data() + kRecordAt, contents->record.data(), contents->record.size());
        std::copy(contents->image.begin(), contents->image.end(), bytes.begin() + kHeaderSize);
    }
    store_le(bytes, kImageLengthAt, kWordWidth, static_cast<uint32_t>(image_size));
    store_le(bytes, kChecksumAt, kWordWidth, checksum(bytes));
    return bytes;
}

std::optional<std::optional<FlashContents>> decode(std::span<const uint8_t> bytes) {
    if (bytes.size() < kHeaderSize) return std::nullopt;
    if (std::memcmp(bytes.data() + kMagicAt, kMagic.data(), kMagic.size()) != 0) {
        return std::nullopt;
    }
    if (load_le(bytes, kVersionAt, kVersionWidth) != kVersion) return std::nullopt;
    if (load_le(bytes, kChecksumAt, kWordWidth) != checksum(bytes)) return std::nullopt;
    const uint32_t image_size = load_le(bytes, kImageLengthAt, kWordWidth);
    if (image_size > kFlashCapacity || bytes.size() != kHeaderSize + image_size) {
        return std::nullopt;
    }
    const uint8_t kind = bytes[kKindAt];
    if (kind == kKindEmpty && image_size == 0) return std::optional<FlashContents>{};
    if (kind != kKindImage) return std::nullopt;
    FlashContents contents;
    std::memcpy(contents.record.data(), bytes.data() + kRecordAt, contents.record.size());
    contents.image.assign(bytes.begin() + kHeaderSize, bytes.end());
    return std::optional<FlashContents>{std::move(contents)};
}

}  // namespace flash_file

// --- the file on disk ----------------------------------------------------------------------------

namespace {

constexpr mode_t kPrivateDirectory = 0700;
// mkostemp's pattern: the flash file's name, a dot and six characters.
constexpr std::string_view kTemporarySuffix = ".XXXXXX";
constexpr std::string_view kFlashFilePrefix = "slot-";
constexpr std::string_view kFlashFileExtension = ".flash";

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    // Closes now, reporting what close reports (a late write error shows up here).
    bool close() {
        const int fd = std::exchange(fd_, -1);
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

enum class ReadOutcome { kRead, kMissing, kFailed };

ReadOutcome read_file(const std::filesystem::path& file, std::vector<uint8_t>& bytes) {
    // Without blocking: a FIFO in the file's place must not hold the module up for good.
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    // Where no file can be, nothing was ever stored: a fresh module.
    if (fd.get() < 0) {
        return errno == ENOENT || errno == ENOTDIR ? ReadOutcome::kMissing : ReadOutcome::kFailed;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return ReadOutcome::kFailed;
    // Anything longer than the largest valid file is damaged; no need to read all of it.
    constexpr std::size_t kLimit = flash_file::kHeaderSize + kFlashCapacity + 1;
    bytes.clear();
    std::array<uint8_t, 64 * 1024> chunk;
    while (bytes.size() < kLimit) {
        const ssize_t got = ::read(fd.get(), chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return ReadOutcome::kFailed;
        if (got == 0) break;
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + got);
    }
    return ReadOutcome::kRead;
}

bool write_all(int fd, std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t put = ::write(fd, bytes.data(), bytes.size());
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        bytes = bytes.subspan(static_cast<std::size_t>(put));
    }
    return true;
}

bool make_private_directory(const std::filesystem::path& directory) {
    std::error_code error;
    std::filesystem::create_directories(directory.parent_path(), error);
    if (::mkdir(directory.c_str(), kPrivateDirectory) == 0 || errno == EEXIST) {
        return std::filesystem::is_directory(directory, error);
    }
    return false;
}

// The new contents go to a temporary file beside the old one, which is renamed over the old one
// only once complete and on disk: a crash at any point leaves the old flash or the new one.
bool replace_file(const std::filesystem::path& file, std::span<const uint8_t> bytes) {
    const std::filesystem::path directory = file.parent_path();
    if (!make_private_directory(directory)) return false;
    // Held shared while the temporary file exists, so that a starting backplane does not take
    // it for one a killed process left.
    FileDescriptor directory_lock(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory_lock.get() < 0 || ::flock(directory_lock.get(), LOCK_SH) != 0) return false;
    std::string temporary = file.string() + std::string(kTemporarySuffix);
    FileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (fd.get() < 0) return false;
    const bool complete = write_all(fd.get(), bytes) && ::fsync(fd.get()) == 0 && fd.close() &&
                          ::rename(temporary.c_str(), file.c_str()) == 0;
    if (!complete) {
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename itself must reach the disk too, or a crash could bring the old file back.
    FileDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.get() >= 0 && ::fsync(dir.get()) == 0;
}

}  // namespace

FlashStore::FlashStore() : contents_(builtin_firmware()) {}

FlashStore::FlashStore(std::filesystem::path file) : file_(std::move(file)) {
    std::vector<uint8_t> bytes;
    switch (read_file(*file_, bytes)) {
        case ReadOutcome::kMissing:
            contents_ = builtin_firmware();
            return;
        case ReadOutcome::kFailed:
            state_ = FlashState::kUnreadable;
            return;
        case ReadOutcome::kRead:
            break;
    }
    std::optional<std::optional<FlashContents>> decoded = flash_file::decode(bytes);
    if (!decoded) {
        state_ = FlashState::kUnreadable;
    } else if (!*decoded) {
        state_ = FlashState::kEmpty;
    } else {
        contents_ = std::move(*decoded);
    }
}

bool FlashStore::write(std::optional<FlashContents> contents) {
    if (fail_writes_) return false;
    if (contents && contents->image.size() > kFlashCapacity) return false;
    if (file_ && !replace_file(*file_, flash_file::encode(contents))) return false;
    state_ = contents ? FlashState::kImage : FlashState::kEmpty;
    contents_ = std::move(contents);
    return true;
}

std::optional<std::filesystem::path> flash_state_directory() {
    const auto set = [](const char* name) -> const char* {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0' ? value : nullptr;
    };
    if (const char* state = set(kStateEnvironmentVariable)) return std::filesystem::path(state);
    std::filesystem::path base;
    if (const char* xdg = set("XDG_STATE_HOME")) {
        base = xdg;
    } else if (const char* home = set("HOME")) {
        base = std::filesystem::path(home) / ".local" / "state";
    } else {
        return std::nullopt;
    }
    return base / "tarn-backplane";
}

std::filesystem::path flash_file_for_slot(const std::filesystem::path& directory, int slot) {
    return directory / (std::string(kFlashFilePrefix) + std::to_string(slot) +
                        std::string(kFlashFileExtension));
}

void remove_stale_temporary_files(const std::filesystem::path& directory) {
    FileDescriptor lock(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // A write under way holds the directory shared: its temporary file is not stale.
    if (lock.get() < 0 || ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) return;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        const std::string name = entry.path().filename().string();
        const std::size_t stem = name.rfind('.');
        if (stem == std::string::npos || name.size() - stem != kTemporarySuffix.size()) continue;
        const std::string_view flash_name = std::string_view(name).substr(0, stem);
        if (!flash_name.starts_with(kFlashFilePrefix) || !flash_name.ends_with(kFlashFileExtension))
            continue;
        std::error_code ignored;
        if (entry.is_regular_file(ignored)) std::filesystem::remove(entry.path(), ignored);
    }
}

}  // namespace k5320::emulator
