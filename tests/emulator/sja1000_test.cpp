// The SJA1000 register file: reset values and the chip's access rules, through read_reg and
// write_reg as the firmware uses them.
#include "emulator/sja1000.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace k5320::emulator::sja1000 {
namespace {

constexpr uint8_t kOperating = 0x00;  // MOD with every mode bit clear
constexpr uint8_t kAllInterrupts = 0xFF;
constexpr uint8_t kSrIdle = SR_TCS | SR_TBS;  // 0x0C

// Every register that takes a value only in reset mode.
const std::vector<uint8_t> kResetOnlyRegisters = {
    SJA1000_BTR0,  SJA1000_BTR1,     SJA1000_OCR,      SJA1000_EWLR,     SJA1000_RXERR,
    SJA1000_TXERR, SJA1000_ACR0,     SJA1000_ACR0 + 1, SJA1000_ACR0 + 2, SJA1000_ACR0 + 3,
    SJA1000_AMR0,  SJA1000_AMR0 + 1, SJA1000_AMR0 + 2, SJA1000_AMR0 + 3, SJA1000_RBSA};

uint8_t pattern_for(uint8_t addr) {
    return static_cast<uint8_t>(0x5A ^ (addr * 7));
}

class Sja1000Test : public ::testing::Test {
  protected:
    void enable_all_interrupts() { chip.write_reg(SJA1000_IER, kAllInterrupts); }
    void leave_reset_mode() { chip.write_reg(SJA1000_MOD, kOperating); }

    Sja1000 chip;
};

// --- reset values ----------------------------------------------------------------------------

TEST_F(Sja1000Test, HardwareResetGivesTheDocumentedValuesWhateverCameBefore) {
    auto expect_reset_values = [&] {
        EXPECT_EQ(chip.read_reg(SJA1000_MOD), 0x01);
        EXPECT_EQ(chip.read_reg(SJA1000_SR), 0x3C);
        EXPECT_EQ(chip.read_reg(SJA1000_IR), 0x00);
        EXPECT_EQ(chip.read_reg(SJA1000_IER), 0x00);
        EXPECT_EQ(chip.read_reg(SJA1000_EWLR), 96);
        EXPECT_EQ(chip.read_reg(SJA1000_RXERR), 0);
        EXPECT_EQ(chip.read_reg(SJA1000_TXERR), 0);
        EXPECT_EQ(chip.read_reg(SJA1000_RMC), 0);
        EXPECT_EQ(chip.read_reg(SJA1000_CDR) & CDR_PELICAN, CDR_PELICAN);
        EXPECT_TRUE(chip.in_reset_mode());
        EXPECT_FALSE(chip.interrupt_asserted());
    };
    expect_reset_values();

    // Change everything that can change, then reset.
    for (uint8_t addr : kResetOnlyRegisters) chip.write_reg(addr, pattern_for(addr));
    chip.write_reg(SJA1000_MOD, MOD_AFM);
    enable_all_interrupts();
    chip.signal_data_overrun();
    ASSERT_TRUE(chip.interrupt_asserted());
    chip.hardware_reset();
    expect_reset_values();
    EXPECT_EQ(chip.read_reg(SJA1000_BTR0), 0);
    EXPECT_EQ(chip.read_reg(SJA1000_ACR0), 0);
}

TEST_F(Sja1000Test, LeavingResetModeMakesAnIdleControllerAndSettingRmStopsItAgain) {
    chip.write_reg(SJA1000_BTR0, 0x03);
    leave_reset_mode();
    EXPECT_FALSE(chip.in_reset_mode());
    EXPECT_EQ(chip.read_reg(SJA1000_SR), kSrIdle);

    enable_all_interrupts();
    chip.raise_interrupt(IR_EI | IR_RI);
    chip.write_reg(SJA1000_MOD, MOD_RM);
    // A software reset keeps the configuration but drops pending events.
    EXPECT_TRUE(chip.in_reset_mode());
    EXPECT_EQ(chip.read_reg(SJA1000_SR), 0x3C);
    EXPECT_EQ(chip.peek_reg(SJA1000_IR), 0);
    EXPECT_FALSE(chip.interrupt_asserted());
    EXPECT_EQ(chip.read_reg(SJA1000_BTR0), 0x03);

    // A reset in the middle of a transmission aborts it and releases the transmit buffer, so
    // the restarted controller is idle, not waiting on a frame it no longer sends.
    leave_reset_mode();
    chip.begin_transmit();
    ASSERT_EQ(chip.read_reg(SJA1000_SR) & (SR_TBS | SR_TCS), 0);
    chip.write_reg(SJA1000_MOD, MOD_RM);
    EXPECT_EQ(chip.read_reg(SJA1000_SR), 0x3C);
    chip.end_transmit(true);  // the frame's end on the bus finds the chip in reset mode
    leave_reset_mode();
    EXPECT_EQ(chip.read_reg(SJA1000_SR), kSrIdle);
}

// --- reset-mode-only registers ----------------------------------------------------------------

TEST_F(Sja1000Test, ConfigurationRegistersTakeValuesOnlyInResetMode) {
    for (uint8_t addr : kResetOnlyRegisters) chip.write_reg(addr, pattern_for(addr));
    leave_reset_mode();
    for (uint8_t addr : kResetOnlyRegisters) chip.write_reg(addr, 0xEE);
    for (uint8_t addr : kResetOnlyRegisters) {
        // In operating mode the acceptance registers are hidden behind the frame window.
        const bool hidden = addr >= SJA1000_FRAME_WINDOW && addr <= SJA1000_FRAME_WINDOW_LAST;
        EXPECT_EQ(chip.read_reg(addr), hidden ? 0 : pattern_for(addr)) << "register " << int(addr);
    }
    chip.write_reg(SJA1000_MOD, MOD_RM);
    for (uint8_t addr : kResetOnlyRegisters) {
        EXPECT_EQ(chip.read_reg(addr), pattern_for(addr)) << "register " << int(addr);
    }
    // The window's bytes past the mask registers are reserved in reset mode.
    for (uint8_t addr = SJA1000_AMR0 + kSja1000AcceptanceBytes; addr <= SJA1000_FRAME_WINDOW_LAST;
         ++addr) {
        chip.write_reg(addr, 0xFF);
        EXPECT_EQ(chip.read_reg(addr), 0) << "register " << int(addr);
    }
}

TEST_F(Sja1000Test, FilterAndTestModesChangeOnlyFromResetMode) {
    // The write that leaves reset mode may choose them...
    chip.write_reg(SJA1000_MOD, MOD_AFM | MOD_LOM);
    EXPECT_EQ(chip.read_reg(SJA1000_MOD), MOD_AFM | MOD_LOM);
    // ...but an operating controller keeps them.
    chip.write_reg(SJA1000_MOD, MOD_STM);
    EXPECT_EQ(chip.read_reg(SJA1000_MOD), MOD_AFM | MOD_LOM);
    // Entering reset mode keeps them too; the reserved bits read 0.
    chip.write_reg(SJA1000_MOD, 0xE0 | MOD_RM);
    EXPECT_EQ(chip.read_reg(SJA1000_MOD), MOD_AFM | MOD_LOM | MOD_RM);
}

TEST_F(Sja1000Test, SleepOnlyForAnIdleOperatingControllerAndWakingUpIsSignalled) {
    enable_all_interrupts();
    chip.write_reg(SJA1000_MOD, MOD_RM | MOD_SM);
    EXPECT_EQ(chip.read_reg(SJA1000_MOD) & MOD_SM, 0);

    leave_reset_mode();
    chip.raise_interrupt(IR_EI);
    chip.write_reg(SJA1000_MOD, MOD_SM);
    EXPECT_EQ(chip.read_reg(SJA1000_MOD) & MOD_SM, 0) << "an interrupt is pending";

    chip.read_reg(SJA1000_IR);
    chip.write_reg(SJA1000_MOD, MOD_SM);
    EXPECT_EQ(chip.read_reg(SJA1000_MOD), MOD_SM);
    chip.write_reg(SJA1000_MOD, kOperating);
    EXPECT_EQ(chip.read_reg(SJA1000_IR), IR_WUI);
}

// --- read-only, write-only, mirrored ----------------------------------------------------------

TEST_F(Sja1000Test, CommandRegisterReadsZeroAndStatusRegistersIgnoreWrites) {
    leave_reset_mode();
    chip.write_reg(SJA1000_CMR, CMR_SRR | CMR_AT);
    EXPECT_EQ(chip.read_reg(SJA1000_CMR), 0);
    chip.write_reg(SJA1000_SR, 0xFF);
    chip.write_reg(SJA1000_IR, 0xFF);
    chip.write_reg(SJA1000_RMC, 0xFF);
    chip.write_reg(SJA1000_ALC, 0xFF);
    chip.write_reg(SJA1000_ECC, 0xFF);
    EXPECT_EQ(chip.read_reg(SJA1000_SR), kSrIdle);
    EXPECT_EQ(chip.read_reg(SJA1000_IR), 0);
    EXPECT_EQ(chip.read_reg(SJA1000_RMC), 0);
    EXPECT_EQ(chip.read_reg(SJA1000_ALC), 0);
    EXPECT_EQ(chip.read_reg(SJA1000_ECC), 0);
    EXPECT_FALSE(chip.interrupt_asserted());
}

TEST_F(Sja1000Test, ClockDividerStaysInPeliCanModeAndChangesModeBitsOnlyInResetMode) {
    chip.write_reg(SJA1000_CDR, 0x47);
    EXPECT_EQ(chip.read_reg(SJA1000_CDR), 0x47 | CDR_PELICAN);
    leave_reset_mode();
    chip.write_reg(SJA1000_CDR, 0x01);
    EXPECT_EQ(chip.read_reg(SJA1000_CDR), 0x41 | CDR_PELICAN);
}

TEST_F(Sja1000Test, InternalRamIsPlainBytesAndHighAddressesMirrorTheChip) {
    for (unsigned addr = SJA1000_RAM; addr <= SJA1000_RAM_LAST; ++addr) {
        chip.write_reg(static_cast<uint8_t>(addr), pattern_for(static_cast<uint8_t>(addr)));
    }
    leave_reset_mode();
    for (unsigned addr = SJA1000_RAM; addr <= SJA1000_RAM_LAST; ++addr) {
        ASSERT_EQ(chip.read_reg(static_cast<uint8_t>(addr | 0x80)),
                  pattern_for(static_cast<uint8_t>(addr)))
            << "address " << addr;
    }
    // Address bit 7 is not decoded, for the registers either.
    chip.write_reg(0x80 | SJA1000_RAM, 0x77);
    EXPECT_EQ(chip.read_reg(SJA1000_RAM), 0x77);
    EXPECT_EQ(chip.read_reg(0x80 | SJA1000_SR), kSrIdle);
    chip.write_reg(0x80 | SJA1000_MOD, MOD_RM);
    EXPECT_TRUE(chip.in_reset_mode());
}

// --- interrupts and overrun ------------------------------------------------------------------

TEST_F(Sja1000Test, ReadingIrClearsEveryBitButRi) {
    enable_all_interrupts();
    leave_reset_mode();
    chip.raise_interrupt(IR_RI | IR_EI | IR_BEI | IR_ALI);
    // Inspection does not clear.
    EXPECT_EQ(chip.peek_reg(SJA1000_IR), IR_RI | IR_EI | IR_BEI | IR_ALI);
    EXPECT_EQ(chip.peek_reg(SJA1000_IR), IR_RI | IR_EI | IR_BEI | IR_ALI);

    EXPECT_EQ(chip.read_reg(SJA1000_IR), IR_RI | IR_EI | IR_BEI | IR_ALI);
    EXPECT_EQ(chip.read_reg(SJA1000_IR), IR_RI);
    EXPECT_TRUE(chip.interrupt_asserted()) << "RI still pending";
}

TEST_F(Sja1000Test, InterruptsLatchOnlyWhereEnabledAndIntFollowsIrAndIer) {
    leave_reset_mode();
    chip.raise_interrupt(IR_EI);
    EXPECT_EQ(chip.read_reg(SJA1000_IR), 0) << "EI not enabled";
    EXPECT_FALSE(chip.interrupt_asserted());

    chip.write_reg(SJA1000_IER, IR_EI | IR_TI);
    chip.raise_interrupt(IR_EI | IR_BEI);
    EXPECT_EQ(chip.peek_reg(SJA1000_IR), IR_EI);
    EXPECT_TRUE(chip.interrupt_asserted());
    // Disabling the source drops the output; the flag stays until IR is read.
    chip.write_reg(SJA1000_IER, IR_TI);
    EXPECT_FALSE(chip.interrupt_asserted());
    chip.write_reg(SJA1000_IER, IR_EI);
    EXPECT_TRUE(chip.interrupt_asserted());
    chip.read_reg(SJA1000_IR);
    EXPECT_FALSE(chip.interrupt_asserted());
}

TEST_F(Sja1000Test, DataOverrunStaysUntilClearedByCdoNotByReadingIr) {
    enable_all_interrupts();
    leave_reset_mode();
    chip.signal_data_overrun();
    EXPECT_EQ(chip.read_reg(SJA1000_SR), kSrIdle | SR_DOS);
    EXPECT_EQ(chip.read_reg(SJA1000_IR), IR_DOI);
    EXPECT_EQ(chip.read_reg(SJA1000_IR), 0);
    EXPECT_EQ(chip.read_reg(SJA1000_SR), kSrIdle | SR_DOS) << "reading IR must not clear DOS";

    // Other commands leave DOS alone; CDO clears only DOS.
    chip.write_reg(SJA1000_CMR, CMR_AT);
    EXPECT_EQ(chip.read_reg(SJA1000_SR), kSrIdle | SR_DOS);
    chip.write_reg(SJA1000_CMR, CMR_CDO);
    EXPECT_EQ(chip.read_reg(SJA1000_SR), kSrIdle);
}

}  // namespace
}  // namespace k5320::emulator::sja1000
