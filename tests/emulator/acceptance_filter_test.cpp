// The SJA1000 acceptance filter, case by case against the chip's comparison rules.
#include "emulator/acceptance_filter.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "emulator/sja1000.h"

namespace k5320::emulator::sja1000 {
namespace {

struct FilterCase {
    uint32_t code;
    uint32_t mask;
    uint32_t id;
    bool extended;
    bool remote;
    uint8_t dlc;
    std::array<uint8_t, 2> data;
    bool accepted;
    const char* what;
};

constexpr uint32_t kAll = 0xFFFFFFFF;  // the utility's default mask, with code 0
constexpr uint32_t kExact = 0;

// Standard id 0x123 is 0x24 in ID10..3 and 0x60 in ID2..0/RTR; data bytes 0xAA 0xBB.
constexpr uint32_t kStdId = 0x123;
constexpr uint32_t kStdCode = 0x2460AABB;
// Extended id 0x12345678 fills the registers as 0x91 0xA2 0xB3 0xC0.
constexpr uint32_t kExtId = 0x12345678;
constexpr uint32_t kExtCode = 0x91A2B3C0;

constexpr bool kStd = false, kExt = true, kData = false, kRtr = true;

// clang-format off
const FilterCase kSingleFilterCases[] = {
    {0, kAll, 0x7FF, kStd, kData, 8, {1, 2}, true, "defaults, std data frame"},
    {0, kAll, 0x000, kStd, kRtr, 0, {}, true, "defaults, std remote frame"},
    {0, kAll, 0x1FFFFFFF, kExt, kData, 2, {3, 4}, true, "defaults, ext data frame"},
    {0, kAll, kExtId, kExt, kRtr, 4, {}, true, "defaults, ext remote frame"},

    {kStdCode, kExact, kStdId, kStd, kData, 2, {0xAA, 0xBB}, true, "std exact match"},
    {kStdCode, kExact, 0x12B, kStd, kData, 2, {0xAA, 0xBB}, false, "std ID10..3 differs"},
    {kStdCode, kExact, 0x122, kStd, kData, 2, {0xAA, 0xBB}, false, "std ID2..0 differs"},
    {kStdCode, kExact, kStdId, kStd, kRtr, 0, {}, false, "std remote, data-frame code"},
    {kStdCode, kExact, kStdId, kStd, kData, 2, {0xAB, 0xBB}, false, "std data byte 1 differs"},
    {kStdCode, kExact, kStdId, kStd, kData, 2, {0xAA, 0xBC}, false, "std data byte 2 differs"},
    {kStdCode, kExact, kStdId, kStd, kData, 15, {0xAA, 0xBC}, false, "std DLC 15 has byte 2"},
    {kStdCode, kExact, kStdId, kStd, kData, 1, {0xAA, 0x00}, true, "std byte 2 absent passes"},
    {kStdCode, kExact, kStdId, kStd, kData, 0, {0x00, 0x00}, true, "std no data bytes pass"},
    {0x2470AABB, kExact, kStdId, kStd, kRtr, 2, {0x00, 0x00}, true, "std remote has no data"},
    {0x246FAABB, kExact, kStdId, kStd, kData, 2, {0xAA, 0xBB}, true, "std ACR1 3..0 unused"},
    {kStdCode, 0x01000000, 0x12B, kStd, kData, 2, {0xAA, 0xBB}, true, "std AMR0 on ID3"},
    {kStdCode, 0x00200000, 0x122, kStd, kData, 2, {0xAA, 0xBB}, true, "std AMR1 on ID0"},
    {kStdCode, 0x00100000, kStdId, kStd, kRtr, 0, {}, true, "std AMR1 on RTR"},
    {kStdCode, 0x0000FF00, kStdId, kStd, kData, 2, {0x00, 0xBB}, true, "std AMR2 on byte 1"},
    {kStdCode, 0x000000FF, kStdId, kStd, kData, 2, {0xAA, 0x00}, true, "std AMR3 on byte 2"},
    {kStdCode, 0x00000001, kStdId, kStd, kData, 2, {0xAA, 0xBA}, true, "std mask bit: its bit"},
    {kStdCode, 0x00000001, kStdId, kStd, kData, 2, {0xAA, 0xB9}, false, "std mask bit: no other"},
    {kExtCode, kExact, kStdId, kStd, kData, 0, {}, false, "std frame, extended code"},

    {kExtCode, kExact, kExtId, kExt, kData, 2, {0x12, 0x34}, true, "ext exact, data not compared"},
    {kExtCode, kExact, kExtId ^ (1u << 21), kExt, kData, 0, {}, false, "ext ID28..21 differs"},
    {kExtCode, kExact, kExtId ^ (1u << 13), kExt, kData, 0, {}, false, "ext ID20..13 differs"},
    {kExtCode, kExact, kExtId ^ (1u << 5), kExt, kData, 0, {}, false, "ext ID12..5 differs"},
    {kExtCode, kExact, kExtId ^ 1u, kExt, kData, 0, {}, false, "ext ID4..0 differs"},
    {kExtCode, kExact, kExtId, kExt, kRtr, 0, {}, false, "ext remote, data-frame code"},
    {0x91A2B3C4, kExact, kExtId, kExt, kRtr, 0, {}, true, "ext remote, remote code"},
    {0x91A2B3C3, kExact, kExtId, kExt, kData, 0, {}, true, "ext ACR3 bits 1..0 unused"},
    {kExtCode, 0xFF000000, kExtId ^ 0x1FE00000, kExt, kData, 0, {}, true, "ext AMR0 on ID28..21"},
    {kExtCode, 0x000000F8, kExtId ^ 0x1F, kExt, kData, 0, {}, true, "ext AMR3 on ID4..0"},
    {kExtCode, 0x000000F8, kExtId, kExt, kRtr, 0, {}, false, "ext AMR3 ID4..0 leaves RTR"},
};
// clang-format on

TEST(AcceptanceFilterTest, SingleFilterDecidesAsTheChip) {
    for (const FilterCase& c : kSingleFilterCases) {
        const FilterRegisters filter = filter_from_code_and_mask(c.code, c.mask);
        EXPECT_EQ(accepts(filter, c.id, c.extended, c.remote, c.dlc, c.data.data()), c.accepted)
            << c.what;
    }
}

TEST(AcceptanceFilterTest, CodeAndMaskFillTheRegistersMostSignificantByteFirst) {
    const FilterRegisters filter = filter_from_code_and_mask(0x12345678, 0x9ABCDEF0);
    EXPECT_EQ(filter.acr, (std::array<uint8_t, 4>{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(filter.amr, (std::array<uint8_t, 4>{0x9A, 0xBC, 0xDE, 0xF0}));
}

TEST(AcceptanceFilterTest, FrameWithoutDataPointerHasNoDataBytesToRead) {
    const FilterRegisters filter = filter_from_code_and_mask(kStdCode, kExact);
    EXPECT_TRUE(accepts(filter, kStdId, false, false, 8, nullptr));
}

TEST(AcceptanceFilterTest, DualFilterAcceptsWhenEitherFilterMatches) {
    // Standard: filter 1 takes id 0x123 with data byte 1 0xA5 (high nibble in ACR1, low in
    // ACR3); filter 2 takes id 0x456 (0x8A, 0xC0) with any data.
    FilterRegisters std_filter = filter_from_code_and_mask(0x246A8AC5, kExact);
    auto std_accepts = [&](uint32_t id, bool remote, uint8_t dlc, uint8_t byte1) {
        return accepts_dual(std_filter, FilterFrame{id, false, remote, dlc, &byte1});
    };
    EXPECT_TRUE(std_accepts(0x123, false, 1, 0xA5));
    EXPECT_FALSE(std_accepts(0x123, false, 1, 0xA6)) << "low nibble of data byte 1";
    EXPECT_FALSE(std_accepts(0x123, false, 1, 0xB5)) << "high nibble of data byte 1";
    EXPECT_TRUE(std_accepts(0x123, false, 0, 0x00)) << "absent data byte passes";
    EXPECT_TRUE(std_accepts(0x456, false, 1, 0x00)) << "filter 2 compares no data";
    EXPECT_FALSE(std_accepts(0x456, true, 0, 0x00)) << "RTR in ACR3 bit 4";
    EXPECT_FALSE(std_accepts(0x457, false, 1, 0x00));
    std_filter.amr[3] = 0x0F;  // data low nibble don't care for filter 1; filter 2 unaffected
    EXPECT_TRUE(std_accepts(0x123, false, 1, 0xA6));
    EXPECT_FALSE(std_accepts(0x457, false, 1, 0x00));

    // Extended: both filters compare ID28..13 only; filter 1 for 0x12345678, filter 2 for
    // 0x0ABCDEF0 (0x55, 0xE6).
    const FilterRegisters ext_filter = filter_from_code_and_mask(0x91A255E6, kExact);
    auto ext_accepts = [&](uint32_t id, bool remote) {
        return accepts_dual(ext_filter, FilterFrame{id, true, remote, 0, nullptr});
    };
    EXPECT_TRUE(ext_accepts(kExtId, false));
    EXPECT_TRUE(ext_accepts(kExtId ^ 0x1FFF, true)) << "ID12..0 and RTR are not compared";
    EXPECT_FALSE(ext_accepts(kExtId ^ (1u << 13), false));
    EXPECT_TRUE(ext_accepts(0x0ABCDEF0, false));
    EXPECT_FALSE(ext_accepts(0x0ABCDEF0 ^ (1u << 28), false));
}

TEST(AcceptanceFilterTest, ControllerFiltersWithItsRegistersInTheModeAfmSelects) {
    Sja1000 chip;
    // As a single filter these bytes take id 0x123 with data 0xAA 0xBB. As a dual filter,
    // filter 1 takes id 0x123 with data byte 1 0x0B (ACR1 and ACR3 low nibbles) and filter 2
    // takes remote frames with id 0x555 (0xAA, 0xBB bits 7..4).
    const FilterRegisters filter = filter_from_code_and_mask(kStdCode, kExact);
    for (uint8_t i = 0; i < kAcceptanceRegisters; ++i) {
        chip.write_reg(SJA1000_ACR0 + i, filter.acr[i]);
        chip.write_reg(SJA1000_AMR0 + i, filter.amr[i]);
    }
    const uint8_t data[] = {0xAA, 0xBB};
    const uint8_t dual_data[] = {0x0B};
    const ReceivedFrame remote_555{0x555, false, true, 0, nullptr};
    chip.write_reg(SJA1000_MOD, MOD_RM | MOD_AFM);
    EXPECT_TRUE(chip.accepts(kStdId, false, false, 2, data));
    EXPECT_FALSE(chip.accepts(kStdId, false, false, 1, dual_data));
    EXPECT_FALSE(chip.accepts(remote_555));

    chip.write_reg(SJA1000_MOD, MOD_RM);
    EXPECT_FALSE(chip.accepts(kStdId, false, false, 2, data));
    EXPECT_TRUE(chip.accepts(kStdId, false, false, 1, dual_data));
    EXPECT_TRUE(chip.accepts(remote_555));
    // Leaving reset mode hides the registers behind the frame window but keeps filtering.
    chip.write_reg(SJA1000_MOD, 0);
    EXPECT_TRUE(chip.accepts(remote_555));
    EXPECT_FALSE(chip.accepts(ReceivedFrame{0x554, false, true, 0, nullptr}));
}

}  // namespace
}  // namespace k5320::emulator::sja1000
