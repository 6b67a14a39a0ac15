// System information of the host layer: the Windows directory, computer and user names,
// the platform version and its VerifyVersionInfoW test, the clock, and the settings
// behind them that the control interface changes.
#include "platform/host/host_internal.h"

#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

struct Settings {
  std::u16string windowsDirectory = u"C:\\Windows";
  std::u16string computerName = u"SPOOLHOST";
  std::u16string userName = u"printadmin";
  DWORD major = 10, minor = 0, build = 19045;
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
  unsigned shift = 0;
  while (!(typeBit & 1)) {
    typeBit >>= 1;
    ++shift;
  }
  return static_cast<BYTE>((mask >> (shift * 3)) & 7);
}

// Compares an actual value with the wanted one; condition 0 or > VER_LESS_EQUAL is not a
// valid condition and fails the test.
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

// VerifyVersionInfoW - tests the platform version against info. Major, minor and service
// pack are compared as one version, most significant first (a minor without a condition
// of its own takes the major's); the build number is compared on its own. The host is
// always at service pack 0.0 and VER_PLATFORM_WIN32_NT. A failed test is FALSE with
// ERROR_OLD_WIN_VERSION; suite and product type tests are not supported.
extern "C" BOOL WINAPI VerifyVersionInfoW(LPOSVERSIONINFOEXW info, DWORD typeMask,
                                          ULONGLONG conditionMask) {
  constexpr DWORD kSupported = VER_MAJORVERSION | VER_MINORVERSION | VER_BUILDNUMBER |
                               VER_PLATFORMID | VER_SERVICEPACKMAJOR | VER_SERVICEPACKMINOR;
  if (info == nullptr || typeMask == 0 || conditionMask == 0 || (typeMask & ~kSupported)) {
#ifndef NDEBUG
    if (typeMask & ~kSupported) {
      std::fprintf(stderr, "host VerifyVersionInfoW: type mask 0x%x not supported\n", typeMask);
    }
#endif
    hostimpl::SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Settings s = Snapshot();
  bool ok = true;

  // The version, most significant part first: the first part that differs decides.
  struct Part {
    DWORD type, actual, wanted;
  };
  const Part parts[] = {{VER_MAJORVERSION, s.major, info->dwMajorVersion},
                        {VER_MINORVERSION, s.minor, info->dwMinorVersion},
                        {VER_SERVICEPACKMAJOR, 0, info->wServicePackMajor},
                        {VER_SERVICEPACKMINOR, 0, info->wServicePackMinor}};
  BYTE lastCondition = 0;
  for (const Part& part : parts) {
    if (!(typeMask & part.type)) continue;
    BYTE condition = ConditionFor(conditionMask, part.type);
    if (condition == 0) condition = lastCondition;
    if (condition == 0) {
      hostimpl::SetError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    lastCondition = condition;
    if (part.actual != part.wanted) {
      ok = Compare(part.actual, part.wanted, condition);
      break;
    }
    ok = Compare(part.actual, part.wanted, condition);
  }
  if (ok && (typeMask & VER_BUILDNUMBER)) {
    ok = Compare(s.build, info->dwBuildNumber, ConditionFor(conditionMask, VER_BUILDNUMBER));
  }
  if (ok && (typeMask & VER_PLATFORMID)) {
    ok = Compare(VER_PLATFORM_WIN32_NT, info->dwPlatformId,
                 ConditionFor(conditionMask, VER_PLATFORMID));
  }
  if (!ok) {
    hostimpl::SetError(ERROR_OLD_WIN_VERSION);
    return FALSE;
  }
  return TRUE;
}

// GetLocalTime - the real clock in the host's time zone.
extern "C" void WINAPI GetLocalTime(LPSYSTEMTIME time) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm t;
  localtime_r(&now.tv_sec, &t);
  FillTime(t, now.tv_nsec, time);
}

// Sleep - suspends the calling thread for at least the given milliseconds.
extern "C" void WINAPI Sleep(DWORD milliseconds) {
  struct timespec wait;
  wait.tv_sec = static_cast<time_t>(milliseconds / 1000);
  wait.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&wait, &wait) != 0) {
  }
}

// GetSystemTime - the real clock in UTC.
extern "C" void WINAPI GetSystemTime(LPSYSTEMTIME time) {
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

void HostSetPlatformVersion(DWORD major, DWORD minor, DWORD build) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_settings.major = major;
  g_settings.minor = minor;
  g_settings.build = build;
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
