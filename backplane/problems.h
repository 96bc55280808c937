// What keeps the user's backplane from being the one configured, for programs to show: a refused
// configuration file (with its line), a socketcand server that could not listen, a flash
// directory or file the modules do not use, a service that could not be reached.
#pragma once

#include <string>

namespace k5320::backplane {

// One line per problem; empty when the backplane is as configured. Reaches the backplane (and
// starts the service) if nothing has yet.
std::string backplane_problems();

}  // namespace k5320::backplane
