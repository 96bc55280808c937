// How the interrupt service files each value of the answer byte: every value 0..255 falls in
// exactly one class.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "driver/frame/slot_state.h"
#include "k5320/commands.h"

namespace k5320::driver::irq {

enum class AnswerClass : uint8_t {
    kUser,        // not consumed by the library: handed to the user routine, if any
    kRx,          // 209..213
    kTx,          // 215
    kTxRefused,   // 216, also sets BufferStatus bit 0x20
    kPing,        // 240, 241
    kCyclic,      // 244, 245
    kLoader,      // 224..233
    kGeneral,     // CmdAnswer
    kCmdArrived,  // 249: a command record waits in the incoming area
};

constexpr std::array<AnswerClass, 256> make_answer_classes() {
    std::array<AnswerClass, 256> t{};
    for (auto& c : t) c = AnswerClass::kUser;
    using namespace k5320::answer;
    for (int v = kBank0Ready; v <= kNothingReceived; ++v) t[v] = AnswerClass::kRx;
    t[kTxAccepted] = AnswerClass::kTx;
    t[kTxRefused] = AnswerClass::kTxRefused;
    t[kProgramMode] = AnswerClass::kPing;
    t[kLoaderMode] = AnswerClass::kPing;
    t[kCyclicDone] = AnswerClass::kCyclic;
    t[kCyclicRefused] = AnswerClass::kCyclic;
    for (int v = kLoaderFirst; v <= kLoaderLast; ++v) t[v] = AnswerClass::kLoader;
    for (uint8_t v :
         {kCanStarted, kSoftBuffersCleared, kBufferStatusCleared, kBankReleased,
          kTxSoftBufferCleared, kRxSoftBufferCleared, kResetDone, kSja1000Toggled,
          kSystemMsgSwitched, kSystemMsgRefused, kRegisterRead, kConfigRefused, kConfigApplied,
          kUserProgramEnded, kClockSet, kClockRefused, kUserProgramRunning, kRestored})
        t[v] = AnswerClass::kGeneral;
    t[kCommandRecordArrived] = AnswerClass::kCmdArrived;
    return t;
}

inline constexpr std::array<AnswerClass, 256> kAnswerClasses = make_answer_classes();

// The slot record field an answer of the class goes to (none for User and CmdArrived).
constexpr std::optional<Field> answer_field(AnswerClass c) {
    switch (c) {
        case AnswerClass::kRx:
            return Field::RxAnswer;
        case AnswerClass::kTx:
        case AnswerClass::kTxRefused:
            return Field::TxAnswer;
        case AnswerClass::kPing:
            return Field::PingAnswer;
        case AnswerClass::kCyclic:
            return Field::CyclicAnswer;
        case AnswerClass::kLoader:
            return Field::LoaderAnswer;
        case AnswerClass::kGeneral:
            return Field::CmdAnswer;
        case AnswerClass::kUser:
        case AnswerClass::kCmdArrived:
            break;
    }
    return std::nullopt;
}

// The interrupt type the user routine sees when a command record arrives.
inline constexpr uint8_t kUserTypeCommandRecord = 209;

}  // namespace k5320::driver::irq
