// A fresh directory of its own for each test that keeps flash files, removed afterwards: tests
// never touch the user's real state directory.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace k5320::emulator {

class TemporaryDirectory {
  public:
    TemporaryDirectory() {
        std::string name = ::testing::TempDir() + "k5320-flash-XXXXXX";
        if (::mkdtemp(name.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed for " << name;
        path_ = name;
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

}  // namespace k5320::emulator
