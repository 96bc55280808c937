// Port decoding of the slots and the controller, and the module type query.
#include <cstring>
#include <string>

#include "emulator/module_probe.h"
#include "k5320/commands.h"
#include "sdk_test_support.h"

namespace k5320::backplane {
namespace {

using namespace test;

constexpr int kSlot = 1;
constexpr int kEmptySlot = 3;
constexpr int kPages = dpram::kSize / dpram::kPageSize;

emulator::Module& module_in(int slot) {
    emulator::Module* module = in_process_host().module(slot);
    if (module == nullptr) throw std::runtime_error("slot " + std::to_string(slot) + " is empty");
    return *module;
}

TEST(PortTest, PageRegisterSelectsWhichKilobyteTheWindowShows) {
    emulator::Module& module = module_in(kSlot);
    for (int page = 0; page < kPages; ++page) {
        // Both ends of each page and one offset that differs per page.
        for (const int offset : {0, 0x155 + page, 0x3FD}) {
            const auto address = static_cast<uint16_t>(page * dpram::kPageSize + offset);
            const auto value = static_cast<uint8_t>(page * 16 + offset);
            _trn_slot_outp(kSlot, dpram::kPortPageRegister, page);
            _trn_slot_outp(kSlot, dpram::kPortDataWindow + offset, value);
            EXPECT_EQ(emulator::ModuleProbe(module).peek(address), value) << "address " << address;

            emulator::ModuleProbe(module).poke(address, static_cast<uint8_t>(~value));
            EXPECT_EQ(_trn_slot_inp(kSlot, dpram::kPortDataWindow + offset), uint8_t(~value))
                << "address " << address;
        }
    }
}

TEST(PortTest, PageRegisterIgnoresBitsAboveThePageNumber) {
    emulator::Module& module = module_in(kSlot);
    emulator::ModuleProbe(module).poke(0x0410, 0x42);
    _trn_slot_outp(kSlot, dpram::kPortPageRegister, 0xF9);  // page 1
    EXPECT_EQ(_trn_slot_inp(kSlot, dpram::kPortDataWindow + 0x10), 0x42);
}

TEST(PortTest, MailboxBytesThroughTheWindowWorkTheHandshake) {
    ASSERT_NE(fresh_slot(kSlot), nullptr);
    emulator::Module& module = module_in(kSlot);
    write_dpram(kSlot, dpram::kCommandByte, cmd::kModeQuery);
    ASSERT_TRUE(emulator::ModuleProbe(module).wait_for_commands(cmd::kModeQuery, 1, kTimeout));
    EXPECT_TRUE(emulator::ModuleProbe(module).answer_pending());
    EXPECT_TRUE(host().line_pending(kSlot));

    EXPECT_EQ(read_dpram(kSlot, dpram::kAnswerByte), answer::kProgramMode);
    EXPECT_FALSE(emulator::ModuleProbe(module).answer_pending());
    EXPECT_FALSE(host().line_pending(kSlot));
}

TEST(PortTest, NothingBehindAPortReadsFloatingAndTakesNoWrite) {
    emulator::Module& module = module_in(kSlot);
    _trn_slot_outp(kSlot, dpram::kPortPageRegister, 1);
    // Ports next to the window must not alias into it.
    for (const int port :
         {0, 2, dpram::kPortDataWindow - 1, dpram::kPortDataWindowLast + 1, 0x7FF + 0x400}) {
        _trn_slot_outp(kSlot, port, 0x11);
        EXPECT_EQ(_trn_slot_inp(kSlot, port), kFloatingBus) << "port " << port;
    }
    for (uint16_t address = 0; address < dpram::kSize; ++address) {
        ASSERT_NE(emulator::ModuleProbe(module).peek(address), 0x11) << "address " << address;
    }

    // An empty slot and slots that do not exist.
    for (const int slot : {kEmptySlot, 0, 8, -1}) {
        _trn_slot_outp(slot, dpram::kPortPageRegister, 0);
        _trn_slot_outp(slot, dpram::kPortDataWindow, 0x22);
        EXPECT_EQ(_trn_slot_inp(slot, dpram::kPortDataWindow), kFloatingBus) << "slot " << slot;
    }
}

TEST(PortTest, ControllerInterruptRegistersHoldWhatIsWritten) {
    for (int port = kControllerRegisterFirst; port <= kControllerRegisterLast; ++port) {
        EXPECT_EQ(_trn_inp(port), 0) << "reset value of port " << port;
    }
    for (int port = kControllerRegisterFirst; port <= kControllerRegisterLast; ++port) {
        _trn_outp(port, port & 0xFF);
    }
    for (int port = kControllerRegisterFirst; port <= kControllerRegisterLast; ++port) {
        EXPECT_EQ(_trn_inp(port), port & 0xFF) << "port " << port;
        EXPECT_EQ(host().controller_register(port), port & 0xFF);
    }
    for (const int port : {kControllerRegisterFirst - 1, kControllerRegisterLast + 1, 0}) {
        _trn_outp(port, 0x33);
        EXPECT_EQ(_trn_inp(port), kFloatingBus) << "port " << port;
    }
    for (int port = kControllerRegisterFirst; port <= kControllerRegisterLast; ++port) {
        _trn_outp(port, 0);
    }
}

TEST(PortTest, ModuleNameIsTheTypeOrEmpty) {
    char name[TRN_MODULE_NAME_SIZE];
    std::memset(name, 'x', sizeof name);
    trn_GetModuleName(kSlot, name);
    EXPECT_STREQ(name, "5320");
    for (const int slot : {kEmptySlot, 0, 8}) {
        std::memset(name, 'x', sizeof name);
        trn_GetModuleName(slot, name);
        EXPECT_STREQ(name, "") << "slot " << slot;
    }
}

TEST(PortTest, ModuleNameNeverWritesMoreThanItsBuffer) {
    ASSERT_TRUE(in_process_host().replace_module(kEmptySlot, std::string(80, 'L')));
    char buffer[TRN_MODULE_NAME_SIZE + 8];
    std::memset(buffer, 'x', sizeof buffer);
    trn_GetModuleName(kEmptySlot, buffer);
    EXPECT_EQ(std::string(buffer), std::string(TRN_MODULE_NAME_SIZE - 1, 'L'));
    for (std::size_t i = TRN_MODULE_NAME_SIZE; i < sizeof buffer; ++i) {
        EXPECT_EQ(buffer[i], 'x') << "byte " << i << " past the 52-byte buffer";
    }
    EXPECT_TRUE(in_process_host().replace_module(kEmptySlot, ""));
}

TEST(PortTest, ReplacedModuleIsFreshAndAnEmptiedSlotReadsFloating) {
    emulator::ModuleProbe(module_in(kSlot)).poke(0x0005, 0x66);
    ASSERT_TRUE(in_process_host().replace_module(kSlot, "5324"));
    char name[TRN_MODULE_NAME_SIZE];
    trn_GetModuleName(kSlot, name);
    EXPECT_STREQ(name, "5324");
    EXPECT_EQ(read_dpram(kSlot, 0x0005), 0) << "a new module starts with a cleared DPRAM";
    EXPECT_EQ(emulator::ModuleProbe(module_in(kSlot)).mode(), answer::kProgramMode);

    ASSERT_TRUE(in_process_host().replace_module(kSlot, ""));
    EXPECT_EQ(in_process_host().module(kSlot), nullptr);
    EXPECT_EQ(read_dpram(kSlot, 0x0005), kFloatingBus);
    trn_GetModuleName(kSlot, name);
    EXPECT_STREQ(name, "");
    ASSERT_TRUE(in_process_host().replace_module(kSlot, "5320"));
}

TEST(PortTest, ModuleIsNotReplacedWhileItsInterruptIsRegistered) {
    emulator::Module* before = in_process_host().module(kSlot);
    trn_RegisterSlotInterrupt(kSlot, [] { return 0; });
    EXPECT_FALSE(in_process_host().replace_module(kSlot, "5323"));
    EXPECT_EQ(in_process_host().module(kSlot), before);
    trn_UnregisterSlotInterrupt(kSlot);
    EXPECT_TRUE(in_process_host().replace_module(kSlot, "5323"));
    EXPECT_TRUE(in_process_host().replace_module(kSlot, "5320"));
}

// A host of its own, as a later backplane service or an embedding program builds one.
TEST(HostTest, BuiltFromAConfigHoldsItsModulesAndStopsCleanly) {
    const ParseResult parsed = parse_config("bus b\nslot 4 5325 bus=b\nslot 6 5323\n");
    ASSERT_TRUE(parsed.ok()) << parsed.error();
    static Deliveries& calls = *new Deliveries;
    calls.clear();
    {
        InProcessHost local(*parsed.config);
        EXPECT_EQ(local.module(1), nullptr);
        ASSERT_NE(local.module(4), nullptr);
        EXPECT_EQ(local.module(4)->type(), "5325");
        EXPECT_EQ(local.slot_in(1, dpram::kPortDataWindow), kFloatingBus);

        local.register_interrupt(6, [] { return calls.add(0), 0; });
        local.enable_interrupt(6, 1);
        local.slot_out(6, dpram::kPortPageRegister, dpram::page_of(dpram::kCommandByte));
        local.slot_out(6, dpram::window_port_of(dpram::kCommandByte), cmd::kModeQuery);
        ASSERT_TRUE(emulator::ModuleProbe(*local.module(6))
                        .wait_for_commands(cmd::kModeQuery, 1, kTimeout));
        // The process's own backplane is a different one.
        EXPECT_EQ(in_process_host().module(6), nullptr);
        EXPECT_TRUE(calls.wait_for(1));
        // Destroyed with its interrupt still registered and enabled.
    }
    EXPECT_EQ(calls.snapshot().size(), 1u);
}

}  // namespace
}  // namespace k5320::backplane
