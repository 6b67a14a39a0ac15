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

// ReadLogSettings() - Reads "LogFileDirectory" (as OEM text into the 260-byte
// directory) and "MaxLogFileSize" (into maxSize), creating the key and writing each
// default back when its value cannot be read. An output that cannot be determined is
// left as the caller had it, so callers preset both.
void ReadLogSettings(char* directory, DWORD* maxSize);
