// The stand-in backplane: seven slots, each empty or holding an emulated module, with the slot
// ports, the slot interrupt lines and the controller's interrupt registers, and the CAN buses
// the modules are wired to.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "backplane/config.h"
#include "backplane/trace.h"
#include "driver/sdk/tarn_sdk.h"
#include "emulator/can/bus.h"
#include "emulator/can/demo_node.h"
#include "emulator/module.h"

namespace k5320::backplane {

inline constexpr int kControllerRegisterFirst = 0x7003;
inline constexpr int kControllerRegisterLast = 0x700D;
// What a port without anything behind it reads: the bus floats high.
inline constexpr uint8_t kFloatingBus = 0xFF;
inline constexpr int kCallDone = 0;
inline constexpr int kCallIgnored = -1;

class Host {
  public:
    explicit Host(const Config& config);
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

    // Inspection, for tests.
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
    // (false) while the slot's interrupt is registered, and from an interrupt thread.
    bool replace_module(int slot, std::string type);
    // A fault: the slot reports this module name instead of its module's type (as if the module
    // had been swapped under a running program); nullopt reports the type again.
    void report_module_name(int slot, std::optional<std::string> name);

  private:
    struct Slot;
    Slot* slot_at(int slot) const;
    void insert_module(Slot& slot, int number, std::string type);
    // The file that keeps the flash of the module in this slot; none: kept in memory.
    std::optional<std::filesystem::path> flash_file(int slot) const;
    void remove_module(Slot& slot);
    void deliver_interrupts(Slot& slot);

    const Config config_;
    const std::optional<std::filesystem::path> flash_directory_;
    // Declared before the slots: the modules leave their buses before the buses go.
    std::map<std::string, std::unique_ptr<can::Bus>, std::less<>> buses_;
    std::map<std::string, std::unique_ptr<can::DemoNode>, std::less<>> demo_nodes_;
    std::array<std::unique_ptr<Slot>, kLastSlot + 1> slots_;
    std::array<std::atomic<uint8_t>, kControllerRegisterLast - kControllerRegisterFirst + 1>
        controller_registers_{};
    std::mutex replace_mutex_;
    Trace trace_;
};

}  // namespace k5320::backplane
