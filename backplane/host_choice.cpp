// Which backplane the process's SDK functions reach.
#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>

#include "backplane/inspect.h"
#include "backplane/problems.h"
#include "backplane/remote_links.h"
#include "backplane/service.h"

namespace k5320::backplane {

namespace {

std::atomic<Host*> g_selected{nullptr};
Host* g_made = nullptr;  // the host host() made, if any; guarded by made_host_mutex()

// Never destroyed: host() may run from the driver's unload code after static destructors.
std::mutex& made_host_mutex() {
    static auto* const mutex = new std::mutex;
    return *mutex;
}

// A forked child does not share its parent's backplane connection: its first SDK call makes a
// host of its own. The parent's host is left as it is, since its threads did not come along.
void leave_parents_host() {
    // The child's only thread is this one: a lock another parent thread held is free again.
    std::construct_at(&made_host_mutex());
    if (g_made == nullptr || g_selected.load() != g_made) return;
    g_made->disown_after_fork();
    g_made = nullptr;
    g_selected.store(nullptr);
}

[[maybe_unused]] const int g_fork_handler = pthread_atfork(nullptr, nullptr, leave_parents_host);

void report(const std::string& problems) {
    std::istringstream lines(problems);
    for (std::string line; std::getline(lines, line);) std::cerr << "TarnSDK_CE: " << line << '\n';
}

Host* make_host() {
    const char* mode = std::getenv(kModeEnvironmentVariable);
    if (mode != nullptr && std::strcmp(mode, kModeInProcess) == 0)
        return new InProcessHost(config_from_environment(std::cerr));
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
    auto* refused = new InProcessHost(none);
    report(refused->problems());
    return refused;
}

}  // namespace

Host& host() {
    if (Host* chosen = g_selected.load(std::memory_order_acquire)) return *chosen;
    std::lock_guard lock(made_host_mutex());
    if (Host* chosen = g_selected.load(std::memory_order_acquire)) return *chosen;
    g_made = make_host();
    g_selected.store(g_made, std::memory_order_release);
    return *g_made;
}

InProcessHost& in_process_host() {
    auto* in_process = dynamic_cast<InProcessHost*>(&host());
    if (in_process == nullptr) {
        std::cerr << "TarnSDK_CE: the backplane runs in its service; in-process inspection needs "
                  << kModeEnvironmentVariable << "=" << kModeInProcess << "\n";
        std::abort();
    }
    return *in_process;
}

std::string backplane_problems() {
    return host().problems();
}

std::vector<RemoteLinkReport> remote_links() {
    return host().remote_links();
}

void select_host(Host& chosen) {
    g_selected.store(&chosen, std::memory_order_release);
}

}  // namespace k5320::backplane
