// Everything both sides of the backplane touch: per slot the dual-port RAM with its mailbox and
// interrupt line, the page register and the module type, and the controller's registers. A plain
// struct of atomics and bytes without pointers, so one copy can live in memory that the
// backplane service shares with every process using the backplane, and port access stays a
// memory access in either arrangement.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "backplane/config.h"
#include "bridges/socketcand_link.h"
#include "driver/sdk/tarn_sdk.h"
#include "emulator/dual_port_ram.h"

namespace k5320::backplane {

inline constexpr int kControllerRegisterFirst = 0x7003;
inline constexpr int kControllerRegisterLast = 0x700D;
inline constexpr int kControllerRegisterCount =
    kControllerRegisterLast - kControllerRegisterFirst + 1;
// Room for the lines that say why the backplane is not as configured.
inline constexpr std::size_t kProblemsCapacity = 2048;

struct SharedSlot {
    emulator::DualPortRam ram;
    std::atomic<uint8_t> page{0};  // the page register (port 1)
    // Nonzero while a module sits in the slot; type is written only while it is zero.
    std::atomic<uint32_t> populated{0};
    // The process that holds the slot's interrupt registration (0: none); the service drops it
    // when that process goes.
    std::atomic<uint32_t> interrupt_client{0};
    std::array<char, TRN_MODULE_NAME_SIZE> type{};
};

// Room for a link's name: "BUS -> HOST:PORT/CHANNEL".
inline constexpr std::size_t kLinkNameCapacity = 320;

// A bus's link to a remote socketcand server, for k5320 list.
struct SharedLink {
    std::array<char, kLinkNameCapacity> name{};  // written once before stamp(); empty: unused
    bridges::LinkStatus status;
};

struct SharedBackplane {
    static constexpr uint32_t kMagic = 0x54424B50;  // "TBKP"
    // Bumped whenever this layout changes: a client never maps a service of another build.
    static constexpr uint32_t kLayoutVersion = 5;

    std::atomic<uint32_t> magic{0};
    std::atomic<uint32_t> layout_version{0};
    std::atomic<uint32_t> size{0};
    std::atomic<uint32_t> service_pid{0};  // 0 in-process
    std::array<std::atomic<uint8_t>, kControllerRegisterCount> controller_registers{};
    std::array<SharedSlot, kLastSlot + 1> slots{};  // indexed by slot number; [0] unused
    // Written once before stamp(), zero-terminated, one line per problem.
    std::array<char, kProblemsCapacity> problems{};
    std::array<SharedLink, kMaxRemoteLinks> links{};

    void set_problems(std::string_view text) {
        const std::size_t length = std::min(text.size(), problems.size() - 1);
        std::memcpy(problems.data(), text.data(), length);
        problems[length] = '\0';
    }
    std::string problems_text() const {
        return std::string(problems.data(), strnlen(problems.data(), problems.size()));
    }

    // Marks a freshly zeroed block as usable.
    void stamp(uint32_t pid) {
        size.store(sizeof(SharedBackplane), std::memory_order_relaxed);
        layout_version.store(kLayoutVersion, std::memory_order_relaxed);
        service_pid.store(pid, std::memory_order_relaxed);
        magic.store(kMagic, std::memory_order_release);
    }
    bool valid() const {
        return magic.load(std::memory_order_acquire) == kMagic &&
               layout_version.load(std::memory_order_relaxed) == kLayoutVersion &&
               size.load(std::memory_order_relaxed) == sizeof(SharedBackplane);
    }
};

static_assert(std::is_standard_layout_v<SharedBackplane>);

}  // namespace k5320::backplane
