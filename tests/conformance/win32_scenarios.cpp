// SPDX-License-Identifier: Apache-2.0
// The Win32 behaviour the product relies on, probed directly: error codes, dispositions,
// share modes, registry sizes, code pages and library loading. On the host these calls
// reach our host layer, under Wine the real API, so a difference fails here first.
#include "tests/conformance/conformance.h"

using namespace sgconf;
using namespace sgtest;

namespace {

class Win32 : public ConformanceTest {
 protected:
  HANDLE Open(const std::u16string& path, DWORD access, DWORD share, DWORD disposition) {
    SetLastError(0xDEADBEEF);
    return CreateFileW(W(path), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  DWORD CreateDirectoryError(const std::u16string& path) {
    SetLastError(0xDEADBEEF);
    return CreateDirectoryW(W(path), nullptr) ? ERROR_SUCCESS : GetLastError();
  }

  const DWORD rw_ = GENERIC_READ | GENERIC_WRITE;
};

TEST_F(Win32, CreateFileReportsMissingFilesAndPathsApart) {
  EXPECT_EQ(Open(Path(u"missing.RUD"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
  EXPECT_EQ(Open(Path(u"no\\such\\dir.RUD"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_PATH_NOT_FOUND});
  EXPECT_EQ(Open(Path(u"no\\a.RUD"), rw_, FILE_SHARE_READ, OPEN_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_PATH_NOT_FOUND});
}

TEST_F(Win32, OpenAlwaysKeepsTheContentAndCreateAlwaysEmptiesIt) {
  HANDLE fresh = Open(Path(u"a.bin"), rw_, FILE_SHARE_READ, OPEN_ALWAYS);
  ASSERT_NE(fresh, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_SUCCESS});
  CloseHandle(fresh);
  WriteWindowsFile(Path(u"a.bin"), Data("0123456789"));

  HANDLE existing = Open(Path(u"a.bin"), rw_, FILE_SHARE_READ, OPEN_ALWAYS);
  ASSERT_NE(existing, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_ALREADY_EXISTS});
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(existing, "ab", 2, &written, nullptr));
  EXPECT_EQ(SetFilePointer(existing, 8, nullptr, FILE_BEGIN), 8u);
  char tail[8] = {};
  DWORD read = 99;
  EXPECT_TRUE(ReadFile(existing, tail, sizeof tail, &read, nullptr));
  EXPECT_EQ(read, 2u);
  EXPECT_TRUE(ReadFile(existing, tail, sizeof tail, &read, nullptr));
  EXPECT_EQ(read, 0u) << "the end of the file reads as success with 0 bytes";
  CloseHandle(existing);
  EXPECT_EQ(ReadWindowsFile(Path(u"a.bin")), Data("ab23456789"));

  HANDLE replaced = Open(Path(u"a.bin"), GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(replaced, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_ALREADY_EXISTS});
  CloseHandle(replaced);
  EXPECT_EQ(ReadWindowsFile(Path(u"a.bin")), Bytes{});
}

TEST_F(Win32, ShareModesDecideWhoElseMayOpenAFile) {
  WriteWindowsFile(Path(u"s.bin"), Data("x"));
  // An archive file as the plug-in holds it: read and write, others may only read.
  HANDLE archive = Open(Path(u"s.bin"), rw_, FILE_SHARE_READ, OPEN_ALWAYS);
  ASSERT_NE(archive, INVALID_HANDLE_VALUE);
  // The existence test (read, letting others only read) conflicts with its write access.
  EXPECT_EQ(Open(Path(u"s.bin"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_SHARING_VIOLATION});
  HANDLE reader = Open(Path(u"s.bin"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE);
  CloseHandle(reader);
  EXPECT_EQ(Open(Path(u"s.bin"), rw_, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_SHARING_VIOLATION});
  CloseHandle(archive);

  // An overlay as the plug-in reads or records it: no sharing at all.
  HANDLE overlay = Open(Path(u"s.bin"), GENERIC_READ, 0, OPEN_EXISTING);
  ASSERT_NE(overlay, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(Path(u"s.bin"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_SHARING_VIOLATION});
  EXPECT_EQ(Open(Path(u"s.bin"), GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_SHARING_VIOLATION});
  CloseHandle(overlay);
}

TEST_F(Win32, InvalidHandleFailsFileCalls) {
  DWORD written = 7;
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(WriteFile(INVALID_HANDLE_VALUE, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
}

TEST_F(Win32, CreateDirectoryErrorsThatTheArchiveWalkMeets) {
  // The walk tolerates ERROR_ALREADY_EXISTS and ERROR_ACCESS_DENIED on the way.
  DWORD drive = CreateDirectoryError(u"C:");
  EXPECT_TRUE(drive == ERROR_ALREADY_EXISTS || drive == ERROR_ACCESS_DENIED) << drive;
  std::printf("CreateDirectoryW(\"C:\") fails with %lu\n", static_cast<unsigned long>(drive));
  EXPECT_EQ(CreateDirectoryError(u""), DWORD{ERROR_PATH_NOT_FOUND});
  EXPECT_EQ(CreateDirectoryError(Path(u"")), DWORD{ERROR_ALREADY_EXISTS});
  EXPECT_EQ(CreateDirectoryError(Path(u"") + u"\\"), DWORD{ERROR_ALREADY_EXISTS});
  EXPECT_EQ(CreateDirectoryError(Path(u"a\\b")), DWORD{ERROR_PATH_NOT_FOUND});
  EXPECT_EQ(CreateDirectoryError(Path(u"a\\")), DWORD{ERROR_SUCCESS});
  EXPECT_TRUE(WindowsDirectoryExists(Path(u"a")));
  EXPECT_EQ(CreateDirectoryError(Path(u"a")), DWORD{ERROR_ALREADY_EXISTS});
  WriteWindowsFile(Path(u"f"), Data("file"));
  EXPECT_EQ(CreateDirectoryError(Path(u"f")), DWORD{ERROR_ALREADY_EXISTS});
}

TEST_F(Win32, RegistryReadsAreBoundedByTheGivenSize) {
  const std::u16string key = u"SOFTWARE\\TALVOK\\PrintLog";
  HKEY opened = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(key), 0, KEY_READ, &opened), ERROR_FILE_NOT_FOUND);
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, W(key), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &opened, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, DWORD{REG_CREATED_NEW_KEY});
  std::u16string fits(129, u'd'), tooLong(130, u'd');
  Bytes fitsBytes = Utf16Bytes(fits, true), longBytes = Utf16Bytes(tooLong, true);
  ASSERT_EQ(RegSetValueExW(opened, W(u"Fits"), 0, REG_SZ, fitsBytes.data(), 260), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(opened, W(u"Long"), 0, REG_SZ, longBytes.data(), 262), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(opened, W(u"Text"), 0, REG_SZ, Utf16Bytes(u"12345", true).data(), 12),
            ERROR_SUCCESS);
  uint8_t four[4] = {1, 2, 3, 4};
  ASSERT_EQ(RegSetValueExW(opened, W(u"Binary"), 0, REG_BINARY, four, 4), ERROR_SUCCESS);

  uint8_t buffer[520];
  DWORD type = 0, size = 260;
  memset(buffer, 0xCC, sizeof buffer);
  EXPECT_EQ(RegQueryValueExW(opened, W(u"Fits"), nullptr, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 260u);
  EXPECT_EQ(type, DWORD{REG_SZ});
  EXPECT_EQ(Bytes(buffer, buffer + 260), fitsBytes);
  size = 260;
  EXPECT_EQ(RegQueryValueExW(opened, W(u"Long"), nullptr, &type, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 262u) << "a read that does not fit reports the size it needs";
  size = 4;
  EXPECT_EQ(RegQueryValueExW(opened, W(u"Text"), nullptr, &type, buffer, &size), ERROR_MORE_DATA);
  size = 4;
  EXPECT_EQ(RegQueryValueExW(opened, W(u"Binary"), nullptr, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, DWORD{REG_BINARY});
  EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{1, 2, 3, 4}));
  size = 4;
  EXPECT_EQ(RegQueryValueExW(opened, W(u"Missing"), nullptr, &type, buffer, &size),
            ERROR_FILE_NOT_FOUND);
  RegCloseKey(opened);
  EXPECT_EQ(ReadRegistryValue(key, u"Text")->data, Utf16Bytes(u"12345", true));
}

TEST_F(Win32, OemConversionAndNumberFormatting) {
  char oem[32];
  memset(oem, 0x55, sizeof oem);
  std::u16string text = u"Aé ß¥フ";
  EXPECT_EQ(WideCharToMultiByte(CP_OEMCP, 0, W(text), -1, oem, sizeof oem, nullptr, nullptr), 7);
  // Code page 437 has é, ß and ¥; the katakana becomes '?'.
  EXPECT_EQ(std::string(oem), std::string("A\x82 \xE1\x9D?"));
  WCHAR number[16];
  EXPECT_EQ(wsprintfW(number, W(u"%02d"), 7), 2);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(number)), u"07");
  wsprintfW(number, W(u"%02d"), 99);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(number)), u"99");
}

TEST_F(Win32, SystemNamesReportTheSizeTheyNeed) {
  WCHAR name[256];
  DWORD size = 16;
  ASSERT_TRUE(GetComputerNameW(name, &size));
  std::u16string computer(reinterpret_cast<const char16_t*>(name));
  EXPECT_EQ(size, computer.size());
  size = 1;
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(GetComputerNameW(name, &size));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_BUFFER_OVERFLOW});
  EXPECT_EQ(size, computer.size() + 1);

  size = 256;
  ASSERT_TRUE(GetUserNameW(name, &size));
  std::u16string user(reinterpret_cast<const char16_t*>(name));
  EXPECT_EQ(size, user.size() + 1) << "GetUserNameW counts the terminator";
  size = 1;
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(GetUserNameW(name, &size));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
  EXPECT_EQ(size, user.size() + 1);

  std::u16string windows = WindowsDirectory();
  EXPECT_EQ(windows.size(), 10u);
  EXPECT_EQ(windows.substr(0, 3), u"C:\\");

  OSVERSIONINFOEXW version;
  memset(&version, 0, sizeof version);
  version.dwOSVersionInfoSize = sizeof version;
  version.dwMajorVersion = 6;
  ULONGLONG mask = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
  EXPECT_TRUE(VerifyVersionInfoW(&version, VER_MAJORVERSION, mask));
}

TEST_F(Win32, LoggingLibraryIsLoadedByItsFullPathBesideThePlugin) {
  const DWORD flags = LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;
  HMODULE library = LoadLibraryExW(W(PluginDirectory() + u"\\ruzoravu64.dll"), nullptr, flags);
  ASSERT_NE(library, nullptr);
  EXPECT_NE(GetProcAddress(library, "QenDrvLogInitializeInfo"), nullptr);
  EXPECT_NE(GetProcAddress(library, "QenDrvLogWriteRecord"), nullptr);
  EXPECT_NE(GetProcAddress(library, "QenDrvLogFormatRecord"), nullptr);
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(GetProcAddress(library, "QenDrvLogNothing"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_PROC_NOT_FOUND});
  EXPECT_TRUE(FreeLibrary(library));
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(LoadLibraryExW(W(PluginDirectory() + u"\\no-such-library.dll"), nullptr, flags),
            nullptr);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_MOD_NOT_FOUND});
  // Loading the library's imports from its own directory needs a full path.
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(LoadLibraryExW(W(u"ruzoravu64.dll"), nullptr, flags), nullptr);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
}

TEST_F(Win32, PathsAreCaseInsensitiveAndLoseTrailingDotsAndSpaces) {
  WriteWindowsFile(Path(u"Report.RUD"), Data("r"));
  HANDLE file = Open(Path(u"REPORT.rud"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  // A path component's trailing dots and spaces are dropped, and '/' separates too.
  EXPECT_EQ(CreateDirectoryError(Path(u"dot.")), DWORD{ERROR_SUCCESS});
  EXPECT_TRUE(WindowsDirectoryExists(Path(u"dot")));
  EXPECT_EQ(CreateDirectoryError(Path(u"space ")), DWORD{ERROR_SUCCESS});
  EXPECT_TRUE(WindowsDirectoryExists(Path(u"space")));
  file = Open(Path(u"dot/x.bin"), GENERIC_WRITE, 0, CREATE_ALWAYS);
  EXPECT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  EXPECT_TRUE(ReadWindowsFile(Path(u"dot\\x.bin")));
  EXPECT_EQ(ListWindowsDirectory(Path(u"")),
            (std::vector<std::u16string>{u"Report.RUD", u"dot", u"space"}));
}

}  // namespace
