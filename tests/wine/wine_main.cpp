// SPDX-License-Identifier: Apache-2.0
// The Windows end-to-end suite's entry point: GoogleTest, then one closing line that
// scripts/wine-tests.sh reads.
#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  int status = RUN_ALL_TESTS();
  const ::testing::UnitTest& run = *::testing::UnitTest::GetInstance();
  std::printf("WINE SUITE: %d passed, %d failed, %d skipped\n", run.successful_test_count(),
              run.failed_test_count(), run.skipped_test_count());
  std::fflush(stdout);
  return status;
}
