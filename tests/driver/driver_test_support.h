// Shared set-up for driver tests: every test process gets its own slot ownership table and its
// own namespace of named events, as if it had a backplane of its own: tests that ctest runs in
// parallel processes never meet.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "driver/frame/slot_ownership.h"
#include "platform/named_event.h"

namespace k5320::test {

inline std::string test_table_name() {
    return "test-" + std::to_string(getpid());
}

class OwnershipTableEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        driver::ownership::use_table_for_test(test_table_name());
        platform::NamedEvent::use_namespace_for_test(test_table_name());
    }
    void TearDown() override { driver::ownership::remove_test_table(); }
};

}  // namespace k5320::test
