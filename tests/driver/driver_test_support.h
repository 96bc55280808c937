// Shared set-up for driver tests: every test process gets its own slot ownership table, its own
// namespace of named events and its own flash state directory, as if it had a backplane of its
// own: tests that ctest runs in parallel processes never meet.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "driver/frame/slot_ownership.h"
#include "platform/named_event.h"

namespace k5320::test {

inline std::string test_table_name() {
    return "test-" + std::to_string(getpid());
}

class DriverTestEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        driver::ownership::use_table_for_test(test_table_name());
        platform::NamedEvent::use_namespace_for_test(test_table_name());
        std::string dir = (std::filesystem::temp_directory_path() / "k5320-state-XXXXXX").string();
        ASSERT_NE(mkdtemp(dir.data()), nullptr);
        state_dir_ = dir;
        setenv("TARN_BACKPLANE_STATE", dir.c_str(), 1);
    }
    void TearDown() override {
        driver::ownership::remove_test_table();
        std::error_code ignored;
        std::filesystem::remove_all(state_dir_, ignored);
    }

  private:
    std::string state_dir_;
};

}  // namespace k5320::test
