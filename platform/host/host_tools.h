// SPDX-License-Identifier: Apache-2.0
// The host Win32 layer's controls that only the spoolgate command and the benchmarks use:
// the record of the plug-in's calls, the registry kept as text between runs, and a spool
// file behind a printer. Tests of the layer drive them too; product code never does.
#pragma once

#include "platform/host/host_control.h"

// --- spooler --------------------------------------------------------------------------

// A spool-file sink: WritePrinter also appends each block to hostPath with write(), as
// a spooler spools a job (benchmarks); the file is created or emptied here, and an
// empty path stops it. False when the printer is unknown or the file cannot be opened.
HOST_CONTROL_API bool HostSetPrinterSpoolFile(HANDLE printer, const std::string& hostPath);

// --- registry -------------------------------------------------------------------------

// Registry as text, one "key\tvalue\ttype\thexdata" line a value (tools keep it between runs).
HOST_CONTROL_API std::string HostRegistryExport();
HOST_CONTROL_API bool HostRegistryImport(const std::string& text);

// --- call record ---------------------------------------------------------------------

// One Win32 call that the plug-in (or the logging library it loads) made: the spooler,
// file, directory, registry, library, message-box and event-log calls. Pointers are the
// caller's and valid only while the sink runs.
enum class HostCallKind : uint8_t { Spooler, File, Directory, Registry, Library, MessageBox, Event };
struct HostCall {
  const char* function = "";        // the Win32 name, "CreateFileW"
  HostCallKind kind = HostCallKind::File;
  const void* handle = nullptr;     // the printer, file, key or module the call works on;
                                    // for CreateFileW, RegOpenKeyExW, RegCreateKeyExW and
                                    // LoadLibraryExW the one it returns
  const char16_t* name = nullptr;   // the path, subkey, value name, library name, message
                                    // text or an event's first string
  const char16_t* name2 = nullptr;  // MoveFileExW's new name, MessageBoxW's caption, an
                                    // event's second string
  const char* procedure = nullptr;  // GetProcAddress's name
  // The call's numeric arguments in order: CreateFileW access, share mode, disposition;
  // ReadFile bytes asked; WriteFile and WritePrinter bytes written; SetFilePointer(Ex)
  // distance, method; GetJobW job id, level, buffer size; GetPrinterW level, buffer
  // size; Reg*Value type; MoveFileExW flags; MessageBoxW style; LockFileEx flags;
  // ReportEventW type, event id.
  uint64_t args[3] = {};
  const void* data = nullptr;  // the bytes written or read, the value data set or read
  uint64_t size = 0;
  uint64_t result = 0;  // the return value: BOOL, handle, LSTATUS, file position or size
  bool failed = false;
  DWORD error = 0;  // the last error after the call (after a success too: ERROR_ALREADY_EXISTS
                    // tells that OPEN_ALWAYS found the file); the LSTATUS of a Reg* call
};
// Receives every recorded call on the thread that made it, after the call; it must not
// call the recorded functions itself. The last error is kept across the sink.
using HostCallSink = void (*)(const HostCall& call, void* context);
// Sets the sink, or stops recording with nullptr (the default; HostReset keeps it).
HOST_CONTROL_API void HostSetCallSink(HostCallSink sink, void* context);
