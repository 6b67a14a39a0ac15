// SPDX-License-Identifier: Apache-2.0
// Plumbing shared by the path and file modules of the host Win32 layer: how a
// Windows path resolves under the sandbox, and how CloseHandle tells handle kinds apart.
#pragma once

#include "platform/host/host_internal.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace hostimpl {

// A Windows path resolved under the sandbox root.
struct ResolvedPath {
  DWORD error = 0;          // nonzero: the path is unusable, callers fail with this error
  std::string host;         // host path of the entry the Windows path names
  std::string parent;       // host path of its directory; empty for a volume root
  std::string volume;       // host path of the volume root (<root>/C, <root>/UNC/srv/share)
  std::string volumeKey;    // "C" or "UNC\srv\share" (upper case), to tell volumes apart
  bool isVolumeRoot = false;
  bool driveRelativeCurrent = false;  // "C:" alone: the current directory of drive C
  bool trailingSeparator = false;     // the path ended in '\' or '/'
  size_t fullLength = 0;              // characters of the full Windows path
  bool unc = false;
  std::string givenName;              // the last component as given (UTF-8), for renames
};

// Resolves a Windows path as Windows would (current directory, '.' and '..', trailing
// dots and spaces) and maps it under the root, matching existing entries case-insensitively.
// error is ERROR_PATH_NOT_FOUND for an empty path, ERROR_INVALID_NAME for characters
// Windows never allows in a name, ERROR_BAD_NETPATH/ERROR_BAD_NET_NAME for a missing
// server or share.
ResolvedPath ResolvePath(const std::u16string& windowsPath);

constexpr DWORD kErrorBadNetpath = 53;   // ERROR_BAD_NETPATH
constexpr DWORD kErrorBadNetName = 67;   // ERROR_BAD_NET_NAME
constexpr DWORD kErrorNotSameDevice = 17;  // ERROR_NOT_SAME_DEVICE
constexpr DWORD kErrorNotLocked = 158;   // ERROR_NOT_LOCKED
constexpr DWORD kErrorNotOwner = 288;    // ERROR_NOT_OWNER

// Every file handle the layer hands out starts with this word, so CloseHandle can tell
// a file from junk.
constexpr uint32_t kFileMagic = 0x454C4946;  // "FILE"
struct HandleHeader {
  std::atomic<uint32_t> magic;
};

// The magic word of a handle, or 0 for null, INVALID_HANDLE_VALUE, small integers and
// misaligned values, which are never dereferenced.
uint32_t HandleMagic(HANDLE handle);

// Windows error for an errno of a file operation.
DWORD ErrnoToError(int error);

}  // namespace hostimpl
