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
    User,        // not consumed by the library: handed to the user routine, if any
    Rx,          // 209..213
    Tx,          // 215
    TxRefused,   // 216, also sets BufferStatus bit 0x20
    Ping,        // 240, 241
    Cyclic,      // 244, 245
    Loader,      // 224..233
    General,     // CmdAnswer
    CmdArrived,  // 249: a command record waits in the incoming area
};

constexpr std::array<AnswerClass, 256> make_answer_classes() {
    std::array<AnswerClass, 256> t{};
    for (auto& c : t) c = AnswerClass::User;
    using namespace k5320::answer;
    for (int v = kBank0Ready; v <= kNothingReceived; ++v) t[v] = AnswerClass::Rx;
    t[kTxAccepted] = AnswerClass::Tx;
    t[kTxRefused] = AnswerClass::TxRefused;
    t[kProgramMode] = AnswerClass::Ping;
    t[kLoaderMode] = AnswerClass::Ping;
    t[kCyclicDone] = AnswerClass::Cyclic;
    t[kCyclicRefused] = AnswerClass::Cyclic;
    for (int v = kLoaderFirst; v <= kLoaderLast; ++v) t[v] = AnswerClass::Loader;
    for (uint8_t v :
         {kCanStarted, kSoftBuffersCleared, kBufferStatusCleared, kBankReleased,
          kTxSoftBufferCleared, kRxSoftBufferCleared, kResetDone, kSja1000Toggled,
          kSystemMsgSwitched, kSystemMsgRefused, kRegisterRead, kConfigRefused, kConfigApplied,
          kUserProgramEnded, kClockSet, kClockRefused, kUserProgramRunning, kRestored})
        t[v] = AnswerClass::General;
    t[kCommandRecordArrived] = AnswerClass::CmdArrived;
    return t;
}

inline constexpr std::array<AnswerClass, 256> kAnswerClasses = make_answer_classes();

// The slot record field an answer of the class goes to (none for User and CmdArrived).
constexpr std::optional<Field> answer_field(AnswerClass c) {
    switch (c) {
        case AnswerClass::Rx:
            return Field::RxAnswer;
        case AnswerClass::Tx:
        case AnswerClass::TxRefused:
            return Field::TxAnswer;
        case AnswerClass::Ping:
            return Field::PingAnswer;
        case AnswerClass::Cyclic:
            return Field::CyclicAnswer;
        case AnswerClass::Loader:
            return Field::LoaderAnswer;
        case AnswerClass::General:
            return Field::CmdAnswer;
        case AnswerClass::User:
        case AnswerClass::CmdArrived:
            break;
    }
    return std::nullopt;
}

// The interrupt type the user routine sees when a command record arrives.
inline constexpr uint8_t kUserTypeCommandRecord = 209;

}  // namespace k5320::driver::irq
