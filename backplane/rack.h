// The side of the backplane that runs the hardware: the emulated modules in their slots, the CAN
// buses they are wired to and the demo nodes on those buses. It sees the host side only through
// the shared backplane memory, so it runs the same inside a process and in the backplane service.
#pragma once

#include <array>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "backplane/config.h"
#include "backplane/module_faults.h"
#include "backplane/shared_backplane.h"
#include "bridges/backplane_links.h"
#include "bridges/socketcan_bridge.h"
#include "bridges/socketcand_link.h"
#include "bridges/socketcand_server.h"
#include "emulator/can/bus.h"
#include "emulator/can/demo_node.h"
#include "emulator/module.h"

namespace k5320::backplane {

class Rack {
  public:
    // Builds the buses and demo nodes and boots a module in every slot the configuration fills.
    Rack(const Config& config, SharedBackplane& memory);
    // Stops the modules, then the demo nodes and buses.
    ~Rack();
    Rack(const Rack&) = delete;
    Rack& operator=(const Rack&) = delete;

    const Config& config() const { return config_; }
    // Why the rack is not as configured, one line each (a refused file, a server that could not
    // listen, a flash directory or file it does not use); empty when it is.
    std::string problems() const;
    emulator::Module* module(int slot);  // nullptr for an empty slot
    std::string type(int slot) const;    // empty for an empty slot
    can::Bus* bus(std::string_view name);
    can::DemoNode* demo_node(std::string_view bus_name);
    // Applies the fault to the slot's module, or reads its counter; nothing for an empty slot or
    // a request the module refuses.
    std::optional<uint64_t> inject(const FaultRequest& request);

    // Swaps the module as if with the power off (empty type: empties the slot). The new module
    // holds its factory firmware. The host side must not touch the slot meanwhile.
    void replace_module(int slot, std::string type);

  private:
    // Sets or lifts a fault on a bus's wire; false for an unknown bus or a bad request.
    bool apply_bus_fault(const FaultRequest& request);

    struct Slot {
        mutable std::mutex mutex;  // guards the pointer; the module itself is thread-safe
        std::string type;
        std::unique_ptr<emulator::Module> module;
    };
    // Joins the bus to each remote server its configuration names.
    void join_remote_servers(const BusConfig& bus, can::Bus& wire,
                             bridges::BackplaneLinks& backplane);
    void insert_module(int slot, std::string type);
    void remove_module(int slot);
    std::optional<std::filesystem::path> flash_file(int slot) const;
    // The state directory when it is this user's own and closed to others: flash planted in a
    // directory others can write must not become a module's firmware.
    std::optional<std::filesystem::path> private_flash_directory();
    void check_flash_files();

    const Config config_;
    SharedBackplane& memory_;
    std::vector<std::string> problems_;  // filled while the rack is built, then fixed
    const std::optional<std::filesystem::path> flash_directory_;
    // Declared before the slots: the modules leave their buses before the buses go.
    std::map<std::string, std::unique_ptr<can::Bus>, std::less<>> buses_;
    std::map<std::string, std::unique_ptr<can::DemoNode>, std::less<>> demo_nodes_;
    // Each bus's identity and what its links reach; before the servers and links that use them.
    std::map<std::string, std::unique_ptr<bridges::BackplaneLinks>, std::less<>> backplanes_;
    std::map<std::string, std::unique_ptr<bridges::SocketcandServer>, std::less<>> socketcand_;
    std::map<std::string, std::unique_ptr<bridges::SocketcanBridge>, std::less<>> socketcan_;
    // Each publishes its state in the shared block's link table, in configuration order.
    std::vector<std::unique_ptr<bridges::SocketcandLink>> links_;
    std::array<Slot, kLastSlot + 1> slots_;
};

}  // namespace k5320::backplane
