// Which process holds a slot of the user's backplane, for programs that tell their user who is
// in the way ("slot 2 is in use by process 1234 (k5320 dump)").
#pragma once

#include <cstdint>

namespace k5320::backplane {

// The process that holds the slot's interrupt registration (the process that initialised the
// slot), on the backplane this process reaches; 0 when none does, or when the backplane runs
// inside this process (another process's holder is then on a backplane of its own).
uint32_t slot_holder(int slot);

}  // namespace k5320::backplane
