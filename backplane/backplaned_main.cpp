// k5320-backplaned: the per-user backplane service. Started by the SDK on first use; run it by
// hand with --foreground to watch which clients attach, which slots they use and the bus traffic.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string_view>

#include "backplane/service.h"

namespace {

constexpr int kUsageError = 2;

void usage(std::ostream& out) {
    out << "usage: k5320-backplaned [--foreground | --stop]\n"
           "  --foreground  run the backplane service here, logging to stderr, until Ctrl-C or\n"
           "                --stop (the default)\n"
           "  --stop        stop the running service\n"
           "Settings: TARN_BACKPLANE_RUNTIME (runtime directory), TARN_BACKPLANE_CONFIG,\n"
           "TARN_BACKPLANE_STATE (flash), TARN_BACKPLANE_GRACE_MS (how long a service started on\n"
           "first use stays after its last client).\n"
           "Examples:\n"
           "  k5320-backplaned --foreground   # watch clients, slots and bus counters\n"
           "  k5320-backplaned --stop         # end the running service\n";
}

}  // namespace

int main(int argc, char** argv) {
    namespace bp = k5320::backplane;
    bp::ServiceOptions options;
    options.foreground = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--foreground") {
            options.foreground = true;
        } else if (arg == "--background") {
            options.foreground = false;
        } else if (arg == "--stop") {
            return bp::stop_service(std::cout) ? 0 : 1;
        } else if (arg == "--help") {
            usage(std::cout);
            return 0;
        } else {
            usage(std::cerr);
            return kUsageError;
        }
    }
    if (const char* grace = std::getenv(bp::kGraceEnvironmentVariable); grace && *grace)
        options.grace_ms = std::atoi(grace);
    // Nothing the starting process had open is kept: a pipe held here would keep its reader
    // waiting for an end of file until the service ends.
    close_range(STDERR_FILENO + 1, ~0U, 0);
    return bp::run_service(options);
}
