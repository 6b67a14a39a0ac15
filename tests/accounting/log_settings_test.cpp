// SPDX-License-Identifier: Apache-2.0
// The accounting log's registry settings: read as an administrator left them, or
// written back with their defaults when missing.
#include "tests/accounting/accounting_fixture.h"

#include "accounting/log_settings.h"

namespace sgtest {
namespace {

class LogSettingsTest : public AccountingTest {
 protected:
  // Calls ReadLogSettings with outputs preset to something it must overwrite or keep.
  void Read() {
    std::memset(directory_, 0, sizeof(directory_));
    std::memcpy(directory_, "preset", 7);
    std::memset(directory_ + 7, 0xCC, sizeof(directory_) - 7 - 4);  // guard stays 0
    maxSize_ = 77;
    ReadLogSettings(directory_, &maxSize_);
    EXPECT_EQ(std::string(directory_ + 260, 4), std::string(4, '\0')) << "overflow";
  }
  std::string Directory() const { return std::string(directory_); }

  char directory_[260 + 4];
  DWORD maxSize_ = 0;
};

TEST_F(LogSettingsTest, MissingKeyIsCreatedWithBothDefaults) {
  Read();
  EXPECT_EQ(Directory(), "C:\\Windows\\temp\\PrintLog");
  EXPECT_EQ(maxSize_, 64u);
  std::optional<HostRegistryValue> directory = Setting(u"LogFileDirectory");
  ASSERT_TRUE(directory.has_value());
  EXPECT_EQ(directory->type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(directory->data, Utf16Bytes(u"C:\\Windows\\temp\\PrintLog"));  // with terminator
  std::optional<HostRegistryValue> maxSize = Setting(u"MaxLogFileSize");
  ASSERT_TRUE(maxSize.has_value());
  EXPECT_EQ(maxSize->type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(maxSize->data, DwordBytes(64));
}

TEST_F(LogSettingsTest, ValuesPresentAreReadAndLeftAlone) {
  // Types other than the defaults' show that nothing was written back.
  HostRegistrySetValue(kSettingsKey, u"LogFileDirectory", REG_EXPAND_SZ,
                       Utf16Bytes(u"%SystemRoot%\\Caf\u00e9"));
  HostRegistrySetValue(kSettingsKey, u"MaxLogFileSize", REG_BINARY, DwordBytes(4096));
  Read();
  EXPECT_EQ(Directory(), "%SystemRoot%\\Caf\x82");  // unexpanded, OEM code page 437
  EXPECT_EQ(maxSize_, 4096u);
  EXPECT_EQ(Setting(u"LogFileDirectory")->type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(Setting(u"MaxLogFileSize")->type, static_cast<DWORD>(REG_BINARY));
}

TEST_F(LogSettingsTest, DirectoryIsReadUpTo129Characters) {
  std::u16string dir129 = u"D:\\" + std::u16string(126, u'L');
  HostRegistrySetValue(kSettingsKey, u"LogFileDirectory", REG_SZ, Utf16Bytes(dir129));
  Read();
  EXPECT_EQ(Directory(), std::string(dir129.begin(), dir129.end()));

  std::u16string dir130 = dir129 + u"X";
  HostRegistrySetValue(kSettingsKey, u"LogFileDirectory", REG_SZ, Utf16Bytes(dir130));
  Read();
  EXPECT_EQ(Directory(), "C:\\Windows\\temp\\PrintLog");
  EXPECT_EQ(Setting(u"LogFileDirectory")->data, Utf16Bytes(u"C:\\Windows\\temp\\PrintLog"));
}

TEST_F(LogSettingsTest, MaxSizeStoredAsLongerTextIsReplaced) {
  HostRegistrySetValue(kSettingsKey, u"MaxLogFileSize", REG_SZ, Utf16Bytes(u"1234"));
  Read();
  EXPECT_EQ(maxSize_, 64u);
  EXPECT_EQ(Setting(u"MaxLogFileSize")->type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(Setting(u"MaxLogFileSize")->data, DwordBytes(64));

  // Shorter than 4 bytes: its bytes, and zeros rather than what the variable held.
  HostRegistrySetValue(kSettingsKey, u"MaxLogFileSize", REG_BINARY, Bytes{0x10, 0x01});
  Read();
  EXPECT_EQ(maxSize_, 0x110u);
}

TEST_F(LogSettingsTest, DefaultIsComposedOnlyWhenItFits) {
  // 245 characters and "\temp\PrintLog" make 259: the longest default there is.
  std::u16string windows245 = u"C:\\" + std::u16string(242, u'W');
  HostSetWindowsDirectory(windows245);
  Read();
  std::u16string composed = windows245 + u"\\temp\\PrintLog";
  EXPECT_EQ(Directory(), std::string(composed.begin(), composed.end()));
  EXPECT_EQ(Setting(u"LogFileDirectory")->data, Utf16Bytes(composed));

  // 246 would need a cut default: none is stored and the output is kept, while the
  // maximum size is still handled.
  HostRegistryDeleteKey(kSettingsKey);
  HostSetWindowsDirectory(windows245 + u"W");
  Read();
  EXPECT_EQ(Directory(), "preset");
  EXPECT_FALSE(Setting(u"LogFileDirectory").has_value());
  EXPECT_EQ(maxSize_, 64u);
  EXPECT_TRUE(Setting(u"MaxLogFileSize").has_value());
}

TEST_F(LogSettingsTest, DefaultWhoseOemFormDoesNotFitIsNotCut) {
  HostSetOemCodePage(932);
  // 3 + 2 x 121 + 14 = 259 bytes: fits with its terminator.
  HostSetWindowsDirectory(u"C:\\" + std::u16string(121, u'\u30a2'));
  Read();
  EXPECT_EQ(Directory().size(), 259u);

  // 3 + 2 x 122 + 14 = 261 bytes: stored as UTF-16, but no cut path goes out.
  HostRegistryDeleteKey(kSettingsKey);
  std::u16string windows = u"C:\\" + std::u16string(122, u'\u30a2');
  HostSetWindowsDirectory(windows);
  Read();
  EXPECT_EQ(Directory(), "preset");
  EXPECT_EQ(Setting(u"LogFileDirectory")->data, Utf16Bytes(windows + u"\\temp\\PrintLog"));
}

TEST_F(LogSettingsTest, KeyThatCannotBeOpenedLeavesBothOutputs) {
  HostFailNth(HostOp::Registry, 1, ERROR_ACCESS_DENIED);
  Read();
  EXPECT_EQ(Directory(), "preset");
  EXPECT_EQ(maxSize_, 77u);
  EXPECT_FALSE(HostRegistryKeyExists(kSettingsKey));
}

}  // namespace
}  // namespace sgtest
