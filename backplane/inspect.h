// Test access to the process's backplane: the host behind the SDK functions, its modules and
// its trace.
#pragma once

#include "backplane/host.h"

namespace k5320::backplane {

// The host the SDK functions use. Built on first use of any SDK function (or of this): in this
// process when TARN_BACKPLANE is "inprocess", else attached to the user's backplane service
// (started if need be; if that fails, an empty backplane after an error). Never destroyed: the
// driver's unload code calls the SDK from a destructor at process exit, after static
// destructors may already have run.
Host& host();

// The process's host when its modules run in this process (TARN_BACKPLANE=inprocess, as every
// test but the service tests sets it); ends the process with a message otherwise, since a test
// that reaches for modules of a service would only fail later and less clearly.
InProcessHost& in_process_host();

// Makes the SDK functions use this host from now on (it must outlive the process). For
// benchmarks that compare both arrangements in one process; no SDK call may be under way and
// no slot interrupt registered when it switches.
void select_host(Host& host);

}  // namespace k5320::backplane
