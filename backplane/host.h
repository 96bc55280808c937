// The host side of the stand-in backplane: the SDK functions over the seven slots' ports, the
// slot interrupt lines and the controller's interrupt registers. The hardware behind it (modules,
// buses, demo nodes) runs either in this process (a Rack of its own) or in the per-user backplane
// service, whose shared memory the host then maps; the SDK functions work the same on both.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "backplane/config.h"
#include "backplane/module_faults.h"
#include "backplane/rack.h"
#include "backplane/shared_backplane.h"
#include "backplane/trace.h"
#include "driver/sdk/tarn_sdk.h"
#include "emulator/can/bus.h"
#include "emulator/can/demo_node.h"
#include "emulator/module.h"

namespace k5320::backplane {

// What a port without anything behind it reads: the bus floats high.
inline constexpr uint8_t kFloatingBus = 0xFF;
inline constexpr int kCallDone = 0;
inline constexpr int kCallIgnored = -1;

// The host's line to a backplane service: told of interrupt registrations (for its log and so
// it can drop them when this process goes), and kept open for as long as the host lives.
class ServiceLink {
  public:
    virtual ~ServiceLink() = default;
    virtual void interrupt_registered(int slot, bool registered) = 0;
    // Has the service apply a fault to its module; nullopt when it refused or did not answer.
    virtual std::optional<uint64_t> inject(const FaultRequest& request) = 0;
    // In a child after fork(): closes the child's copy of the connection, which stays the
    // parent's; the link serves nothing afterwards.
    virtual void disown() = 0;
};

class Host {
  public:
    // A backplane of this process's own: the configuration's modules run in here.
    explicit Host(const Config& config);
    // The backplane of a service: memory is its mapped shared block, which must outlive the host.
    Host(SharedBackplane& memory, std::unique_ptr<ServiceLink> link);
    // Stops the interrupt threads and the modules. The process's own host is never destroyed.
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // The SDK functions. Slot numbers outside 1..7 are ignored; reads of nothing give 0xFF.
    int slot_out(int slot, int port, int value);
    int slot_in(int slot, int port);
    int controller_out(int port, int value);
    int controller_in(int port);
    int get_module_name(int slot, char* name);
    int register_interrupt(int slot, TrnSlotInterruptRoutine routine);
    // No call of the routine starts after this returns; a call already under way may still be
    // running (it is not waited for: its caller may hold a lock the routine needs).
    int unregister_interrupt(int slot);
    int enable_interrupt(int slot, int on);
    int interrupt_done(int slot);
    int set_trigger_type(int slot, int type);
    int set_interrupt_priority(int slot, int priority);

    // In a child after fork(): the host's threads stayed with the parent, so the child leaves
    // it (never destroying it) and lets go of the parent's service connection.
    void disown_after_fork();

    // Whether the modules run in the backplane service (true) or in this process.
    bool attached_to_service() const { return rack_ == nullptr; }
    // The service's process id; 0 in-process.
    uint32_t service_pid() const;
    // Why the backplane is not as configured, one line each; empty when it is.
    std::string problems() const;

    // Injects a fault into the slot's module, or reads its command counter, wherever the module
    // runs. nullopt for an empty slot, a request out of range or a service that did not answer.
    std::optional<uint64_t> inject(const FaultRequest& request);

    // Inspection, for tests. Modules, buses and demo nodes are reachable only in-process: in
    // the service they live in another process (nullptr here).
    const Config& config() const { return config_; }
    emulator::Module* module(int slot);    // nullptr for an empty slot
    can::Bus* bus(std::string_view name);  // nullptr for a bus the configuration lacks
    can::DemoNode* demo_node(std::string_view bus_name);  // nullptr for a bus without one
    uint8_t controller_register(int port) const;
    bool registered(int slot) const;
    bool enabled(int slot) const;
    bool line_pending(int slot) const;
    Trace& trace() { return trace_; }
    // Puts a fresh module of this type in the slot (empty type: empties it), as if the module
    // had been swapped with the power off; the new module holds its factory firmware. Refused
    // (false) while the slot's interrupt is registered, from an interrupt thread, and for a
    // service's backplane.
    bool replace_module(int slot, std::string type);
    // A fault: the slot reports this module name instead of its module's type (as if the module
    // had been swapped under a running program); nullopt reports the type again.
    void report_module_name(int slot, std::optional<std::string> name);

  private:
    struct Slot;
    Slot* slot_at(int slot) const;
    // The interrupt thread of a slot is started with its first registration and runs until the
    // slot's module is replaced or the host goes.
    void start_delivery(Slot& slot);
    void stop_delivery(Slot& slot);
    void deliver_interrupts(Slot& slot);
    void load_types();

    const Config config_;
    std::unique_ptr<SharedBackplane> own_memory_;  // in-process only
    SharedBackplane& memory_;
    std::unique_ptr<Rack> rack_;         // in-process only
    std::unique_ptr<ServiceLink> link_;  // service only
    std::array<std::unique_ptr<Slot>, kLastSlot + 1> slots_;
    std::mutex replace_mutex_;
    Trace trace_;
};

}  // namespace k5320::backplane
