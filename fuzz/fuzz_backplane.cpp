#include "fuzz/fuzz_backplane.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "backplane/host.h"
#include "driver/sdk/tarn_sdk.h"
#include "k5320/commands.h"
#include "k5320/dpram_map.h"
#include "k5320/sja1000_registers.h"

namespace k5320::fuzz {

uint8_t ByteStream::byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
}

uint16_t ByteStream::word() {
    const uint8_t low = byte();
    return static_cast<uint16_t>(low | (byte() << 8));
}

std::span<const uint8_t> ByteStream::take(size_t n) {
    n = std::min(n, size_);
    std::span<const uint8_t> bytes(data_, n);
    data_ += n;
    size_ -= n;
    return bytes;
}

ByteStream ByteStream::split(size_t n) {
    const std::span<const uint8_t> bytes = take(n);
    return ByteStream(bytes.data(), bytes.size());
}

namespace {

namespace dp = k5320::dpram;
namespace answer = k5320::answer;
namespace cmd = k5320::cmd;

// The port and call conventions of the real stand-in backplane.
using backplane::kCallDone;
using backplane::kCallIgnored;
using backplane::kFirstSlot;
using backplane::kFloatingBus;
using backplane::kLastSlot;
constexpr int kControllerPortFirst = backplane::kControllerRegisterFirst;
constexpr int kControllerPortLast = backplane::kControllerRegisterLast;
constexpr uint32_t kPages = dp::kSize / dp::kPageSize;

// How many answers from the input the firmware posts for one command at most.
constexpr int kMaxPostsPerTurn = 4;
// The low bits of the control byte before each posted answer: DPRAM patches written first.
constexpr uint8_t kPatchCountMask = 0x03;

// The controller status the firmware shows once its CAN controller runs: transmit buffer free,
// last transmission complete.
constexpr uint8_t kRunningStatus = sja1000::SR_TBS | sja1000::SR_TCS;

[[noreturn]] void fault(const char* what, int a, int b) {
    std::fprintf(stderr, "fuzz backplane: %s (%d, %d)\n", what, a, b);
    std::abort();
}

// The answers the module gives to a command, its plain answer first. Each set holds only values
// that end every wait the driver starts with that command; the input's other answers are posted
// as well, but never as the last word.
class Answers {
  public:
    static constexpr size_t kCapacity = answer::kLoaderLast - answer::kLoaderFirst + 1;
    constexpr Answers() = default;
    constexpr Answers(std::initializer_list<uint8_t> values) {
        for (uint8_t v : values) add(v);
    }
    // Answers that come only when the input gives them: the host does not wait for them with
    // the handshake, so silence costs no polling.
    static constexpr Answers unprompted(std::initializer_list<uint8_t> values) {
        Answers a(values);
        a.plain_when_silent_ = false;
        return a;
    }
    static constexpr Answers loader(uint8_t plain) {
        Answers a{plain};
        for (int v = answer::kLoaderFirst; v <= answer::kLoaderLast; ++v)
            if (v != plain) a.add(static_cast<uint8_t>(v));
        return a;
    }
    // Whether the module posts its plain answer when the input's answers did not end the turn.
    constexpr bool answers_when_silent() const { return count_ > 0 && plain_when_silent_; }
    constexpr uint8_t plain() const { return values_[0]; }
    constexpr bool contains(uint8_t v) const {
        return std::find(values_.begin(), values_.begin() + count_, v) != values_.begin() + count_;
    }

  private:
    constexpr void add(uint8_t v) {
        if (count_ < kCapacity) values_[count_++] = v;
    }
    std::array<uint8_t, kCapacity> values_{};
    size_t count_ = 0;
    bool plain_when_silent_ = true;
};

Answers answers_to(uint8_t command) {
    switch (command) {
        case cmd::kTransmit:
            return {answer::kTxAccepted, answer::kTxRefused};
        case cmd::kStartCan:
            return {answer::kCanStarted};
        case cmd::kBankRead:
            return {answer::kBankReleased};
        case cmd::kFetchReceived:
            return {answer::kNothingReceived, answer::kBank0Ready, answer::kBank1Ready,
                    answer::kBank0ReadyOverflow, answer::kBank1ReadyOverflow};
        case cmd::kClearBufferStatus:
            return {answer::kBufferStatusCleared};
        case cmd::kClearSoftBuffers:
            return {answer::kSoftBuffersCleared};
        case cmd::kClearTxSoftBuffer:
            return {answer::kTxSoftBufferCleared};
        case cmd::kClearRxSoftBuffer:
            return {answer::kRxSoftBufferCleared};
        case cmd::kLoaderInfo:
            return Answers::loader(answer::kLoaderInfoAnnounced);
        case cmd::kLoaderBlock:
            return Answers::loader(answer::kLoaderBlockAccepted);
        case cmd::kLoaderDelete:
            return Answers::loader(answer::kLoaderDeleted);
        case cmd::kLoaderReport:
            return Answers::loader(answer::kLoaderInfoReport);
        case cmd::kLoaderReset:
        case cmd::kLoaderMode:
            return {answer::kLoaderMode, answer::kProgramMode};
        case cmd::kProgramMode:
        case cmd::kModeQuery:
            return {answer::kProgramMode, answer::kLoaderMode};
        case cmd::kCyclicRest:
        case cmd::kCyclicAdd:
        case cmd::kCyclicDelete:
        case cmd::kCyclicEnable:
        case cmd::kCyclicDisable:
            return {answer::kCyclicDone, answer::kCyclicRefused};
        case cmd::kEnableSja1000:
        case cmd::kDisableSja1000:
            return {answer::kSja1000Toggled};
        case cmd::kSystemMsgOff:
        case cmd::kSystemMsgOn:
            return {answer::kSystemMsgSwitched, answer::kSystemMsgRefused};
        case cmd::kRunUserProgram:
            return {answer::kUserProgramRunning, answer::kUserProgramEnded};
        case cmd::kEndUserProgram:
            return {answer::kUserProgramEnded, answer::kUserProgramRunning};
        case cmd::kSetClock:
            return {answer::kClockSet, answer::kClockRefused};
        case cmd::kRestore:
            return {answer::kRestored};
        case cmd::kReset:
            return {answer::kResetDone};
        case cmd::kWriteRegister:
            return {answer::kRegisterWritten};
        case cmd::kReadRegister:
            return {answer::kRegisterRead};
        case cmd::kApplyConfig:
            return {answer::kConfigApplied, answer::kConfigRefused};
        case cmd::kCommandRecord:
            // The user program may answer a record with one of its own; the host waits for it
            // with a time-out of its own.
            return Answers::unprompted({answer::kCommandRecordArrived});
        default:
            return {};  // a user command: only the input's answers, if any
    }
}

struct Module {
    std::array<uint8_t, dp::kSize> ram{};
    uint8_t page = 0;
    bool line = false;
    TrnSlotInterruptRoutine routine = nullptr;
    bool enabled = false;
    bool delivering = false;
    uint8_t last_command = 0;  // what a repeat request asks the answer of
};

struct Backplane {
    int slot = 0;  // 0: no run
    std::string module_name;
    Module module;
    ByteStream firmware;
    std::array<uint8_t, kControllerPortLast - kControllerPortFirst + 1> controller{};
};

Backplane& backplane() {
    static Backplane* const instance = new Backplane;
    return *instance;
}

void check_slot_number(int slot) {
    if (slot < kFirstSlot || slot > kLastSlot) fault("slot number outside 1..7", slot, 0);
}

// The module in `slot`, or null for an empty slot.
Module* module_in(int slot) {
    check_slot_number(slot);
    Backplane& b = backplane();
    return slot == b.slot ? &b.module : nullptr;
}

void apply_patches(size_t count, ByteStream& input) {
    Module& m = backplane().module;
    for (size_t i = 0; i < count && !input.empty(); ++i) {
        const uint32_t address = input.word() % dp::kSize;
        const size_t length = input.byte();
        const std::span<const uint8_t> bytes = input.take(length);
        const size_t fitting = std::min<size_t>(bytes.size(), dp::kSize - address);
        std::copy_n(bytes.begin(), fitting, m.ram.begin() + address);
    }
}

// Runs the slot routine while the line is raised, registered and enabled, as the interrupt
// thread would; the routine's read of the answer byte lowers the line.
void deliver() {
    Module& m = backplane().module;
    if (m.delivering) return;  // a post from inside the routine is delivered when it returns
    m.delivering = true;
    while (m.line && m.routine != nullptr && m.enabled) {
        m.line = false;
        m.routine();
    }
    m.delivering = false;
}

void post(uint8_t value) {
    Module& m = backplane().module;
    m.ram[dp::kAnswerByte] = value;
    m.line = true;
    deliver();
}

// The firmware's turn after the host rang the doorbell.
void answer_command(uint8_t command) {
    Backplane& b = backplane();
    Module& m = b.module;
    if (command == cmd::kRepeatRequest) {
        command = m.last_command;
    } else {
        m.last_command = command;
    }
    if (command == cmd::kStartCan) {
        m.ram[dp::kCanStatus] = kRunningStatus;
        m.ram[dp::kCanStatusComplement] = static_cast<uint8_t>(dp::kStatusPairSum - kRunningStatus);
    }
    const Answers answers = answers_to(command);
    for (int posted = 0; posted < kMaxPostsPerTurn && !b.firmware.empty(); ++posted) {
        const uint8_t control = b.firmware.byte();
        apply_patches(control & kPatchCountMask, b.firmware);
        if (b.firmware.empty()) break;
        const uint8_t value = b.firmware.byte();
        post(value);
        if (answers.contains(value)) return;
    }
    if (answers.answers_when_silent()) post(answers.plain());
}

}  // namespace

void start_run(const RunSetup& setup, size_t patch_count, ByteStream input) {
    check_slot_number(setup.slot);
    Backplane& b = backplane();
    b.slot = setup.slot;
    b.module_name = setup.module_name;
    b.module = Module{};
    b.controller = {};
    apply_patches(patch_count, input);
    b.module.line = setup.answer_unread;
    b.firmware = input;
}

std::span<const uint8_t> module_ram() {
    return backplane().module.ram;
}

void end_run() {
    Backplane& b = backplane();
    if (b.module.routine != nullptr) fault("slot routine left registered", b.slot, 0);
    b.slot = 0;
    b.firmware = ByteStream();
}

}  // namespace k5320::fuzz

using k5320::fuzz::backplane;
using k5320::fuzz::check_slot_number;
using k5320::fuzz::deliver;
using k5320::fuzz::fault;
using k5320::fuzz::kCallDone;
using k5320::fuzz::kCallIgnored;
using k5320::fuzz::Module;
using k5320::fuzz::module_in;
namespace dp = k5320::dpram;

extern "C" {

int _trn_slot_outp(int slot, int port, int value) {
    Module* m = module_in(slot);
    if (m == nullptr) return kCallIgnored;
    const auto byte = static_cast<uint8_t>(value);
    if (port == dp::kPortPageRegister) {
        if (byte >= k5320::fuzz::kPages) fault("page beyond the DPRAM", byte, 0);
        m->page = byte;
        return kCallDone;
    }
    if (!k5320::dpram::is_window_port(port))
        fault("write to a port outside the DPRAM", port, value);
    const uint16_t address = k5320::dpram::window_address(m->page, port);
    m->ram[address] = byte;
    if (address == dp::kCommandByte) k5320::fuzz::answer_command(byte);
    return kCallDone;
}

int _trn_slot_inp(int slot, int port) {
    Module* m = module_in(slot);
    if (m == nullptr) return k5320::fuzz::kFloatingBus;
    if (port == dp::kPortPageRegister) return m->page;
    if (!k5320::dpram::is_window_port(port)) fault("read of a port outside the DPRAM", port, 0);
    const uint16_t address = k5320::dpram::window_address(m->page, port);
    if (address == dp::kAnswerByte) m->line = false;  // the read acknowledges the answer
    return m->ram[address];
}

int _trn_outp(int port, int value) {
    if (port < k5320::fuzz::kControllerPortFirst || port > k5320::fuzz::kControllerPortLast)
        fault("controller port outside the interrupt registers", port, value);
    backplane().controller[port - k5320::fuzz::kControllerPortFirst] = static_cast<uint8_t>(value);
    return kCallDone;
}

int _trn_inp(int port) {
    if (port < k5320::fuzz::kControllerPortFirst || port > k5320::fuzz::kControllerPortLast)
        fault("controller port outside the interrupt registers", port, 0);
    return backplane().controller[port - k5320::fuzz::kControllerPortFirst];
}

int trn_GetModuleName(int slot, char* name) {
    check_slot_number(slot);
    // The whole buffer is written, so a caller's buffer shorter than the SDK's size is caught.
    std::memset(name, 0, TRN_MODULE_NAME_SIZE);
    if (module_in(slot) != nullptr) {
        const std::string& type = backplane().module_name;
        std::memcpy(name, type.data(), std::min<size_t>(type.size(), TRN_MODULE_NAME_SIZE - 1));
    }
    return kCallDone;
}

int trn_RegisterSlotInterrupt(int slot, TrnSlotInterruptRoutine routine) {
    Module* m = module_in(slot);
    if (m == nullptr) return kCallIgnored;
    m->routine = routine;
    deliver();  // a raised line is delivered now, if enabled
    return kCallDone;
}

int trn_UnregisterSlotInterrupt(int slot) {
    Module* m = module_in(slot);
    if (m == nullptr) return kCallIgnored;
    m->routine = nullptr;
    return kCallDone;
}

int trn_EnableSlotInterrupt(int slot, int on) {
    Module* m = module_in(slot);
    if (m == nullptr) return kCallIgnored;
    m->enabled = on != 0;
    deliver();  // a raised line is delivered now, if registered
    return kCallDone;
}

int trn_InterruptDone(int slot) {
    Module* m = module_in(slot);
    if (m == nullptr) return kCallIgnored;
    m->line = false;
    return kCallDone;
}

int trn_SetTriggerType(int slot, int) {
    check_slot_number(slot);
    return kCallDone;
}

int trn_SetSlotInterruptPriority(int slot, int) {
    check_slot_number(slot);
    return kCallDone;
}

// Interrupts are delivered as they are raised here: a waiter has nothing to run on its thread.
int trn_ClaimSlotInterrupt(int slot, int) {
    check_slot_number(slot);
    return kCallIgnored;
}
int trn_AwaitSlotInterrupt(int slot, int, const unsigned*, unsigned) {
    check_slot_number(slot);
    return kCallIgnored;
}
// A backplane of this process alone.
int trn_GetBackplaneId(char* id, int size) {
    if (id == nullptr || size <= 0) return -1;
    id[0] = '\0';
    return 0;
}

}  // extern "C"
