// The firmware's cyclic commands as the host sees them through the dual-port RAM, and what
// resets and clears do to the table.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>
#include <utility>

#include "can/frame.h"
#include "emulator/module_probe.h"
#include "k5320/baud_codes.h"
#include "k5320/commands.h"
#include "k5320/dpram_map.h"
#include "tests/eventually.h"
#include "tests/emulator/module_fixture.h"

namespace k5320::emulator {
namespace {

using namespace std::chrono_literals;
using test::eventually;

class CyclicFirmwareTest : public ModuleTest {
  protected:
    // The host's add: the whole block, then 249; the handle the firmware gave, or none.
    std::optional<uint8_t> add(uint32_t cycle_ms, uint32_t count, uint32_t id = 0x123) {
        std::array<uint8_t, can::kMaxRecordSize> block{};
        can::encode(can::Frame{.id = id, .length = 2, .data = {0xAB, 0xCD}}, block.data());
        for (std::size_t i = 0; i < block.size(); ++i) {
            ram->host_write(static_cast<uint16_t>(dpram::kCyclicFrame + i), block[i]);
        }
        write_dword(dpram::kCyclicTime, cycle_ms);
        write_dword(dpram::kCyclicCount, count);
        const std::optional<uint8_t> answer = handshake(cmd::kCyclicAdd);
        const uint8_t handle = ram->host_read(dpram::kCyclicHandle);
        ram->host_write(dpram::kCyclicHandle, dpram::kCyclicNoHandle);
        if (answer != answer::kCyclicDone) {
            EXPECT_EQ(answer, answer::kCyclicRefused);
            EXPECT_EQ(handle, dpram::kCyclicNoHandle);
            return std::nullopt;
        }
        EXPECT_NE(handle, dpram::kCyclicNoHandle);
        return handle;
    }
    std::optional<uint8_t> on_entry(uint8_t command, uint8_t handle) {
        ram->host_write(dpram::kCyclicHandle, handle);
        return handshake(command);
    }
    // The rest the firmware reports, or none when it refuses.
    std::optional<uint32_t> rest(uint8_t handle) {
        if (on_entry(cmd::kCyclicRest, handle) != answer::kCyclicDone) return std::nullopt;
        return read_dword(dpram::kCyclicCount);
    }
    void write_dword(uint16_t address, uint32_t value) {
        write_word(address, static_cast<uint16_t>(value));
        write_word(static_cast<uint16_t>(address + 2), static_cast<uint16_t>(value >> 16));
    }
    uint32_t read_dword(uint16_t address) {
        return read_word(address) | uint32_t{read_word(static_cast<uint16_t>(address + 2))} << 16;
    }
};

TEST_F(CyclicFirmwareTest, EntryCommandsServeKnownHandlesAndRefuseOthers) {
    const std::optional<uint8_t> h = add(1000, 10000);
    ASSERT_TRUE(h);
    EXPECT_EQ(rest(*h), 10000u);
    EXPECT_EQ(read_word(dpram::kCyclicCount), 0x2710);  // least significant first
    EXPECT_EQ(on_entry(cmd::kCyclicDisable, *h), answer::kCyclicDone);
    EXPECT_EQ(on_entry(cmd::kCyclicEnable, *h), answer::kCyclicDone);

    // An unknown handle is refused by every command and leaves the count bytes alone.
    const uint8_t unknown = static_cast<uint8_t>(*h + 1);
    write_dword(dpram::kCyclicCount, 0xA5A5A5A5);
    for (uint8_t command :
         {cmd::kCyclicDelete, cmd::kCyclicEnable, cmd::kCyclicDisable, cmd::kCyclicRest}) {
        EXPECT_EQ(on_entry(command, unknown), answer::kCyclicRefused) << int(command);
        EXPECT_EQ(on_entry(command, dpram::kCyclicNoHandle), answer::kCyclicRefused);
    }
    EXPECT_EQ(read_dword(dpram::kCyclicCount), 0xA5A5A5A5u);

    EXPECT_EQ(on_entry(cmd::kCyclicDelete, *h), answer::kCyclicDone);
    EXPECT_EQ(on_entry(cmd::kCyclicDelete, *h), answer::kCyclicRefused);
    EXPECT_FALSE(rest(*h));
    EXPECT_EQ(probe().cyclic_entries(), 0u);
}

TEST_F(CyclicFirmwareTest, FramesTakeTheTransmitBufferOnlyWhileTheControllerRuns) {
    // At power-on the controller is in reset mode: due frames are given up, the count kept.
    const std::optional<uint8_t> h = add(1, 3);
    ASSERT_TRUE(h);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(probe().frames_to_send(), 0u);
    EXPECT_EQ(rest(*h), 3u);

    // Running, but on no bus, so nobody acknowledges: one frame waits, uncounted, and the
    // cycles that pass meanwhile are given up rather than piled up into a burst for later.
    ASSERT_EQ(handshake(cmd::kStartCan), answer::kCanStarted);
    EXPECT_TRUE(eventually([&] { return probe().frames_to_send() == 1; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(probe().frames_to_send(), 1u);
    EXPECT_EQ(rest(*h), 3u);

    // An entry without end likewise keeps one frame waiting, and the host's frames find room.
    ASSERT_TRUE(add(1, dpram::kCyclicCountEndless, 0x124));
    EXPECT_TRUE(eventually([&] { return probe().frames_to_send() == 2; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(probe().frames_to_send(), 2u);
    EXPECT_EQ(handshake(cmd::kTransmit), answer::kTxAccepted);
}

// Clearing buffers or configuring the channel leaves the host's entries alone; every way back to
// the power-on state empties the table.
TEST_F(CyclicFirmwareTest, ClearsKeepTheTableAndResetsEmptyIt) {
    const std::optional<uint8_t> h = add(1000, 5);
    ASSERT_TRUE(h);
    EXPECT_EQ(handshake(cmd::kClearTxSoftBuffer), answer::kTxSoftBufferCleared);
    EXPECT_EQ(handshake(cmd::kClearSoftBuffers), answer::kSoftBuffersCleared);
    EXPECT_EQ(handshake(cmd::kClearBufferStatus), answer::kBufferStatusCleared);
    ram->host_write(dpram::kConfigBaudCode, baud::k500kbit);
    EXPECT_EQ(handshake(cmd::kApplyConfig), answer::kConfigApplied);
    EXPECT_EQ(rest(*h), 5u);

    const std::array<std::pair<uint8_t, uint8_t>, 3> resets = {{
        {cmd::kReset, answer::kResetDone},
        {cmd::kRestore, answer::kRestored},
        {cmd::kLoaderMode, answer::kLoaderMode},
    }};
    for (const auto& [command, expected] : resets) {
        ASSERT_TRUE(add(1000, 5)) << int(command);
        ASSERT_EQ(handshake(command), expected);
        EXPECT_EQ(probe().cyclic_entries(), 0u) << int(command);
    }
    // Back in the firmware, the old handles name nothing.
    ASSERT_EQ(handshake(cmd::kProgramMode), answer::kProgramMode);
    EXPECT_FALSE(rest(*h));
}

}  // namespace
}  // namespace k5320::emulator
