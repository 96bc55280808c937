// The SJA1000's bus events: transfer status, error counters, error states and their interrupts.
#include <gtest/gtest.h>

#include <cstdint>

#include "emulator/sja1000.h"

namespace k5320::emulator::sja1000 {
namespace {

constexpr uint8_t kSrIdle = SR_TCS | SR_TBS;
constexpr uint8_t kOperating = 0x00;  // MOD with every mode bit clear
constexpr uint8_t kBitError = ECC_TYPE_BIT | 0x08;
constexpr uint8_t kStuffError = ECC_TYPE_STUFF | 0x1C;

class Sja1000ErrorsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        chip.write_reg(SJA1000_IER, 0xFF);
        chip.write_reg(SJA1000_MOD, 0);
    }
    // IR as the firmware reads it, which clears it.
    uint8_t take_interrupts() { return chip.read_reg(SJA1000_IR); }
    uint8_t status() { return chip.read_reg(SJA1000_SR); }
    uint8_t txerr() { return chip.read_reg(SJA1000_TXERR); }
    uint8_t rxerr() { return chip.read_reg(SJA1000_RXERR); }
    void unacknowledged_tries(unsigned n) {
        for (unsigned i = 0; i < n; ++i) {
            chip.begin_transmit();
            chip.end_transmit(false);
        }
    }
    void transmit_errors(unsigned n) {
        for (unsigned i = 0; i < n; ++i) chip.transmit_error(kBitError);
    }
    void receive_errors(unsigned n) {
        for (unsigned i = 0; i < n; ++i) chip.receive_error(kStuffError);
    }
    bool receive_good_frame() {
        chip.begin_receive();
        return chip.end_receive(ReceivedFrame{0x123, false, false, 0, nullptr});
    }

    Sja1000 chip;
};

TEST_F(Sja1000ErrorsTest, TransferStatusFollowsTheEvents) {
    chip.begin_transmit();
    EXPECT_EQ(status(), SR_TS) << "buffer locked, not complete";
    chip.end_transmit(true);
    EXPECT_EQ(status(), kSrIdle);
    EXPECT_EQ(take_interrupts(), IR_TI);

    // The reception's end reports the filter's verdict: code 0, mask 0 takes id 0 only.
    chip.begin_receive();
    EXPECT_EQ(status(), kSrIdle | SR_RS);
    EXPECT_TRUE(chip.end_receive(ReceivedFrame{0x000, false, false, 0, nullptr}));
    EXPECT_EQ(status(), kSrIdle);
    chip.begin_receive();
    EXPECT_FALSE(chip.end_receive(ReceivedFrame{0x7FF, false, false, 0, nullptr}));
    EXPECT_EQ(status(), kSrIdle);
}

TEST_F(Sja1000ErrorsTest, TransmitErrorsWarnAt96AndMakeErrorPassiveAt128) {
    transmit_errors(11);
    EXPECT_EQ(txerr(), 88);
    EXPECT_EQ(status() & SR_ES, 0);
    EXPECT_EQ(take_interrupts(), IR_BEI);

    transmit_errors(1);
    EXPECT_EQ(txerr(), 96);
    EXPECT_EQ(status() & SR_ES, SR_ES);
    EXPECT_EQ(take_interrupts(), IR_BEI | IR_EI);
    EXPECT_EQ(chip.read_reg(SJA1000_ECC), kBitError);

    transmit_errors(3);
    EXPECT_FALSE(chip.error_passive());
    EXPECT_EQ(take_interrupts(), IR_BEI);
    transmit_errors(1);
    EXPECT_EQ(txerr(), 128);
    EXPECT_TRUE(chip.error_passive());
    EXPECT_EQ(take_interrupts(), IR_BEI | IR_EPI);

    // Good transmissions count down: error active again below 128 (EPI again), warning gone
    // below 96 (EI again).
    chip.end_transmit(true);
    EXPECT_EQ(txerr(), 127);
    EXPECT_FALSE(chip.error_passive());
    EXPECT_EQ(take_interrupts(), IR_TI | IR_EPI);
    for (int i = 0; i < 31; ++i) chip.end_transmit(true);
    EXPECT_EQ(txerr(), 96);
    EXPECT_EQ(status() & SR_ES, SR_ES);
    chip.end_transmit(true);
    EXPECT_EQ(status() & SR_ES, 0);
    EXPECT_EQ(take_interrupts(), IR_TI | IR_EI);
}

TEST_F(Sja1000ErrorsTest, ReceiveErrorsCountOneAndAGoodFrameEndsErrorPassive) {
    receive_errors(95);
    EXPECT_EQ(rxerr(), 95);
    EXPECT_EQ(status() & SR_ES, 0);
    receive_errors(1);
    EXPECT_EQ(status() & SR_ES, SR_ES);
    EXPECT_EQ(chip.read_reg(SJA1000_ECC), kStuffError | ECC_DIRECTION_RX);
    receive_errors(32);
    EXPECT_EQ(rxerr(), 128);
    EXPECT_TRUE(chip.error_passive());
    receive_errors(200);
    EXPECT_EQ(rxerr(), 255) << "saturates, never goes bus-off";
    EXPECT_FALSE(chip.bus_off());
    take_interrupts();

    receive_good_frame();
    EXPECT_EQ(rxerr(), 127);
    EXPECT_FALSE(chip.error_passive());
    EXPECT_EQ(take_interrupts(), IR_EPI);
}

TEST_F(Sja1000ErrorsTest, UnacknowledgedFrameStopsAt128AndNeverGoesBusOff) {
    unacknowledged_tries(11);
    EXPECT_EQ(status() & SR_ES, 0);
    unacknowledged_tries(1);
    EXPECT_EQ(txerr(), 96);
    EXPECT_EQ(status() & SR_ES, SR_ES) << "warning after 12 tries";
    EXPECT_EQ(chip.read_reg(SJA1000_ECC), 0xD9) << "ACK error while transmitting";
    unacknowledged_tries(4);
    EXPECT_EQ(txerr(), 128);
    EXPECT_TRUE(chip.error_passive()) << "error passive after 16 tries";
    take_interrupts();

    unacknowledged_tries(1000);
    EXPECT_EQ(txerr(), 128);
    EXPECT_FALSE(chip.bus_off());
    EXPECT_FALSE(chip.in_reset_mode());
    EXPECT_EQ(status() & (SR_TBS | SR_TCS), 0) << "the frame is still pending";
    EXPECT_EQ(take_interrupts(), IR_BEI) << "every try is still a bus error";
    EXPECT_EQ(chip.read_reg(SJA1000_ECC), ECC_TX_ACK_ERROR);

    // Any other error of an error-passive transmitter still counts.
    chip.transmit_error(kBitError);
    EXPECT_EQ(txerr(), 136);
}

TEST_F(Sja1000ErrorsTest, BusOffAbove255StopsTheControllerUntilRestartedAndRecovered) {
    receive_errors(10);
    transmit_errors(31);
    EXPECT_EQ(txerr(), 248);
    EXPECT_FALSE(chip.bus_off());
    take_interrupts();

    transmit_errors(1);
    EXPECT_TRUE(chip.bus_off());
    EXPECT_TRUE(chip.in_reset_mode());
    EXPECT_EQ(chip.read_reg(SJA1000_MOD) & MOD_RM, MOD_RM);
    EXPECT_EQ(txerr(), 127);
    EXPECT_EQ(rxerr(), 0);
    EXPECT_EQ(status() & (SR_BS | SR_ES), SR_BS | SR_ES);
    EXPECT_EQ(take_interrupts(), IR_EI | IR_BEI);
    EXPECT_FALSE(chip.error_passive());

    // Off the bus: events change nothing, and recovery needs the firmware's restart first.
    transmit_errors(5);
    chip.complete_bus_off_recovery();
    EXPECT_TRUE(chip.bus_off());
    EXPECT_EQ(txerr(), 127);

    chip.write_reg(SJA1000_MOD, 0);
    EXPECT_TRUE(chip.bus_off());
    chip.complete_bus_off_recovery();
    EXPECT_FALSE(chip.bus_off());
    EXPECT_EQ(txerr(), 0);
    EXPECT_EQ(rxerr(), 0);
    EXPECT_EQ(status() & (SR_BS | SR_ES), 0);
    EXPECT_EQ(take_interrupts(), IR_EI);

    // 255 is still on the bus; only above it is bus-off.
    chip.write_reg(SJA1000_MOD, MOD_RM);
    chip.write_reg(SJA1000_TXERR, 247);
    chip.write_reg(SJA1000_MOD, 0);
    transmit_errors(1);
    EXPECT_EQ(txerr(), 255);
    EXPECT_FALSE(chip.bus_off());
    transmit_errors(1);
    EXPECT_TRUE(chip.bus_off());
}

TEST_F(Sja1000ErrorsTest, ListenOnlyFreezesCountersAndSelfTestNeedsNoAcknowledge) {
    chip.write_reg(SJA1000_MOD, MOD_RM);
    chip.write_reg(SJA1000_MOD, MOD_LOM);
    receive_errors(3);
    EXPECT_EQ(rxerr(), 0);
    EXPECT_EQ(take_interrupts(), IR_BEI);

    chip.write_reg(SJA1000_MOD, MOD_RM);
    chip.write_reg(SJA1000_MOD, MOD_STM);
    chip.begin_transmit();
    chip.end_transmit(false);
    EXPECT_EQ(status(), kSrIdle);
    EXPECT_EQ(txerr(), 0);
    EXPECT_EQ(take_interrupts(), IR_TI);
}

TEST_F(Sja1000ErrorsTest, CountersWrittenInResetModeTakeEffectWhenItIsLeft) {
    chip.write_reg(SJA1000_MOD, MOD_RM);
    take_interrupts();
    chip.write_reg(SJA1000_TXERR, 130);
    EXPECT_FALSE(chip.error_passive());
    EXPECT_EQ(status() & SR_ES, 0);
    EXPECT_EQ(take_interrupts(), 0);
    chip.write_reg(SJA1000_MOD, kOperating);
    EXPECT_TRUE(chip.error_passive());
    EXPECT_EQ(status() & SR_ES, SR_ES);
    EXPECT_EQ(take_interrupts(), IR_EI | IR_EPI);

    chip.write_reg(SJA1000_MOD, MOD_RM);
    chip.write_reg(SJA1000_EWLR, 200);
    chip.write_reg(SJA1000_TXERR, 0);
    chip.write_reg(SJA1000_MOD, kOperating);
    EXPECT_FALSE(chip.error_passive());
    EXPECT_EQ(status() & SR_ES, 0);
}

TEST_F(Sja1000ErrorsTest, TransmitCounterWrittenTo255ForcesBusOffWhenResetModeIsLeft) {
    chip.write_reg(SJA1000_MOD, MOD_RM);
    chip.write_reg(SJA1000_TXERR, 255);
    EXPECT_FALSE(chip.bus_off());
    chip.write_reg(SJA1000_MOD, kOperating);
    EXPECT_TRUE(chip.bus_off());
    EXPECT_TRUE(chip.in_reset_mode());
    EXPECT_EQ(status() & SR_BS, SR_BS);
    EXPECT_EQ(take_interrupts() & IR_EI, IR_EI);
    // Restarted by the firmware, it recovers after the bus-free sequences.
    chip.write_reg(SJA1000_MOD, kOperating);
    chip.complete_bus_off_recovery();
    EXPECT_FALSE(chip.bus_off());
    EXPECT_EQ(txerr(), 0);
}

}  // namespace
}  // namespace k5320::emulator::sja1000
