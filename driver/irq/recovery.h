// The interrupt recovery: re-arms a slot whose answers stopped arriving, checks that the firmware
// answers again, and delivers an answer the module wrote while its interrupt was lost.
#pragma once

#include <cstdint>

namespace k5320::driver::irq {

// 0, or 23 when the user thread could not be renewed or the firmware did not answer the mode
// query.
int recover(uint8_t slot);

}  // namespace k5320::driver::irq
