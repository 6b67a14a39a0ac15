// LoadLibraryW's search order: mappings, the caller's directory, the configured search
// path, SPOOLGATE_LIBRARY_PATH; and GetProcAddress/FreeLibrary over the result.
#include "tests/platform/host_test.h"

#include <cstdlib>
#include <string>

namespace {

using NameFn = const char* (*)();

class LoaderTest : public HostTest {
 protected:
  void TearDown() override {
    unsetenv("SPOOLGATE_LIBRARY_PATH");
    HostTest::TearDown();
  }
  static std::string LoadedName(HMODULE module) {
    auto fn = reinterpret_cast<NameFn>(reinterpret_cast<void*>(GetProcAddress(module, "FixtureName")));
    return fn ? fn() : std::string("<no FixtureName>");
  }
};

TEST_F(LoaderTest, BareNameFoundBesideTheCaller) {
  HMODULE module = LoadLibraryW(u"HostFixture.DLL");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(LoadedName(module), "beside");
  SetLastError(0);
  EXPECT_EQ(GetProcAddress(module, "NoSuchExport"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_FALSE(FreeLibrary(module));
}

TEST_F(LoaderTest, SearchPathThenEnvironment) {
  SetLastError(0);
  EXPECT_EQ(LoadLibraryW(u"farfixture.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  HostSetLibrarySearchPath({"/nonexistent", HOST_FAR_FIXTURE_DIR});
  HMODULE module = LoadLibraryW(u"farfixture.dll");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(LoadedName(module), "far-only");
  FreeLibrary(module);

  HostSetLibrarySearchPath({});
  setenv("SPOOLGATE_LIBRARY_PATH", "/nonexistent:" HOST_FAR_FIXTURE_DIR, 1);
  module = LoadLibraryW(u"farfixture");  // ".dll" is implied
  ASSERT_NE(module, nullptr);
  FreeLibrary(module);
}

TEST_F(LoaderTest, CallersDirectoryComesBeforeTheSearchPath) {
  // A library of the same name in both places: the one beside the caller wins.
  HostSetLibrarySearchPath({HOST_FAR_FIXTURE_DIR});
  HMODULE module = LoadLibraryW(u"hostfixture.dll");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(LoadedName(module), "beside");
  FreeLibrary(module);
}

TEST_F(LoaderTest, MappingWinsAndAnEmptyMappingFails) {
  HostMapLibrary(u"HOSTFIXTURE.dll", HOST_FAR_FIXTURE_DIR "/libhostfixture.so");
  HMODULE module = LoadLibraryW(u"hostfixture.dll");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(LoadedName(module), "far");
  FreeLibrary(module);

  HostMapLibrary(u"hostfixture.dll", "");
  SetLastError(0);
  EXPECT_EQ(LoadLibraryW(u"hostfixture.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  HostReset(root_);  // mappings go with the reset
  module = LoadLibraryW(u"hostfixture.dll");
  EXPECT_NE(module, nullptr);
  FreeLibrary(module);
}

TEST_F(LoaderTest, InjectedFailure) {
  HostFailNth(HostOp::LoadLibrary, 1, ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(LoadLibraryW(u"hostfixture.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  HMODULE module = LoadLibraryW(u"hostfixture.dll");
  EXPECT_NE(module, nullptr);
  FreeLibrary(module);
  EXPECT_EQ(HostCallCount(HostOp::LoadLibrary), 2u);
}

}  // namespace
