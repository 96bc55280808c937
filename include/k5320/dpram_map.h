// The module's dual-port RAM as host and firmware share it: one definition for the driver and
// the emulated module.
#pragma once

#include <cstdint>

namespace k5320::dpram {

inline constexpr uint32_t kSize = 0x2000;     // 8 KB
inline constexpr uint32_t kPageSize = 0x400;  // the host sees 8 pages of 1 KB
inline constexpr uint32_t kPageShift = 10;
inline constexpr uint32_t kPageOffsetMask = kPageSize - 1;

// Slot I/O ports of the backplane through which the host reaches the DPRAM.
inline constexpr uint16_t kPortPageRegister = 1;
inline constexpr uint16_t kPortDataWindow = 0x400;  // + offset within the page
inline constexpr uint16_t kPortDataWindowLast = 0x7FF;

// Range of the raw DPRAM exports.
inline constexpr uint16_t kUserWindowBase = 0x0000;
inline constexpr uint16_t kUserWindowSize = 7000;  // 0x0000..0x1B57

// Receive banks: 64 records of 21 bytes each.
inline constexpr uint16_t kRxBank0 = 0x0000;
inline constexpr uint16_t kRxBank1 = 0x0540;
inline constexpr uint16_t kRxRecordSize = 21;
inline constexpr uint16_t kRxBankRecords = 64;
inline constexpr uint16_t kRxBank0Count = 0x1882;
inline constexpr uint16_t kRxBank1Count = 0x1883;
// Within a receive record: the frame as in the transmit record, then the 64-bit time stamp in
// 0.1 ms units as two 32-bit words, each least significant byte first.
inline constexpr uint16_t kRxRecordStampHigh = 13;
inline constexpr uint16_t kRxRecordStampLow = 17;

inline constexpr uint16_t kTxRecord = 0x0A80;  // 3..13 bytes

// Download mode frames.
inline constexpr uint16_t kLoaderLength = 0x0000;
inline constexpr uint16_t kLoaderBlockNumber = 0x0002;
inline constexpr uint16_t kLoaderPayload = 0x0004;
inline constexpr uint16_t kLoaderMaxPayload = 8186;  // up to 0x1FFD
inline constexpr uint16_t kLoaderFrameOverhead = 2;  // the block number counts in the length
inline constexpr uint16_t kFirmwareInfoSize = 25;
// Information frame (host to loader): length 30, block 0, model code, then the record.
inline constexpr uint16_t kInfoFrameLength = 30;
inline constexpr uint16_t kInfoBlockNumber = 0;
inline constexpr uint16_t kInfoModelCode = 0x0004;  // 3 bytes
inline constexpr uint16_t kInfoRecord = 0x0007;     // 25 bytes, up to 0x001F
// Information answer (loader to host, announced by 231): length word 25, then the record.
inline constexpr uint16_t kInfoAnswerRecord = 0x0002;

// Command mailbox.
inline constexpr uint16_t kInCmdLength = 0x1B58;
inline constexpr uint16_t kInCmdData = 0x1B5A;
inline constexpr uint16_t kOutCmdLength = 0x1D5A;
inline constexpr uint16_t kOutCmdData = 0x1D5C;
inline constexpr uint16_t kCmdRecordMax = 512;

// Cyclic block.
inline constexpr uint16_t kCyclicFrame = 0x1F5C;  // 13 bytes, laid out as the transmit record
inline constexpr uint16_t kCyclicHandle = 0x1F6B;
inline constexpr uint16_t kCyclicTime = 0x1F6C;
inline constexpr uint16_t kCyclicCount = 0x1F70;
inline constexpr uint8_t kCyclicNoHandle = 0xFF;
// The count an add gives for an entry that sends without end.
inline constexpr uint32_t kCyclicCountEndless = 0;
// The rest reported for such an entry, so that it cannot be taken for one whose count is used up
// (rest 0).
inline constexpr uint32_t kCyclicRestEndless = 0xFFFFFFFF;

// Configuration block: baud code, BT0, BT1, acceptance code (4, MSB first), mask (4, MSB first).
inline constexpr uint16_t kConfigBlock = 0x1F74;
inline constexpr uint16_t kConfigBaudCode = 0x1F74;
inline constexpr uint16_t kConfigBt0 = 0x1F75;
inline constexpr uint16_t kConfigBt1 = 0x1F76;
inline constexpr uint16_t kConfigAccCode = 0x1F77;
inline constexpr uint16_t kConfigAccMask = 0x1F7B;

inline constexpr uint16_t kCanStatus = 0x1F7F;
inline constexpr uint16_t kCanStatusComplement = 0x1F80;
inline constexpr uint32_t kStatusPairSum = 0xFF;  // a valid pair: status + complement
inline constexpr uint16_t kRegisterAddress = 0x1F81;
inline constexpr uint16_t kRegisterValue = 0x1F82;

// Module clock, written by the host; its seconds byte doubles as the transmit time-out flag.
inline constexpr uint16_t kClockYear = 0x1FE8;
inline constexpr uint16_t kClockMonth = 0x1FEA;
inline constexpr uint16_t kClockDay = 0x1FEB;
inline constexpr uint16_t kClockHour = 0x1FEC;
inline constexpr uint16_t kClockMinute = 0x1FED;
inline constexpr uint16_t kClockSecond = 0x1FEE;
inline constexpr uint16_t kTxTimeoutFlag = 0x1FEE;
inline constexpr uint8_t kTxTimeoutFlagClear = 0;
inline constexpr uint8_t kTxTimeoutFlagSet = 1;

// Mailbox bytes: a host write of the command byte rings the firmware's doorbell; a firmware
// write of the answer byte raises the slot interrupt, acknowledged by the host's read.
inline constexpr uint16_t kAnswerByte = 0x1FFE;
inline constexpr uint16_t kCommandByte = 0x1FFF;

constexpr uint8_t page_of(uint32_t address) {
    return static_cast<uint8_t>(address >> kPageShift);
}
constexpr uint16_t window_port_of(uint32_t address) {
    return static_cast<uint16_t>(kPortDataWindow + (address & kPageOffsetMask));
}
constexpr bool is_window_port(int port) {
    return port >= kPortDataWindow && port <= kPortDataWindowLast;
}
// The DPRAM address a data-window port reaches on the selected page.
constexpr uint16_t window_address(uint8_t page, int port) {
    return static_cast<uint16_t>((page << kPageShift) + (port - kPortDataWindow));
}

}  // namespace k5320::dpram
