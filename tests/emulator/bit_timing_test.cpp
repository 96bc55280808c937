// Bus timing for the 16 MHz crystal: the baud codes' rates and the timings we refuse.
#include "emulator/bit_timing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

#include "k5320/baud_codes.h"

namespace k5320::emulator::sja1000 {
namespace {

struct CodeRate {
    uint8_t code;
    double bit_rate;
    double sample_point;
};

// The standard rates, and the rates the firmware gives the codes between them.
const CodeRate kCodeRates[] = {
    {0x01, 10'000, 0.875},        {0x02, 20'000, 0.875},   {0x03, 100'000.0 / 3, 0.875},
    {0x04, 50'000, 0.875},        {0x05, 100'000, 0.875},  {0x06, 125'000, 0.875},
    {0x07, 500'000.0 / 3, 0.875}, {0x08, 250'000, 0.875},  {0x09, 500'000, 0.875},
    {0x0A, 800'000, 0.8},         {0x0B, 1'000'000, 0.75},
};

TEST(BitTimingTest, EveryBaudCodeGivesItsRateWhateverTheCallersValues) {
    for (const CodeRate& c : kCodeRates) {
        // The caller's BT0/BT1 count only with the user-defined code.
        const std::optional<BtrPair> pair = btr_for_baud_code(c.code, 0xFF, 0xFF);
        ASSERT_TRUE(pair) << "code " << int(c.code);
        const std::optional<BitTiming> timing = decode(pair->btr0, pair->btr1);
        ASSERT_TRUE(timing) << "code " << int(c.code);
        EXPECT_NEAR(timing->bit_rate(), c.bit_rate, 1e-6) << "code " << int(c.code);
        EXPECT_DOUBLE_EQ(timing->sample_point(), c.sample_point) << "code " << int(c.code);
    }
}

TEST(BitTimingTest, RateIndexGivesTheCodeOfItsRate) {
    const double kIndexRates[] = {10'000,  20'000,  50'000,  125'000,
                                  250'000, 500'000, 800'000, 1'000'000};
    for (uint8_t index = 1; index <= 8; ++index) {
        const uint8_t code = baud::code_for_index(index);
        const std::optional<BtrPair> pair = btr_for_baud_code(code, 0, 0);
        ASSERT_TRUE(pair) << "index " << int(index);
        EXPECT_NEAR(decode(pair->btr0, pair->btr1)->bit_rate(), kIndexRates[index - 1], 1e-6)
            << "index " << int(index);
    }
    for (unsigned index : {0u, 9u, 42u, 255u})
        EXPECT_EQ(baud::code_for_index(static_cast<uint8_t>(index)), baud::kUserDefined);
}

TEST(BitTimingTest, UserDefinedCodeTakesTheCallersRunnableValuesAndUnknownCodesAreRefused) {
    EXPECT_EQ(btr_for_baud_code(baud::kUserDefined, 0x00, 0x1C), (BtrPair{0x00, 0x1C}));
    EXPECT_EQ(btr_for_baud_code(baud::kUserDefined, 0xBF, 0xFF), (BtrPair{0xBF, 0xFF}));
    EXPECT_EQ(btr_for_baud_code(baud::kUserDefined, 0xC0, 0x1C), (BtrPair{0xC0, 0x1C}))
        << "SJW 4 > TSEG2 2: the chip runs it";
    EXPECT_FALSE(btr_for_baud_code(baud::kUserDefined, 0x00, 0x00)) << "3 quanta, 2.67 Mbit/s";
    for (unsigned code : {0x00u, 0x0Du, 0x10u, 0xFFu})
        EXPECT_FALSE(btr_for_baud_code(static_cast<uint8_t>(code), 0x00, 0x1C)) << code;
}

TEST(BitTimingTest, DecodeSplitsTheFields) {
    // BTR0 0xC5: SJW 4, BRP 5; BTR1 0xB4: SAM, TSEG2 4, TSEG1 5.
    const std::optional<BitTiming> t = decode(0xC5, 0xB4);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->sjw, 4u);
    EXPECT_EQ(t->prescaler, 6u);
    EXPECT_EQ(t->tseg1, 5u);
    EXPECT_EQ(t->tseg2, 4u);
    EXPECT_TRUE(t->triple_sampling);
    EXPECT_EQ(t->quanta_per_bit(), 10u);
    EXPECT_EQ(t->bit_time_ns(), 7'500u);  // 60 clocks of 125 ns
    EXPECT_EQ(encode(*t), (BtrPair{0xC5, 0xB4}));
    // The slowest timing the registers can hold: 64 x 25 quanta.
    EXPECT_DOUBLE_EQ(decode(0x3F, 0x7F)->bit_rate(), 5'000.0);
}

TEST(BitTimingTest, TimingsWeRefuse) {
    // Fewer than 8 quanta per bit, or more than 1 Mbit/s: refused; 8 quanta at 1 Mbit/s: accepted.
    EXPECT_FALSE(decode(0x00, 0x00)) << "3 quanta";
    EXPECT_FALSE(decode(0x01, 0x13)) << "7 quanta";
    EXPECT_TRUE(decode(0x00, 0x15)) << "9 quanta, 889 kbit/s";
    EXPECT_TRUE(decode(0x00, 0x14)) << "8 quanta, 1 Mbit/s";
    // SJW above TSEG2: taken as TSEG2.
    EXPECT_EQ(decode(0xC0, 0x1C)->sjw, 2u) << "SJW 4, TSEG2 2";
    EXPECT_EQ(decode(0x40, 0x1F)->sjw, 2u) << "SJW 2, TSEG2 2";
    // Sample point before the middle of the bit: refused; exactly half: accepted.
    EXPECT_FALSE(decode(0x01, 0x41)) << "3 of 8 quanta";
    EXPECT_TRUE(decode(0x01, 0x32)) << "4 of 8 quanta";
    EXPECT_FALSE(decode(0x00, 0x73)) << "5 of 13 quanta";

    // The chip's ranges cannot be left through the registers, but can through a timing.
    const BitTiming good = *decode(0x00, 0x1C);
    auto with = [&](auto change) {
        BitTiming t = good;
        change(t);
        return encode(t);
    };
    EXPECT_TRUE(with([](BitTiming&) {}));
    EXPECT_FALSE(with([](BitTiming& t) { t.prescaler = 0; }));
    EXPECT_FALSE(with([](BitTiming& t) { t.prescaler = 65; }));
    EXPECT_TRUE(with([](BitTiming& t) { t.prescaler = 64; }));
    EXPECT_FALSE(with([](BitTiming& t) { t.tseg1 = 0; }));
    EXPECT_FALSE(with([](BitTiming& t) { t.tseg1 = 17; }));
    EXPECT_TRUE(with([](BitTiming& t) { t.tseg1 = 16; }));
    EXPECT_FALSE(with([](BitTiming& t) { t.tseg2 = 0; }));
    EXPECT_FALSE(with([](BitTiming& t) {
        t.tseg2 = 9;
        t.tseg1 = 16;
    }));
    EXPECT_TRUE(with([](BitTiming& t) {
        t.tseg2 = 8;
        t.tseg1 = 16;
    }));
    EXPECT_FALSE(with([](BitTiming& t) { t.sjw = 0; }));
    EXPECT_FALSE(with([](BitTiming& t) {
        t.sjw = 5;
        t.tseg2 = 8;
    }));
    EXPECT_TRUE(with([](BitTiming& t) {
        t.sjw = 4;
        t.tseg2 = 8;
    }));
}

}  // namespace
}  // namespace k5320::emulator::sja1000
