// Transmit and receive: one frame through the transmit record, received frames bank by bank.
#include <cstring>

#include "can/frame.h"
#include "driver/dpram/dpram_io.h"
#include "driver/dpram/handshake.h"
#include "driver/frame/slot_state.h"
#include "k5320.h"
#include "k5320/commands.h"
#include "k5320/dpram_map.h"

namespace k5320::driver {
namespace {

namespace dp = k5320::dpram;
namespace answer = k5320::answer;

uint32_t read_le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// Asks the firmware for the next bank of received frames. 0 also when nothing is new.
int fetch_bank(uint8_t slot) {
    SlotRecord& record = slot_context(slot).record;
    const HandshakeOutcome outcome =
        run_handshake(slot, standard_exchange(cmd::kFetchReceived, Field::RxAnswer,
                                              answer::kBank0Ready, answer::kNothingReceived));
    if (outcome.result != K5320_SUCCESS) return outcome.result;
    if (outcome.answer == answer::kNothingReceived) return K5320_SUCCESS;
    const bool bank1 =
        outcome.answer == answer::kBank1Ready || outcome.answer == answer::kBank1ReadyOverflow;
    const bool overflow = outcome.answer == answer::kBank0ReadyOverflow ||
                          outcome.answer == answer::kBank1ReadyOverflow;
    SlotLock lock(slot);
    record.set(Field::RxBankBase, bank1 ? dp::kRxBank1 : dp::kRxBank0);
    uint32_t count = dpram_io::read_byte(slot, bank1 ? dp::kRxBank1Count : dp::kRxBank0Count);
    if (overflow) record.set_bits(Field::BufferStatus, kBufferRxOverflow);
    // A count the bank cannot hold is not believed: nothing is read from it.
    if (count > dp::kRxBankRecords) count = 0;
    record.set(Field::RxPending, count);
    record.set(Field::RxReadIndex, 0);
    return K5320_SUCCESS;
}

// Hands a fully read bank back to the firmware; the outcome never changes the caller's result.
void hand_back_bank(uint8_t slot) {
    run_handshake(slot, standard_exchange(cmd::kBankRead, Field::CmdAnswer, answer::kBankReleased));
}

}  // namespace
}  // namespace k5320::driver

using namespace k5320::driver;
namespace dp = k5320::dpram;
namespace answer = k5320::answer;
namespace cmd = k5320::cmd;

extern "C" {

K5320_API int K5320_SendWithoutStruct(uint8_t slot, uint8_t Mode, uint32_t MsgID, uint8_t RTR,
                                      uint8_t DataLen, const uint8_t* Data) {
    if (int rc = check_configured(slot); rc != K5320_SUCCESS) return rc;
    k5320::can::Frame frame{.id = MsgID,
                            .extended = Mode != 0,
                            .remote = RTR != 0,
                            .length = k5320::can::clamp_length(DataLen)};
    // The caller's data are read only for a data frame, and only as far as its length.
    if (!frame.remote && frame.length > 0) std::memcpy(frame.data.data(), Data, frame.length);
    uint8_t record[k5320::can::kMaxRecordSize];
    const size_t size = k5320::can::encode(frame, record);
    return run_handshake(
               slot,
               standard_exchange(cmd::kTransmit, Field::TxAnswer, answer::kTxAccepted,
                                 {{answer::kTxRefused, K5320_RX_DELIVERED_AFTER_OVERFLOW}}),
               [&] {
                   dpram_io::write_block(slot, dp::kTxRecord, record, static_cast<uint32_t>(size));
               })
        .result;
}

K5320_API int K5320_SendMsg(uint8_t slot, const CanMsg* msg) {
    return K5320_SendWithoutStruct(slot, msg->Mode, msg->MsgID, msg->RTR, msg->DataLen, msg->Data);
}

K5320_API int K5320_ReceiveWithoutStruct(uint8_t slot, uint8_t* Mode, uint32_t* MsgID, uint8_t* RTR,
                                         uint8_t* DataLen, uint8_t* Data, uint32_t* TimeStampHigh,
                                         uint32_t* TimeStampLow) {
    if (int rc = check_configured(slot); rc != K5320_SUCCESS) return rc;
    SlotRecord& record = slot_context(slot).record;
    if (record.get(Field::RxPending) == 0 &&
        (fetch_bank(slot) != K5320_SUCCESS || record.get(Field::RxPending) == 0))
        return K5320_ERR_NO_MESSAGE;

    uint8_t bytes[dp::kRxRecordSize];
    uint32_t left;
    {
        SlotLock lock(slot);
        const uint32_t index = record.get(Field::RxReadIndex);
        dpram_io::read_block(slot, record.get(Field::RxBankBase) + dp::kRxRecordSize * index, bytes,
                             dp::kRxRecordSize);
        record.set(Field::RxReadIndex, index + 1);
        left = record.get(Field::RxPending) - 1;
        record.set(Field::RxPending, left);
    }
    const k5320::can::Frame frame = k5320::can::decode(bytes);
    *Mode = frame.extended ? 1 : 0;
    *MsgID = frame.id;
    *RTR = frame.remote ? 1 : 0;
    *DataLen = frame.length;
    // A remote frame leaves the caller's data alone; a data frame fills all eight bytes.
    if (!frame.remote) std::memcpy(Data, frame.data.data(), frame.data.size());
    *TimeStampHigh = read_le32(bytes + dp::kRxRecordStampHigh);
    *TimeStampLow = read_le32(bytes + dp::kRxRecordStampLow);

    if (left == 0) hand_back_bank(slot);
    return (record.get(Field::BufferStatus) & kBufferRxOverflow) != 0
               ? K5320_RX_DELIVERED_AFTER_OVERFLOW
               : K5320_SUCCESS;
}

K5320_API int K5320_ReceiveMsg(uint8_t slot, CanMsg* msg) {
    uint32_t high = 0;
    uint32_t low = 0;
    const int rc = K5320_ReceiveWithoutStruct(slot, &msg->Mode, &msg->MsgID, &msg->RTR,
                                              &msg->DataLen, msg->Data, &high, &low);
    // Without a message nothing is written, the time stamp included.
    if (rc == K5320_SUCCESS || rc == K5320_RX_DELIVERED_AFTER_OVERFLOW)
        msg->TimeStamp = uint64_t{high} << 32 | low;
    return rc;
}

K5320_API int K5320_RxMsgCount(uint8_t slot, uint16_t* count) {
    if (int rc = check_configured(slot); rc != K5320_SUCCESS) return rc;
    SlotRecord& record = slot_context(slot).record;
    if (record.get(Field::RxPending) == 0) {
        if (int rc = fetch_bank(slot); rc != K5320_SUCCESS) {
            *count = 0;
            return rc;
        }
    }
    SlotLock lock(slot);
    *count = static_cast<uint16_t>(record.get(Field::RxPending));
    return K5320_SUCCESS;
}

K5320_API int K5320_IsTxTimeout(uint8_t slot, uint8_t* flag) {
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    SlotLock lock(slot);
    *flag = dpram_io::read_byte(slot, dp::kTxTimeoutFlag);
    return K5320_SUCCESS;
}

}  // extern "C"
