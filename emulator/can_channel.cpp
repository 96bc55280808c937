// The firmware's CAN channel: configuration and start of the SJA1000, the receive buffer and the
// two banks it fills for the host, the transmit buffer it empties onto the bus, and the system
// messages it raises for controller events.
#include <algorithm>
#include <cmath>

#include "emulator/bit_timing.h"
#include "emulator/module.h"
#include "k5320/dpram_map.h"

namespace k5320::emulator {

namespace {

using Clock = CanChannelState::Clock;
using namespace sja1000;

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

}  // namespace

// --- Commands ---------------------------------------------------------------------------------

std::optional<uint8_t> Module::apply_configuration() {
    const uint8_t code = ram_.module_read(dpram::kConfigBaudCode);
    const std::optional<BtrPair> btr = btr_for_baud_code(code, ram_.module_read(dpram::kConfigBt0),
                                                         ram_.module_read(dpram::kConfigBt1));
    // A timing the chip cannot run leaves the running configuration as it was.
    if (!btr) return answer::kConfigRefused;

    Sja1000& chip = firmware_.controller;
    chip.write_reg(SJA1000_MOD, MOD_RM);
    chip.write_reg(SJA1000_BTR0, btr->btr0);
    chip.write_reg(SJA1000_BTR1, btr->btr1);
    // Code and mask arrive most significant byte first, the order of ACR0..3 and AMR0..3.
    for (uint8_t i = 0; i < SJA1000_ACCEPTANCE_BYTES; ++i) {
        chip.write_reg(SJA1000_ACR0 + i,
                       ram_.module_read(static_cast<uint16_t>(dpram::kConfigAccCode + i)));
        chip.write_reg(SJA1000_AMR0 + i,
                       ram_.module_read(static_cast<uint16_t>(dpram::kConfigAccMask + i)));
    }
    chip.write_reg(SJA1000_MOD, MOD_RM | MOD_AFM);
    // Frames taken or received under the old settings do not belong to the new ones.
    clear_channel_buffers();
    after_controller_event();
    return answer::kConfigApplied;
}

std::optional<uint8_t> Module::start_controller(uint8_t answer) {
    Sja1000& chip = firmware_.controller;
    chip.write_reg(SJA1000_IER, kServicedInterrupts);
    const uint8_t mod = chip.read_reg(SJA1000_MOD);
    chip.write_reg(SJA1000_MOD, static_cast<uint8_t>(mod & ~MOD_RM));
    // A restart after bus-off: the bus is quiet while the host restarts us, so the 128 recessive
    // sequences the chip waits for have long gone by.
    chip.complete_bus_off_recovery();
    after_controller_event();
    // The host cleared the pair before asking for the start and waits for it to come back.
    publish_status(true);
    return answer;
}

std::optional<uint8_t> Module::stop_controller() {
    Sja1000& chip = firmware_.controller;
    chip.write_reg(SJA1000_MOD, static_cast<uint8_t>(chip.read_reg(SJA1000_MOD) | MOD_RM));
    after_controller_event();
    return answer::kSja1000Toggled;
}

std::optional<uint8_t> Module::take_transmit_record() {
    CanChannelState& channel = firmware_.channel;
    if (channel.to_send.size() >= kTransmitBufferFrames) return answer::kTxRefused;
    std::array<uint8_t, can::kMaxRecordSize> record{};
    for (std::size_t i = 0; i < record.size(); ++i) {
        record[i] = ram_.module_read(static_cast<uint16_t>(dpram::kTxRecord + i));
    }
    channel.to_send.push_back(can::decode(record.data()));
    return answer::kTxAccepted;
}

std::optional<uint8_t> Module::report_received() {
    CanChannelState& channel = firmware_.channel;
    // The host asks for new frames only once it is done with the bank it had, whether it handed
    // it back or dropped it.
    channel.announced_bank.reset();
    if (channel.received.empty()) return answer::kNothingReceived;
    const uint8_t bank = channel.next_bank;
    channel.next_bank = static_cast<uint8_t>((bank + 1) % kBanks);
    write_bank(bank, std::min<std::size_t>(channel.received.size(), dpram::kRxBankRecords));
    channel.announced_bank = bank;
    const uint8_t value = bank_answer(bank, channel.frames_lost);
    channel.frames_lost = false;
    return value;
}

void Module::write_bank(uint8_t bank, std::size_t count) {
    CanChannelState& channel = firmware_.channel;
    for (std::size_t i = 0; i < count; ++i) {
        const StampedFrame& stamped = channel.received.front();
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
        channel.received.pop_front();
    }
    ram_.module_write(bank_count_address(bank), static_cast<uint8_t>(count));
}

std::optional<uint8_t> Module::release_bank() {
    firmware_.channel.announced_bank.reset();
    return answer::kBankReleased;
}

std::optional<uint8_t> Module::switch_system_messages(bool on) {
    firmware_.channel.system_messages = on;
    return answer::kSystemMsgSwitched;
}

void Module::clear_receive_buffer() {
    CanChannelState& channel = firmware_.channel;
    channel.received.clear();
    channel.frames_lost = false;
    channel.announced_bank.reset();
}

void Module::clear_transmit_buffer() {
    CanChannelState& channel = firmware_.channel;
    // A frame on the bus cannot be called back; its outcome no longer concerns the buffer.
    if (channel.on_its_way) channel.abandoned = true;
    channel.to_send.clear();
    channel.pending_since.reset();
    channel.retry_at.reset();
    clear_tx_timeout();
}

void Module::clear_tx_timeout() {
    if (!firmware_.tx_timeout) return;
    firmware_.tx_timeout = false;
    write_tx_timeout_flag();
}

void Module::clear_channel_buffers() {
    clear_receive_buffer();
    clear_transmit_buffer();
}

// --- Bus events -------------------------------------------------------------------------------

uint32_t Module::bit_rate() const {
    return bus_bit_rate_.load(std::memory_order_acquire);
}

bool Module::active() const {
    return bus_active_.load(std::memory_order_acquire);
}

void Module::receive(const can::Frame& frame, uint64_t time_ns) {
    std::lock_guard lock(mutex_);
    Sja1000& chip = firmware_.controller;
    if (firmware_.mode != Mode::kProgram || chip.in_reset_mode()) return;
    chip.begin_receive();
    const FilterFrame seen{frame.id, frame.extended, frame.remote, frame.length, frame.data.data()};
    if (chip.end_receive(seen)) store_received(frame, time_ns);
    after_controller_event();
}

void Module::store_received(const can::Frame& frame, uint64_t time_ns) {
    CanChannelState& channel = firmware_.channel;
    if (channel.received.size() >= kReceiveBufferFrames) {
        channel.frames_lost = true;
        firmware_.controller.signal_data_overrun();
        return;
    }
    const auto started_ns = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(started_at_.time_since_epoch())
            .count());
    const uint64_t since_start = time_ns > started_ns ? time_ns - started_ns : 0;
    channel.received.push_back({frame, since_start / kNanosecondsPerStamp});
}

void Module::bus_error(can::BusErrorKind kind) {
    std::lock_guard lock(mutex_);
    if (firmware_.mode != Mode::kProgram) return;
    firmware_.controller.receive_error(kind == can::BusErrorKind::kStuff ? ECC_TYPE_STUFF
                                                                         : ECC_TYPE_FORM);
    after_controller_event();
}

void Module::arbitration_lost(const can::Frame&, unsigned bit) {
    std::lock_guard lock(mutex_);
    if (firmware_.mode != Mode::kProgram) return;
    firmware_.controller.arbitration_lost(bit);
    after_controller_event();
}

void Module::transmitted(const can::Frame&, can::TxOutcome outcome) {
    const bool acknowledged = outcome == can::TxOutcome::kAcknowledged;
    bool send_next = acknowledged;
    {
        std::lock_guard lock(mutex_);
        CanChannelState& channel = firmware_.channel;
        channel.on_its_way = false;
        firmware_.controller.end_transmit(acknowledged);
        if (channel.abandoned) {
            channel.abandoned = false;
        } else if (acknowledged) {
            channel.to_send.pop_front();
            channel.pending_since.reset();
            clear_tx_timeout();
        } else if (bus_ != nullptr && bus_->pacing() == can::Pacing::kUnpaced) {
            channel.retry_at = Clock::now() + kUnpacedRetryInterval;
        } else {
            // The controller retries at once; the bus makes each try take its time.
            send_next = true;
        }
        after_controller_event();
    }
    if (send_next) {
        pump_transmitter();
    } else {
        // The firmware thread may be asleep without a deadline: let it see the retry.
        ram_.wake_module();
    }
}

// --- Controller state -------------------------------------------------------------------------

void Module::after_controller_event() {
    service_controller_interrupt();
    publish_status();
    update_bus_presence();
    post_queued_answers();
}

void Module::service_controller_interrupt() {
    Sja1000& chip = firmware_.controller;
    if (!chip.interrupt_asserted()) return;
    const uint8_t ir = chip.read_reg(SJA1000_IR);
    const uint8_t sr = chip.read_reg(SJA1000_SR);
    if ((ir & IR_EI) != 0) {
        if ((sr & SR_BS) != 0) {
            report_system_message(sysmsg::kBusOff);
        } else {
            report_system_message((sr & SR_ES) != 0 ? sysmsg::kErrorWarning
                                                    : sysmsg::kErrorWarningGone);
        }
    }
    if ((ir & IR_EPI) != 0) {
        report_system_message(chip.error_passive() ? sysmsg::kErrorPassive : sysmsg::kErrorActive);
    }
    if ((ir & IR_DOI) != 0) report_system_message(sysmsg::kDataOverrun);
    if ((ir & IR_ALI) != 0) {
        chip.read_reg(SJA1000_ALC);
        report_system_message(sysmsg::kArbitrationLost);
    }
    if ((ir & IR_BEI) != 0) chip.read_reg(SJA1000_ECC);
}

void Module::report_system_message(uint8_t value) {
    if (!firmware_.channel.system_messages) return;
    if (answer_queue_.size() >= kSystemMessageQueueLimit) return;
    answer_queue_.push_back(value);
}

void Module::publish_status(bool force) {
    // The loader's frames cover the whole DPRAM: without the firmware nothing may be written.
    if (firmware_.mode != Mode::kProgram || faults_.status_pair_frozen) return;
    const uint8_t status = firmware_.controller.peek_reg(SJA1000_SR);
    if (!force && firmware_.channel.published_status == status) return;
    // Status first: a host that reads between the two writes sees a pair that does not match,
    // which it ignores.
    ram_.module_write(dpram::kCanStatus, status);
    ram_.module_write(dpram::kCanStatusComplement, static_cast<uint8_t>(~status));
    firmware_.channel.published_status = status;
}

void Module::update_bus_presence() {
    const Sja1000& chip = firmware_.controller;
    const Sja1000Registers& regs = chip.registers();
    uint32_t rate = 0;
    if (firmware_.mode == Mode::kProgram && !chip.in_reset_mode()) {
        if (const std::optional<BitTiming> timing = decode(regs.btr0, regs.btr1)) {
            rate = static_cast<uint32_t>(std::lround(timing->bit_rate()));
        }
    }
    bus_bit_rate_.store(rate, std::memory_order_release);
    bus_active_.store(rate != 0 && (regs.mod & MOD_LOM) == 0, std::memory_order_release);
}

// --- Transmission -----------------------------------------------------------------------------

std::optional<can::Frame> Module::frame_for_bus() {
    CanChannelState& channel = firmware_.channel;
    if (stopping_ || channel.to_send.empty() || channel.on_its_way) return std::nullopt;
    if (firmware_.mode != Mode::kProgram || firmware_.controller.in_reset_mode()) {
        return std::nullopt;
    }
    const Clock::time_point now = Clock::now();
    if (!channel.pending_since) channel.pending_since = now;
    // Without a bus the frame waits, unacknowledged, until the time-out flags it.
    if (bus_ == nullptr) return std::nullopt;
    if (channel.retry_at && now < *channel.retry_at) return std::nullopt;
    channel.retry_at.reset();
    channel.on_its_way = true;
    firmware_.controller.begin_transmit();
    after_controller_event();
    return channel.to_send.front();
}

void Module::pump_transmitter() {
    can::Bus* bus = nullptr;
    std::optional<can::Frame> frame;
    {
        std::lock_guard lock(mutex_);
        frame = frame_for_bus();
        bus = bus_;
    }
    if (!frame) return;
    // An unpaced bus delivers within submit and calls back into this module, so mutex_ must
    // not be held here.
    if (bus->submit(this, *frame)) return;
    std::lock_guard lock(mutex_);
    firmware_.channel.on_its_way = false;
    firmware_.channel.retry_at = Clock::now() + kUnpacedRetryInterval;
}

void Module::check_transmit_timeout(Clock::time_point now) {
    const CanChannelState& channel = firmware_.channel;
    if (firmware_.tx_timeout || !channel.pending_since) return;
    if (now - *channel.pending_since < kTransmitTimeout) return;
    firmware_.tx_timeout = true;
    write_tx_timeout_flag();
}

std::optional<Clock::time_point> Module::next_deadline() const {
    const CanChannelState& channel = firmware_.channel;
    std::optional<Clock::time_point> due;
    auto consider = [&due](Clock::time_point at) { due = due ? std::min(*due, at) : at; };
    if (channel.retry_at && !channel.on_its_way) consider(*channel.retry_at);
    if (channel.pending_since && !firmware_.tx_timeout) {
        consider(*channel.pending_since + kTransmitTimeout);
    }
    if (const std::optional<Clock::time_point> cyclic = firmware_.cyclic.next_due()) {
        consider(*cyclic);
    }
    return due;
}

// --- Inspection -------------------------------------------------------------------------------

void Module::connect(can::Bus* bus) {
    can::Bus* previous = nullptr;
    {
        std::lock_guard lock(mutex_);
        previous = bus_;
        bus_ = bus;
    }
    // Detaching waits for a call into this module to end, and such a call takes mutex_.
    if (previous != nullptr && previous != bus) previous->detach(this);
    if (bus != nullptr) bus->attach(this);
    ram_.wake_module();
}

std::size_t Module::frames_to_send() const {
    std::lock_guard lock(mutex_);
    return firmware_.channel.to_send.size();
}

std::size_t Module::frames_received() const {
    std::lock_guard lock(mutex_);
    return firmware_.channel.received.size();
}

bool Module::system_messages() const {
    std::lock_guard lock(mutex_);
    return firmware_.channel.system_messages;
}

}  // namespace k5320::emulator
