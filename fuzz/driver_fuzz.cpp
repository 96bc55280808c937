// The driver against arbitrary firmware: the DPRAM contents and every answer come from the
// input (fuzz_backplane.h), time is virtual (fuzz_clock.h). A run initialises one slot and calls
// a sequence of library functions chosen by the input, each with exactly sized output buffers,
// so that AddressSanitizer reports any write past what a caller provides, and the fuzz backplane
// aborts on any port access outside the DPRAM. The results are checked against what the API
// promises: documented result codes, lengths and counts in range, outputs left alone on failure.
//
// Input: slot, module type, flags, the length of the operation list and the list, the number of
// DPRAM patches and the patches, then the firmware's answers (see fuzz_backplane.h).
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "can/frame.h"
#include "driver/frame/slot_ownership.h"
#include "fuzz/fuzz_backplane.h"
#include "fuzz/fuzz_clock.h"
#include "k5320.h"
#include "k5320/dpram_map.h"

namespace {

using k5320::fuzz::ByteStream;
namespace dp = k5320::dpram;

constexpr int kSlots = 7;
constexpr const char* kModuleTypes[] = {"5320", "5323", "5324", "5325", "5321"};
constexpr size_t kModuleTypeCount = sizeof kModuleTypes / sizeof kModuleTypes[0];

// Flags byte.
constexpr uint8_t kFlagAnswerUnread = 0x01;
constexpr uint8_t kFlagTickNearWrap = 0x02;
constexpr uint32_t kTickNearWrap = 0xFFFFFFF0;

// What a caller's output holds before a call; a failed call must leave it so.
constexpr uint8_t kUntouched = 0xA5;
// The caller's buffer for a command record: the largest record the API passes.
constexpr size_t kCommandBufferSize = dp::kCmdRecordMax;
// A record length argument reaches a little past the valid range on both sides.
constexpr uint16_t kRecordLengthSpan = dp::kCmdRecordMax + 3;
// Time-outs of SendReceiveCmd: short, in virtual milliseconds.
constexpr uint8_t kTimeoutSpan = 8;
// Loader data blocks: small ones, and now and then one past the limit.
constexpr uint16_t kBlockLengthSpan = 64;

[[noreturn]] void violated(const char* what, int rc) {
    std::fprintf(stderr, "driver fuzz: %s (result %d)\n", what, rc);
    std::abort();
}

void require(bool holds, const char* what, int rc) {
    if (!holds) violated(what, rc);
}

bool documented_result(int rc) {
    switch (rc) {
        case K5320_SUCCESS:
        case K5320_ERR_BAD_SLOT:
        case K5320_ERR_REFUSED:
        case K5320_ERR_NO_MESSAGE:
        case K5320_ERR_TX_REFUSED:
        case K5320_ERR_NO_ANSWER:
        case K5320_ERR_CYCLIC_REFUSED:
        case K5320_ERR_RANGE:
        case K5320_ERR_NO_COMMAND:
        case K5320_ERR_WRONG_STATE:
        case K5320_ERR_LOADER_EMPTY:
        case K5320_ERR_DOWNLOAD_REFUSED:
        case K5320_ERR_DELETE_REFUSED:
        case K5320_ERR_BLOCK_TOO_LONG:
        case K5320_ERR_LOADER_REJECTED:
        case K5320_ERR_NOT_DOWNLOAD_MODE:
        case K5320_ERR_CLOCK_REFUSED:
        case K5320_ERR_NOT_CONFIGURED:
        case K5320_ERR_NOT_INITIALIZED:
        case K5320_ERR_SJA1000_UNCONFIRMED:
        case K5320_ERR_ANSWER_PENDING:
        case K5320_ERR_ALREADY_REGISTERED:
        case K5320_ERR_SYSTEM_MSG_REFUSED:
            return true;
        default:
            return false;
    }
}

// With K5320_FUZZ_TRACE set, each operation and result is printed (for reading a seed or a
// crashing input).
bool tracing() {
    static const bool on = std::getenv("K5320_FUZZ_TRACE") != nullptr;
    return on;
}

int checked(int rc) {
    if (tracing()) std::fprintf(stderr, " -> %d", rc);
    require(documented_result(rc), "undocumented result code", rc);
    return rc;
}

// An output the library writes: heap memory of exactly its size, filled with kUntouched.
template <typename T>
std::unique_ptr<T> output() {
    auto p = std::make_unique<T>();
    std::memset(static_cast<void*>(p.get()), kUntouched, sizeof(T));
    return p;
}

std::vector<uint8_t> output_buffer(size_t size) {
    return std::vector<uint8_t>(size, kUntouched);
}

template <typename T>
bool untouched(const T& value) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
    return std::all_of(bytes, bytes + sizeof(T), [](uint8_t b) { return b == kUntouched; });
}

bool untouched(const std::vector<uint8_t>& buffer) {
    return std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == kUntouched; });
}

bool delivered(int rc) {
    return rc == K5320_SUCCESS || rc == K5320_RX_DELIVERED_AFTER_OVERFLOW;
}

void check_frame(uint8_t mode, uint32_t id, uint8_t rtr, uint8_t length) {
    require(mode <= 1 && rtr <= 1, "mode or RTR not 0/1", 0);
    require(length <= k5320::can::kMaxDataLength, "data length above 8", length);
    const uint32_t id_mask = mode != 0 ? k5320::can::kExtendedIdMask : k5320::can::kStandardIdMask;
    require((id & ~id_mask) == 0, "identifier wider than its format", static_cast<int>(id));
}

void receive_without_struct(uint8_t slot) {
    auto mode = output<uint8_t>();
    auto id = output<uint32_t>();
    auto rtr = output<uint8_t>();
    auto length = output<uint8_t>();
    auto data = output_buffer(k5320::can::kMaxDataLength);
    auto high = output<uint32_t>();
    auto low = output<uint32_t>();
    const int rc = checked(K5320_ReceiveWithoutStruct(
        slot, mode.get(), id.get(), rtr.get(), length.get(), data.data(), high.get(), low.get()));
    if (delivered(rc)) {
        check_frame(*mode, *id, *rtr, *length);
        if (*rtr != 0) require(untouched(data), "remote frame wrote the data", rc);
    } else {
        require(untouched(*mode) && untouched(*id) && untouched(*rtr) && untouched(*length) &&
                    untouched(data) && untouched(*high) && untouched(*low),
                "receive without a message wrote an output", rc);
    }
}

void receive_msg(uint8_t slot) {
    auto msg = output<CanMsg>();
    const int rc = checked(K5320_ReceiveMsg(slot, msg.get()));
    if (delivered(rc)) {
        check_frame(msg->Mode, msg->MsgID, msg->RTR, msg->DataLen);
    } else {
        require(untouched(*msg), "receive without a message wrote the message", rc);
    }
}

// Whether `bytes` are what the module's DPRAM holds at `address`.
bool as_in_dpram(uint32_t address, std::span<const uint8_t> bytes) {
    const std::span<const uint8_t> ram = k5320::fuzz::module_ram();
    return address + bytes.size() <= ram.size() &&
           std::equal(bytes.begin(), bytes.end(), ram.begin() + address);
}

uint16_t dpram_word(uint32_t address) {
    const std::span<const uint8_t> ram = k5320::fuzz::module_ram();
    return static_cast<uint16_t>(ram[address] | ram[address + 1] << 8);
}

void check_record(int rc, const std::vector<uint8_t>& buffer, uint16_t length) {
    if (rc == K5320_SUCCESS) {
        require(length >= 1 && length <= dp::kCmdRecordMax, "record length outside 1..512", rc);
        require(length == dpram_word(dp::kInCmdLength) &&
                    as_in_dpram(dp::kInCmdData, std::span(buffer).first(length)),
                "record delivered otherwise than the module wrote it", rc);
    } else {
        require(untouched(buffer) && length == static_cast<uint16_t>(kUntouched * 0x0101),
                "a failed record call wrote the caller's buffer", rc);
    }
}

void receive_cmd(uint8_t slot) {
    auto buffer = output_buffer(kCommandBufferSize);
    auto length = output<uint16_t>();
    const int rc = checked(K5320_ReceiveCmd(slot, buffer.data(), length.get()));
    check_record(rc, buffer, *length);
}

void send_receive_cmd(uint8_t slot, ByteStream& args) {
    const uint8_t wait = args.byte() & 1;
    const uint16_t length = args.word() % kRecordLengthSpan;
    const uint16_t timeout = args.byte() % kTimeoutSpan;
    const std::vector<uint8_t> record(std::max<size_t>(length, 1), args.byte());
    auto buffer = output_buffer(kCommandBufferSize);
    auto received = output<uint16_t>();
    const int rc = checked(K5320_SendReceiveCmd(slot, wait, record.data(), length, buffer.data(),
                                                received.get(), timeout));
    check_record(rc, buffer, *received);
}

void send_cmd(uint8_t slot, ByteStream& args) {
    const uint16_t length = args.word() % kRecordLengthSpan;
    const std::vector<uint8_t> record(std::max<size_t>(length, 1), args.byte());
    checked(K5320_SendCmd(slot, record.data(), length));
}

void rx_msg_count(uint8_t slot) {
    auto count = output<uint16_t>();
    const int rc = checked(K5320_RxMsgCount(slot, count.get()));
    if (rc == K5320_SUCCESS) require(*count <= dp::kRxBankRecords, "more messages than a bank", rc);
}

void get_firmware_info(uint8_t slot) {
    auto info = output<FirmwareInfo>();
    const int rc = checked(K5320_Load_GetFirmwareInfo(slot, info.get()));
    if (rc != K5320_SUCCESS) {
        require(untouched(*info), "failed report wrote the record", rc);
        return;
    }
    require(
        as_in_dpram(dp::kInfoAnswerRecord,
                    std::span(reinterpret_cast<const uint8_t*>(info.get()), sizeof(FirmwareInfo))),
        "information record delivered otherwise than the module wrote it", rc);
}

void read_multi_byte(uint8_t slot, ByteStream& args) {
    const uint16_t address = args.word();
    const uint16_t length = args.word() % (dp::kUserWindowSize + 1);
    auto buffer = output_buffer(length);
    const int rc = checked(K5320_DPRAMReadMultiByte(slot, address, buffer.data(), length));
    if (rc == K5320_SUCCESS)
        require(uint32_t{address} + length <= dp::kUserWindowSize && as_in_dpram(address, buffer),
                "read beyond the window, or other bytes than the DPRAM holds", rc);
    else
        require(untouched(buffer), "refused read wrote the buffer", rc);
}

void configure(uint8_t slot, ByteStream& args) {
    const uint8_t baud = args.byte();
    const uint8_t bt0 = args.byte();
    const uint8_t bt1 = args.byte();
    checked(K5320_ConfigWithoutStruct(slot, args.word(), args.word(), baud, bt0, bt1));
}

void cyclic(uint8_t slot, ByteStream& args) {
    const uint8_t mode = args.byte();
    const uint32_t id = args.word();
    const uint8_t length = args.byte();
    const std::vector<uint8_t> data(std::max<size_t>(k5320::can::clamp_length(length), 1),
                                    args.byte());
    auto handle = output<uint8_t>();
    const int rc = checked(K5320_AddCyclicTxMsg(slot, mode, id, 0, length, data.data(), args.byte(),
                                                args.byte(), handle.get()));
    if (rc != K5320_SUCCESS) return;
    auto rest = output<uint32_t>();
    checked(K5320_CheckCyclicTxRestMsg(slot, *handle, rest.get()));
}

void send(uint8_t slot, ByteStream& args) {
    const uint8_t mode = args.byte();
    const uint32_t id = args.word();
    const uint8_t rtr = args.byte() & 1;
    const uint8_t length = args.byte();
    // Only as many data bytes as the length asks for (at most 8) are the caller's.
    const std::vector<uint8_t> data(std::max<size_t>(k5320::can::clamp_length(length), 1),
                                    args.byte());
    checked(K5320_SendWithoutStruct(slot, mode, id, rtr, length, data.data()));
}

void download_data(uint8_t slot, ByteStream& args) {
    const uint16_t block = args.word();
    const uint16_t span = args.byte() % kBlockLengthSpan;
    // The largest block the loader takes, or one byte more, now and then.
    const uint16_t length =
        span == 0 ? static_cast<uint16_t>(dp::kLoaderMaxPayload + (block & 1)) : span;
    const std::vector<uint8_t> data(length, args.byte());
    K5320_Load_CalculatedCRC(data.data(), length);
    checked(K5320_Load_DownloadData(slot, block, data.data(), length));
}

// The same through the structures of the API.
void configure_struct(uint8_t slot, ByteStream& args) {
    auto config = std::make_unique<CanConfig>();
    const std::span<const uint8_t> bytes = args.take(sizeof(CanConfig));
    std::memcpy(config.get(), bytes.data(), bytes.size());
    checked(K5320_Config(slot, config.get()));
}

void send_msg(uint8_t slot, ByteStream& args) {
    auto msg = std::make_unique<CanMsg>();
    const std::span<const uint8_t> bytes = args.take(sizeof(CanMsg));
    std::memcpy(static_cast<void*>(msg.get()), bytes.data(), bytes.size());
    checked(K5320_SendMsg(slot, msg.get()));
}

// Calls with any slot number: a slot this run did not initialise must be refused before the
// library touches the backplane (the fuzz backplane aborts on slot numbers outside 1..7).
void other_slot(ByteStream& args) {
    const uint8_t slot = args.byte();
    auto value = output<uint8_t>();
    auto count = output<uint16_t>();
    checked(K5320_DPRAMReadByte(slot, 0, value.get()));
    checked(K5320_RxMsgCount(slot, count.get()));
    checked(K5320_Check186Mode(slot, value.get()));
    checked(K5320_RemoveIrq(slot));
}

// The loader calls besides the report and the data blocks, one chosen by the first argument.
void loader_other(uint8_t slot, ByteStream& args) {
    constexpr int kCalls = 4;
    switch (args.byte() % kCalls) {
        case 0:
            checked(K5320_Load_IntoDownloadMode(slot));
            break;
        case 1:
            checked(K5320_Load_DeleteFirmware(slot));
            break;
        case 2: {
            FirmwareInfo info;
            const std::span<const uint8_t> bytes = args.take(sizeof info);
            std::memset(&info, 0, sizeof info);
            std::memcpy(&info, bytes.data(), bytes.size());
            checked(K5320_Load_DownloadInfo(slot, info));
            break;
        }
        default:
            checked(K5320_Load_Reset(slot));
            break;
    }
}

// The mode, register, clock, buffer and system message calls, one chosen by the first argument.
void module_other(uint8_t slot, ByteStream& args) {
    constexpr int kCalls = 13;
    const uint8_t call = args.byte() % kCalls;
    const uint8_t arg = args.byte();
    switch (call) {
        case 0:
            checked(K5320_RunUserProgram(slot));
            break;
        case 1:
            checked(K5320_EndUserProgram(slot));
            break;
        case 2:
            checked(K5320_SetSystemMsg(slot, arg));
            break;
        case 3:
            checked(K5320_EnableSJA1000(slot));
            break;
        case 4:
            checked(K5320_DisableSJA1000(slot));
            break;
        case 5:
            checked(K5320_AdjustDateTime(slot));
            break;
        case 6:
            checked(K5320_OutputByte(slot, arg, args.byte()));
            break;
        case 7:
            checked(K5320_ClearDataOverrun(slot));
            break;
        case 8:
            checked(K5320_ClearBufferStatus(slot));
            break;
        case 9:
            checked(K5320_ClearSoftBuffer(slot));
            break;
        case 10:
            checked(K5320_ClearTxSoftBuffer(slot));
            break;
        case 11: {
            auto type = output<uint8_t>();
            checked(K5320_ReadUserInttType(slot, type.get()));
            break;
        }
        default:
            checked(
                K5320_SJA1000Config(slot, args.word(), args.word(), arg, args.byte(), args.byte()));
            break;
    }
}

// The raw DPRAM exports with any address: a call past the user window must be refused.
void raw_access(uint8_t slot, ByteStream& args) {
    constexpr int kCalls = 8;
    const uint8_t call = args.byte() % kCalls;
    const uint16_t address = args.word();
    const uint8_t value = args.byte();
    switch (call) {
        case 0:
            checked(K5320_DPRAMWriteByte(slot, address, value));
            break;
        case 1:
            checked(K5320_DPRAMWriteWord(slot, address, value));
            break;
        case 2:
            checked(K5320_DPRAMWriteDword(slot, address, value));
            break;
        case 3: {
            const uint16_t length = args.word() % (dp::kUserWindowSize + 1);
            const std::vector<uint8_t> data(std::max<size_t>(length, 1), value);
            checked(K5320_DPRAMWriteMultiByte(slot, address, data.data(), length));
            break;
        }
        case 4:
            checked(K5320_DPRAMMemset(slot, address, value, args.word()));
            break;
        case 5: {
            auto byte = output<uint8_t>();
            checked(K5320_DPRAMReadByte(slot, address, byte.get()));
            break;
        }
        case 6: {
            auto word = output<uint16_t>();
            checked(K5320_DPRAMReadWord(slot, address, word.get()));
            break;
        }
        default: {
            auto dword = output<uint32_t>();
            checked(K5320_DPRAMReadDword(slot, address, dword.get()));
            break;
        }
    }
}

// Cyclic entries by handle.
void cyclic_entry(uint8_t slot, ByteStream& args) {
    constexpr int kCalls = 3;
    const uint8_t call = args.byte() % kCalls;
    const uint8_t handle = args.byte();
    if (call == 0) checked(K5320_DeleteCyclicTxMsg(slot, handle));
    if (call == 1) checked(K5320_EnableCyclicTxMsg(slot, handle));
    if (call == 2) checked(K5320_DisableCyclicTxMsg(slot, handle));
}

enum class Op : uint8_t {
    Init,
    Configure,
    RxMsgCount,
    ReceiveWithoutStruct,
    ReceiveMsg,
    ReceiveCmd,
    SendReceiveCmd,
    SendCmd,
    ClearReceiveCmd,
    LoadInit,
    GetFirmwareInfo,
    LoadRunProgram,
    DownloadData,
    Status,
    IsTxTimeout,
    ReadMultiByte,
    InputByte,
    Check186Mode,
    Cyclic,
    ClearRxSoftBuffer,
    Send,
    HardwareReset,
    RawCommand,
    RestoreK5320,
    OtherSlot,
    LoaderOther,
    ModuleOther,
    RawAccess,
    CyclicEntry,
    ConfigureStruct,
    SendMsg,
    Count
};

void run(Op op, uint8_t slot, ByteStream& args) {
    switch (op) {
        case Op::Init:
            checked(K5320_Init(slot));
            break;
        case Op::Configure:
            configure(slot, args);
            break;
        case Op::RxMsgCount:
            rx_msg_count(slot);
            break;
        case Op::ReceiveWithoutStruct:
            receive_without_struct(slot);
            break;
        case Op::ReceiveMsg:
            receive_msg(slot);
            break;
        case Op::ReceiveCmd:
            receive_cmd(slot);
            break;
        case Op::SendReceiveCmd:
            send_receive_cmd(slot, args);
            break;
        case Op::SendCmd:
            send_cmd(slot, args);
            break;
        case Op::ClearReceiveCmd:
            checked(K5320_ClearReceiveCmd(slot));
            break;
        case Op::LoadInit:
            checked(K5320_Load_Init(slot));
            break;
        case Op::GetFirmwareInfo:
            get_firmware_info(slot);
            break;
        case Op::LoadRunProgram:
            checked(K5320_Load_RunProgram(slot));
            break;
        case Op::DownloadData:
            download_data(slot, args);
            break;
        case Op::Status: {
            auto status = output<uint8_t>();
            checked(K5320_Status(slot, status.get()));
            break;
        }
        case Op::IsTxTimeout: {
            auto flag = output<uint8_t>();
            checked(K5320_IsTxTimeout(slot, flag.get()));
            break;
        }
        case Op::ReadMultiByte:
            read_multi_byte(slot, args);
            break;
        case Op::InputByte: {
            auto value = output<uint8_t>();
            checked(K5320_InputByte(slot, args.byte(), value.get()));
            break;
        }
        case Op::Check186Mode: {
            auto mode = output<uint8_t>();
            const int rc = checked(K5320_Check186Mode(slot, mode.get()));
            if (rc == K5320_SUCCESS) require(*mode <= 1, "mode not 0/1", rc);
            break;
        }
        case Op::Cyclic:
            cyclic(slot, args);
            break;
        case Op::ClearRxSoftBuffer:
            checked(K5320_ClearRxSoftBuffer(slot));
            break;
        case Op::Send:
            send(slot, args);
            break;
        case Op::HardwareReset:
            checked(K5320_HardwareReset(slot));
            break;
        case Op::RawCommand:
            checked(K5320_DPRAMInttToK5320(slot, args.byte()));
            break;
        case Op::RestoreK5320:
            checked(K5320_RestoreK5320(slot));
            break;
        case Op::OtherSlot:
            other_slot(args);
            break;
        case Op::LoaderOther:
            loader_other(slot, args);
            break;
        case Op::ModuleOther:
            module_other(slot, args);
            break;
        case Op::RawAccess:
            raw_access(slot, args);
            break;
        case Op::CyclicEntry:
            cyclic_entry(slot, args);
            break;
        case Op::ConfigureStruct:
            configure_struct(slot, args);
            break;
        case Op::SendMsg:
            send_msg(slot, args);
            break;
        case Op::Count:
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A slot table of this process alone, removed from the system at once: the mapping stays,
    // and no run leaves a name behind or meets another process's claims.
    k5320::driver::ownership::use_table_for_test("fuzz-" + std::to_string(getpid()));
    k5320::driver::ownership::owner_of(1);
    k5320::driver::ownership::remove_test_table();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ByteStream input(data, size);
    const auto slot = static_cast<uint8_t>(1 + input.byte() % kSlots);
    const char* type = kModuleTypes[input.byte() % kModuleTypeCount];
    const uint8_t flags = input.byte();
    ByteStream ops = input.split(input.byte());
    const size_t patches = input.byte();

    k5320::fuzz::start_virtual_clock((flags & kFlagTickNearWrap) != 0 ? kTickNearWrap : 0);
    k5320::fuzz::start_run(
        {.slot = slot, .module_name = type, .answer_unread = (flags & kFlagAnswerUnread) != 0},
        patches, input);
    if (checked(K5320_Init(slot)) == K5320_SUCCESS) {
        while (!ops.empty()) {
            const auto op = static_cast<Op>(ops.byte() % static_cast<uint8_t>(Op::Count));
            if (tracing()) std::fprintf(stderr, "\nop %d", static_cast<int>(op));
            run(op, slot, ops);
        }
    }
    if (tracing()) std::fprintf(stderr, "\n");
    checked(K5320_RemoveIrq(slot));
    k5320::fuzz::end_run();
    return 0;
}
