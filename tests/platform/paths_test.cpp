// SPDX-License-Identifier: Apache-2.0
// Windows path resolution under the sandbox root: drives, UNC shares, the current
// directory, '..' clamping, trailing dots and case-insensitive lookup of existing names.
#include "tests/platform/host_test.h"

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

class PathsTest : public HostTest {
 protected:
  std::string Host(const std::string& rel) const { return root_ + "/" + rel; }
};

TEST_F(PathsTest, DrivesAndSharesMapUnderTheRoot) {
  EXPECT_EQ(HostMapPath(u"C:\\Jobs\\a.RUD"), Host("C/Jobs/a.RUD"));
  EXPECT_EQ(HostMapPath(u"d:/Jobs\\x"), Host("D/Jobs/x"));  // drive upper-cased, '/' too
  EXPECT_EQ(HostRoot(), root_);

  // A share exists when its directory does; server and share names ignore case.
  fs::create_directories(Host("UNC/srv/share"));
  EXPECT_EQ(HostMapPath(u"\\\\SRV\\Share\\x\\y"), Host("UNC/srv/share/x/y"));
  EXPECT_EQ(HostMapPath(u"//srv/share/x"), Host("UNC/srv/share/x"));
  EXPECT_EQ(HostMapPath(u"\\\\srv\\nosuch\\x"), "");
  EXPECT_EQ(HostMapPath(u"\\\\srv"), "");
  EXPECT_EQ(HostMapPath(u""), "");
}

TEST_F(PathsTest, RelativePathsFollowTheCurrentDirectory) {
  EXPECT_EQ(HostMapPath(u"a.txt"), Host("C/Windows/System32/a.txt"));
  EXPECT_EQ(HostMapPath(u"..\\a.txt"), Host("C/Windows/a.txt"));
  EXPECT_EQ(HostMapPath(u"\\a.txt"), Host("C/a.txt"));  // root of the current drive
  EXPECT_EQ(HostMapPath(u"C:a.txt"), Host("C/Windows/System32/a.txt"));

  HostSetCurrentDirectory(u"D:\\Work");
  EXPECT_TRUE(fs::is_directory(Host("D/Work")));
  EXPECT_EQ(HostMapPath(u"x"), Host("D/Work/x"));
  EXPECT_EQ(HostMapPath(u"\\x"), Host("D/x"));
  EXPECT_EQ(HostMapPath(u"C:x"), Host("C/x"));  // other drive: from its root
}

TEST_F(PathsTest, DotDotNeverClimbsAboveTheVolume) {
  EXPECT_EQ(HostMapPath(u"C:\\..\\..\\etc\\passwd"), Host("C/etc/passwd"));
  EXPECT_EQ(HostMapPath(u"C:\\a\\.\\b\\..\\..\\..\\c"), Host("C/c"));
  EXPECT_EQ(HostMapPath(u"..\\..\\..\\..\\..\\x"), Host("C/x"));
  fs::create_directories(Host("UNC/srv/share"));
  EXPECT_EQ(HostMapPath(u"\\\\srv\\share\\..\\..\\x"), Host("UNC/srv/share/x"));
}

TEST_F(PathsTest, TrailingDotsAndSpacesAreTrimmedAsWindowsDoes) {
  EXPECT_EQ(HostMapPath(u"C:\\Jobs\\a.txt. . "), Host("C/Jobs/a.txt"));
  EXPECT_EQ(HostMapPath(u"C:\\dir.\\f"), Host("C/dir/f"));
  EXPECT_EQ(HostMapPath(u"C:\\...\\f"), Host("C/.../f"));  // three dots are a name

  HANDLE file = CreateFileW(u"C:\\f.txt.", GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  EXPECT_TRUE(fs::exists(Host("C/f.txt")));
}

TEST_F(PathsTest, ExistingNamesMatchIgnoringCaseNewNamesKeepTheirs) {
  fs::create_directories(Host("C/Jobs"));
  std::ofstream(Host("C/Jobs/Archive.RUD")) << "data";
  EXPECT_EQ(HostMapPath(u"c:\\JOBS\\archive.rud"), Host("C/Jobs/Archive.RUD"));
  // Only the last name in another case, in a directory given as it exists.
  EXPECT_EQ(HostMapPath(u"C:\\Jobs\\ARCHIVE.rud"), Host("C/Jobs/Archive.RUD"));
  EXPECT_EQ(HostMapPath(u"C:\\jobs"), Host("C/Jobs"));
  EXPECT_EQ(HostMapPath(u"C:\\jobs\\NewFile.Txt"), Host("C/Jobs/NewFile.Txt"));
  EXPECT_EQ(HostMapPath(u"C:\\NEWDIR\\Sub"), Host("C/NEWDIR/Sub"));

  // Letters beyond ASCII fold too.
  fs::create_directories(Host("C/Jobs/\xC3\xA9t\xC3\xA9"));  // "été"
  EXPECT_EQ(HostMapPath(u"C:\\Jobs\\\u00C9T\u00C9"), Host("C/Jobs/\xC3\xA9t\xC3\xA9"));

  SetLastError(0xDEADBEEF);
  HANDLE file = CreateFileW(u"C:\\JOBS\\ARCHIVE.rud", GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  char buffer[8] = {};
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "data");
  CloseHandle(file);
}

TEST_F(PathsTest, NamesAreUtf8OnTheHostAndBadNamesAreRefused) {
  EXPECT_EQ(HostMapPath(u"C:\\\u6587\u66F8.RUD"), Host("C/\xE6\x96\x87\xE6\x9B\xB8.RUD"));
  std::u16string lone = u"C:\\a";
  lone.push_back(static_cast<char16_t>(0xD800));
  EXPECT_EQ(HostMapPath(lone), Host("C/a\xEF\xBF\xBD"));  // U+FFFD

  for (const char16_t* bad : {u"C:\\a?b", u"C:\\a*", u"C:\\x\\a:b", u"C:\\a|b", u"C:\\a<b>"}) {
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(CreateFileW(bad, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
  }
}

}  // namespace
