// The command mailbox: free-form command records exchanged with the firmware's user program,
// and the module clock.
#include "driver/dpram/dpram_io.h"
#include "driver/dpram/handshake.h"
#include "driver/frame/slot_state.h"
#include "k5320.h"
#include "k5320/commands.h"
#include "k5320/dpram_map.h"
#include "platform/clock.h"

namespace k5320::driver {
namespace {

namespace dp = k5320::dpram;

bool valid_record_length(uint32_t length) {
    return length >= 1 && length <= dp::kCmdRecordMax;
}

// Posts a record to the outgoing area and rings the doorbell; the caller holds the slot lock.
void post_record(uint8_t slot, const uint8_t* data, uint16_t length) {
    dpram_io::write_block(slot, dp::kOutCmdData, data, length);
    dpram_io::write_word(slot, dp::kOutCmdLength, length);
    dpram_io::ring_doorbell(slot, cmd::kCommandRecord);
}

// Posts the record of a K5320_SendReceiveCmd and marks it pending from now; the caller holds the
// slot lock.
void post_pending_record(uint8_t slot, const uint8_t* data, uint16_t length) {
    SlotRecord& record = slot_context(slot).record;
    post_record(slot, data, length);
    record.set(Field::CmdPending, 1);
    record.set(Field::CmdSentTick, platform::tick_count());
}

// Takes the announced record out of the incoming area; the caller holds the slot lock and has
// cleared CmdArrived. A length outside 1..512 drops the record.
int fetch_record(uint8_t slot, uint8_t* buffer, uint16_t* length) {
    const uint16_t received = dpram_io::read_word(slot, dp::kInCmdLength);
    if (!valid_record_length(received)) return K5320_ERR_RANGE;
    dpram_io::read_block(slot, dp::kInCmdData, buffer, received);
    *length = received;
    return K5320_SUCCESS;
}

// Whether a command sent at `sent` has run out of `timeout_ms` at `now`. Unsigned arithmetic
// copes with the wrap-around of the tick count.
bool timed_out(uint32_t now, uint32_t sent, uint16_t timeout_ms) {
    return now - sent >= timeout_ms;
}

}  // namespace
}  // namespace k5320::driver

using namespace k5320::driver;
namespace dp = k5320::dpram;
namespace answer = k5320::answer;
namespace cmd = k5320::cmd;
using k5320::platform::sleep_ms;
using k5320::platform::tick_count;

extern "C" {

K5320_API int K5320_SendCmd(uint8_t slot, const uint8_t* data, uint16_t length) {
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    if (!valid_record_length(length)) return K5320_ERR_RANGE;
    SlotLock lock(slot);
    post_record(slot, data, length);
    return K5320_SUCCESS;
}

K5320_API int K5320_ReceiveCmd(uint8_t slot, uint8_t* buffer, uint16_t* length) {
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    SlotRecord& record = slot_context(slot).record;
    SlotLock lock(slot);
    if (record.get(Field::CmdArrived) == 0) return K5320_ERR_NO_COMMAND;
    record.set(Field::CmdArrived, 0);
    record.set(Field::CmdPending, 0);
    return fetch_record(slot, buffer, length);
}

K5320_API int K5320_ClearReceiveCmd(uint8_t slot) {
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    SlotRecord& record = slot_context(slot).record;
    {
        SlotLock lock(slot);
        record.set(Field::CmdArrived, 0);
    }
    record.set(Field::CmdPending, 0);
    return K5320_SUCCESS;
}

K5320_API int K5320_SendReceiveCmd(uint8_t slot, uint8_t wait, const uint8_t* data, uint16_t length,
                                   uint8_t* buffer, uint16_t* receivedLength, uint16_t timeoutMs) {
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    if (!valid_record_length(length)) return K5320_ERR_RANGE;
    SlotRecord& record = slot_context(slot).record;

    // A record announced before this call is taken before anything is posted: the answer to a
    // new post would overwrite it. If it did not answer a pending command, this call's command is
    // posted and stays pending, so the next call waits for its answer instead of sending again.
    if (record.get(Field::CmdArrived) != 0) {
        SlotLock lock(slot);
        record.set(Field::CmdArrived, 0);
        const int rc = fetch_record(slot, buffer, receivedLength);
        if (record.get(Field::CmdPending) == 0)
            post_pending_record(slot, data, length);
        else
            record.set(Field::CmdPending, 0);
        return rc;
    }

    // A command still pending from an earlier call is waited for, not sent again.
    if (record.get(Field::CmdPending) == 0) {
        SlotLock lock(slot);
        post_pending_record(slot, data, length);
    }
    const uint32_t sent = record.get(Field::CmdSentTick);
    auto run_out = [&] {
        if (!timed_out(tick_count(), sent, timeoutMs)) return false;
        record.set(Field::CmdPending, 0);
        return true;
    };

    if (wait != 0) {
        while (record.get(Field::CmdArrived) == 0) {
            if (run_out()) return K5320_ERR_NO_ANSWER;
            if (tick_count() != sent) sleep_ms(1);
            sleep_ms(0);
        }
    } else if (record.get(Field::CmdArrived) == 0) {
        return run_out() ? K5320_ERR_NO_ANSWER : K5320_ERR_ANSWER_PENDING;
    }

    int rc;
    {
        SlotLock lock(slot);
        record.set(Field::CmdArrived, 0);
        rc = fetch_record(slot, buffer, receivedLength);
    }
    record.set(Field::CmdPending, 0);
    return rc;
}

K5320_API int K5320_AdjustDateTime(uint8_t slot) {
    if (int rc = check_initialized(slot); rc != K5320_SUCCESS) return rc;
    const k5320::platform::LocalTime now = k5320::platform::local_time();
    auto low_byte = [](uint16_t v) { return static_cast<uint8_t>(v & 0xFF); };
    return run_handshake(slot,
                         standard_exchange(cmd::kSetClock, Field::CmdAnswer, answer::kClockSet,
                                           {{answer::kClockRefused, K5320_ERR_CLOCK_REFUSED}}),
                         [&] {
                             dpram_io::write_word(slot, dp::kClockYear, now.year);
                             dpram_io::write_byte(slot, dp::kClockMonth, low_byte(now.month));
                             dpram_io::write_byte(slot, dp::kClockDay, low_byte(now.day));
                             dpram_io::write_byte(slot, dp::kClockHour, low_byte(now.hour));
                             dpram_io::write_byte(slot, dp::kClockMinute, low_byte(now.minute));
                             dpram_io::write_byte(slot, dp::kClockSecond, low_byte(now.second));
                         })
        .result;
}

}  // extern "C"
