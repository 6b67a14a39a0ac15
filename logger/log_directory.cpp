// SPDX-License-Identifier: Apache-2.0
// The log directory: created with a descriptor that lets only SYSTEM and the
// Administrators write, and refused when a reparse point or another account has it.
#include "logger/log_directory.h"

// Room for a TOKEN_USER and its SID (at most 15 sub-authorities: 68 bytes), and for a
// descriptor that holds only an owner.
#define LOG_TOKEN_USER_BYTES (sizeof(TOKEN_USER) + 68)
#define LOG_OWNER_DESCRIPTOR_BYTES 256

BOOL IsReparsePoint(const WCHAR* path) {
  DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// TRUE when owner is the account this process runs as: in the spooler that is SYSTEM,
// anywhere else the account that created the directory on its first write.
static BOOL IsProcessAccount(PSID owner) {
  HANDLE token = NULL;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return FALSE;
  union {
    TOKEN_USER user;
    BYTE bytes[LOG_TOKEN_USER_BYTES];
  } buffer;
  DWORD needed = 0;
  BOOL same = GetTokenInformation(token, TokenUser, &buffer, sizeof(buffer), &needed) &&
              EqualSid(owner, buffer.user.User.Sid);
  CloseHandle(token);
  return same;
}

// A directory that another account owns may have been made by a user before the first
// job, to read or edit the log or to plant entries in it: it is never written to.
static LogDirectoryVerdict JudgeOwner(const WCHAR* directory, PSID runAs) {
  union {
    void* align;
    BYTE bytes[LOG_OWNER_DESCRIPTOR_BYTES];
  } descriptor;
  DWORD needed = 0;
  PSID owner = NULL;
  BOOL defaulted = FALSE;
  if (!GetFileSecurityW(directory, OWNER_SECURITY_INFORMATION, &descriptor, sizeof(descriptor),
                        &needed) ||
      !GetSecurityDescriptorOwner(&descriptor, &owner, &defaulted) || owner == NULL) {
    return LOG_DIRECTORY_OWNER_UNKNOWN;
  }
  BOOL trusted = IsWellKnownSid(owner, WinLocalSystemSid) ||
                 IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                 (runAs != NULL ? EqualSid(owner, runAs) : IsProcessAccount(owner));
  return trusted ? LOG_DIRECTORY_USABLE : LOG_DIRECTORY_FOREIGN_OWNER;
}

// The attributes of path after creating it, with the log directory's descriptor, when
// it was missing. The descriptor is made on the first creation only.
static DWORD CreateLogDirectory(const WCHAR* path, PSECURITY_DESCRIPTOR* descriptor) {
  DWORD attributes = GetFileAttributesW(path);
  if (attributes != INVALID_FILE_ATTRIBUTES) return attributes;
  if (*descriptor == NULL &&
      !ConvertStringSecurityDescriptorToSecurityDescriptorW(LOG_DIRECTORY_SDDL, SDDL_REVISION_1,
                                                            descriptor, NULL)) {
    return INVALID_FILE_ATTRIBUTES;
  }
  SECURITY_ATTRIBUTES security;
  security.nLength = sizeof(security);
  security.lpSecurityDescriptor = *descriptor;
  security.bInheritHandle = FALSE;
  CreateDirectoryW(path, &security);
  return GetFileAttributesW(path);
}

// The attributes of path, after creating it when create is set.
static DWORD LogPathPart(const WCHAR* path, BOOL create, PSECURITY_DESCRIPTOR* descriptor) {
  return create ? CreateLogDirectory(path, descriptor) : GetFileAttributesW(path);
}

LogDirectoryVerdict JudgeLogDirectory(WCHAR* directory, BOOL create, PSID runAs, size_t* where) {
  size_t length = 0;
  while (directory[length] != 0) ++length;
  if (where != NULL) *where = length;
  if (length == 0) return LOG_DIRECTORY_USABLE;  // the root of the current drive
  PSECURITY_DESCRIPTOR descriptor = NULL;
  LogDirectoryVerdict verdict = LOG_DIRECTORY_USABLE;
  for (size_t i = 1; verdict == LOG_DIRECTORY_USABLE && i < length; ++i) {
    // Skip the separator after a drive letter and the two that open a UNC path.
    if (!IsLogPathSeparator(directory[i]) || directory[i - 1] == ':' ||
        IsLogPathSeparator(directory[i - 1]))
      continue;
    WCHAR saved = directory[i];
    directory[i] = 0;
    // A parent that cannot be had is not final (a share root, or another writer made it
    // first); a junction or symbolic link is, as it could lead anywhere.
    DWORD attributes = LogPathPart(directory, create, &descriptor);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      verdict = LOG_DIRECTORY_REPARSE_POINT;
      if (where != NULL) *where = i;
    }
    directory[i] = saved;
  }
  if (verdict == LOG_DIRECTORY_USABLE) {
    DWORD attributes = LogPathPart(directory, create, &descriptor);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      verdict = create ? LOG_DIRECTORY_UNAVAILABLE : LOG_DIRECTORY_MISSING;
    } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      verdict = LOG_DIRECTORY_REPARSE_POINT;
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      verdict = LOG_DIRECTORY_UNAVAILABLE;
    } else {
      verdict = JudgeOwner(directory, runAs);
    }
  }
  if (descriptor != NULL) LocalFree(descriptor);
  return verdict;
}

BOOL EnsureLogDirectory(WCHAR* directory) {
  return JudgeLogDirectory(directory, TRUE, NULL, NULL) == LOG_DIRECTORY_USABLE;
}
