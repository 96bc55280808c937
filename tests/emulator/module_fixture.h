// A module on its own dual-port RAM, driven as the host drives it: command byte, answer line,
// answer byte.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "emulator/module.h"
#include "emulator/module_probe.h"
#include "k5320/commands.h"

namespace k5320::emulator {

inline constexpr auto kTimeout = std::chrono::seconds(10);  // generous: the machine may be busy

class ModuleTest : public ::testing::Test {
  protected:
    void command(uint8_t code) { ram->host_write(dpram::kCommandByte, code); }

    // The next answer announced by the line, read (and so acknowledged) as the host would.
    std::optional<uint8_t> next_answer() {
        using namespace std::chrono;
        const auto deadline = steady_clock::now() + kTimeout;
        for (;;) {
            const uint32_t wakeups = ram->line_wakeups.current();
            if (ram->line_raised()) return ram->host_read(dpram::kAnswerByte);
            if (steady_clock::now() >= deadline) return std::nullopt;
            ram->line_wakeups.wait_past(wakeups, deadline);
        }
    }

    std::optional<uint8_t> handshake(uint8_t code) {
        command(code);
        return next_answer();
    }

    void expect_handled(uint8_t code, uint64_t count = 1) {
        EXPECT_TRUE(probe().wait_for_commands(code, count, kTimeout)) << "command " << int(code);
    }

    // The register commands as the host sends them; the read gives the value the answer
    // announces, or none without that answer.
    std::optional<uint8_t> write_register(uint8_t addr, uint8_t value) {
        ram->host_write(dpram::kRegisterAddress, addr);
        ram->host_write(dpram::kRegisterValue, value);
        return handshake(cmd::kWriteRegister);
    }
    std::optional<uint8_t> read_register(uint8_t addr) {
        ram->host_write(dpram::kRegisterAddress, addr);
        ram->host_write(dpram::kRegisterValue,
                        static_cast<uint8_t>(~probe().sja1000_register(addr)));
        if (handshake(cmd::kReadRegister) != answer::kRegisterRead) return std::nullopt;
        return ram->host_read(dpram::kRegisterValue);
    }

    // Host-side little-endian words.
    void write_word(uint16_t address, uint16_t value) {
        ram->host_write(address, static_cast<uint8_t>(value));
        ram->host_write(static_cast<uint16_t>(address + 1), static_cast<uint8_t>(value >> 8));
    }
    uint16_t read_word(uint16_t address) {
        return static_cast<uint16_t>(ram->host_read(address) |
                                     ram->host_read(static_cast<uint16_t>(address + 1)) << 8);
    }

    ModuleProbe probe() { return ModuleProbe(*module); }

    std::unique_ptr<DualPortRam> ram = std::make_unique<DualPortRam>();
    std::unique_ptr<Module> module = std::make_unique<Module>("5320", *ram);
};

}  // namespace k5320::emulator
