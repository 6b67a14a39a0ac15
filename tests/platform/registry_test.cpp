// SPDX-License-Identifier: Apache-2.0
// The host registry against Windows' rules: key creation and lookup, value sizes and
// types, ERROR_MORE_DATA probes, handles, fault injection and the control interface.
#include "platform/host/host_tools.h"
#include "tests/platform/host_test.h"

#include <cstring>
#include <vector>

namespace {

const char16_t kLogKey[] = u"SOFTWARE\\TALVOK\\PrintLog";

std::vector<uint8_t> Utf16Bytes(const std::u16string& text, bool withTerminator) {
  std::vector<uint8_t> bytes((text.size() + (withTerminator ? 1 : 0)) * 2, 0);
  std::memcpy(bytes.data(), text.data(), text.size() * 2);
  return bytes;
}

class RegistryTest : public HostTest {
 protected:
  HKEY Create(const char16_t* path, DWORD* disposition = nullptr, REGSAM access = KEY_ALL_ACCESS) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              access, nullptr, &key, disposition),
              ERROR_SUCCESS);
    return key;
  }
};

TEST_F(RegistryTest, CreateMakesIntermediateKeysAndReportsDisposition) {
  DWORD disposition = 0xdeadbeef;
  HKEY key = Create(kLogKey, &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  EXPECT_TRUE(HostRegistryKeyExists(u"software\\talvok"));
  EXPECT_EQ(HostOpenHandleCount(), 1u);

  HKEY again = Create(u"Software\\Talvok\\PRINTLOG", &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  EXPECT_EQ(HostOpenHandleCount(), 2u);

  // A value written through one handle is read through the other: same key.
  DWORD size = 64;
  ASSERT_EQ(RegSetValueExW(key, u"MaxLogFileSize", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&size), 4),
            ERROR_SUCCESS);
  DWORD read = 0, readSize = 4, type = 0;
  EXPECT_EQ(RegQueryValueExW(again, u"maxlogfilesize", nullptr, &type,
                             reinterpret_cast<LPBYTE>(&read), &readSize),
            ERROR_SUCCESS);
  EXPECT_EQ(read, 64u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));

  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);
  EXPECT_EQ(HostOpenHandleCount(), 0u);
}

TEST_F(RegistryTest, OpenOfMissingKeyIsFileNotFound) {
  HKEY key = reinterpret_cast<HKEY>(0x1234);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLogKey, 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(HostOpenHandleCount(), 0u);
  HostRegistrySetValue(kLogKey, u"LogFileDirectory", REG_SZ, Utf16Bytes(u"C:\\Logs", true));
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"software\\TALVOK\\printlog", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

// Probes a 16-byte REG_SZ value (7 characters and terminator) at size-1, size, size+1
// into buffers preset with 0xCC.
TEST_F(RegistryTest, QueryBufferProbesAroundTheValueSize) {
  const std::vector<uint8_t> stored = Utf16Bytes(u"C:\\Logs", true);
  const DWORD needed = static_cast<DWORD>(stored.size());
  HostRegistrySetValue(kLogKey, u"LogFileDirectory", REG_SZ, stored);
  HKEY key = Create(kLogKey);

  for (DWORD given : {needed - 1, needed, needed + 1}) {
    SCOPED_TRACE(given);
    std::vector<uint8_t> buffer(needed + 8, 0xCC);
    DWORD size = given, type = 0xdeadbeef;
    LSTATUS status = RegQueryValueExW(key, u"LogFileDirectory", nullptr, &type, buffer.data(), &size);
    EXPECT_EQ(size, needed);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    if (given < needed) {
      EXPECT_EQ(status, ERROR_MORE_DATA);
      EXPECT_EQ(buffer, std::vector<uint8_t>(needed + 8, 0xCC));
    } else {
      EXPECT_EQ(status, ERROR_SUCCESS);
      EXPECT_TRUE(std::equal(stored.begin(), stored.end(), buffer.begin()));
      EXPECT_EQ(buffer[needed], 0xCC);  // nothing beyond the value is written
    }
  }
  RegCloseKey(key);
}

TEST_F(RegistryTest, SizeQueryAndExistenceQueryWithoutBuffer) {
  HostRegistrySetValue(kLogKey, u"LogFileDirectory", REG_EXPAND_SZ,
                       Utf16Bytes(u"%SystemRoot%\\Logs", true));
  HKEY key = Create(kLogKey);
  DWORD size = 0, type = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"LogFileDirectory", nullptr, &type, nullptr, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 36u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(RegQueryValueExW(key, u"LogFileDirectory", nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  // A buffer without a size is refused.
  BYTE buffer[64];
  EXPECT_EQ(RegQueryValueExW(key, u"LogFileDirectory", nullptr, nullptr, buffer, nullptr),
            ERROR_INVALID_PARAMETER);
  RegCloseKey(key);
}

TEST_F(RegistryTest, StringStoredWithoutTerminatorComesBackWithoutOne) {
  HKEY key = Create(kLogKey);
  const std::vector<uint8_t> bare = Utf16Bytes(u"D:\\L", false);
  ASSERT_EQ(RegSetValueExW(key, u"LogFileDirectory", 0, REG_SZ, bare.data(), 8), ERROR_SUCCESS);
  std::vector<uint8_t> buffer(16, 0xCC);
  DWORD size = 16;
  EXPECT_EQ(RegQueryValueExW(key, u"LogFileDirectory", nullptr, nullptr, buffer.data(), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(buffer[8], 0xCC);
  EXPECT_EQ(buffer[9], 0xCC);
  auto value = HostRegistryGetValue(kLogKey, u"logfiledirectory");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->data, bare);
  RegCloseKey(key);
}

TEST_F(RegistryTest, MissingValueLeavesOutputsAlone) {
  HKEY key = Create(kLogKey);
  DWORD type = 0xdeadbeef, size = 4, data = 0xCCCCCCCC;
  EXPECT_EQ(RegQueryValueExW(key, u"MaxLogFileSize", nullptr, &type,
                             reinterpret_cast<LPBYTE>(&data), &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(data, 0xCCCCCCCCu);
  EXPECT_EQ(type, 0xdeadbeefu);
  RegCloseKey(key);
}

TEST_F(RegistryTest, BadHandlesAndRights) {
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(reinterpret_cast<HKEY>(0x40), u"x", nullptr, nullptr, nullptr, &size),
            ERROR_INVALID_HANDLE);
  HKEY key = Create(kLogKey);
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegQueryValueExW(key, u"x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);

  // A key opened for reading can't be written, as on Windows.
  HKEY reader = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLogKey, 0, KEY_READ, &reader), ERROR_SUCCESS);
  DWORD value = 1;
  EXPECT_EQ(RegSetValueExW(reader, u"MaxLogFileSize", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&value), 4),
            ERROR_ACCESS_DENIED);
  RegCloseKey(reader);
}

TEST_F(RegistryTest, DeletedKeyFailsThroughItsOpenHandle) {
  HKEY key = Create(kLogKey);
  HostRegistryDeleteKey(u"Software\\Talvok");
  EXPECT_FALSE(HostRegistryKeyExists(kLogKey));
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"x", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, NthRegistryCallFails) {
  HostFailNth(HostOp::Registry, 2, ERROR_ACCESS_DENIED);
  HKEY key = Create(kLogKey);
  DWORD value = 64;
  EXPECT_EQ(RegSetValueExW(key, u"MaxLogFileSize", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&value), 4),
            ERROR_ACCESS_DENIED);
  EXPECT_FALSE(HostRegistryGetValue(kLogKey, u"MaxLogFileSize").has_value());
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(HostCallCount(HostOp::Registry), 3u);
}

TEST_F(RegistryTest, ExportImportRoundTrip) {
  HostRegistrySetValue(kLogKey, u"LogFileDirectory", REG_SZ, Utf16Bytes(u"C:\\Logs", true));
  HostRegistrySetValue(kLogKey, u"Odd\tName%", REG_BINARY, {0x00, 0xFF, 0x0A});
  HostRegistrySetValue(kLogKey, u"", REG_DWORD, {1, 0, 0, 0});
  HKEY empty = Create(u"SOFTWARE\\Empty\\Leaf");
  RegCloseKey(empty);
  std::string text = HostRegistryExport();

  HostReset(root_);
  EXPECT_FALSE(HostRegistryKeyExists(kLogKey));
  ASSERT_TRUE(HostRegistryImport(text));
  EXPECT_EQ(HostRegistryExport(), text);
  auto odd = HostRegistryGetValue(kLogKey, u"ODD\tNAME%");
  ASSERT_TRUE(odd.has_value());
  EXPECT_EQ(odd->type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(odd->data, (std::vector<uint8_t>{0x00, 0xFF, 0x0A}));
  EXPECT_TRUE(HostRegistryKeyExists(u"SOFTWARE\\Empty\\Leaf"));
}

TEST_F(RegistryTest, MalformedImportChangesNothing) {
  EXPECT_FALSE(HostRegistryImport("SOFTWARE\\A\tv\t4\t01000000\nSOFTWARE\\B\tv\tx\t00\n"));
  EXPECT_FALSE(HostRegistryKeyExists(u"SOFTWARE\\A"));
  EXPECT_FALSE(HostRegistryImport("SOFTWARE\\A\tv\t4\t0\n"));  // odd hex
  EXPECT_FALSE(HostRegistryImport("SOFTWARE\\A%4\tv\t4\t00\n"));  // cut escape
}

}  // namespace
