// Command codes the host writes to the command byte and answer codes the firmware writes to the
// answer byte: one definition for the driver and the emulated module.
#pragma once

#include <cstdint>

namespace k5320::cmd {

// Values 0..223 may be written unchanged by K5320_DPRAMInttToK5320.
inline constexpr uint8_t kRawCommandMax = 223;

inline constexpr uint8_t kTransmit = 209;
inline constexpr uint8_t kStartCan = 210;
inline constexpr uint8_t kBankRead = 211;
inline constexpr uint8_t kFetchReceived = 212;
inline constexpr uint8_t kClearBufferStatus = 213;
inline constexpr uint8_t kClearSoftBuffers = 214;
inline constexpr uint8_t kClearTxSoftBuffer = 215;
inline constexpr uint8_t kClearRxSoftBuffer = 216;
inline constexpr uint8_t kLoaderInfo = 224;
inline constexpr uint8_t kLoaderBlock = 225;
inline constexpr uint8_t kLoaderReset = 226;
inline constexpr uint8_t kLoaderDelete = 227;
inline constexpr uint8_t kLoaderReport = 228;
inline constexpr uint8_t kRepeatRequest = 232;
inline constexpr uint8_t kCyclicRest = 233;
inline constexpr uint8_t kEnableSja1000 = 234;
inline constexpr uint8_t kDisableSja1000 = 235;
inline constexpr uint8_t kSystemMsgOff = 236;
inline constexpr uint8_t kSystemMsgOn = 237;
inline constexpr uint8_t kRunUserProgram = 238;
inline constexpr uint8_t kSetClock = 239;
inline constexpr uint8_t kProgramMode = 240;
inline constexpr uint8_t kLoaderMode = 241;
inline constexpr uint8_t kModeQuery = 242;
inline constexpr uint8_t kRestore = 245;
inline constexpr uint8_t kReset = 246;
inline constexpr uint8_t kWriteRegister = 247;
inline constexpr uint8_t kReadRegister = 248;
inline constexpr uint8_t kCyclicAdd = 249;
inline constexpr uint8_t kCyclicDelete = 250;
inline constexpr uint8_t kCyclicEnable = 251;
inline constexpr uint8_t kCyclicDisable = 252;
inline constexpr uint8_t kApplyConfig = 253;
inline constexpr uint8_t kEndUserProgram = 254;
inline constexpr uint8_t kCommandRecord = 255;

}  // namespace k5320::cmd

namespace k5320::answer {

inline constexpr uint8_t kBank0Ready = 209;
inline constexpr uint8_t kBank1Ready = 210;
inline constexpr uint8_t kBank0ReadyOverflow = 211;
inline constexpr uint8_t kBank1ReadyOverflow = 212;
inline constexpr uint8_t kNothingReceived = 213;
inline constexpr uint8_t kCanStarted = 214;
inline constexpr uint8_t kTxAccepted = 215;
inline constexpr uint8_t kTxRefused = 216;
inline constexpr uint8_t kSoftBuffersCleared = 217;
inline constexpr uint8_t kBufferStatusCleared = 218;
inline constexpr uint8_t kBankReleased = 219;
inline constexpr uint8_t kTxSoftBufferCleared = 220;
inline constexpr uint8_t kRxSoftBufferCleared = 221;
inline constexpr uint8_t kLoaderInfoAnnounced = 224;
inline constexpr uint8_t kLoaderEmpty = 225;
inline constexpr uint8_t kLoaderDeleteRefused = 226;
inline constexpr uint8_t kLoaderDeleted = 227;
inline constexpr uint8_t kLoaderBlockTaken = 228;
inline constexpr uint8_t kLoaderBlockAccepted = 230;
inline constexpr uint8_t kLoaderInfoReport = 231;
inline constexpr uint8_t kLoaderRejected = 232;
inline constexpr uint8_t kResetDone = 234;
inline constexpr uint8_t kSja1000Toggled = 235;
inline constexpr uint8_t kSystemMsgSwitched = 238;
inline constexpr uint8_t kSystemMsgRefused = 239;
inline constexpr uint8_t kProgramMode = 240;
inline constexpr uint8_t kLoaderMode = 241;
inline constexpr uint8_t kRegisterRead = 243;
inline constexpr uint8_t kCyclicDone = 244;
inline constexpr uint8_t kCyclicRefused = 245;
inline constexpr uint8_t kConfigRefused = 246;
inline constexpr uint8_t kConfigApplied = 247;  // also: register written
inline constexpr uint8_t kRegisterWritten = 247;
inline constexpr uint8_t kCommandRecordArrived = 249;
inline constexpr uint8_t kUserProgramEnded = 250;
inline constexpr uint8_t kClockSet = 251;
inline constexpr uint8_t kClockRefused = 252;
inline constexpr uint8_t kUserProgramRunning = 253;
inline constexpr uint8_t kRestored = 254;

// Every answer of the resident loader lies in this range.
inline constexpr uint8_t kLoaderFirst = 224;
inline constexpr uint8_t kLoaderLast = 233;

}  // namespace k5320::answer

// System messages: while they are on (command 237), the firmware reports these controller events
// to the host as user interrupt values, one per change. They sit high in the user range so that
// values a user program posts for its own purposes stay clear of them.
namespace k5320::sysmsg {

inline constexpr uint8_t kErrorWarning = 0xC0;      // an error counter reached the warning limit
inline constexpr uint8_t kErrorWarningGone = 0xC1;  // both counters back below it
inline constexpr uint8_t kErrorPassive = 0xC2;
inline constexpr uint8_t kErrorActive = 0xC3;  // back from error passive
inline constexpr uint8_t kBusOff = 0xC4;       // the controller left the bus
inline constexpr uint8_t kDataOverrun = 0xC5;  // received frames were lost
inline constexpr uint8_t kArbitrationLost = 0xC6;

}  // namespace k5320::sysmsg
