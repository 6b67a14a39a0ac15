// SPDX-License-Identifier: Apache-2.0
// System information: name size rules of GetUserNameW/GetComputerNameW/
// GetWindowsDirectoryW, the version test, and the clock.
#include "tests/platform/host_test.h"

#include <ctime>
#include <vector>

namespace {

class SystemTest : public HostTest {};

TEST_F(SystemTest, UserNameSizeCountsTheTerminator) {
  HostSetUserName(u"alice");  // 5 characters
  for (DWORD given : {5u, 6u, 7u}) {
    SCOPED_TRACE(given);
    std::vector<WCHAR> buffer(8, 0xCCCC);
    DWORD size = given;
    SetLastError(0);
    BOOL ok = GetUserNameW(buffer.data(), &size);
    EXPECT_EQ(size, 6u);  // needed on failure, written on success: terminator included
    if (given < 6) {
      EXPECT_FALSE(ok);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
      EXPECT_EQ(buffer[0], 0xCCCC);
    } else {
      EXPECT_TRUE(ok);
      EXPECT_EQ(std::u16string(buffer.data()), u"alice");
      EXPECT_EQ(buffer[6], 0xCCCC);
    }
  }
}

TEST_F(SystemTest, ComputerNameSizeExcludesTheTerminatorOnSuccess) {
  std::vector<WCHAR> buffer(16, 0xCCCC);
  DWORD size = 9;  // SPOOLHOST is 9 characters: no room for the terminator
  SetLastError(0);
  EXPECT_FALSE(GetComputerNameW(buffer.data(), &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUFFER_OVERFLOW));
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(buffer[0], 0xCCCC);
  ASSERT_TRUE(GetComputerNameW(buffer.data(), &size));
  EXPECT_EQ(size, 9u);
  EXPECT_EQ(std::u16string(buffer.data()), u"SPOOLHOST");
  EXPECT_EQ(buffer[10], 0xCCCC);
}

TEST_F(SystemTest, WindowsDirectoryTooSmallWritesNothing) {
  HostSetWindowsDirectory(u"D:\\WINNT");  // 8 characters
  std::vector<WCHAR> buffer(12, 0xCCCC);
  EXPECT_EQ(GetWindowsDirectoryW(buffer.data(), 8), 9u);
  EXPECT_EQ(buffer[0], 0xCCCC);
  EXPECT_EQ(GetWindowsDirectoryW(buffer.data(), 9), 8u);
  EXPECT_EQ(std::u16string(buffer.data()), u"D:\\WINNT");
  EXPECT_EQ(buffer[9], 0xCCCC);
}

// The test the plug-in makes: major version 6 or more.
BOOL AtLeastMajor(DWORD major, DWORD typeMask = VER_MAJORVERSION) {
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof info;
  info.dwMajorVersion = major;
  ULONGLONG mask = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
  return VerifyVersionInfoW(&info, typeMask, mask);
}

TEST_F(SystemTest, VersionFiveIsOlderThanSix) {
  EXPECT_EQ(VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL), 3ULL << 3);
  EXPECT_EQ(VerSetConditionMask(0, VER_BUILDNUMBER, VER_LESS), 4ULL << 6);

  HostSetPlatformVersion(5);
  SetLastError(0);
  EXPECT_FALSE(AtLeastMajor(6));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OLD_WIN_VERSION));
  EXPECT_TRUE(AtLeastMajor(5));
  HostReset(root_);
  EXPECT_TRUE(AtLeastMajor(6));
  // A test the layer does not model is refused rather than answered wrongly.
  SetLastError(0);
  EXPECT_FALSE(AtLeastMajor(6, VER_MAJORVERSION | VER_MINORVERSION));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(SystemTest, ClockIsTheRealOne) {
  SYSTEMTIME utc{};
  GetSystemTime(&utc);
  std::time_t now = std::time(nullptr);
  std::tm expected{};
  gmtime_r(&now, &expected);
  EXPECT_EQ(utc.wYear, expected.tm_year + 1900);
  EXPECT_EQ(utc.wMonth, expected.tm_mon + 1);
  EXPECT_EQ(utc.wDayOfWeek, expected.tm_wday);
  EXPECT_LT(utc.wMilliseconds, 1000);
}

TEST_F(SystemTest, ClockSetByATestStaysUntilReset) {
  const SYSTEMTIME setBack{2026, 12, 2, 1, 8, 0, 0, 0};
  HostSetSystemTime(setBack);
  SYSTEMTIME utc{};
  GetSystemTime(&utc);
  EXPECT_EQ(utc.wYear, 2026);
  EXPECT_EQ(utc.wMonth, 12);
  EXPECT_EQ(utc.wDay, 1);
  EXPECT_EQ(utc.wHour, 8);
  HostReset(root_);
  GetSystemTime(&utc);
  std::time_t now = std::time(nullptr);
  std::tm expected{};
  gmtime_r(&now, &expected);
  EXPECT_EQ(utc.wYear, expected.tm_year + 1900);
}

}  // namespace
