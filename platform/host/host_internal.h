// Shared plumbing of the host Win32 layer's modules: fault injection, counters,
// and the reset hook each module provides. Not seen by product code.
#pragma once

#include "platform/host/host_control.h"
#include "platform/host/win32_api.h"

#include <string>

namespace hostimpl {

// Counts a call of op; returns the error to fail it with, or 0 to let it proceed.
DWORD CountCall(HostOp op);

// Per-thread last error, as Windows keeps it.
void SetError(DWORD error);

// Mapping of Windows paths (paths.cpp).
std::string MapPath(const std::u16string& windowsPath);
std::u16string ToU16(const WCHAR* text);
std::string ToUtf8(const std::u16string& text);
std::u16string FromUtf8(const std::string& text);

// Sets the sandbox root (creating <root>/C and the current directory under it) and
// puts the current directory back to C:\Windows\System32 (paths.cpp). HostReset calls
// it before ResetFiles.
void ResetPaths(const std::string& root);

// Each module clears its own state; HostReset calls them all.
void ResetFiles();
void ResetRegistry();
void ResetSpooler();
void ResetSystem();  // settings, message boxes, libraries
void ResetFaults();
// Parts of ResetSystem kept by the modules that own them (text.cpp, loader.cpp).
void ResetMessageBoxes();
void ResetLibraries();
void ResetEvents();  // events.cpp

// Settings of system.cpp that other modules read.
UINT OemCodePage();
std::u16string ComputerName();

// Open handles of files, keys and mutexes, for HostOpenHandleCount.
void AddOpenHandle(int delta);

}  // namespace hostimpl
