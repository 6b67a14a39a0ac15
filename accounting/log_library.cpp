// SPDX-License-Identifier: Apache-2.0
// Binding of the logging library: the two directories it is loaded from, each by the
// library's full path, with its own imports resolved only there and in System32.
#include "accounting/log_library.h"

#include "core/log_entry.h"
#include "core/bounded_text.h"

// Applies to the library's own imports: its directory and System32, nothing else.
#define LOG_LIBRARY_LOAD_FLAGS (LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32)

// The directory of the module that holds this code (the plug-in), with its trailing
// backslash. FALSE when the module's name does not fit whole: a cut name would name
// another directory.
static BOOL GetPluginDirectory(WCHAR* path, DWORD pathChars) {
  HMODULE plugin = NULL;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          (LPCWSTR)(void*)&GetPluginDirectory, &plugin)) {
    return FALSE;  // GCOVR_EXCL_LINE: this code's own address lies in a module
  }
  DWORD length = GetModuleFileNameW(plugin, path, pathChars);
  if (length == 0 || length >= pathChars) return FALSE;
  while (length > 0 && path[length - 1] != '\\') --length;
  path[length] = 0;
  return length > 0;
}

// The system directory (System32), with its trailing backslash.
static BOOL GetSystemLibraryDirectory(WCHAR* path, UINT pathChars) {
  UINT length = GetSystemDirectoryW(path, pathChars);
  if (length == 0 || length >= pathChars) return FALSE;
  return path[length - 1] == '\\' || AppendBoundedText(path, pathChars, WTEXT("\\"));
}

static HMODULE LoadFromDirectory(WCHAR* path, size_t pathChars) {
  if (!AppendBoundedText(path, pathChars, LOG_LIBRARY_NAME)) return NULL;
  return LoadLibraryExW(path, NULL, LOG_LIBRARY_LOAD_FLAGS);
}

HMODULE LoadLogLibrary(void) {
  WCHAR path[MAX_PATH];
  HMODULE library = NULL;
  if (GetPluginDirectory(path, MAX_PATH)) library = LoadFromDirectory(path, MAX_PATH);
  if (library == NULL && GetSystemLibraryDirectory(path, MAX_PATH)) {
    library = LoadFromDirectory(path, MAX_PATH);
  }
  return library;
}
