// SPDX-License-Identifier: Apache-2.0
// Shared plumbing of the host Win32 layer's modules: fault injection, counters,
// and the reset hook each module provides. Not seen by product code.
#pragma once

#include "platform/host/host_control.h"
#include "platform/host/win32_api.h"

#include <sys/types.h>

#include <optional>
#include <string>

namespace hostimpl {

// Counts a call of op; returns the error to fail it with, or 0 to let it proceed.
DWORD CountCall(HostOp op);
// CountCall for WriteFile and WritePrinter: an armed short write lowers *bytes.
DWORD CountWrite(HostOp op, DWORD* bytes);

// Per-thread last error, as Windows keeps it.
void SetError(DWORD error);

// Mapping of Windows paths (paths.cpp).
std::string MapPath(const std::u16string& windowsPath);
std::u16string ToU16(const WCHAR* text);
std::string ToUtf8(const std::u16string& text);
std::u16string FromUtf8(const std::string& text);

// Sets the sandbox root (creating <root>/C and the current directory under it) and
// puts the current directory back to C:\Windows\System32 (paths.cpp). Open file handles
// keep their sharing state across a reset (forgetting it would let a new open slip past
// a live one), so files have no state of their own to reset.
void ResetPaths(const std::string& root);

// Each module clears its own state; HostReset calls them all.
void ResetRegistry();
void ResetSpooler();
void ResetSystem();  // settings, message boxes, libraries
void ResetFaults();
// Parts of ResetSystem kept by the modules that own them (text.cpp, loader.cpp).
void ResetMessageBoxes();
void ResetLibraries();
void ResetEvents();  // events.cpp

// Security (security.cpp): the string a descriptor of SECURITY_ATTRIBUTES was made from
// (none without one; ERROR_INVALID_SECURITY_DESCR for one not made by the layer), and
// the record of a file or directory just created by the process's account.
DWORD DescriptorText(const SECURITY_ATTRIBUTES* security, std::optional<std::u16string>* text);
void RecordNewFile(const std::string& hostPath, const std::optional<std::u16string>& descriptor);
BOOL CloseTokenHandle(HANDLE handle);
bool IsTokenHandle(HANDLE handle);
void ResetSecurity();
// A counted, fault-injectable block that LocalFree frees (memory.cpp).
void* AllocLocal(size_t bytes);

// Settings of system.cpp that other modules read.
UINT OemCodePage();
std::u16string ComputerName();

// The power-loss mode (power_loss.cpp). Once tracking started, a file's contents are
// kept before its first change since its last flush (files.cpp tells both); LosePower
// puts back, in every file changed since, what the disk would hold after a power cut.
void StartPowerLossTracking();
void NoteUnflushedChange(int fd, dev_t dev, ino_t ino);
void NoteFlush(dev_t dev, ino_t ino);
// With torn, the tearAt-th sector boundary past the first changed byte of each file is
// where its new bytes end; FALSE when that boundary lies past the new bytes of every
// file (no file was torn there).
bool LosePower(bool torn, unsigned tearAt);
void ResetPowerLoss();

// Open handles of files and keys, for HostOpenHandleCount.
void AddOpenHandle(int delta);

}  // namespace hostimpl
