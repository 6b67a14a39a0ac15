// SPDX-License-Identifier: Apache-2.0
// Control interface of the host Win32 layer, for tests, tools and benchmarks only:
// the sandbox root, the spooler double, settings, recorded message boxes and faults.
// What only the tools use besides is in host_tools.h.
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
  LoadLibrary,      // LoadLibraryExW
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
// platform version 10, current directory C:\Windows\System32.
// False, with the reason in why when given, when the root cannot hold the sandbox
// (a directory cannot be created, or a file stands where one belongs); the host is
// then left as it was.
HOST_CONTROL_API bool HostReset(const std::string& root, std::string* why = nullptr);
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
// The platform's major version, which VerifyVersionInfoW tests (default 10).
HOST_CONTROL_API void HostSetPlatformVersion(DWORD major);
// Stops the clock GetSystemTime reads at utc (a clock set back or ahead, as an
// administrator or a bad time source does); nullopt goes back to the real clock, as
// HostReset does.
HOST_CONTROL_API void HostSetSystemTime(const std::optional<SYSTEMTIME>& utc);

// --- spooler double ---------------------------------------------------------------

struct HostPrinterSetup {
  std::optional<std::u16string> serverName;  // null pServerName when absent
  std::u16string printerName;
  std::u16string portName = u"LPT1:";
};
struct HostJobSetup {
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
HOST_CONTROL_API HANDLE HostAddPrinter(const HostPrinterSetup& printer);
HOST_CONTROL_API void HostAddJob(HANDLE printer, DWORD jobId, const HostJobSetup& job);
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

// --- faults and counters -------------------------------------------------------------

// Makes the nth call of op from now (1 = the next one) fail with error; with
// persistent, that call and every later one fail. Several faults may be armed.
HOST_CONTROL_API void HostFailNth(HostOp op, uint64_t nth, DWORD error, bool persistent = false);
// Makes the nth WriteFile or WritePrinter call from now (op says which) a short write:
// it writes only the first bytes bytes of its buffer (all of a smaller buffer), succeeds
// and reports them in its bytes written, as a write cut off by a full disk or a port
// does. The caller must notice from the count.
HOST_CONTROL_API void HostShortWriteNth(HostOp op, uint64_t nth, DWORD bytes,
                                        bool persistent = false);
// Ends the process with _exit(HOST_CRASH_EXIT_STATUS) in place of the nth call of op
// from now, as a writer killed there stops: nothing of that call or after it happens,
// and the process's file locks go with it. For a child process of a test.
#define HOST_CRASH_EXIT_STATUS 86
HOST_CONTROL_API void HostCrashNth(HostOp op, uint64_t nth);
// The power fails in place of the nth call of op from now: every write to a file that
// no flush of that file followed since this call is dropped (with torn, the tearAt-th
// sector boundary past its first changed byte keeps the new bytes before it, the old
// ones after), and then the process ends as HostCrashNth ends it. Renames made with
// MOVEFILE_WRITE_THROUGH stay, as their directory was flushed. For a child process.
// When tearAt lies past the new bytes of every file changed, the state is one a lower
// tearAt gives: the process then ends with HOST_TEAR_PAST_END_EXIT_STATUS instead, so
// that a sweep over the boundaries of a write knows where to stop.
#define HOST_TEAR_PAST_END_EXIT_STATUS 87
HOST_CONTROL_API void HostPowerLossNth(HostOp op, uint64_t nth, bool torn, unsigned tearAt = 1);
HOST_CONTROL_API void HostClearFaults();
// Calls of op since the last HostReset or HostResetCounters.
HOST_CONTROL_API uint64_t HostCallCount(HostOp op);
HOST_CONTROL_API void HostResetCounters();
// Files and keys the product holds open right now.
HOST_CONTROL_API uint64_t HostOpenHandleCount();
// Reads a whole file as a reader sharing read, write and delete access would: false
// with ERROR_SHARING_VIOLATION while a handle holds it without read sharing, or with
// the error of a missing file. Not counted and never failed by a fault.
HOST_CONTROL_API bool HostReadFile(const std::u16string& windowsPath, std::vector<uint8_t>* bytes,
                                   DWORD* error);
// Blocks from GlobalAlloc and the product's malloc not yet freed.
HOST_CONTROL_API uint64_t HostLiveAllocations();

// --- libraries ----------------------------------------------------------------------

// A load of a library of this name, by a path in any directory, loads hostPath instead;
// an empty hostPath makes the load fail with ERROR_MOD_NOT_FOUND.
HOST_CONTROL_API void HostMapLibrary(const std::u16string& dllName, const std::string& hostPath);
HOST_CONTROL_API void HostClearLibraryMappings();
// The Windows paths LoadLibraryExW was asked to load since the last reset, in order.
HOST_CONTROL_API std::vector<std::u16string> HostLibraryLookups();

// --- security -----------------------------------------------------------------------

struct HostFileSecurity {
  std::u16string owner;                     // a SID in its string form ("S-1-5-18")
  std::optional<std::u16string> descriptor;  // the SDDL CreateDirectoryW was given, if any
};
// The owner and descriptor the layer keeps for a file or directory. One it has no
// record of belongs to the process's account, without a descriptor.
HOST_CONTROL_API HostFileSecurity HostGetFileSecurity(const std::u16string& windowsPath);
// Makes sid the owner of an existing file or directory, as if another account made it.
HOST_CONTROL_API void HostSetFileOwner(const std::u16string& windowsPath, const std::u16string& sid);
// The account the process runs as: its token's user, and the owner of what it creates.
// Default S-1-5-18 (LocalSystem), as for the print spooler.
HOST_CONTROL_API void HostSetProcessAccount(const std::u16string& sid);
