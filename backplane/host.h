// The host side of the stand-in backplane: the SDK functions over the seven slots' ports, the
// slot interrupt lines and the controller's interrupt registers. The hardware behind it (modules,
// buses, demo nodes) runs either in this process (InProcessHost, a Rack of its own) or in the
// per-user backplane service, whose shared memory a ServiceHost maps; the SDK functions work the
// same on both.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
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
#include "backplane/remote_links.h"
#include "backplane/shared_backplane.h"
#include "backplane/tap_node.h"
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
    // Has the service put a tap on a bus (see Host::open_tap).
    virtual int open_tap(std::string_view bus, uint32_t bit_rate, uint32_t* used_rate,
                         std::string* error) = 0;
};

// The SDK functions over a backplane's shared block, whatever runs the hardware behind it. Each
// slot has one interrupt thread, started with its first registration; a thread waiting in
// await_interrupt runs the routine itself instead. Slot::routine_mutex is held while a routine
// runs, so a slot's routine never runs twice at once; Slot::mutex, taken after it, guards a
// slot's registration, enable flag and reported name, and is never held while a routine runs.
class Host {
  public:
    virtual ~Host();
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
    // Waits on the calling thread, for at most timeout, for the slot's interrupt and runs the
    // routine here when it comes, which saves the hop through the interrupt thread. Returns
    // early once *event_count (a count the routine bumps) differs from seen, and after one wait
    // whatever ended it. kAwaitRan: the routine ran here; kAwaitNothing: it did not (time-out, or
    // it ran elsewhere); kAwaitNotHere: no routine may run now (none registered, or disabled).
    static constexpr int kAwaitRan = 1;
    static constexpr int kAwaitNothing = 0;
    static constexpr int kAwaitNotHere = -1;
    int await_interrupt(int slot, std::chrono::microseconds timeout, const unsigned* event_count,
                        unsigned seen);
    // Before a command whose answer this thread will await: from now on raises wake the waiting
    // callers, not the interrupt thread (claim false withdraws it). Raising the line within
    // microseconds of the command, a module would otherwise often wake the interrupt thread first.
    int claim_interrupt(int slot, bool claim);

    // Whether the modules run in the backplane service (true) or in this process.
    virtual bool attached_to_service() const = 0;
    // What the processes on this backplane name the objects they share after; "" for a backplane
    // of this process alone.
    virtual std::string backplane_id() const { return {}; }
    // The service's process id; 0 in-process.
    uint32_t service_pid() const;
    // Why the backplane is not as configured, one line each; empty when it is.
    std::string problems() const;
    // The buses' links to remote socketcand servers, in configuration order.
    std::vector<RemoteLinkReport> remote_links() const;

    // Injects a fault into the slot's module, or reads its command counter, wherever the module
    // runs. nullopt for an empty slot, a request out of range or a service that did not answer.
    virtual std::optional<uint64_t> inject(const FaultRequest& request) = 0;
    // In a child after fork(): the host's threads stayed with the parent, so the child leaves
    // it (never destroying it) and lets go of what it shares with the parent.
    virtual void disown_after_fork() {}
    // Puts a listen-only tap on the bus at bit_rate (0: the bus's configured rate, put in
    // used_rate) and returns the socket its events arrive on; -1 (error tells why) for a bus the
    // backplane lacks or a service that did not answer.
    virtual int open_tap(std::string_view bus, uint32_t bit_rate, uint32_t* used_rate,
                         std::string* error) = 0;
    // The process holding the slot's interrupt registration; 0 for none.
    uint32_t interrupt_holder(int slot) const;

    // What the host side of a slot shows, wherever the modules run.
    uint8_t controller_register(int port) const;
    bool registered(int slot) const;
    bool enabled(int slot) const;
    bool line_pending(int slot) const;
    Trace& trace() { return trace_; }
    // A fault: the slot reports this module name instead of its module's type (as if the module
    // had been swapped under a running program); nullopt reports the type again.
    void report_module_name(int slot, std::optional<std::string> name);

  protected:
    struct Slot;
    // memory must outlive the host; the derived host fills the slots' types.
    explicit Host(SharedBackplane& memory);
    void set_type(int slot, std::string type);
    // Stops every slot's interrupt thread; a derived host calls it before it takes the hardware
    // away, since the base's destructor runs after the derived one.
    void stop_all_delivery();
    Slot* slot_at(int slot) const;
    void stop_delivery(Slot& slot);
    // Told of every registration and withdrawal of a slot's routine.
    virtual void interrupt_registered(int /*slot*/, bool /*registered*/) {}

  private:
    // The interrupt thread of a slot is started with its first registration and runs until the
    // slot's module is replaced or the host goes.
    void start_delivery(int slot_number, Slot& slot);
    void deliver_interrupts(Slot& slot);
    enum class Delivery : uint8_t {
        kRan,      // took the raised line and ran the routine
        kNone,     // the line is not raised
        kHeld,     // no routine, or disabled: the line stays pending
        kStopped,  // the slot's delivery has stopped
    };
    Delivery deliver_pending(Slot& slot);
    static void leave_line_callers(emulator::DualPortRam& ram);

    SharedBackplane& memory_;
    std::array<std::unique_ptr<Slot>, kLastSlot + 1> slots_;
    Trace trace_;
};

// Holds the shared block of a host that has no service: constructed before the Host base.
struct OwnBackplaneMemory {
    std::unique_ptr<SharedBackplane> own_memory = std::make_unique<SharedBackplane>();
};

// A backplane of this process's own: the configuration's modules, buses and demo nodes run in
// here, and tests and benchmarks reach them directly.
class InProcessHost final : private OwnBackplaneMemory, public Host {
  public:
    explicit InProcessHost(const Config& config);
    ~InProcessHost() override;

    bool attached_to_service() const override { return false; }
    std::optional<uint64_t> inject(const FaultRequest& request) override;
    int open_tap(std::string_view bus, uint32_t bit_rate, uint32_t* used_rate,
                 std::string* error) override;

    const Config& config() const { return config_; }
    emulator::Module* module(int slot);    // nullptr for an empty slot
    can::Bus* bus(std::string_view name);  // nullptr for a bus the configuration lacks
    can::DemoNode* demo_node(std::string_view bus_name);  // nullptr for a bus without one
    // Puts a fresh module of this type in the slot (empty type: empties it), as if the module
    // had been swapped with the power off; the new module holds its factory firmware. Refused
    // (false) while the slot's interrupt is registered and from an interrupt thread.
    bool replace_module(int slot, std::string type);

  private:
    const Config config_;
    std::unique_ptr<Rack> rack_;
    std::mutex replace_mutex_;
    TapSet taps_;  // detached before the rack goes
};

// The backplane of a service: the host maps its shared block, and its link carries faults and
// tells the service of registrations.
class ServiceHost final : public Host {
  public:
    // memory is the mapped shared block, which must outlive the host; id the backplane's.
    ServiceHost(SharedBackplane& memory, std::unique_ptr<ServiceLink> link, std::string id);
    ~ServiceHost() override;

    bool attached_to_service() const override { return true; }
    std::string backplane_id() const override { return id_; }
    std::optional<uint64_t> inject(const FaultRequest& request) override;
    void disown_after_fork() override;
    int open_tap(std::string_view bus, uint32_t bit_rate, uint32_t* used_rate,
                 std::string* error) override;

  private:
    void interrupt_registered(int slot, bool registered) override;

    std::unique_ptr<ServiceLink> link_;
    const std::string id_;
};

}  // namespace k5320::backplane
