// The module's CAN controller: an SJA1000 in PeliCAN mode, seen as its register file.
//
// Every access of the firmware goes through read_reg()/write_reg(), so the chip's access rules
// (reset-mode-only registers, write-only CMR, IR cleared by reading) live in one place. Bus
// traffic, the acceptance filter and the error counters' rules are layered on top of this file
// through the chip events below (raise_interrupt, signal_data_overrun) and the internal RAM.
#pragma once

#include <array>
#include <cstdint>

namespace k5320::emulator::sja1000 {

// Register addresses (PeliCAN mode).
inline constexpr uint8_t SJA1000_MOD = 0;
inline constexpr uint8_t SJA1000_CMR = 1;
inline constexpr uint8_t SJA1000_SR = 2;
inline constexpr uint8_t SJA1000_IR = 3;
inline constexpr uint8_t SJA1000_IER = 4;
inline constexpr uint8_t SJA1000_BTR0 = 6;
inline constexpr uint8_t SJA1000_BTR1 = 7;
inline constexpr uint8_t SJA1000_OCR = 8;
inline constexpr uint8_t SJA1000_ALC = 11;
inline constexpr uint8_t SJA1000_ECC = 12;
inline constexpr uint8_t SJA1000_EWLR = 13;
inline constexpr uint8_t SJA1000_RXERR = 14;
inline constexpr uint8_t SJA1000_TXERR = 15;
// 16..28: the frame window in operating mode; the acceptance registers in reset mode.
inline constexpr uint8_t SJA1000_FRAME_WINDOW = 16;
inline constexpr uint8_t SJA1000_FRAME_WINDOW_LAST = 28;
inline constexpr uint8_t SJA1000_ACR0 = 16;
inline constexpr uint8_t SJA1000_AMR0 = 20;
inline constexpr uint8_t SJA1000_RMC = 29;
inline constexpr uint8_t SJA1000_RBSA = 30;
inline constexpr uint8_t SJA1000_CDR = 31;
// 32..127: internal RAM (receive FIFO, transmit buffer, free bytes).
inline constexpr uint8_t SJA1000_RAM = 32;
inline constexpr uint8_t SJA1000_RAM_LAST = 127;
inline constexpr uint8_t SJA1000_RAM_SIZE = SJA1000_RAM_LAST - SJA1000_RAM + 1;
inline constexpr uint8_t SJA1000_ACCEPTANCE_BYTES = 4;
// The chip decodes seven address lines; higher addresses reach the same 128 bytes.
inline constexpr uint8_t SJA1000_ADDRESS_MASK = 0x7F;

// MOD: mode.
inline constexpr uint8_t MOD_RM = 0x01;   // reset mode
inline constexpr uint8_t MOD_LOM = 0x02;  // listen only
inline constexpr uint8_t MOD_STM = 0x04;  // self test
inline constexpr uint8_t MOD_AFM = 0x08;  // single acceptance filter
inline constexpr uint8_t MOD_SM = 0x10;   // sleep
inline constexpr uint8_t MOD_RESET_ONLY = MOD_LOM | MOD_STM | MOD_AFM;
inline constexpr uint8_t MOD_BITS = MOD_RM | MOD_LOM | MOD_STM | MOD_AFM | MOD_SM;

// CMR: command (write only).
inline constexpr uint8_t CMR_TR = 0x01;   // transmission request
inline constexpr uint8_t CMR_AT = 0x02;   // abort transmission
inline constexpr uint8_t CMR_RRB = 0x04;  // release receive buffer
inline constexpr uint8_t CMR_CDO = 0x08;  // clear data overrun
inline constexpr uint8_t CMR_SRR = 0x10;  // self reception request

// SR: status (read only).
inline constexpr uint8_t SR_RBS = 0x01;  // receive buffer status
inline constexpr uint8_t SR_DOS = 0x02;  // data overrun
inline constexpr uint8_t SR_TBS = 0x04;  // transmit buffer released
inline constexpr uint8_t SR_TCS = 0x08;  // transmission complete
inline constexpr uint8_t SR_RS = 0x10;   // receiving
inline constexpr uint8_t SR_TS = 0x20;   // transmitting
inline constexpr uint8_t SR_ES = 0x40;   // an error counter reached the warning limit
inline constexpr uint8_t SR_BS = 0x80;   // bus-off

// IR / IER: interrupt and interrupt enable (same bits).
inline constexpr uint8_t IR_RI = 0x01;   // receive
inline constexpr uint8_t IR_TI = 0x02;   // transmit
inline constexpr uint8_t IR_EI = 0x04;   // error warning
inline constexpr uint8_t IR_DOI = 0x08;  // data overrun
inline constexpr uint8_t IR_WUI = 0x10;  // wake-up
inline constexpr uint8_t IR_EPI = 0x20;  // error passive
inline constexpr uint8_t IR_ALI = 0x40;  // arbitration lost
inline constexpr uint8_t IR_BEI = 0x80;  // bus error

// CDR: clock divider.
inline constexpr uint8_t CDR_PELICAN = 0x80;
// CAN mode, comparator bypass and RX1 interrupt: changeable in reset mode only.
inline constexpr uint8_t CDR_RESET_ONLY = 0xE0;

// Values after a hardware reset.
inline constexpr uint8_t MOD_AFTER_RESET = MOD_RM;
inline constexpr uint8_t SR_AFTER_RESET = SR_TS | SR_RS | SR_TCS | SR_TBS;  // 0x3C
inline constexpr uint8_t EWLR_AFTER_RESET = 96;

// The register file as named fields.
struct Sja1000Registers {
    uint8_t mod = MOD_AFTER_RESET;
    uint8_t sr = SR_AFTER_RESET;
    uint8_t ir = 0;
    uint8_t ier = 0;
    uint8_t btr0 = 0;
    uint8_t btr1 = 0;
    uint8_t ocr = 0;
    uint8_t alc = 0;
    uint8_t ecc = 0;
    uint8_t ewlr = EWLR_AFTER_RESET;
    uint8_t rxerr = 0;
    uint8_t txerr = 0;
    std::array<uint8_t, SJA1000_ACCEPTANCE_BYTES> acr{};
    std::array<uint8_t, SJA1000_ACCEPTANCE_BYTES> amr{};
    uint8_t rmc = 0;
    uint8_t rbsa = 0;
    // Only the PeliCAN register map is emulated, so the firmware's choice of PeliCAN mode at
    // every reset is taken as part of the reset.
    uint8_t cdr = CDR_PELICAN;
    std::array<uint8_t, SJA1000_RAM_SIZE> ram{};
    // Reading ALC or ECC re-arms its capture; the next event is captured only while armed.
    bool alc_armed = true;
    bool ecc_armed = true;
};

class Sja1000 {
  public:
    Sja1000() = default;

    // Power-on state: reset mode, status 0x3C, no interrupt, nothing received.
    void hardware_reset();

    // The firmware's bus to the chip. Reads have the chip's side effects (IR is cleared).
    uint8_t read_reg(uint8_t addr);
    void write_reg(uint8_t addr, uint8_t value);
    // The value read_reg would return, without its side effects (inspection).
    uint8_t peek_reg(uint8_t addr) const;

    const Sja1000Registers& registers() const { return regs_; }
    bool in_reset_mode() const { return (regs_.mod & MOD_RM) != 0; }
    // The chip's INT output, active while an enabled interrupt is pending.
    bool interrupt_asserted() const { return interrupt_asserted_; }

    // Chip events. Interrupt bits are latched only where IER enables them, as on the chip.
    void raise_interrupt(uint8_t ir_bits);
    // A received frame found the receive FIFO full.
    void signal_data_overrun();

  private:
    void write_mod(uint8_t value);
    void write_cmr(uint8_t value);
    void enter_reset_mode();
    void leave_reset_mode();
    // Recomputes the INT output from IR and IER; called after every change of either.
    void update_interrupt();

    Sja1000Registers regs_;
    bool interrupt_asserted_ = false;
};

}  // namespace k5320::emulator::sja1000
