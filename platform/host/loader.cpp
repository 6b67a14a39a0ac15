// SPDX-License-Identifier: Apache-2.0
// Library loading of the host layer: LoadLibraryExW finds the host build of a DLL named
// by its full Windows path and loads it with dlopen; the modules of the process report
// their file names as Windows paths.
#include "platform/host/call_record.h"
#include "platform/host/host_internal.h"

#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

std::mutex g_mutex;
std::map<std::u16string, std::string> g_mappings;  // by folded DLL name
std::map<void*, int> g_loaded;  // dlopen handles handed out, with their load counts
std::set<void*> g_known;        // handles of GetModuleHandleExW, valid while loaded
std::vector<std::u16string> g_lookups;
// Where every module of the process says it lies: where the spooler keeps a printer
// driver's files.
const std::u16string kModuleDirectory = u"C:\\Windows\\System32\\spool\\drivers\\x64\\3";

std::u16string FoldAscii(std::u16string s) {
  for (char16_t& c : s) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  }
  return s;
}

// "x" and "x.dll" name the same module, as Windows appends ".dll" to a name without an
// extension.
std::u16string DllKey(const std::u16string& name) {
  std::u16string key = FoldAscii(name);
  if (key.find(u'.') == std::u16string::npos) key += u".dll";
  return key;
}

bool EndsWithDll(const std::u16string& folded) {
  return folded.size() > 4 && folded.compare(folded.size() - 4, 4, u".dll") == 0;
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
  if (handle == nullptr) std::fprintf(stderr, "host LoadLibraryExW: %s\n", dlerror());
#endif
  return handle;
}

// Loads the first of the file names that exists in the directory.
void* OpenFirst(const std::string& directory, const std::vector<std::string>& fileNames) {
  for (const std::string& file : fileNames) {
    std::string path = directory + "/" + file;
    if (access(path.c_str(), F_OK) == 0) return Open(path);
  }
  return nullptr;
}

// A Windows path that names its drive or share: what LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR
// demands.
bool IsFullPath(const std::u16string& name) {
  if (name.size() >= 3 && name[1] == u':' && (name[2] == u'\\' || name[2] == u'/')) return true;
  return name.size() >= 2 && (name[0] == u'\\' || name[0] == u'/') && (name[1] == u'\\' || name[1] == u'/');
}

// The load behind LoadLibraryExW, after its argument checks: the HostMapLibrary table
// names a library wherever it is asked for; else the path's directory alone is searched.
HMODULE Load(const std::u16string& wanted) {
  void* handle = nullptr;
  std::string mapped;
  bool isMapped = false;
  size_t cut = wanted.find_last_of(u"\\/");
  std::u16string file = wanted.substr(cut + 1);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lookups.push_back(wanted);
    auto it = g_mappings.find(DllKey(file));
    if (it != g_mappings.end()) {
      isMapped = true;
      mapped = it->second;
    }
  }
  if (isMapped) {
    handle = mapped.empty() ? nullptr : Open(mapped);
  } else {
    std::string hostDir = hostimpl::MapPath(wanted.substr(0, cut + 1));
    std::vector<std::string> fileNames = HostFileNames(file);
    fileNames.push_back(hostimpl::ToUtf8(file));
    if (!hostDir.empty()) handle = OpenFirst(hostDir, fileNames);
  }
  if (handle == nullptr) {
    hostimpl::SetError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  g_loaded[handle] += 1;
  return static_cast<HMODULE>(handle);
}

// The Windows name a host module reports: "libx.so" is "x.dll", a program "<name>.exe".
std::u16string WindowsModuleName(const std::string& hostPath) {
  std::string name = hostPath.substr(hostPath.rfind('/') + 1);
  if (name.size() > 3 && name.compare(name.size() - 3, 3, ".so") == 0) {
    name.resize(name.size() - 3);
    if (name.compare(0, 3, "lib") == 0) name.erase(0, 3);
    return hostimpl::FromUtf8(name) + u".dll";
  }
  return hostimpl::FromUtf8(name) + u".exe";
}

}  // namespace

// LoadLibraryExW - the product's one way to load a library: a full Windows path with
// LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR (System32 may be added for the library's own imports,
// whose search is not modelled), loaded from that directory alone. A name that is not a
// full path fails with ERROR_INVALID_PARAMETER, as on Windows; so do other flags and a
// file handle, which the layer does not model.
HMODULE hostimpl::plain::LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) {
  if (DWORD error = hostimpl::CountCall(HostOp::LoadLibrary)) {
    hostimpl::SetError(error);
    return nullptr;
  }
  const DWORD supported = LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;
  std::u16string wanted = name != nullptr ? hostimpl::ToU16(name) : std::u16string();
  if (file != nullptr || (flags & ~supported) != 0 ||
      (flags & LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR) == 0 || !IsFullPath(wanted)) {
    hostimpl::SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return Load(wanted);
}

// GetModuleHandleExW - the module that holds an address, as the product asks for it:
// GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS with GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT
// (the handle is not held). Other flags, a lookup by name or a held handle among them,
// are ERROR_INVALID_PARAMETER. An address in no module is ERROR_MOD_NOT_FOUND.
extern "C" BOOL WINAPI GetModuleHandleExW(DWORD flags, LPCWSTR name, HMODULE* module) {
  if (module == nullptr || flags != (GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                     GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT)) {
    if (module != nullptr) *module = nullptr;
    hostimpl::SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Dl_info info{};
  *module = nullptr;
  if (name == nullptr || dladdr(name, &info) == 0 || info.dli_fname == nullptr) {
    hostimpl::SetError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  // A shared object is found by its name; the program itself is not, so an address
  // that no shared object claims by name belongs to the program.
  void* handle = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
  if (handle == nullptr) handle = dlopen(nullptr, RTLD_LAZY);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_known.insert(handle);
  dlclose(handle);
  *module = static_cast<HMODULE>(handle);
  return TRUE;
}

// GetModuleFileNameW - the module's Windows path, in the driver directory; null is the
// program. The length without terminator on success; a buffer too small gets the path
// cut to size - 1 characters and terminated, the result is size and the error
// ERROR_INSUFFICIENT_BUFFER (Windows since Vista). A handle neither LoadLibraryExW nor
// GetModuleHandleExW gave is ERROR_MOD_NOT_FOUND.
extern "C" DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (module != nullptr && g_loaded.count(module) == 0 && g_known.count(module) == 0) {
      hostimpl::SetError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
  }
  std::string hostPath;
  struct link_map* map = nullptr;
  if (module != nullptr && dlinfo(module, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr &&
      map->l_name != nullptr) {
    hostPath = map->l_name;
  }
  if (hostPath.empty()) {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    hostPath = n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string("program");
  }
  std::u16string path = kModuleDirectory + u"\\" + WindowsModuleName(hostPath);
  if (buffer == nullptr || size == 0) {
    hostimpl::SetError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  size_t copied = path.size() < size ? path.size() : size - 1;
  std::copy(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(copied), buffer);
  buffer[copied] = 0;
  if (copied < path.size()) {
    hostimpl::SetError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  return static_cast<DWORD>(copied);
}

// GetProcAddress - the exported symbol, or NULL with ERROR_PROC_NOT_FOUND. Only modules
// from LoadLibraryExW are known; any other handle is ERROR_MOD_NOT_FOUND. Lookups by
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

// FreeLibrary - one dlclose per load; a handle not from LoadLibraryExW (or already
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

// HostMapLibrary - a load of dllName loads hostPath; an empty path makes it fail.
void HostMapLibrary(const std::u16string& dllName, const std::string& hostPath) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_mappings[DllKey(dllName)] = hostPath;
}

void HostClearLibraryMappings() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_mappings.clear();
}

std::vector<std::u16string> HostLibraryLookups() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_lookups;
}

namespace hostimpl {

// ResetLibraries - no mappings, no lookups. Modules still loaded stay loaded and
// known: the product may hold them across a reset.
void ResetLibraries() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_mappings.clear();
  g_lookups.clear();
}

}  // namespace hostimpl
