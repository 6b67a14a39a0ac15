// SPDX-License-Identifier: Apache-2.0
// Printer name resolution for the accounting log: the spooler's name, or for a Client
// Side Rendering printer the server and the name the provider stored in the registry.
#include "accounting/printer_name.h"

#include "core/bounded_text.h"

#define CSR_PREFIX WTEXT("\\\\CSR|")
#define CSR_PREFIX_CHARS 6
#define CSR_KEY_START                                                                     \
  WTEXT("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\Providers\\Client Side " \
        "Rendering Print Provider\\Servers\\")
#define CSR_KEY_PRINTERS WTEXT("\\Printers\\")
#define CSR_KEY_END WTEXT("\\DsSpooler")
#define CSR_NAME_VALUE WTEXT("printerName")

// Key path and value buffers, in UTF-16 units.
#define CSR_KEY_CHARS 232
#define CSR_VALUE_CHARS 224

// Spooler names are terminated; this only keeps a scan from running without end.
#define SPOOLER_NAME_MAX_CHARS 32768

static BOOL HasCsrPrefix(const WCHAR* name) {
  const WCHAR* prefix = CSR_PREFIX;
  // Case-sensitive, exactly six characters; a shorter name stops at its terminator.
  for (int i = 0; i < CSR_PREFIX_CHARS; ++i) {
    if (name[i] != prefix[i]) return FALSE;
  }
  return TRUE;
}

static BOOL IsPlatformVersion6OrLater(void) {
  OSVERSIONINFOEXW version;
  memset(&version, 0, sizeof(version));
  version.dwOSVersionInfoSize = sizeof(version);
  version.dwMajorVersion = 6;
  ULONGLONG condition = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
  return VerifyVersionInfoW(&version, VER_MAJORVERSION, condition);
}

// Appends the first chars characters of text, cut to what fits: the output is only
// text for the log, and a cut name still tells its reader which printer it was
// (document names are cut the same way).
static void AppendTextCut(WCHAR* buffer, size_t bufferChars, const WCHAR* text, size_t chars) {
  size_t have = BoundedTextLength(buffer, bufferChars);
  if (have >= bufferChars) return;
  size_t room = bufferChars - 1 - have;
  AppendTextChars(buffer, bufferChars, text, chars < room ? chars : room);
}

// Reads the stored name of a Client Side Rendering printer and composes the output.
// The key path is never cut: a cut path would name another printer's key, so names
// too long for it fail like a missing key.
static int ResolveCsrPrinterName(const PRINTER_INFO_2W* printerInfo, WCHAR* output,
                                 DWORD capacity, WCHAR* keyPath, WCHAR* value) {
  const WCHAR* serverName = printerInfo->pServerName;
  size_t serverChars = BoundedTextLength(serverName, SPOOLER_NAME_MAX_CHARS);
  // A server name of fewer than six characters leaves nothing to skip to: there is
  // no server to name a key with, so it fails like a missing key.
  if (serverChars < CSR_PREFIX_CHARS) return 0;
  const WCHAR* server = serverName + CSR_PREFIX_CHARS;
  serverChars -= CSR_PREFIX_CHARS;

  const WCHAR* printerName = printerInfo->pPrinterName;
  size_t nameChars = BoundedTextLength(printerName, SPOOLER_NAME_MAX_CHARS);
  size_t lastBackslash = 0;
  for (size_t i = 0; i < nameChars; ++i) {
    if (printerName[i] == '\\') lastBackslash = i;
  }
  const WCHAR* printer = printerName + lastBackslash + 1;
  size_t printerChars = nameChars - lastBackslash - 1;

  keyPath[0] = 0;
  if (!AppendBoundedText(keyPath, CSR_KEY_CHARS, CSR_KEY_START) ||
      !AppendTextChars(keyPath, CSR_KEY_CHARS, server, serverChars) ||
      !AppendBoundedText(keyPath, CSR_KEY_CHARS, CSR_KEY_PRINTERS) ||
      !AppendTextChars(keyPath, CSR_KEY_CHARS, printer, printerChars) ||
      !AppendBoundedText(keyPath, CSR_KEY_CHARS, CSR_KEY_END)) {
    return 0;
  }

  HKEY key = NULL;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
  DWORD type = 0;
  DWORD size = CSR_VALUE_CHARS * sizeof(WCHAR);
  LSTATUS status = RegQueryValueExW(key, CSR_NAME_VALUE, NULL, &type, (LPBYTE)value, &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return 0;
  // The value may fill all 448 bytes without a terminator: only what was read counts.
  if (size > CSR_VALUE_CHARS * sizeof(WCHAR)) size = CSR_VALUE_CHARS * sizeof(WCHAR);
  size_t valueChars = BoundedTextLength(value, size / sizeof(WCHAR));

  AppendBoundedText(output, capacity, WTEXT("\\\\"));
  AppendTextCut(output, capacity, server, serverChars);
  AppendTextCut(output, capacity, WTEXT("\\"), 1);
  AppendTextCut(output, capacity, value, valueChars);
  return 1;
}

int ResolveLogPrinterName(const PRINTER_INFO_2W* printerInfo, WCHAR* output, DWORD capacity) {
  if (printerInfo == NULL || output == NULL || capacity == 0) return 0;
  // The capacity bounds every write, so a long name is cut rather than overflowing.
  memset(output, 0, capacity * sizeof(WCHAR));
  // A null printer name counts as the empty name.
  const WCHAR* printerName = printerInfo->pPrinterName != NULL ? printerInfo->pPrinterName
                                                               : WTEXT("");
  if (printerInfo->pServerName == NULL || !IsPlatformVersion6OrLater() ||
      !HasCsrPrefix(printerName)) {
    CopyBoundedText(output, capacity, printerName, SPOOLER_NAME_MAX_CHARS);
    return 1;
  }

  WCHAR* keyPath = (WCHAR*)GlobalAlloc(GMEM_FIXED, CSR_KEY_CHARS * sizeof(WCHAR));
  WCHAR* value = keyPath != NULL ? (WCHAR*)GlobalAlloc(GMEM_FIXED, CSR_VALUE_CHARS * sizeof(WCHAR))
                                 : NULL;
  int result = 0;
  if (keyPath != NULL && value != NULL) {
    result = ResolveCsrPrinterName(printerInfo, output, capacity, keyPath, value);
  }
  if (value != NULL) GlobalFree(value);
  if (keyPath != NULL) GlobalFree(keyPath);
  // On failure the output is still the all-zero text of the start: composition only
  // begins once the stored name has been read.
  return result;
}
