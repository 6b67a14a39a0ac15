// SPDX-License-Identifier: Apache-2.0
// System information of the host layer: the Windows directory, computer and user names,
// the platform's major version and its VerifyVersionInfoW test, the clock, and the settings
// behind them that the control interface changes.
#include "platform/host/host_internal.h"

#include <time.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>

namespace {

struct Settings {
  std::u16string windowsDirectory = u"C:\\Windows";
  std::u16string computerName = u"SPOOLHOST";
  std::u16string userName = u"printadmin";
  DWORD major = 10;
  std::optional<SYSTEMTIME> clock;  // a clock a test set and stopped; none: the real one
};

std::mutex g_mutex;
Settings g_settings;
std::atomic<UINT> g_oemCodePage{437};

Settings Snapshot() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_settings;
}

// The 3-bit condition VerSetConditionMask stored for one type bit.
BYTE ConditionFor(ULONGLONG mask, DWORD typeBit) {
  return static_cast<BYTE>((mask >> (__builtin_ctz(typeBit) * 3)) & 7);
}

// Compares an actual value with the wanted one; a condition above VER_LESS_EQUAL is not
// a valid condition and fails the test (condition 0 is refused before).
bool Compare(DWORD actual, DWORD wanted, BYTE condition) {
  switch (condition) {
    case VER_EQUAL: return actual == wanted;
    case VER_GREATER: return actual > wanted;
    case VER_GREATER_EQUAL: return actual >= wanted;
    case VER_LESS: return actual < wanted;
    case VER_LESS_EQUAL: return actual <= wanted;
    default: return false;
  }
}

void FillTime(const struct tm& t, long nanoseconds, LPSYSTEMTIME time) {
  time->wYear = static_cast<WORD>(t.tm_year + 1900);
  time->wMonth = static_cast<WORD>(t.tm_mon + 1);
  time->wDayOfWeek = static_cast<WORD>(t.tm_wday);
  time->wDay = static_cast<WORD>(t.tm_mday);
  time->wHour = static_cast<WORD>(t.tm_hour);
  time->wMinute = static_cast<WORD>(t.tm_min);
  time->wSecond = static_cast<WORD>(t.tm_sec > 59 ? 59 : t.tm_sec);
  time->wMilliseconds = static_cast<WORD>(nanoseconds / 1000000);
}

}  // namespace

// GetWindowsDirectoryW - the Windows directory's length without terminator on success; a
// buffer too small gets nothing and the result is the size needed with the terminator.
extern "C" UINT WINAPI GetWindowsDirectoryW(LPWSTR buffer, UINT size) {
  Settings s = Snapshot();
  size_t length = s.windowsDirectory.size();
  if (buffer == nullptr || size <= length) return static_cast<UINT>(length + 1);
  std::memcpy(buffer, s.windowsDirectory.c_str(), (length + 1) * sizeof(WCHAR));
  return static_cast<UINT>(length);
}

// GetSystemDirectoryW - the Windows directory's System32, with the same result rules.
extern "C" UINT WINAPI GetSystemDirectoryW(LPWSTR buffer, UINT size) {
  std::u16string system = Snapshot().windowsDirectory + u"\\System32";
  size_t length = system.size();
  if (buffer == nullptr || size <= length) return static_cast<UINT>(length + 1);
  std::memcpy(buffer, system.c_str(), (length + 1) * sizeof(WCHAR));
  return static_cast<UINT>(length);
}

// GetComputerNameW - *size is in characters: on success the name's length without the
// terminator; a buffer too small fails with ERROR_BUFFER_OVERFLOW and *size is the size
// needed with the terminator.
extern "C" BOOL WINAPI GetComputerNameW(LPWSTR buffer, LPDWORD size) {
  if (size == nullptr) {
    hostimpl::SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::u16string name = Snapshot().computerName;
  if (buffer == nullptr || *size <= name.size()) {
    *size = static_cast<DWORD>(name.size() + 1);
    hostimpl::SetError(ERROR_BUFFER_OVERFLOW);
    return FALSE;
  }
  std::memcpy(buffer, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
  *size = static_cast<DWORD>(name.size());
  return TRUE;
}

// GetUserNameW - unlike GetComputerNameW, *size on success counts the terminator too, and
// a buffer too small fails with ERROR_INSUFFICIENT_BUFFER; both as on Windows.
extern "C" BOOL WINAPI GetUserNameW(LPWSTR buffer, LPDWORD size) {
  if (size == nullptr) {
    hostimpl::SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::u16string name = Snapshot().userName;
  if (buffer == nullptr || *size <= name.size()) {
    *size = static_cast<DWORD>(name.size() + 1);
    hostimpl::SetError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(buffer, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
  *size = static_cast<DWORD>(name.size() + 1);
  return TRUE;
}

// VerSetConditionMask - Windows' encoding: 3 bits of condition per type, at 3 times the
// type's bit number. One call sets one type: with several bits in typeMask only the
// highest counts, as Windows does it.
extern "C" ULONGLONG WINAPI VerSetConditionMask(ULONGLONG conditionMask, DWORD typeMask,
                                                BYTE condition) {
  typeMask &= 0xFF;  // VER_MINORVERSION .. VER_PRODUCT_TYPE
  if (typeMask == 0) return conditionMask;
  unsigned bit = 7;
  while (!(typeMask & (1U << bit))) --bit;
  return conditionMask | (static_cast<ULONGLONG>(condition & 7) << (bit * 3));
}

// VerifyVersionInfoW - the one test the product makes: the platform's major version
// against info's, with the condition VerSetConditionMask stored for it. A failed test is
// FALSE with ERROR_OLD_WIN_VERSION; any other type (minor version, build, service pack,
// platform, suite, product type) is not modelled and fails with ERROR_INVALID_PARAMETER.
extern "C" BOOL WINAPI VerifyVersionInfoW(LPOSVERSIONINFOEXW info, DWORD typeMask,
                                          ULONGLONG conditionMask) {
  BYTE condition = ConditionFor(conditionMask, VER_MAJORVERSION);
  if (info == nullptr || typeMask != VER_MAJORVERSION || condition == 0) {
    hostimpl::SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!Compare(Snapshot().major, info->dwMajorVersion, condition)) {
    hostimpl::SetError(ERROR_OLD_WIN_VERSION);
    return FALSE;
  }
  return TRUE;
}

// Sleep - suspends the calling thread for at least the given milliseconds.
extern "C" void WINAPI Sleep(DWORD milliseconds) {
  struct timespec wait;
  wait.tv_sec = static_cast<time_t>(milliseconds / 1000);
  wait.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&wait, &wait) != 0) {
  }
}

// GetSystemTime - the real clock in UTC, or the time a test set (HostSetSystemTime).
extern "C" void WINAPI GetSystemTime(LPSYSTEMTIME time) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_settings.clock) {
      *time = *g_settings.clock;
      return;
    }
  }
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm t;
  gmtime_r(&now.tv_sec, &t);
  FillTime(t, now.tv_nsec, time);
}

void HostSetWindowsDirectory(const std::u16string& path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_settings.windowsDirectory = path;
}

void HostSetComputerName(const std::u16string& name) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_settings.computerName = name;
}

void HostSetUserName(const std::u16string& name) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_settings.userName = name;
}

void HostSetOemCodePage(unsigned codePage) { g_oemCodePage.store(codePage); }

void HostSetSystemTime(const std::optional<SYSTEMTIME>& utc) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_settings.clock = utc;
}

void HostSetPlatformVersion(DWORD major) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_settings.major = major;
}

namespace hostimpl {

UINT OemCodePage() { return g_oemCodePage.load(); }

std::u16string ComputerName() { return Snapshot().computerName; }

// ResetSystem - default settings, no message boxes, no library mappings.
void ResetSystem() {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_settings = Settings{};
  }
  g_oemCodePage.store(437);
  ResetMessageBoxes();
  ResetEvents();
  ResetLibraries();
}

}  // namespace hostimpl
