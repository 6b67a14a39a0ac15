// Library loading of the host layer: LoadLibraryW finds the host build of a DLL named by
// its bare name (the search order is in docs/host-layer.md) and loads it with dlopen.
#include "platform/host/call_record.h"
#include "platform/host/host_internal.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

std::mutex g_mutex;
std::map<std::u16string, std::string> g_mappings;  // by folded DLL name
std::vector<std::string> g_searchPath;
std::map<void*, int> g_loaded;  // dlopen handles handed out, with their load counts

std::u16string FoldAscii(std::u16string s) {
  for (char16_t& c : s) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  }
  return s;
}

// "x" and "x.dll" name the same module, as LoadLibraryW appends ".dll" to a name without
// an extension.
std::u16string DllKey(const std::u16string& name) {
  std::u16string key = FoldAscii(name);
  if (key.find(u'.') == std::u16string::npos) key += u".dll";
  return key;
}

bool EndsWithDll(const std::u16string& folded) {
  return folded.size() > 4 && folded.compare(folded.size() - 4, 4, u".dll") == 0;
}

bool IsBareName(const std::u16string& name) {
  return name.find_first_of(u"\\/:") == std::u16string::npos;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// The directory of the module that holds address; the main program's path comes from
// /proc when dladdr gives no usable name for it.
std::string ModuleDirectory(void* address) {
  Dl_info info{};
  std::string file;
  if (address != nullptr && dladdr(address, &info) != 0 && info.dli_fname != nullptr) {
    file = info.dli_fname;
  }
  char resolved[PATH_MAX];
  if (!file.empty() && realpath(file.c_str(), resolved) != nullptr) return DirectoryOf(resolved);
  ssize_t n = readlink("/proc/self/exe", resolved, sizeof resolved - 1);
  if (n <= 0) return std::string();
  resolved[n] = 0;
  return DirectoryOf(resolved);
}

std::vector<std::string> SplitColons(const char* text) {
  std::vector<std::string> parts;
  if (text == nullptr) return parts;
  std::string all(text);
  size_t start = 0;
  for (;;) {
    size_t colon = all.find(':', start);
    std::string part = all.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    if (!part.empty()) parts.push_back(part);
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return parts;
}

// Host file names a DLL name stands for: lib<x>.so and <x>.so, the name as given first and
// then in lower case, since Windows finds "RUZORAVU64.DLL" whatever its case on disk.
std::vector<std::string> HostFileNames(const std::u16string& name) {
  std::u16string base = name;
  if (EndsWithDll(FoldAscii(base))) base.resize(base.size() - 4);
  std::vector<std::string> names;
  for (const std::u16string& variant : {base, FoldAscii(base)}) {
    std::string utf8 = hostimpl::ToUtf8(variant);
    for (const std::string& candidate : {"lib" + utf8 + ".so", utf8 + ".so"}) {
      bool seen = false;
      for (const std::string& n : names) seen = seen || n == candidate;
      if (!seen) names.push_back(candidate);
    }
  }
  return names;
}

void* Open(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#ifndef NDEBUG
  if (handle == nullptr) std::fprintf(stderr, "host LoadLibraryW: %s\n", dlerror());
#endif
  return handle;
}

// Loads the first candidate that exists in the directories, in order.
void* SearchAndOpen(const std::vector<std::string>& directories,
                    const std::vector<std::string>& fileNames) {
  for (const std::string& dir : directories) {
    if (dir.empty()) continue;
    for (const std::string& file : fileNames) {
      std::string path = dir + "/" + file;
      if (access(path.c_str(), F_OK) == 0) return Open(path);
    }
  }
  return nullptr;
}

}  // namespace

// LoadLibraryW - a bare "name.dll" is looked up, in this order: the HostMapLibrary table;
// lib<name>.so and <name>.so in the directory of the module that called LoadLibraryW;
// then in each directory of HostSetLibrarySearchPath; then in each directory of
// SPOOLGATE_LIBRARY_PATH (colon-separated). The first file found is the one loaded. A
// name with a directory is a Windows path, mapped under the sandbox root, and its
// directory alone is searched. Failure is NULL with ERROR_MOD_NOT_FOUND.
HMODULE hostimpl::plain::LoadLibraryW(LPCWSTR name, void* caller) {
  if (DWORD error = hostimpl::CountCall(HostOp::LoadLibrary)) {
    hostimpl::SetError(error);
    return nullptr;
  }
  if (name == nullptr || name[0] == 0) {
    hostimpl::SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::u16string wanted = hostimpl::ToU16(name);
  void* handle = nullptr;
  if (IsBareName(wanted)) {
    std::string mapped;
    bool isMapped = false;
    std::vector<std::string> directories;
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      auto it = g_mappings.find(DllKey(wanted));
      if (it != g_mappings.end()) {
        isMapped = true;
        mapped = it->second;
      }
      directories = g_searchPath;
    }
    if (isMapped) {
      handle = mapped.empty() ? nullptr : Open(mapped);
    } else {
      directories.insert(directories.begin(), ModuleDirectory(caller));
      for (const std::string& dir : SplitColons(getenv("SPOOLGATE_LIBRARY_PATH"))) {
        directories.push_back(dir);
      }
      handle = SearchAndOpen(directories, HostFileNames(wanted));
    }
  } else {
    size_t cut = wanted.find_last_of(u"\\/");
    std::u16string file = cut == std::u16string::npos ? wanted : wanted.substr(cut + 1);
    std::u16string dir = cut == std::u16string::npos ? std::u16string() : wanted.substr(0, cut + 1);
    std::string hostDir = hostimpl::MapPath(dir);
    std::vector<std::string> fileNames = HostFileNames(file);
    fileNames.push_back(hostimpl::ToUtf8(file));
    if (!hostDir.empty()) handle = SearchAndOpen({hostDir}, fileNames);
  }
  if (handle == nullptr) {
    hostimpl::SetError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  g_loaded[handle] += 1;
  return static_cast<HMODULE>(handle);
}

// GetProcAddress - the exported symbol, or NULL with ERROR_PROC_NOT_FOUND. Only modules
// from LoadLibraryW are known; any other handle is ERROR_MOD_NOT_FOUND. Lookups by
// ordinal are not supported and fail like a missing symbol.
FARPROC hostimpl::plain::GetProcAddress(HMODULE module, LPCSTR name) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_loaded.count(module) == 0) {
      hostimpl::SetError(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
  }
  if (name == nullptr || reinterpret_cast<uintptr_t>(name) <= 0xFFFF) {
    hostimpl::SetError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  void* symbol = dlsym(module, name);
  if (symbol == nullptr) {
    hostimpl::SetError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(symbol);
}

// FreeLibrary - one dlclose per LoadLibraryW; a handle not from LoadLibraryW (or already
// freed as often as it was loaded) is ERROR_MOD_NOT_FOUND.
BOOL hostimpl::plain::FreeLibrary(HMODULE module) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_loaded.find(module);
    if (it == g_loaded.end()) {
      hostimpl::SetError(ERROR_MOD_NOT_FOUND);
      return FALSE;
    }
    if (--it->second == 0) g_loaded.erase(it);
  }
  dlclose(module);
  return TRUE;
}

// DisableThreadLibraryCalls - the host sends no thread notifications anyway.
extern "C" BOOL WINAPI DisableThreadLibraryCalls(HMODULE module) {
  (void)module;
  return TRUE;
}

// HostMapLibrary - LoadLibraryW(dllName) loads hostPath; an empty path makes it fail.
void HostMapLibrary(const std::u16string& dllName, const std::string& hostPath) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_mappings[DllKey(dllName)] = hostPath;
}

void HostClearLibraryMappings() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_mappings.clear();
}

void HostSetLibrarySearchPath(const std::vector<std::string>& directories) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_searchPath = directories;
}

namespace hostimpl {

// ResetLibraries - no mappings and no search path. Modules still loaded stay loaded and
// known: the product may hold them across a reset.
void ResetLibraries() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_mappings.clear();
  g_searchPath.clear();
}

}  // namespace hostimpl
