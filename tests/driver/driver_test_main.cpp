#include <gtest/gtest.h>

#include "k5320.h"
#include "tests/driver/driver_test_support.h"

namespace {

// Every test leaves all slots released, so the suite also runs in one process.
class ReleaseSlotsAfterEachTest : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo&) override {
        for (uint8_t slot = 1; slot <= 7; ++slot) K5320_RemoveIrq(slot);
    }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new k5320::test::DriverTestEnvironment);
    ::testing::UnitTest::GetInstance()->listeners().Append(new ReleaseSlotsAfterEachTest);
    return RUN_ALL_TESTS();
}
