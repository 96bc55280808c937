// The module's CAN controller: an SJA1000 in PeliCAN mode, seen as its register file.
//
// Every access of the firmware goes through read_reg()/write_reg(), so the chip's access rules
// (reset-mode-only registers, write-only CMR, IR cleared by reading) live in one place. What
// happens on the bus reaches the chip through the events below: the firmware reports each
// transmission and reception, and the chip keeps its status, error counters and error state the
// way the CAN rules of fault confinement demand.
#pragma once

#include <array>
#include <cstdint>

#include "can/error_state.h"
#include "emulator/acceptance_filter.h"
#include "k5320/sja1000_registers.h"

namespace k5320::emulator::sja1000 {

// The register map and bits are shared with the driver.
using namespace k5320::sja1000;

inline constexpr uint8_t kSja1000AcceptanceBytes = kAcceptanceRegisters;

// Fault confinement (CAN 2.0).
inline constexpr unsigned kTxErrorStep = 8;
inline constexpr unsigned kRxErrorStep = 1;
inline constexpr unsigned kErrorPassiveLimit = can::kErrorPassiveLimit;
inline constexpr unsigned kBusOffLimit = 255;  // TXERR above: bus-off
inline constexpr uint8_t kTxerrAtBusOff = 127;
// A good reception brings a receive counter above the passive limit back to this value, so that
// an error-passive receiver becomes error active again.
inline constexpr uint8_t kRxerrAfterPassiveRecovery = 127;
inline constexpr uint8_t kErrorCounterMax = 255;
// After bus-off the controller waits, once restarted, for this many sequences of 11 recessive
// bits before it takes part in bus traffic again.
inline constexpr unsigned kBusOffRecoverySequences = 128;
inline constexpr unsigned kBusOffRecoverySequenceBits = 11;

// CDR: clock divider.
inline constexpr uint8_t CDR_PELICAN = 0x80;
// CAN mode, comparator bypass and RX1 interrupt: changeable in reset mode only.
inline constexpr uint8_t CDR_RESET_ONLY = 0xE0;

// Values after a hardware reset.
inline constexpr uint8_t kModAfterReset = MOD_RM;
inline constexpr uint8_t kSrAfterReset = SR_TS | SR_RS | SR_TCS | SR_TBS;  // 0x3C
inline constexpr uint8_t kEwlrAfterReset = can::kErrorWarningLimit;

// The register file as named fields.
struct Sja1000Registers {
    uint8_t mod = kModAfterReset;
    uint8_t sr = kSrAfterReset;
    uint8_t ir = 0;
    uint8_t ier = 0;
    uint8_t btr0 = 0;
    uint8_t btr1 = 0;
    uint8_t ocr = 0;
    uint8_t alc = 0;
    uint8_t ecc = 0;
    uint8_t ewlr = kEwlrAfterReset;
    uint8_t rxerr = 0;
    uint8_t txerr = 0;
    std::array<uint8_t, kSja1000AcceptanceBytes> acr{};
    std::array<uint8_t, kSja1000AcceptanceBytes> amr{};
    uint8_t rmc = 0;
    uint8_t rbsa = 0;
    // Only the PeliCAN register map is emulated, so the firmware's choice of PeliCAN mode at
    // every reset is taken as part of the reset.
    uint8_t cdr = CDR_PELICAN;
    std::array<uint8_t, SJA1000_RAM_SIZE> ram{};
    // Reading ALC or ECC re-arms its capture; the next event is captured only while armed.
    bool alc_armed = true;
    bool ecc_armed = true;
    // Error passive is no status bit, but its changes raise EPI, so the chip remembers it.
    bool error_passive = false;
};

// A received frame, as the firmware hands it to the chip when the reception ends.
using ReceivedFrame = FilterFrame;

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

    // Whether the acceptance filter lets a received frame through, in the filter mode MOD.AFM
    // selects (single filter when set, dual filter when clear).
    bool accepts(const ReceivedFrame& frame) const;
    bool accepts(uint32_t id, bool extended, bool remote, uint8_t dlc, const uint8_t* data) const;

    // Chip events. Interrupt bits are latched only where IER enables them, as on the chip.
    void raise_interrupt(uint8_t ir_bits);
    // A received frame found the receive FIFO full.
    void signal_data_overrun();

    // Bus events, reported by the firmware as the bus carries frames. A controller in reset mode
    // is off the bus and ignores them; in listen-only mode the error counters do not move.
    //
    // A transmission attempt starts (SR.TS, transmit buffer locked).
    void begin_transmit();
    // The attempt ended. Acknowledged (or unacknowledged in self-test mode, where the chip needs
    // no acknowledge): complete, TXERR - 1, TI. Unacknowledged: an ACK error (ECC 0xD9, BEI),
    // TXERR + 8 unless error passive, the frame stays pending for the next attempt.
    void end_transmit(bool acknowledged);
    // The attempt ended in any other bus error, captured as ecc_code: TXERR + 8, BEI.
    void transmit_error(uint8_t ecc_code);
    // A reception starts (SR.RS).
    void begin_receive();
    // The frame arrived intact: RXERR - 1 (or back to error active). Returns whether the
    // acceptance filter keeps it; the firmware stores only frames it keeps.
    bool end_receive(const ReceivedFrame& frame);
    // The reception ended in a bus error, captured as ecc_code: RXERR + 1, BEI.
    void receive_error(uint8_t ecc_code);
    // The pending frame lost arbitration at bit (0: the first identifier bit), captured in ALC
    // unless an earlier capture waits to be read; the frame stays pending.
    void arbitration_lost(unsigned bit);
    // A bus-off controller that was restarted (RM cleared) has seen its 128 x 11 recessive bits:
    // it is error active again with both counters at 0.
    void complete_bus_off_recovery();

    bool bus_off() const { return (regs_.sr & SR_BS) != 0; }
    bool error_passive() const { return regs_.error_passive; }

  private:
    void write_mod(uint8_t value);
    void write_cmr(uint8_t value);
    void enter_reset_mode();
    void leave_reset_mode();
    // Captures a bus error in ECC (unless an earlier one waits to be read) and raises BEI.
    void capture_bus_error(uint8_t ecc_code);
    void add_transmit_errors(unsigned step);
    void enter_bus_off();
    // Whether the error counters may change now.
    bool counting_errors() const;
    // Recomputes SR.ES and error passive from the counters, raising EI and EPI on changes.
    void update_error_state();
    // Recomputes the INT output from IR and IER; called after every change of either.
    void update_interrupt();

    Sja1000Registers regs_;
    bool interrupt_asserted_ = false;
};

}  // namespace k5320::emulator::sja1000
