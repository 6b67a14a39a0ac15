// SPDX-License-Identifier: Apache-2.0
// How the logging library judges the log directory it is handed, for the library and for
// the administrator's kit, which must judge a directory exactly as the library will.
#pragma once

#include "platform/win32.h"

// Full control for SYSTEM and the Administrators, read for Users, inherited by the log
// files. Protected: nothing comes from a parent such as %WINDIR%\Temp, where every user
// may create entries.
#define LOG_DIRECTORY_SDDL WTEXT("D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)")
// IsLogPathSeparator() - TRUE for both of the separators Windows accepts in a path.
static inline BOOL IsLogPathSeparator(WCHAR c) { return c == '\\' || c == '/'; }
// What the library makes of a log directory.
typedef enum LogDirectoryVerdict {
  LOG_DIRECTORY_USABLE = 0,
  LOG_DIRECTORY_MISSING,        // not there (only asked without creating it)
  LOG_DIRECTORY_UNAVAILABLE,    // cannot be created, or is not a directory
  LOG_DIRECTORY_REPARSE_POINT,  // it, or a directory above it, is a junction or link
  LOG_DIRECTORY_OWNER_UNKNOWN,  // its owner cannot be read
  LOG_DIRECTORY_FOREIGN_OWNER   // another account than SYSTEM, the Administrators or runAs
} LogDirectoryVerdict;
// JudgeLogDirectory() - Whether the library writes into directory. With create, its missing
// parts are made, each with LOG_DIRECTORY_SDDL; without, nothing is changed. runAs is the
// account the library runs as (NULL: this process's). where, when not null, receives the
// length of the part of the path the verdict is about. Temporarily cuts directory at each
// separator, so it must be writable.
LogDirectoryVerdict JudgeLogDirectory(WCHAR* directory, BOOL create, PSID runAs, size_t* where);

// OemTextToWide() - Converts an OEM text read only within textBytes bytes to UTF-16 and
// terminates it. Returns the characters written before the terminator (0 when nothing
// converted). The library reads the directory it is handed with it.
size_t OemTextToWide(const char* text, size_t textBytes, WCHAR* out, size_t outChars);
