// SPDX-License-Identifier: Apache-2.0
// The accounting log's registry settings: the log directory and the maximum log size,
// with their defaults written back the first time they are missing.
#include "accounting/log_settings.h"

#include "core/bounded_text.h"

// The read allows 260 bytes: 129 characters and the terminator.
#define DIRECTORY_READ_BYTES 260

// Converts a directory to OEM only when the whole of it fits the output: a cut path
// would name another directory, so one that does not fit leaves the output alone.
void ConvertDirectoryToOem(char* directory, const WCHAR* text) {
  // At most DIRECTORY_WORK_CHARS: the (int) cast cannot cut it.
  size_t chars = BoundedTextLength(text, DIRECTORY_WORK_CHARS);
  int needed = chars == 0 ? 0
                          : WideCharToMultiByte(CP_OEMCP, 0, text, (int)chars, NULL, 0, NULL, NULL);
  if (needed < 0 || (size_t)needed > LOG_DIRECTORY_BYTES - 1) return;
  ConvertTextToOem(directory, LOG_DIRECTORY_BYTES, text, DIRECTORY_WORK_CHARS);
}

// Composes the Windows directory followed by "\temp\PrintLog" in work. The Windows
// directory may be up to 259 characters, but the composed default must fit the
// 260-unit buffer: one longer than 245 characters gives no default at all, as when
// the Windows directory cannot be had, rather than a cut path.
BOOL ComposeDefaultDirectory(WCHAR* work) {
  UINT length = GetWindowsDirectoryW(work, DIRECTORY_WORK_CHARS);
  if (length < 1 || length > DIRECTORY_WORK_CHARS - 1) return FALSE;
  work[length] = 0;
  return AppendBoundedText(work, DIRECTORY_WORK_CHARS, LOG_DEFAULT_DIRECTORY_TAIL);
}

BOOL QueryDirectorySetting(HKEY key, WCHAR* work) {
  memset(work, 0, DIRECTORY_WORK_CHARS * sizeof(WCHAR));
  DWORD type = 0;
  DWORD size = DIRECTORY_READ_BYTES;
  // The type is not looked at: REG_EXPAND_SZ is taken unexpanded. The zero-filled
  // buffer is twice the size of the read, so what was read is always terminated.
  return RegQueryValueExW(key, LOG_DIRECTORY_VALUE, NULL, &type, (LPBYTE)work, &size) ==
         ERROR_SUCCESS;
}

static void ReadDirectorySetting(HKEY key, char* directory) {
  WCHAR work[DIRECTORY_WORK_CHARS];
  if (QueryDirectorySetting(key, work)) {
    ConvertDirectoryToOem(directory, work);
    return;
  }
  memset(work, 0, sizeof(work));
  if (!ComposeDefaultDirectory(work)) return;
  // At most 520 bytes, so the cast to DWORD is exact.
  DWORD bytes = (DWORD)((BoundedTextLength(work, DIRECTORY_WORK_CHARS) + 1) * sizeof(WCHAR));
  // A store that fails leaves the output as computed; the next emission tries again.
  RegSetValueExW(key, LOG_DIRECTORY_VALUE, 0, REG_SZ, (const BYTE*)work, bytes);
  ConvertDirectoryToOem(directory, work);
}

BOOL QueryMaxSizeSetting(HKEY key, DWORD* maxSize) {
  // Read into a cleared local, so that a value shorter than 4 bytes gives its bytes
  // and zeros, never what the caller's variable held before.
  DWORD value = 0;
  DWORD type = 0;
  DWORD size = sizeof(value);
  if (RegQueryValueExW(key, LOG_MAX_SIZE_VALUE, NULL, &type, (LPBYTE)&value, &size) !=
      ERROR_SUCCESS) {
    return FALSE;
  }
  *maxSize = value;
  return TRUE;
}

static void ReadMaxSizeSetting(HKEY key, DWORD* maxSize) {
  if (QueryMaxSizeSetting(key, maxSize)) return;
  *maxSize = LOG_DEFAULT_MAX_SIZE;
  DWORD value = LOG_DEFAULT_MAX_SIZE;
  RegSetValueExW(key, LOG_MAX_SIZE_VALUE, 0, REG_DWORD, (const BYTE*)&value, sizeof(value));
}

void ReadLogSettings(char* directory, DWORD* maxSize) {
  if (directory == NULL || maxSize == NULL) return;
  HKEY key = NULL;
  DWORD disposition = 0;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, LOG_SETTINGS_KEY, 0, NULL, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, NULL, &key, &disposition) != ERROR_SUCCESS) {
    return;
  }
  ReadDirectorySetting(key, directory);
  ReadMaxSizeSetting(key, maxSize);
  RegCloseKey(key);
}
