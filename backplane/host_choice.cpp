// Which backplane the process's SDK functions reach.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "backplane/inspect.h"
#include "backplane/service.h"

namespace k5320::backplane {

namespace {

std::atomic<Host*> g_selected{nullptr};

Host* make_host() {
    const char* mode = std::getenv(kModeEnvironmentVariable);
    if (mode != nullptr && std::strcmp(mode, kModeInProcess) == 0)
        return new Host(config_from_environment(std::cerr));
    if (mode != nullptr && *mode != '\0' && std::strcmp(mode, kModeService) != 0) {
        std::cerr << "TarnSDK_CE: " << kModeEnvironmentVariable << "=" << mode << " is neither "
                  << kModeInProcess << " nor " << kModeService << "; using the service\n";
    }
    std::string error;
    if (std::unique_ptr<Host> attached = attach_to_service(&error)) return attached.release();
    std::cerr << "TarnSDK_CE: no backplane service (" << error
              << "); running the backplane in this process\n";
    return new Host(config_from_environment(std::cerr));
}

}  // namespace

Host& host() {
    if (Host* selected = g_selected.load(std::memory_order_acquire)) return *selected;
    static Host* const instance = make_host();
    Host* expected = nullptr;
    g_selected.compare_exchange_strong(expected, instance, std::memory_order_acq_rel);
    return *g_selected.load(std::memory_order_acquire);
}

void select_host(Host& chosen) {
    g_selected.store(&chosen, std::memory_order_release);
}

}  // namespace k5320::backplane
