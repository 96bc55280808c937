#include "emulator/can_channel.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "emulator/bit_timing.h"
#include "k5320/commands.h"
#include "k5320/dpram_map.h"

namespace k5320::emulator {

namespace {

using Clock = CanChannel::Clock;
using namespace sja1000;

// A transmitter's bit error, as ECC shows it (the segment is not modelled).
constexpr uint8_t kEccBitError = ECC_TYPE_BIT;
constexpr uint64_t kNanosecondsPerStamp = 100'000;  // a time stamp counts 0.1 ms
constexpr unsigned kBitsPerByte = 8;
constexpr unsigned kStampWordBytes = 4;
constexpr uint8_t kBanks = 2;
// The controller events the firmware services: the ones it reports as system messages, and bus
// errors, whose capture it re-arms.
constexpr uint8_t kServicedInterrupts = IR_EI | IR_EPI | IR_DOI | IR_ALI | IR_BEI;

uint16_t bank_base(uint8_t bank) {
    return bank == 0 ? dpram::kRxBank0 : dpram::kRxBank1;
}

uint16_t bank_count_address(uint8_t bank) {
    return bank == 0 ? dpram::kRxBank0Count : dpram::kRxBank1Count;
}

uint8_t bank_answer(uint8_t bank, bool frames_lost) {
    if (frames_lost) return bank == 0 ? answer::kBank0ReadyOverflow : answer::kBank1ReadyOverflow;
    return bank == 0 ? answer::kBank0Ready : answer::kBank1Ready;
}

can::Frame read_frame_record(DualPortRam& ram, uint16_t address) {
    std::array<uint8_t, can::kMaxRecordSize> record{};
    for (std::size_t i = 0; i < record.size(); ++i) {
        record[i] = ram.module_read(static_cast<uint16_t>(address + i));
    }
    return can::decode(record.data());
}

}  // namespace

CanChannel::CanChannel(DualPortRam& ram, Sja1000& controller, ChannelBoard& board)
    : ram_(ram), controller_(controller), board_(board), started_at_(Clock::now()) {}

// --- Commands ---------------------------------------------------------------------------------

std::optional<uint8_t> CanChannel::serve(uint8_t command) {
    switch (command) {
        case cmd::kApplyConfig:
            return apply_configuration();
        case cmd::kStartCan:
            return start_controller(answer::kCanStarted);
        case cmd::kEnableSja1000:
            return start_controller(answer::kSja1000Toggled);
        case cmd::kDisableSja1000:
            return stop_controller();
        case cmd::kTransmit:
            return take_transmit_record();
        case cmd::kFetchReceived:
            return report_received();
        case cmd::kBankRead:
            announced_bank_.reset();
            return answer::kBankReleased;
        case cmd::kClearBufferStatus:
            frames_lost_ = false;
            clear_tx_timeout();
            return answer::kBufferStatusCleared;
        case cmd::kClearSoftBuffers:
            clear_buffers();
            return answer::kSoftBuffersCleared;
        case cmd::kClearTxSoftBuffer:
            clear_transmit_buffer();
            return answer::kTxSoftBufferCleared;
        case cmd::kClearRxSoftBuffer:
            clear_receive_buffer();
            return answer::kRxSoftBufferCleared;
        case cmd::kSystemMsgOff:
        case cmd::kSystemMsgOn:
            system_messages_ = command == cmd::kSystemMsgOn;
            return answer::kSystemMsgSwitched;
        case cmd::kCyclicAdd:
            return add_cyclic();
        case cmd::kCyclicDelete:
        case cmd::kCyclicEnable:
        case cmd::kCyclicDisable:
        case cmd::kCyclicRest:
            return serve_cyclic_entry(command);
        default:
            return std::nullopt;
    }
}

std::optional<uint8_t> CanChannel::apply_configuration() {
    const uint8_t code = ram_.module_read(dpram::kConfigBaudCode);
    const std::optional<BtrPair> btr = btr_for_baud_code(code, ram_.module_read(dpram::kConfigBt0),
                                                         ram_.module_read(dpram::kConfigBt1));
    // A timing the chip cannot run leaves the running configuration as it was.
    if (!btr) return answer::kConfigRefused;

    controller_.write_reg(SJA1000_MOD, MOD_RM);
    controller_.write_reg(SJA1000_BTR0, btr->btr0);
    controller_.write_reg(SJA1000_BTR1, btr->btr1);
    // Code and mask arrive most significant byte first, the order of ACR0..3 and AMR0..3.
    for (uint8_t i = 0; i < kSja1000AcceptanceBytes; ++i) {
        controller_.write_reg(SJA1000_ACR0 + i,
                              ram_.module_read(static_cast<uint16_t>(dpram::kConfigAccCode + i)));
        controller_.write_reg(SJA1000_AMR0 + i,
                              ram_.module_read(static_cast<uint16_t>(dpram::kConfigAccMask + i)));
    }
    controller_.write_reg(SJA1000_MOD, MOD_RM | MOD_AFM);
    // Frames taken or received under the old settings do not belong to the new ones.
    clear_buffers();
    after_controller_event();
    return answer::kConfigApplied;
}

std::optional<uint8_t> CanChannel::start_controller(uint8_t answer) {
    controller_.write_reg(SJA1000_IER, kServicedInterrupts);
    const uint8_t mod = controller_.read_reg(SJA1000_MOD);
    controller_.write_reg(SJA1000_MOD, static_cast<uint8_t>(mod & ~MOD_RM));
    // A restart after bus-off: the bus is quiet while the host restarts us, so the 128 recessive
    // sequences the chip waits for have long gone by.
    controller_.complete_bus_off_recovery();
    after_controller_event();
    // The host cleared the pair before asking for the start and waits for it to come back.
    publish_status(true);
    return answer;
}

std::optional<uint8_t> CanChannel::stop_controller() {
    controller_.write_reg(SJA1000_MOD,
                          static_cast<uint8_t>(controller_.read_reg(SJA1000_MOD) | MOD_RM));
    after_controller_event();
    return answer::kSja1000Toggled;
}

std::optional<uint8_t> CanChannel::take_transmit_record() {
    if (to_send_.size() >= kTransmitBufferFrames) return answer::kTxRefused;
    to_send_.push_back({read_frame_record(ram_, dpram::kTxRecord), std::nullopt});
    return answer::kTxAccepted;
}

std::optional<uint8_t> CanChannel::report_received() {
    // The host asks for new frames only once it is done with the bank it had, whether it handed
    // it back or dropped it.
    announced_bank_.reset();
    if (received_.empty()) return answer::kNothingReceived;
    const uint8_t bank = next_bank_;
    next_bank_ = static_cast<uint8_t>((bank + 1) % kBanks);
    write_bank(bank, std::min<std::size_t>(received_.size(), dpram::kRxBankRecords));
    announced_bank_ = bank;
    const uint8_t value = bank_answer(bank, frames_lost_);
    frames_lost_ = false;
    return value;
}

void CanChannel::write_bank(uint8_t bank, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const StampedFrame& stamped = received_.front();
        std::array<uint8_t, dpram::kRxRecordSize> record{};
        can::encode(stamped.frame, record.data());
        const uint32_t high =
            static_cast<uint32_t>(stamped.stamp >> (kStampWordBytes * kBitsPerByte));
        const auto low = static_cast<uint32_t>(stamped.stamp);
        for (unsigned b = 0; b < kStampWordBytes; ++b) {
            record[dpram::kRxRecordStampHigh + b] =
                static_cast<uint8_t>(high >> (b * kBitsPerByte));
            record[dpram::kRxRecordStampLow + b] = static_cast<uint8_t>(low >> (b * kBitsPerByte));
        }
        const auto base = static_cast<uint16_t>(bank_base(bank) + i * dpram::kRxRecordSize);
        for (std::size_t b = 0; b < record.size(); ++b) {
            ram_.module_write(static_cast<uint16_t>(base + b), record[b]);
        }
        received_.pop_front();
    }
    ram_.module_write(bank_count_address(bank), static_cast<uint8_t>(count));
}

std::optional<uint8_t> CanChannel::add_cyclic() {
    const can::Frame frame = read_frame_record(ram_, dpram::kCyclicFrame);
    const std::optional<uint8_t> handle =
        cyclic_.add(frame, ram_.module_read_dword(dpram::kCyclicTime),
                    ram_.module_read_dword(dpram::kCyclicCount), Clock::now());
    // In place before the answer: the host takes the handle as soon as the answer arrives.
    ram_.module_write(dpram::kCyclicHandle, handle.value_or(dpram::kCyclicNoHandle));
    return handle ? answer::kCyclicDone : answer::kCyclicRefused;
}

std::optional<uint8_t> CanChannel::serve_cyclic_entry(uint8_t command) {
    const uint8_t handle = ram_.module_read(dpram::kCyclicHandle);
    bool known = false;
    switch (command) {
        case cmd::kCyclicDelete:
            known = cyclic_.remove(handle);
            break;
        case cmd::kCyclicEnable:
            known = cyclic_.enable(handle, Clock::now());
            break;
        case cmd::kCyclicDisable:
            known = cyclic_.disable(handle);
            break;
        case cmd::kCyclicRest:
            if (const std::optional<uint32_t> rest = cyclic_.rest(handle)) {
                ram_.module_write_dword(dpram::kCyclicCount, *rest);
                known = true;
            }
            break;
        default:
            break;
    }
    return known ? answer::kCyclicDone : answer::kCyclicRefused;
}

void CanChannel::clear_receive_buffer() {
    received_.clear();
    frames_lost_ = false;
    announced_bank_.reset();
}

void CanChannel::clear_transmit_buffer() {
    // A frame on the bus cannot be called back; its outcome no longer concerns the buffer.
    if (on_its_way_) abandoned_ = true;
    to_send_.clear();
    pending_since_.reset();
    retry_at_.reset();
    clear_tx_timeout();
}

void CanChannel::clear_buffers() {
    clear_receive_buffer();
    clear_transmit_buffer();
}

void CanChannel::clear_tx_timeout() {
    if (!tx_timeout_) return;
    tx_timeout_ = false;
    rewrite_tx_timeout_flag();
}

void CanChannel::set_tx_timeout_flag(bool set) {
    tx_timeout_ = set;
    rewrite_tx_timeout_flag();
}

void CanChannel::rewrite_tx_timeout_flag() {
    ram_.module_write(dpram::kTxTimeoutFlag,
                      tx_timeout_ ? dpram::kTxTimeoutFlagSet : dpram::kTxTimeoutFlagClear);
}

void CanChannel::restore_power_on_state() {
    controller_.hardware_reset();
    clear_buffers();
    cyclic_.clear();
    system_messages_ = false;
    next_bank_ = 0;
    set_tx_timeout_flag(false);
    after_controller_event();
}

// --- Bus events -------------------------------------------------------------------------------

void CanChannel::receive(const can::Frame& frame, uint64_t time_ns) {
    if (!board_.firmware_running() || controller_.in_reset_mode()) return;
    controller_.begin_receive();
    const FilterFrame seen{frame.id, frame.extended, frame.remote, frame.length, frame.data.data()};
    if (controller_.end_receive(seen)) store_received(frame, time_ns);
    after_controller_event();
}

void CanChannel::store_received(const can::Frame& frame, uint64_t time_ns) {
    if (received_.size() >= kReceiveBufferFrames) {
        frames_lost_ = true;
        controller_.signal_data_overrun();
        return;
    }
    const auto started_ns = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(started_at_.time_since_epoch())
            .count());
    const uint64_t since_start = time_ns > started_ns ? time_ns - started_ns : 0;
    received_.push_back({frame, since_start / kNanosecondsPerStamp});
}

void CanChannel::bus_error(can::BusErrorKind kind) {
    if (!board_.firmware_running()) return;
    controller_.receive_error(kind == can::BusErrorKind::kStuff ? ECC_TYPE_STUFF : ECC_TYPE_FORM);
    after_controller_event();
}

void CanChannel::arbitration_lost(unsigned bit) {
    if (!board_.firmware_running()) return;
    controller_.arbitration_lost(bit);
    after_controller_event();
}

bool CanChannel::transmitted(can::TxOutcome outcome, bool unpaced_bus) {
    const bool acknowledged = outcome == can::TxOutcome::kAcknowledged;
    bool send_next = acknowledged;
    on_its_way_ = false;
    if (outcome == can::TxOutcome::kBitError) {
        controller_.transmit_error(kEccBitError);
    } else {
        controller_.end_transmit(acknowledged);
    }
    // A transceiver off the wire takes no bus time for its tries, as on an unpaced bus.
    const bool retries_spaced_here = unpaced_bus || outcome == can::TxOutcome::kOffTheWire;
    if (abandoned_) {
        abandoned_ = false;
    } else if (acknowledged) {
        if (const std::optional<uint8_t> handle = to_send_.front().cyclic_handle)
            cyclic_.count_sent(*handle);
        to_send_.pop_front();
        pending_since_.reset();
        clear_tx_timeout();
    } else if (retries_spaced_here) {
        retry_at_ = Clock::now() + kUnpacedRetryInterval;
    } else {
        // The controller retries at once; the bus makes each try take its time.
        send_next = true;
    }
    after_controller_event();
    return send_next;
}

// --- Controller state -------------------------------------------------------------------------

void CanChannel::after_controller_event() {
    service_controller_interrupt();
    publish_status();
    update_bus_presence();
    board_.post_answers();
}

void CanChannel::service_controller_interrupt() {
    if (!controller_.interrupt_asserted()) return;
    const uint8_t ir = controller_.read_reg(SJA1000_IR);
    const uint8_t sr = controller_.read_reg(SJA1000_SR);
    if ((ir & IR_EI) != 0) {
        if ((sr & SR_BS) != 0) {
            report_system_message(sysmsg::kBusOff);
        } else {
            report_system_message((sr & SR_ES) != 0 ? sysmsg::kErrorWarning
                                                    : sysmsg::kErrorWarningGone);
        }
    }
    if ((ir & IR_EPI) != 0) {
        report_system_message(controller_.error_passive() ? sysmsg::kErrorPassive
                                                          : sysmsg::kErrorActive);
    }
    if ((ir & IR_DOI) != 0) report_system_message(sysmsg::kDataOverrun);
    if ((ir & IR_ALI) != 0) {
        controller_.read_reg(SJA1000_ALC);
        report_system_message(sysmsg::kArbitrationLost);
    }
    if ((ir & IR_BEI) != 0) controller_.read_reg(SJA1000_ECC);
}

void CanChannel::report_system_message(uint8_t value) {
    if (system_messages_) board_.raise_system_message(value);
}

void CanChannel::publish_status(bool force) {
    if (!board_.firmware_running() || board_.status_pair_frozen()) return;
    const uint8_t status = controller_.peek_reg(SJA1000_SR);
    if (!force && published_status_ == status) return;
    // Status first: a host that reads between the two writes sees a pair that does not match,
    // which it ignores.
    ram_.module_write(dpram::kCanStatus, status);
    ram_.module_write(dpram::kCanStatusComplement, static_cast<uint8_t>(~status));
    published_status_ = status;
}

void CanChannel::update_bus_presence() {
    const Sja1000Registers& regs = controller_.registers();
    uint32_t rate = 0;
    if (on_bus()) {
        if (const std::optional<BitTiming> timing = decode(regs.btr0, regs.btr1)) {
            rate = static_cast<uint32_t>(std::lround(timing->bit_rate()));
        }
    }
    bit_rate_.store(rate, std::memory_order_release);
    active_.store(rate != 0 && (regs.mod & MOD_LOM) == 0, std::memory_order_release);
}

bool CanChannel::on_bus() const {
    return board_.firmware_running() && !controller_.in_reset_mode();
}

// --- Transmission -----------------------------------------------------------------------------

std::optional<can::Frame> CanChannel::frame_for_bus(bool bus_attached) {
    if (to_send_.empty() || on_its_way_ || !on_bus()) return std::nullopt;
    const Clock::time_point now = Clock::now();
    if (!pending_since_) pending_since_ = now;
    if (!bus_attached) return std::nullopt;
    if (retry_at_ && now < *retry_at_) return std::nullopt;
    retry_at_.reset();
    on_its_way_ = true;
    controller_.begin_transmit();
    after_controller_event();
    return to_send_.front().frame;
}

void CanChannel::submit_refused() {
    on_its_way_ = false;
    retry_at_ = Clock::now() + kUnpacedRetryInterval;
}

void CanChannel::tick(Clock::time_point now) {
    transmit_due_cyclic(now);
    check_transmit_timeout(now);
}

void CanChannel::transmit_due_cyclic(Clock::time_point now) {
    // A controller off the bus cannot send, a full buffer has no room, and an entry whose last
    // frame still waits (nobody acknowledged it yet) must not pile up a burst behind it: that
    // cycle's frame is given up, not kept, since the next cycle brings a fresh one.
    const bool sending = on_bus();
    cyclic_.transmit_due(now, [&](const can::Frame& frame, uint8_t handle) {
        if (!sending || to_send_.size() >= kTransmitBufferFrames) return false;
        if (cyclic_frame_waiting(handle)) return false;
        to_send_.push_back({frame, handle});
        return true;
    });
}

bool CanChannel::cyclic_frame_waiting(uint8_t handle) const {
    return std::any_of(to_send_.begin(), to_send_.end(),
                       [handle](const Outgoing& o) { return o.cyclic_handle == handle; });
}

void CanChannel::check_transmit_timeout(Clock::time_point now) {
    if (tx_timeout_ || !pending_since_) return;
    if (now - *pending_since_ < kTransmitTimeout) return;
    set_tx_timeout_flag(true);
}

std::optional<Clock::time_point> CanChannel::next_deadline() const {
    std::optional<Clock::time_point> due;
    auto consider = [&due](Clock::time_point at) { due = due ? std::min(*due, at) : at; };
    if (retry_at_ && !on_its_way_) consider(*retry_at_);
    if (pending_since_ && !tx_timeout_) consider(*pending_since_ + kTransmitTimeout);
    if (const std::optional<Clock::time_point> cyclic = cyclic_.next_due()) consider(*cyclic);
    return due;
}

}  // namespace k5320::emulator
