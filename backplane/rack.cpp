#include "backplane/rack.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "backplane/service.h"

namespace k5320::backplane {

Rack::Rack(const Config& config, SharedBackplane& memory)
    : config_(config), memory_(memory), flash_directory_(private_flash_directory()) {
    if (!config_.problem.empty()) problems_.push_back(config_.problem);
    if (flash_directory_) {
        emulator::remove_stale_temporary_files(*flash_directory_);
        check_flash_files();
    }
    for (const BusConfig& bus : config_.buses) {
        auto& wire = buses_[bus.name];
        wire = std::make_unique<can::Bus>(bus.paced ? can::Pacing::kPaced : can::Pacing::kUnpaced);
        wire->name_thread("bus " + bus.name);
        wire->set_stuck_dominant(bus.stuck_dominant);
        wire->set_bit_errors(bus.bit_error_percent, bus.bit_error_seed);
        if (bus.demo_node)
            demo_nodes_[bus.name] = std::make_unique<can::DemoNode>(*wire, bus.bit_rate);
        auto& backplane = backplanes_[bus.name];
        backplane = std::make_unique<bridges::BackplaneLinks>();
        // A server or bridge that cannot start has said why on the log; the rest of the rack
        // runs without it.
        if (bus.socketcand) {
            bridges::SocketcandServer::Options options;
            options.address = bus.socketcand_address;
            options.port = bus.socketcand_port;
            options.open = bus.socketcand_open;
            options.backplane = backplane.get();
            auto server =
                std::make_unique<bridges::SocketcandServer>(*wire, bus.name, bus.bit_rate, options);
            if (server->ok()) {
                socketcand_[bus.name] = std::move(server);
            } else {
                problems_.push_back("bus " + bus.name + ": " + server->failure());
            }
        }
        if (!bus.socketcan_interface.empty()) {
            auto bridge = std::make_unique<bridges::SocketcanBridge>(*wire, bus.socketcan_interface,
                                                                     bus.bit_rate);
            if (bridge->ok()) socketcan_[bus.name] = std::move(bridge);
        }
        join_remote_servers(bus, *wire, *backplane);
    }
    for (int number = kFirstSlot; number <= kLastSlot; ++number) {
        if (!config_.slots[number].type.empty()) insert_module(number, config_.slots[number].type);
    }
}

Rack::~Rack() {
    for (int number = kFirstSlot; number <= kLastSlot; ++number) remove_module(number);
    for (auto& [name, node] : demo_nodes_) node->stop();
    for (auto& [name, server] : socketcand_) server->stop();
    for (auto& [name, bridge] : socketcan_) bridge->stop();
    for (auto& link : links_) link->stop();
}

void Rack::join_remote_servers(const BusConfig& bus, can::Bus& wire,
                               bridges::BackplaneLinks& backplane) {
    for (const bridges::socketcand::RemoteEndpoint& remote : bus.remote_links) {
        // The configuration allows no more links than the table holds.
        SharedLink& shared = memory_.links.at(links_.size());
        const std::string name = bus.name + " -> " + bridges::socketcand::endpoint_text(remote);
        std::memcpy(shared.name.data(), name.data(), std::min(name.size(), kLinkNameCapacity - 1));
        links_.push_back(std::make_unique<bridges::SocketcandLink>(
            wire, bus.name, bus.bit_rate, remote, backplane, shared.status));
    }
}

std::string Rack::problems() const {
    std::string text;
    for (const std::string& line : problems_) text += line + '\n';
    return text;
}

std::optional<std::filesystem::path> Rack::private_flash_directory() {
    std::optional<std::filesystem::path> directory = emulator::flash_state_directory();
    if (!directory) return std::nullopt;
    std::error_code ignored;
    std::filesystem::create_directories(directory->parent_path(), ignored);
    std::string error;
    if (!make_private_directory(*directory, &error)) {
        problems_.push_back(printable(error) + "; the modules keep their flash in memory only");
        return std::nullopt;
    }
    return directory;
}

void Rack::check_flash_files() {
    for (int number = kFirstSlot; number <= kLastSlot; ++number) {
        if (config_.slots[number].type.empty()) continue;
        const std::filesystem::path file = emulator::flash_file_for_slot(*flash_directory_, number);
        struct stat st {};
        if (stat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            problems_.push_back(printable(file.string()) + " is not a regular file: slot " +
                                std::to_string(number) +
                                " holds no firmware and takes none until it is removed");
        }
    }
}

std::optional<std::filesystem::path> Rack::flash_file(int slot) const {
    if (!flash_directory_) return std::nullopt;
    return emulator::flash_file_for_slot(*flash_directory_, slot);
}

void Rack::insert_module(int number, std::string type) {
    SharedSlot& shared = memory_.slots[number];
    shared.ram.reset();
    shared.page.store(0, std::memory_order_relaxed);
    shared.type.fill('\0');
    std::memcpy(shared.type.data(), type.data(), std::min(type.size(), kMaxTypeLength));
    auto module = std::make_unique<emulator::Module>(type, shared.ram, flash_file(number));
    module->name_thread("slot " + std::to_string(number));
    module->connect(bus(config_.slots[number].bus));
    {
        std::lock_guard lock(slots_[number].mutex);
        slots_[number].type = std::move(type);
        slots_[number].module = std::move(module);
    }
    shared.populated.store(1, std::memory_order_release);
}

void Rack::remove_module(int number) {
    memory_.slots[number].populated.store(0, std::memory_order_release);
    std::unique_ptr<emulator::Module> module;
    {
        std::lock_guard lock(slots_[number].mutex);
        slots_[number].type.clear();
        module = std::move(slots_[number].module);
    }
    module.reset();
}

void Rack::replace_module(int slot, std::string type) {
    if (slot < kFirstSlot || slot > kLastSlot) return;
    remove_module(slot);
    // Another module brings its own flash: a missing file is a module fresh from the factory.
    if (const std::optional<std::filesystem::path> file = flash_file(slot)) {
        std::error_code ignored;
        std::filesystem::remove(*file, ignored);
    }
    if (!type.empty()) insert_module(slot, std::move(type));
}

emulator::Module* Rack::module(int slot) {
    if (slot < kFirstSlot || slot > kLastSlot) return nullptr;
    std::lock_guard lock(slots_[slot].mutex);
    return slots_[slot].module.get();
}

std::string Rack::type(int slot) const {
    if (slot < kFirstSlot || slot > kLastSlot) return {};
    std::lock_guard lock(slots_[slot].mutex);
    return slots_[slot].type;
}

can::Bus* Rack::bus(std::string_view name) {
    const auto it = buses_.find(name);
    return it == buses_.end() ? nullptr : it->second.get();
}

can::DemoNode* Rack::demo_node(std::string_view bus_name) {
    const auto it = demo_nodes_.find(bus_name);
    return it == demo_nodes_.end() ? nullptr : it->second.get();
}

std::optional<uint64_t> Rack::inject(const FaultRequest& request) {
    if (is_bus_fault(request.kind)) {
        if (!apply_bus_fault(request)) return std::nullopt;
        return 0;
    }
    emulator::Module* target = module(request.slot);
    uint64_t result = 0;
    if (target == nullptr || !apply_fault(*target, request, &result)) return std::nullopt;
    return result;
}

bool Rack::apply_bus_fault(const FaultRequest& request) {
    const std::string name(request.bus, strnlen(request.bus, sizeof request.bus));
    can::Bus* const target = bus(name);
    if (target == nullptr) return false;
    const bool on = request.value != 0;
    constexpr int32_t kAllPercent = 100;
    switch (request.kind) {
        case FaultKind::kBusStuckDominant:
            target->set_stuck_dominant(on);
            return true;
        case FaultKind::kBusBitErrors:
            if (request.value < 0 || request.value > kAllPercent) return false;
            target->set_bit_errors(static_cast<unsigned>(request.value), request.command);
            return true;
        case FaultKind::kBusDisconnect: {
            emulator::Module* const wired = module(request.slot);
            if (wired == nullptr || config_.slots[request.slot].bus != name) return false;
            target->set_disconnected(wired, on);
            return true;
        }
        case FaultKind::kBusClear:
            target->clear_faults();
            return true;
        default:
            return false;
    }
}

}  // namespace k5320::backplane
