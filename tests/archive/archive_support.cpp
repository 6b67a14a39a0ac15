// SPDX-License-Identifier: Apache-2.0
// Shared pieces of the archive tests, and the CreateDirectoryW recorder that the suite
// is linked with (--wrap), so the tests see every prefix the directory walk hands over.
#include "tests/archive/archive_support.h"

#include <mutex>

namespace {
std::mutex g_callsMutex;
std::vector<std::u16string> g_createdDirectoryCalls;
std::function<void(const std::u16string&)> g_beforeCreateDirectory;
}  // namespace

extern "C" BOOL WINAPI __real_CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);

extern "C" BOOL WINAPI __wrap_CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
  std::function<void(const std::u16string&)> before;
  {
    std::lock_guard<std::mutex> lock(g_callsMutex);
    g_createdDirectoryCalls.push_back(path != nullptr ? std::u16string(path) : u"<null>");
    before = g_beforeCreateDirectory;
  }
  if (before && path != nullptr) before(path);
  return __real_CreateDirectoryW(path, security);
}

namespace sgtest {

std::vector<std::u16string> WarningTexts() {
  std::vector<std::u16string> texts;
  for (const HostMessageBox& box : HostMessageBoxes()) {
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_FALSE(box.caption.has_value());
    EXPECT_EQ(box.style, static_cast<UINT>(MB_ICONWARNING));
    texts.push_back(box.text);
  }
  return texts;
}

std::vector<std::u16string> CreatedDirectoryCalls() {
  std::lock_guard<std::mutex> lock(g_callsMutex);
  return g_createdDirectoryCalls;
}

void ClearCreatedDirectoryCalls() {
  std::lock_guard<std::mutex> lock(g_callsMutex);
  g_createdDirectoryCalls.clear();
}

void SetBeforeCreateDirectory(std::function<void(const std::u16string&)> action) {
  std::lock_guard<std::mutex> lock(g_callsMutex);
  g_beforeCreateDirectory = std::move(action);
}

std::optional<std::u16string> ChoosePath(std::u16string_view directory,
                                         std::u16string_view fileName,
                                         std::u16string_view documentName) {
  ArchiveLocationRecord location;
  SetText(location.directory, directory);
  SetText(location.fileName, fileName);
  SetText(location.documentName, documentName);
  WCHAR* path = ChooseArchivePath(location.directory, location.fileName, location.documentName);
  if (path == nullptr) return std::nullopt;
  std::u16string chosen(path);
  GlobalFree(path);
  return chosen;
}

}  // namespace sgtest
