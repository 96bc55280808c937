#include "emulator/sja1000.h"

namespace k5320::emulator::sja1000 {

namespace {

bool in_acceptance_registers(uint8_t addr) {
    return addr >= SJA1000_ACR0 && addr < SJA1000_AMR0 + kSja1000AcceptanceBytes;
}

bool in_frame_window(uint8_t addr) {
    return addr >= SJA1000_FRAME_WINDOW && addr <= SJA1000_FRAME_WINDOW_LAST;
}

}  // namespace

void Sja1000::hardware_reset() {
    regs_ = Sja1000Registers{};
    update_interrupt();
}

uint8_t Sja1000::peek_reg(uint8_t addr) const {
    // Addresses above the 128 bytes of the chip mirror them: A7 is not decoded.
    addr &= SJA1000_ADDRESS_MASK;
    if (addr >= SJA1000_RAM) return regs_.ram[addr - SJA1000_RAM];
    if (in_frame_window(addr)) {
        // In operating mode the window shows the receive buffer, which needs frames; in reset
        // mode its bytes past the acceptance registers are reserved.
        if (!in_reset_mode() || !in_acceptance_registers(addr)) return 0;
        const uint8_t index = addr - SJA1000_ACR0;
        if (index < kSja1000AcceptanceBytes) return regs_.acr[index];
        return regs_.amr[index - kSja1000AcceptanceBytes];
    }
    switch (addr) {
        case SJA1000_MOD:
            return regs_.mod;
        case SJA1000_SR:
            return regs_.sr;
        case SJA1000_IR:
            return regs_.ir;
        case SJA1000_IER:
            return regs_.ier;
        case SJA1000_BTR0:
            return regs_.btr0;
        case SJA1000_BTR1:
            return regs_.btr1;
        case SJA1000_OCR:
            return regs_.ocr;
        case SJA1000_ALC:
            return regs_.alc;
        case SJA1000_ECC:
            return regs_.ecc;
        case SJA1000_EWLR:
            return regs_.ewlr;
        case SJA1000_RXERR:
            return regs_.rxerr;
        case SJA1000_TXERR:
            return regs_.txerr;
        case SJA1000_RMC:
            return regs_.rmc;
        case SJA1000_RBSA:
            return regs_.rbsa;
        case SJA1000_CDR:
            return regs_.cdr;
        default:
            // CMR is write-only; the reserved addresses read 0.
            return 0;
    }
}

uint8_t Sja1000::read_reg(uint8_t addr) {
    addr &= SJA1000_ADDRESS_MASK;
    const uint8_t value = peek_reg(addr);
    switch (addr) {
        case SJA1000_IR:
            // RI stays while received frames wait; it goes with the release of the last one.
            regs_.ir &= IR_RI;
            update_interrupt();
            break;
        case SJA1000_ALC:
            regs_.alc_armed = true;
            break;
        case SJA1000_ECC:
            regs_.ecc_armed = true;
            break;
        default:
            break;
    }
    return value;
}

void Sja1000::write_reg(uint8_t addr, uint8_t value) {
    addr &= SJA1000_ADDRESS_MASK;
    if (addr >= SJA1000_RAM) {
        regs_.ram[addr - SJA1000_RAM] = value;
        return;
    }
    const bool reset_mode = in_reset_mode();
    if (in_frame_window(addr)) {
        // Operating mode: the transmit buffer, which needs frames. Reset mode: the acceptance
        // registers, then reserved bytes.
        if (!reset_mode || !in_acceptance_registers(addr)) return;
        const uint8_t index = addr - SJA1000_ACR0;
        if (index < kSja1000AcceptanceBytes) {
            regs_.acr[index] = value;
        } else {
            regs_.amr[index - kSja1000AcceptanceBytes] = value;
        }
        return;
    }
    switch (addr) {
        case SJA1000_MOD:
            write_mod(value);
            return;
        case SJA1000_CMR:
            write_cmr(value);
            return;
        case SJA1000_IER:
            regs_.ier = value;
            update_interrupt();
            return;
        case SJA1000_CDR: {
            const uint8_t changeable = reset_mode ? 0xFF : static_cast<uint8_t>(~CDR_RESET_ONLY);
            regs_.cdr = static_cast<uint8_t>((regs_.cdr & ~changeable) | (value & changeable) |
                                             CDR_PELICAN);
            return;
        }
        default:
            break;
    }
    // The timing, output, limit and counter registers and RBSA only change in reset mode, so a
    // running controller never sees them half-configured.
    if (!reset_mode) return;
    switch (addr) {
        case SJA1000_BTR0:
            regs_.btr0 = value;
            break;
        case SJA1000_BTR1:
            regs_.btr1 = value;
            break;
        case SJA1000_OCR:
            regs_.ocr = value;
            break;
        // What a written limit or counter means for the error state, and its interrupts, takes
        // effect when reset mode is left.
        case SJA1000_EWLR:
            regs_.ewlr = value;
            break;
        case SJA1000_RXERR:
            regs_.rxerr = value;
            break;
        case SJA1000_TXERR:
            regs_.txerr = value;
            break;
        case SJA1000_RBSA:
            regs_.rbsa = value;
            break;
        default:
            // SR, IR, ALC, ECC and RMC are read-only; the reserved addresses ignore writes.
            break;
    }
}

void Sja1000::write_mod(uint8_t value) {
    const bool was_reset = in_reset_mode();
    const bool wants_reset = (value & MOD_RM) != 0;
    uint8_t mod = regs_.mod & MOD_BITS;
    // Listen-only, self-test and filter mode are taken only from a write made in reset mode
    // (the write that leaves reset mode may set them).
    if (was_reset) mod = static_cast<uint8_t>((mod & ~MOD_RESET_ONLY) | (value & MOD_RESET_ONLY));

    // Sleep is entered only by an operating controller with no interrupt pending; leaving it
    // wakes the controller up.
    const bool was_asleep = (regs_.mod & MOD_SM) != 0;
    const bool may_sleep = !was_reset && !wants_reset && regs_.ir == 0;
    const bool asleep = (value & MOD_SM) != 0 && (was_asleep || may_sleep) && !wants_reset;
    mod = static_cast<uint8_t>((mod & ~(MOD_SM | MOD_RM)) | (asleep ? MOD_SM : 0) |
                               (wants_reset ? MOD_RM : 0));
    regs_.mod = mod;

    if (!was_reset && wants_reset) enter_reset_mode();
    if (was_reset && !wants_reset) leave_reset_mode();
    if (was_asleep && !asleep) raise_interrupt(IR_WUI);
}

void Sja1000::write_cmr(uint8_t value) {
    // Transmission, abort, self reception and release act on frames, which belong to the bus
    // side of the chip; clearing the overrun status needs none.
    if ((value & CMR_CDO) != 0) regs_.sr &= static_cast<uint8_t>(~SR_DOS);
}

void Sja1000::enter_reset_mode() {
    // A software reset (or bus-off) keeps the configuration but drops what was received and
    // aborts any transfer in progress: the transmit buffer is released, as after a reset.
    regs_.sr = static_cast<uint8_t>((regs_.sr & (SR_BS | SR_ES)) | SR_TCS | SR_TBS | SR_TS | SR_RS);
    regs_.ir = 0;
    regs_.rmc = 0;
    update_interrupt();
}

void Sja1000::leave_reset_mode() {
    // Without traffic the bus is free at once: the controller is idle.
    regs_.sr &= static_cast<uint8_t>(~(SR_TS | SR_RS));
    // A transmit error counter the CPU set to its maximum forces bus-off.
    if (regs_.txerr == kErrorCounterMax && !bus_off()) {
        enter_bus_off();
        return;
    }
    update_error_state();
}

void Sja1000::raise_interrupt(uint8_t ir_bits) {
    regs_.ir |= static_cast<uint8_t>(ir_bits & regs_.ier);
    update_interrupt();
}

void Sja1000::signal_data_overrun() {
    regs_.sr |= SR_DOS;
    raise_interrupt(IR_DOI);
}

bool Sja1000::accepts(const ReceivedFrame& frame) const {
    const FilterRegisters filter{regs_.acr, regs_.amr};
    const bool single_filter = (regs_.mod & MOD_AFM) != 0;
    return single_filter ? accepts_single(filter, frame) : accepts_dual(filter, frame);
}

bool Sja1000::accepts(uint32_t id, bool extended, bool remote, uint8_t dlc,
                      const uint8_t* data) const {
    return accepts(ReceivedFrame{id, extended, remote, dlc, data});
}

void Sja1000::begin_transmit() {
    if (in_reset_mode()) return;
    regs_.sr = static_cast<uint8_t>((regs_.sr & ~(SR_TBS | SR_TCS)) | SR_TS);
}

void Sja1000::end_transmit(bool acknowledged) {
    if (in_reset_mode()) return;
    regs_.sr &= static_cast<uint8_t>(~SR_TS);
    const bool self_test = (regs_.mod & MOD_STM) != 0;
    if (acknowledged || self_test) {
        regs_.sr |= SR_TBS | SR_TCS;
        if (counting_errors() && regs_.txerr > 0) --regs_.txerr;
        update_error_state();
        raise_interrupt(IR_TI);
        return;
    }
    // An error-passive transmitter's ACK errors do not count: alone on the bus it would otherwise
    // go bus-off, though nothing is wrong with it. So it stays at 128 and keeps retrying.
    const bool was_error_passive = regs_.error_passive;
    capture_bus_error(ECC_TX_ACK_ERROR);
    if (!was_error_passive) add_transmit_errors(kTxErrorStep);
}

void Sja1000::transmit_error(uint8_t ecc_code) {
    if (in_reset_mode()) return;
    regs_.sr &= static_cast<uint8_t>(~SR_TS);
    capture_bus_error(ecc_code);
    add_transmit_errors(kTxErrorStep);
}

void Sja1000::begin_receive() {
    if (in_reset_mode()) return;
    regs_.sr |= SR_RS;
}

bool Sja1000::end_receive(const ReceivedFrame& frame) {
    if (in_reset_mode()) return false;
    regs_.sr &= static_cast<uint8_t>(~SR_RS);
    if (counting_errors()) {
        if (regs_.rxerr >= kErrorPassiveLimit) {
            regs_.rxerr = kRxerrAfterPassiveRecovery;
        } else if (regs_.rxerr > 0) {
            --regs_.rxerr;
        }
        update_error_state();
    }
    return accepts(frame);
}

void Sja1000::receive_error(uint8_t ecc_code) {
    if (in_reset_mode()) return;
    regs_.sr &= static_cast<uint8_t>(~SR_RS);
    capture_bus_error(static_cast<uint8_t>(ecc_code | ECC_DIRECTION_RX));
    if (!counting_errors()) return;
    const unsigned rxerr = regs_.rxerr + kRxErrorStep;
    regs_.rxerr = static_cast<uint8_t>(rxerr < kErrorCounterMax ? rxerr : kErrorCounterMax);
    update_error_state();
}

void Sja1000::arbitration_lost(unsigned bit) {
    if (in_reset_mode()) return;
    regs_.sr &= static_cast<uint8_t>(~SR_TS);
    if (regs_.alc_armed) {
        regs_.alc = static_cast<uint8_t>(bit & ALC_BIT_MASK);
        regs_.alc_armed = false;
    }
    raise_interrupt(IR_ALI);
}

void Sja1000::complete_bus_off_recovery() {
    // Only a controller the firmware restarted recovers; in reset mode it stays bus-off.
    if (!bus_off() || in_reset_mode()) return;
    regs_.sr &= static_cast<uint8_t>(~SR_BS);
    regs_.txerr = 0;
    regs_.rxerr = 0;
    regs_.ecc_armed = true;
    update_error_state();
    raise_interrupt(IR_EI);
}

void Sja1000::capture_bus_error(uint8_t ecc_code) {
    if (regs_.ecc_armed) {
        regs_.ecc = ecc_code;
        regs_.ecc_armed = false;
    }
    raise_interrupt(IR_BEI);
}

void Sja1000::add_transmit_errors(unsigned step) {
    if (!counting_errors()) return;
    const unsigned txerr = regs_.txerr + step;
    if (txerr > kBusOffLimit) {
        enter_bus_off();
        return;
    }
    regs_.txerr = static_cast<uint8_t>(txerr);
    update_error_state();
}

void Sja1000::enter_bus_off() {
    // The chip leaves the bus by entering reset mode itself; the firmware must clear RM to start
    // the recovery. The receive counter restarts from 0.
    regs_.txerr = kTxerrAtBusOff;
    regs_.rxerr = 0;
    regs_.sr |= SR_BS;
    regs_.mod = static_cast<uint8_t>((regs_.mod & ~MOD_SM) | MOD_RM);
    // Unlike a reset the firmware asks for, bus-off keeps the error interrupts that led to it
    // pending, so the firmware learns why the controller stopped.
    const uint8_t pending_errors = regs_.ir & static_cast<uint8_t>(~IR_RI);
    enter_reset_mode();
    regs_.ir |= pending_errors;
    // Bus-off is not error passive: leaving that state is no return to error active.
    regs_.error_passive = false;
    update_error_state();
    raise_interrupt(IR_EI);
}

bool Sja1000::counting_errors() const {
    return !in_reset_mode() && (regs_.mod & MOD_LOM) == 0;
}

void Sja1000::update_error_state() {
    const bool warning = regs_.txerr >= regs_.ewlr || regs_.rxerr >= regs_.ewlr;
    const bool was_warning = (regs_.sr & SR_ES) != 0;
    regs_.sr = static_cast<uint8_t>((regs_.sr & ~SR_ES) | (warning ? SR_ES : 0));
    if (warning != was_warning) raise_interrupt(IR_EI);

    const bool passive =
        !bus_off() && (regs_.txerr >= kErrorPassiveLimit || regs_.rxerr >= kErrorPassiveLimit);
    // EPI both on becoming error passive and on becoming error active again.
    if (passive != regs_.error_passive) {
        regs_.error_passive = passive;
        raise_interrupt(IR_EPI);
    }
}

void Sja1000::update_interrupt() {
    interrupt_asserted_ = (regs_.ir & regs_.ier) != 0;
}

}  // namespace k5320::emulator::sja1000
