// The raw DPRAM exports: ranges at their boundaries and what reaches the module's memory.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "backplane/inspect.h"
#include "emulator/module_probe.h"
#include "k5320.h"
#include "k5320/dpram_map.h"

namespace {

constexpr uint8_t kSlot = 1;

class RawDpram : public ::testing::Test {
  protected:
    void SetUp()
        override {  // A fresh module for every test, also when the whole suite runs in one process.
        ASSERT_TRUE(k5320::backplane::in_process_host().replace_module(kSlot, "5320"));
        ASSERT_EQ(K5320_Init(kSlot), K5320_SUCCESS);
    }
    void TearDown() override { K5320_RemoveIrq(kSlot); }
    k5320::emulator::Module& module() { return *k5320::backplane::in_process_host().module(kSlot); }
    k5320::emulator::ModuleProbe probe() { return k5320::emulator::ModuleProbe(module()); }
};

TEST_F(RawDpram, SingleValuesAtTheirLastAcceptedAddress) {
    uint8_t b = 0;
    uint16_t w = 0;
    uint32_t d = 0;
    EXPECT_EQ(K5320_DPRAMWriteByte(kSlot, 6999, 0xA5), K5320_SUCCESS);
    EXPECT_EQ(K5320_DPRAMReadByte(kSlot, 6999, &b), K5320_SUCCESS);
    EXPECT_EQ(b, 0xA5);
    EXPECT_EQ(K5320_DPRAMWriteByte(kSlot, 7000, 1), K5320_ERR_RANGE);
    EXPECT_EQ(K5320_DPRAMReadByte(kSlot, 7000, &b), K5320_ERR_RANGE);

    EXPECT_EQ(K5320_DPRAMWriteWord(kSlot, 6997, 0xBEEF), K5320_SUCCESS);
    EXPECT_EQ(K5320_DPRAMReadWord(kSlot, 6997, &w), K5320_SUCCESS);
    EXPECT_EQ(w, 0xBEEF);
    EXPECT_EQ(K5320_DPRAMWriteWord(kSlot, 6998, 1), K5320_ERR_RANGE);
    EXPECT_EQ(K5320_DPRAMReadWord(kSlot, 6998, &w), K5320_ERR_RANGE);

    EXPECT_EQ(K5320_DPRAMWriteDword(kSlot, 6995, 0x12345678), K5320_SUCCESS);
    EXPECT_EQ(K5320_DPRAMReadDword(kSlot, 6995, &d), K5320_SUCCESS);
    EXPECT_EQ(d, 0x12345678u);
    EXPECT_EQ(K5320_DPRAMWriteDword(kSlot, 6996, 1), K5320_ERR_RANGE);
    EXPECT_EQ(K5320_DPRAMReadDword(kSlot, 6996, &d), K5320_ERR_RANGE);
}

TEST_F(RawDpram, RefusedAccessWritesNothing) {
    probe().poke(6999, 0x77);
    EXPECT_EQ(K5320_DPRAMWriteWord(kSlot, 6998, 0x1122), K5320_ERR_RANGE);
    EXPECT_EQ(K5320_DPRAMWriteDword(kSlot, 6996, 0x11223344), K5320_ERR_RANGE);
    uint8_t data[11] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    EXPECT_EQ(K5320_DPRAMWriteMultiByte(kSlot, 6990, data, 11), K5320_ERR_RANGE);
    EXPECT_EQ(K5320_DPRAMMemset(kSlot, 6990, 0xEE, 11), K5320_ERR_RANGE);
    EXPECT_EQ(probe().peek(6990), 0);
    EXPECT_EQ(probe().peek(6999), 0x77);
}

TEST_F(RawDpram, BlocksUpToTheEndOfTheUserWindow) {
    uint8_t data[10];
    std::iota(data, data + 10, 1);
    EXPECT_EQ(K5320_DPRAMWriteMultiByte(kSlot, 6990, data, 10), K5320_SUCCESS);
    uint8_t back[11] = {};
    EXPECT_EQ(K5320_DPRAMReadMultiByte(kSlot, 6990, back, 10), K5320_SUCCESS);
    EXPECT_TRUE(std::equal(data, data + 10, back));
    EXPECT_EQ(K5320_DPRAMReadMultiByte(kSlot, 6990, back, 11), K5320_ERR_RANGE);
    // Length and count 0 are accepted and move nothing, even at the very end of the window.
    EXPECT_EQ(K5320_DPRAMWriteMultiByte(kSlot, 7000, data, 0), K5320_SUCCESS);
    EXPECT_EQ(K5320_DPRAMMemset(kSlot, 6990, 0xEE, 0), K5320_SUCCESS);
    EXPECT_EQ(probe().peek(6990), 1);
    EXPECT_EQ(K5320_DPRAMMemset(kSlot, 6990, 0xEE, 10), K5320_SUCCESS);
    for (uint16_t a = 6990; a < 7000; ++a) EXPECT_EQ(probe().peek(a), 0xEE) << a;
}

TEST_F(RawDpram, WordAcrossAPageBoundaryIsLittleEndianOnBothPages) {
    ASSERT_EQ(K5320_DPRAMWriteWord(kSlot, 0x03FF, 0xCAFE), K5320_SUCCESS);
    EXPECT_EQ(probe().peek(0x03FF), 0xFE);
    EXPECT_EQ(probe().peek(0x0400), 0xCA);
    uint16_t w = 0;
    ASSERT_EQ(K5320_DPRAMReadWord(kSlot, 0x03FF, &w), K5320_SUCCESS);
    EXPECT_EQ(w, 0xCAFE);
    uint8_t block[2] = {};
    ASSERT_EQ(K5320_DPRAMReadMultiByte(kSlot, 0x03FF, block, 2), K5320_SUCCESS);
    EXPECT_EQ(block[0] | block[1] << 8, 0xCAFE);
}

TEST_F(RawDpram, DoubleWordsAcrossEveryPageBoundary) {
    for (uint16_t page = 1; page < 7; ++page) {
        for (uint16_t back = 1; back <= 3; ++back) {
            const uint16_t address = static_cast<uint16_t>(page * k5320::dpram::kPageSize - back);
            if (address > 6995) continue;
            const uint32_t value = 0xA0B0C0D0u + address;
            ASSERT_EQ(K5320_DPRAMWriteDword(kSlot, address, value), K5320_SUCCESS);
            for (int i = 0; i < 4; ++i)
                EXPECT_EQ(probe().peek(static_cast<uint16_t>(address + i)),
                          static_cast<uint8_t>(value >> (8 * i)))
                    << address << "+" << i;
            uint32_t read = 0;
            ASSERT_EQ(K5320_DPRAMReadDword(kSlot, address, &read), K5320_SUCCESS);
            EXPECT_EQ(read, value);
        }
    }
}

TEST_F(RawDpram, BlockSpanningAllPagesOfTheWindow) {
    std::vector<uint8_t> data(7000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
    ASSERT_EQ(K5320_DPRAMWriteMultiByte(kSlot, 0, data.data(), 7000), K5320_SUCCESS);
    for (uint16_t a = 0; a < 7000; a += 997) EXPECT_EQ(probe().peek(a), data[a]) << a;
    std::vector<uint8_t> back(7000);
    ASSERT_EQ(K5320_DPRAMReadMultiByte(kSlot, 0, back.data(), 7000), K5320_SUCCESS);
    EXPECT_EQ(back, data);
}

TEST_F(RawDpram, ReadsSeeWhatTheModuleWrote) {
    probe().poke(0x1000, 0x42);
    probe().poke(0x1001, 0x43);
    uint16_t w = 0;
    ASSERT_EQ(K5320_DPRAMReadWord(kSlot, 0x1000, &w), K5320_SUCCESS);
    EXPECT_EQ(w, 0x4342);
}

TEST_F(RawDpram, CommandByteTakesValuesUpTo223) {
    EXPECT_EQ(K5320_DPRAMInttToK5320(kSlot, 223), K5320_SUCCESS);
    EXPECT_EQ(probe().peek(k5320::dpram::kCommandByte), 223);
    EXPECT_EQ(K5320_DPRAMInttToK5320(kSlot, 224), K5320_ERR_RANGE);
    EXPECT_EQ(K5320_DPRAMInttToK5320(kSlot, 255), K5320_ERR_RANGE);
    EXPECT_EQ(probe().peek(k5320::dpram::kCommandByte), 223);
}

}  // namespace
