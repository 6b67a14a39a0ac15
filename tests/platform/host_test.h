// SPDX-License-Identifier: Apache-2.0
// Fixture of the host layer's own tests: every test starts from HostReset on a fresh
// sandbox directory, which is removed afterwards.
#pragma once

#include "platform/host/host_control.h"
#include "platform/host/win32_api.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "host-platform-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    HostReset(root_);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  std::string root_;
};
