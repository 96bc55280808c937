// Which backplane the process's SDK functions reach.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include <sstream>

#include "backplane/inspect.h"
#include "backplane/problems.h"
#include "backplane/service.h"

namespace k5320::backplane {

namespace {

std::atomic<Host*> g_selected{nullptr};

void report(const std::string& problems) {
    std::istringstream lines(problems);
    for (std::string line; std::getline(lines, line);) std::cerr << "TarnSDK_CE: " << line << '\n';
}

Host* make_host() {
    const char* mode = std::getenv(kModeEnvironmentVariable);
    if (mode != nullptr && std::strcmp(mode, kModeInProcess) == 0)
        return new Host(config_from_environment(std::cerr));
    if (mode != nullptr && *mode != '\0' && std::strcmp(mode, kModeService) != 0) {
        std::cerr << "TarnSDK_CE: " << kModeEnvironmentVariable << "=" << mode << " is neither "
                  << kModeInProcess << " nor " << kModeService << "; using the service\n";
    }
    std::string error;
    bool started = false;
    if (std::unique_ptr<Host> attached = attach_to_service(&error, &started)) {
        // Only the program that started the service says what it found wrong; later ones would
        // repeat it on every run.
        if (started) report(attached->problems());
        return attached.release();
    }
    // A backplane of its own would split this user's programs without a word: each would see
    // only its own modules. None at all makes the failure plain.
    Config none = Config::empty_backplane();
    none.problem = "no backplane service: " + printable(error) + "; no modules (" +
                   kModeEnvironmentVariable + "=" + kModeInProcess +
                   " runs a private backplane in the process)";
    auto* refused = new Host(none);
    report(refused->problems());
    return refused;
}

}  // namespace

Host& host() {
    if (Host* selected = g_selected.load(std::memory_order_acquire)) return *selected;
    static Host* const instance = make_host();
    Host* expected = nullptr;
    g_selected.compare_exchange_strong(expected, instance, std::memory_order_acq_rel);
    return *g_selected.load(std::memory_order_acquire);
}

std::string backplane_problems() {
    return host().problems();
}

void select_host(Host& chosen) {
    g_selected.store(&chosen, std::memory_order_release);
}

}  // namespace k5320::backplane
