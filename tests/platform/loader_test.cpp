// SPDX-License-Identifier: Apache-2.0
// LoadLibraryExW by full path: the directory named alone, the mapping table before it,
// injected failures; and GetProcAddress/FreeLibrary over the result.
#include "tests/platform/host_test.h"

#include <filesystem>
#include <string>

namespace {

using NameFn = const char* (*)();
constexpr DWORD kFlags = LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;

class LoaderTest : public HostTest {
 protected:
  // The "beside" build of the fixture as the host build of C:\Drivers\hostfixture.dll.
  void SetUp() override {
    HostTest::SetUp();
    std::filesystem::path drivers = HostMapPath(u"C:\\Drivers");
    std::filesystem::create_directories(drivers);
    std::filesystem::copy_file(HOST_FIXTURE_DIR "/libhostfixture.so", drivers / "libhostfixture.so");
  }
  static HMODULE Load(const char16_t* path) { return LoadLibraryExW(path, nullptr, kFlags); }
  static std::string LoadedName(HMODULE module) {
    auto fn = reinterpret_cast<NameFn>(reinterpret_cast<void*>(GetProcAddress(module, "FixtureName")));
    return fn ? fn() : std::string("<no FixtureName>");
  }
};

TEST_F(LoaderTest, FullPathIsLoadedFromItsDirectoryAlone) {
  HMODULE module = Load(u"C:\\Drivers\\HostFixture.DLL");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(LoadedName(module), "beside");
  SetLastError(0);
  EXPECT_EQ(GetProcAddress(module, "NoSuchExport"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_FALSE(FreeLibrary(module));

  SetLastError(0);
  EXPECT_EQ(Load(u"C:\\Windows\\System32\\hostfixture.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  for (const char16_t* notFull : {u"hostfixture.dll", u"Drivers\\hostfixture.dll", u""}) {
    SetLastError(0);
    EXPECT_EQ(Load(notFull), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  EXPECT_EQ(HostLibraryLookups(), (std::vector<std::u16string>{
                                      u"C:\\Drivers\\HostFixture.DLL",
                                      u"C:\\Windows\\System32\\hostfixture.dll"}));
}

TEST_F(LoaderTest, MappingWinsAndAnEmptyMappingFails) {
  HostMapLibrary(u"HOSTFIXTURE.dll", HOST_FAR_FIXTURE_DIR "/libhostfixture.so");
  HMODULE module = Load(u"C:\\Drivers\\hostfixture.dll");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(LoadedName(module), "far");
  FreeLibrary(module);

  HostMapLibrary(u"hostfixture", "");  // ".dll" is implied
  SetLastError(0);
  EXPECT_EQ(Load(u"C:\\Drivers\\hostfixture.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  HostReset(root_);  // mappings go with the reset, the installed copy stays
  module = Load(u"C:\\Drivers\\hostfixture.dll");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(LoadedName(module), "beside");
  FreeLibrary(module);
}

TEST_F(LoaderTest, InjectedFailure) {
  HostFailNth(HostOp::LoadLibrary, 1, ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(Load(u"C:\\Drivers\\hostfixture.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  HMODULE module = Load(u"C:\\Drivers\\hostfixture.dll");
  EXPECT_NE(module, nullptr);
  FreeLibrary(module);
  EXPECT_EQ(HostCallCount(HostOp::LoadLibrary), 2u);
}

}  // namespace
