// How a program of ours waits for frames. The C API announces no new frame, so a receiver polls
// K5320_RxMsgCount and reads every waiting frame per poll: every millisecond while frames arrive;
// after 100 ms without one, a millisecond slower per empty poll, down to one poll every 10 ms.
// The first frame after a silence is so seen within 10 ms, and a waiting receiver wakes no more
// than a hundred times a second. One definition for the CLI, the python-can plugin and the
// benchmarks.
#pragma once

#include <cstdint>

namespace k5320::receive_policy {

inline constexpr uint32_t kBusyPollMs = 1;
inline constexpr uint32_t kIdlePollMs = 10;
inline constexpr uint32_t kBackoffStepMs = 1;
inline constexpr uint32_t kQuietBeforeBackoffMs = 100;

}  // namespace k5320::receive_policy
