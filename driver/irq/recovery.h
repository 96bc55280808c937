// The interrupt recovery: re-arms a slot whose answers stopped arriving, checks that the firmware
// answers again, and delivers an answer the module wrote while its interrupt was lost.
#pragma once

#include <cstdint>

namespace k5320::driver::irq {

// 0, or 23 when the user thread could not be renewed, the firmware did not answer the mode
// query, or the slot was released (or registered anew) by this process meanwhile. The answer
// byte is filed only when it differs from the answer this process took last, so a command that
// was never answered never ends in an earlier command's result.
int recover(uint8_t slot);

}  // namespace k5320::driver::irq
