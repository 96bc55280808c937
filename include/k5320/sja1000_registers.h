// The SJA1000's PeliCAN register map and bits, named as in its datasheet: one definition for the
// driver, which reaches the controller through the module's register commands, and the emulated
// chip.
#pragma once

#include <cstdint>

namespace k5320::sja1000 {

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

// ECC: error code capture.
inline constexpr uint8_t ECC_TYPE_BIT = 0x00;
inline constexpr uint8_t ECC_TYPE_FORM = 0x40;
inline constexpr uint8_t ECC_TYPE_STUFF = 0x80;
inline constexpr uint8_t ECC_TYPE_OTHER = 0xC0;
inline constexpr uint8_t ECC_DIRECTION_RX = 0x20;  // the error happened while receiving
inline constexpr uint8_t ECC_SEGMENT_ACK_SLOT = 0x19;
// The code a transmitter captures when nobody acknowledges its frame (0xD9).
inline constexpr uint8_t ECC_TX_ACK_ERROR = ECC_TYPE_OTHER | ECC_SEGMENT_ACK_SLOT;

// ALC: the bit position (0..31) at which arbitration was lost.
inline constexpr uint8_t ALC_BIT_MASK = 0x1F;

}  // namespace k5320::sja1000
