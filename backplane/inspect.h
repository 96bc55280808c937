// Test access to the process's backplane: the host behind the SDK functions, its modules and
// its trace.
#pragma once

#include "backplane/host.h"

namespace k5320::backplane {

// Built on first use of any SDK function (or of this), from TARN_BACKPLANE_CONFIG or the
// default, and never destroyed: the driver's unload code calls the SDK from a destructor at
// process exit, after static destructors may already have run.
Host& host();

}  // namespace k5320::backplane
