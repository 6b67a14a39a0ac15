// SPDX-License-Identifier: Apache-2.0
// Directory searches of the host Win32 layer: FindFirstFileW, FindNextFileW and
// FindClose over a listing of the directory taken when the search starts.
#include "platform/host/file_internal.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <set>
#include <vector>

namespace {

struct Search {
  std::string directory;           // host path
  std::vector<std::string> names;  // the matching entries (UTF-8), in listing order
  size_t next = 0;
};

// The searches not yet closed: a handle is looked up here before it is used, so a
// closed or made-up one is refused without being read.
std::mutex g_searchMutex;
std::set<Search*>& g_searches = *new std::set<Search*>;

Search* AsSearch(HANDLE handle) {
  std::lock_guard<std::mutex> lock(g_searchMutex);
  auto found = g_searches.find(static_cast<Search*>(handle));
  return found != g_searches.end() ? *found : nullptr;
}

char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

// Windows' wildcards, ignoring case: '*' any run of characters, '?' any one.
bool Matches(const std::u16string& pattern, size_t p, const std::u16string& name, size_t n) {
  for (; p < pattern.size(); ++p, ++n) {
    if (pattern[p] == u'*') {
      for (size_t rest = n; rest <= name.size(); ++rest) {
        if (Matches(pattern, p + 1, name, rest)) return true;
      }
      return false;
    }
    if (n >= name.size() || (pattern[p] != u'?' && Upper(pattern[p]) != Upper(name[n]))) return false;
  }
  return n == name.size();
}

// Fills found for one entry; FALSE with ERROR_FILENAME_EXCED_RANGE for a name longer
// than cFileName holds.
bool Describe(const std::string& directory, const std::string& name, WIN32_FIND_DATAW* found) {
  std::u16string wide = hostimpl::FromUtf8(name);
  if (wide.size() >= MAX_PATH) return false;
  *found = WIN32_FIND_DATAW{};
  std::copy(wide.begin(), wide.end(), found->cFileName);
  struct stat st;
  if (lstat((directory + "/" + name).c_str(), &st) == 0) {
    found->dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    found->nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
    found->nFileSizeLow = static_cast<DWORD>(st.st_size);
  }
  return true;
}

BOOL NextMatch(Search* search, WIN32_FIND_DATAW* found) {
  while (search->next < search->names.size()) {
    if (Describe(search->directory, search->names[search->next++], found)) return TRUE;
  }
  hostimpl::SetError(ERROR_NO_MORE_FILES);
  return FALSE;
}

}  // namespace

// FindFirstFileW - the first entry of a directory whose name matches the pattern's last
// component. Windows also matches the short 8.3 names and lists "." and ".."; the host has
// neither. ERROR_FILE_NOT_FOUND when nothing matches, ERROR_PATH_NOT_FOUND for a missing
// directory.
extern "C" HANDLE WINAPI FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW found) {
  if (pattern == nullptr || found == nullptr) {
    hostimpl::SetError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::u16string text = hostimpl::ToU16(pattern);
  size_t cut = text.find_last_of(u"\\/");
  std::u16string wildcards = cut == std::u16string::npos ? text : text.substr(cut + 1);
  hostimpl::ResolvedPath dir = hostimpl::ResolvePath(cut == std::u16string::npos ? u"." : text.substr(0, cut + 1));
  if (dir.error != 0 || wildcards.empty()) {
    hostimpl::SetError(dir.error != 0 ? dir.error : ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  DIR* listing = opendir(dir.host.c_str());
  if (listing == nullptr) {
    hostimpl::SetError(errno == ENOTDIR || errno == ENOENT ? ERROR_PATH_NOT_FOUND : hostimpl::ErrnoToError(errno));
    return INVALID_HANDLE_VALUE;
  }
  auto* search = new Search;
  search->directory = dir.host;
  while (struct dirent* e = readdir(listing)) {
    std::string name = e->d_name;
    if (name != "." && name != ".." && Matches(wildcards, 0, hostimpl::FromUtf8(name), 0))
      search->names.push_back(name);
  }
  closedir(listing);
  if (!NextMatch(search, found)) {
    delete search;
    hostimpl::SetError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::lock_guard<std::mutex> lock(g_searchMutex);
  g_searches.insert(search);
  return search;
}

// FindNextFileW - the next matching entry; ERROR_NO_MORE_FILES after the last.
extern "C" BOOL WINAPI FindNextFileW(HANDLE handle, LPWIN32_FIND_DATAW found) {
  Search* search = AsSearch(handle);
  if (search == nullptr || found == nullptr) {
    hostimpl::SetError(search == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return NextMatch(search, found);
}

// FindClose - ends a search of FindFirstFileW.
extern "C" BOOL WINAPI FindClose(HANDLE handle) {
  std::unique_lock<std::mutex> lock(g_searchMutex);
  if (g_searches.erase(static_cast<Search*>(handle)) == 0) {
    lock.unlock();
    hostimpl::SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  lock.unlock();
  delete static_cast<Search*>(handle);
  return TRUE;
}
