// Control interface of the host Win32 layer, for tests, tools and benchmarks only:
// the sandbox root, the spooler double, settings, recorded message boxes and faults.
#pragma once

#include "platform/host/win32_types.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#define HOST_CONTROL_API __attribute__((visibility("default")))

// Operations whose calls are counted and can be made to fail.
enum class HostOp : unsigned {
  Alloc,            // GlobalAlloc and the product's malloc/calloc/realloc
  CreateFile,       // CreateFileW
  ReadFile,         // ReadFile
  WriteFile,        // WriteFile
  SetFilePointer,   // SetFilePointer, SetFilePointerEx
  CreateDirectory,  // CreateDirectoryW
  Registry,         // every Reg* call
  WritePrinter,     // WritePrinter
  GetJob,           // GetJobW
  GetPrinter,       // GetPrinterW
  LoadLibrary,      // LoadLibraryW
  FlushFile,        // FlushFileBuffers
  MoveFile,         // MoveFileExW
  SetEndOfFile,     // SetEndOfFile
  LockFile,         // LockFileEx
  Count
};

// --- sandbox and settings -------------------------------------------------------

// Starts a fresh host: the sandbox root (created, with <root>/C), an empty registry,
// no printers, no message boxes, no faults, counters at zero, default settings:
// Windows directory C:\Windows, computer SPOOLHOST, user printadmin, OEM code page 437,
// platform version 10.0.19045, current directory C:\Windows\System32.
HOST_CONTROL_API void HostReset(const std::string& root);
HOST_CONTROL_API std::string HostRoot();
// Where a Windows path lies under the root ("C:\Jobs\a" -> "<root>/C/Jobs/a",
// "\\srv\share\x" -> "<root>/UNC/srv/share/x"); empty when the path is unusable.
HOST_CONTROL_API std::string HostMapPath(const std::u16string& windowsPath);
HOST_CONTROL_API void HostSetCurrentDirectory(const std::u16string& windowsPath);
HOST_CONTROL_API void HostSetWindowsDirectory(const std::u16string& path);
HOST_CONTROL_API void HostSetComputerName(const std::u16string& name);
HOST_CONTROL_API void HostSetUserName(const std::u16string& name);
// 437 (single-byte) and 932 (double-byte) are the code pages the tests use; any code
// page that iconv knows as CPnnn works.
HOST_CONTROL_API void HostSetOemCodePage(unsigned codePage);
HOST_CONTROL_API void HostSetPlatformVersion(DWORD major, DWORD minor, DWORD build);

// --- spooler double ---------------------------------------------------------------

struct HostPrinterSpec {
  std::optional<std::u16string> serverName;  // null pServerName when absent
  std::u16string printerName;
  std::u16string portName = u"LPT1:";
};
struct HostJobSpec {
  std::optional<std::u16string> document;  // null pDocument when absent
  std::optional<std::u16string> userName;  // null pUserName when absent
};
struct HostPrinterOutput {
  std::vector<uint8_t> bytes;        // everything WritePrinter accepted, in order
  std::vector<uint32_t> writeSizes;  // the size of each accepted WritePrinter call
  uint64_t totalBytes = 0;           // counted also in count-only mode
  uint64_t totalWrites = 0;
};

// Defines a printer and returns the handle the spooler would pass to DrvSplStartDoc.
HOST_CONTROL_API HANDLE HostAddPrinter(const HostPrinterSpec& printer);
HOST_CONTROL_API void HostAddJob(HANDLE printer, DWORD jobId, const HostJobSpec& job);
HOST_CONTROL_API void HostRemoveJob(HANDLE printer, DWORD jobId);
// A count-only sink keeps no bytes (benchmarks, long captures).
HOST_CONTROL_API void HostSetPrinterCountOnly(HANDLE printer, bool countOnly);
HOST_CONTROL_API HostPrinterOutput HostPrinterData(HANDLE printer);
HOST_CONTROL_API void HostClearPrinterData(HANDLE printer);

// --- message boxes ------------------------------------------------------------------

struct HostMessageBox {
  HWND owner = nullptr;
  std::u16string text;
  std::optional<std::u16string> caption;  // absent when the caption was null
  UINT style = 0;
};
HOST_CONTROL_API std::vector<HostMessageBox> HostMessageBoxes();

// --- event log ----------------------------------------------------------------------

struct HostEvent {
  std::u16string source;
  WORD type = 0;
  WORD category = 0;
  DWORD eventId = 0;
  std::vector<std::u16string> strings;
};
// The events ReportEventW recorded since the last reset, in order.
HOST_CONTROL_API std::vector<HostEvent> HostEventLog();

// --- registry (HKEY_LOCAL_MACHINE; key paths without the hive, case-insensitive) ---------

struct HostRegistryValue {
  DWORD type = 0;
  std::vector<uint8_t> data;
};
HOST_CONTROL_API void HostRegistrySetValue(const std::u16string& keyPath,
                                           const std::u16string& valueName, DWORD type,
                                           const std::vector<uint8_t>& data);
HOST_CONTROL_API std::optional<HostRegistryValue> HostRegistryGetValue(
    const std::u16string& keyPath, const std::u16string& valueName);
HOST_CONTROL_API bool HostRegistryKeyExists(const std::u16string& keyPath);
HOST_CONTROL_API void HostRegistryDeleteKey(const std::u16string& keyPath);  // with subkeys
// Registry as text, one "key\tvalue\ttype\thexdata" line a value (tools keep it between runs).
HOST_CONTROL_API std::string HostRegistryExport();
HOST_CONTROL_API bool HostRegistryImport(const std::string& text);

// --- faults and counters -------------------------------------------------------------

// Makes the nth call of op from now (1 = the next one) fail with error; with
// persistent, that call and every later one fail. Several faults may be armed.
HOST_CONTROL_API void HostFailNth(HostOp op, uint64_t nth, DWORD error, bool persistent = false);
HOST_CONTROL_API void HostClearFaults();
// Calls of op since the last HostReset or HostResetCounters.
HOST_CONTROL_API uint64_t HostCallCount(HostOp op);
HOST_CONTROL_API void HostResetCounters();
// Files and keys the product holds open right now.
HOST_CONTROL_API uint64_t HostOpenHandleCount();
// Blocks from GlobalAlloc and the product's malloc not yet freed.
HOST_CONTROL_API uint64_t HostLiveAllocations();

// --- libraries ----------------------------------------------------------------------

// LoadLibraryW(name) with this bare name loads hostPath instead of searching; an
// empty hostPath makes the load fail with ERROR_MOD_NOT_FOUND.
HOST_CONTROL_API void HostMapLibrary(const std::u16string& dllName, const std::string& hostPath);
HOST_CONTROL_API void HostClearLibraryMappings();
// Directories searched after the calling module's own directory.
HOST_CONTROL_API void HostSetLibrarySearchPath(const std::vector<std::string>& directories);
