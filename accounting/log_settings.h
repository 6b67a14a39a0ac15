// SPDX-License-Identifier: Apache-2.0
// The accounting log's two machine-wide settings in the registry.
// Read once per emission, before the logging library is loaded.
#pragma once

#include "platform/win32.h"

// Registry key of the settings under HKEY_LOCAL_MACHINE, and its two values.
#define LOG_SETTINGS_KEY WTEXT("SOFTWARE\\TALVOK\\PrintLog")
#define LOG_DIRECTORY_VALUE WTEXT("LogFileDirectory")
#define LOG_MAX_SIZE_VALUE WTEXT("MaxLogFileSize")
// Appended to the Windows directory when no log directory is set.
#define LOG_DEFAULT_DIRECTORY_TAIL WTEXT("\\temp\\PrintLog")
#define LOG_DEFAULT_MAX_SIZE 64u
// Bytes of the caller's directory output (OEM text, terminator included).
#define LOG_DIRECTORY_BYTES 260

// UTF-16 units of the working buffer the directory is read into or composed in.
#define DIRECTORY_WORK_CHARS 260

// ReadLogSettings() - Reads "LogFileDirectory" (as OEM text into the 260-byte
// directory) and "MaxLogFileSize" (into maxSize), creating the key and writing each
// default back when its value cannot be read. An output that cannot be determined is
// left as the caller had it, so callers preset both.
void ReadLogSettings(char* directory, DWORD* maxSize);

// The reads ReadLogSettings makes, without writing anything back, for a tool that shows
// which settings the plug-in will use.
// QueryDirectorySetting() - Reads "LogFileDirectory" of the open key into work
// (DIRECTORY_WORK_CHARS units, zero-filled first) as the plug-in does: FALSE when it is
// missing or does not fit 129 characters and the terminator, when the default replaces it.
BOOL QueryDirectorySetting(HKEY key, WCHAR* work);
// ComposeDefaultDirectory() - The default directory into work (DIRECTORY_WORK_CHARS
// units); FALSE when the Windows directory leaves no room for it.
BOOL ComposeDefaultDirectory(WCHAR* work);
// QueryMaxSizeSetting() - Reads "MaxLogFileSize" as the plug-in does; FALSE when it is
// missing or longer than 4 bytes, when 64 replaces it.
BOOL QueryMaxSizeSetting(HKEY key, DWORD* maxSize);
// ConvertDirectoryToOem() - The directory text in the OEM code page into the 260-byte
// directory, as the library receives it; left alone when the whole text does not fit.
void ConvertDirectoryToOem(char* directory, const WCHAR* text);
