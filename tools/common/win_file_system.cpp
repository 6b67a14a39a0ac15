// SPDX-License-Identifier: Apache-2.0
// The output files' system calls on Windows: UTF-16 names, links followed to their final
// path, the replaced file's DACL given to its successor, and a console handler that
// removes the temporary files being written on Ctrl-C or close, and scratch files.
#include "tools/common/file_system.h"

#include "tools/common/win_text.h"

#include <windows.h>

#include <aclapi.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <mutex>
#include <set>

namespace spoolgate {
namespace {

// Temporary files being written. They are opened with delete sharing, so that the
// handler's delete works while they are open.
std::mutex g_tempsLock;
std::set<std::wstring> g_temps;

BOOL WINAPI RemoveTemps(DWORD) {
  std::lock_guard<std::mutex> hold(g_tempsLock);
  for (const std::wstring& temp : g_temps) DeleteFileW(temp.c_str());
  return FALSE;  // and let the default handler end the process
}

void RegisterTemp(const std::wstring& path) {
  static bool installed = SetConsoleCtrlHandler(RemoveTemps, TRUE) != FALSE;
  (void)installed;
  std::lock_guard<std::mutex> hold(g_tempsLock);
  g_temps.insert(path);
}

std::wstring DirectoryPart(const std::wstring& path) {
  size_t cut = path.find_last_of(L"\\/");
  if (cut == std::wstring::npos) return L"";
  return path.substr(0, cut + 1);
}

bool HandleFacts(HANDLE h, FileFacts& facts) {
  if (h == INVALID_HANDLE_VALUE || h == nullptr) return false;
  facts = FileFacts();
  facts.exists = true;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info)) {
    facts.directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts.regular = !facts.directory;
    facts.hasId = true;
    facts.volume = info.dwVolumeSerialNumber;
    facts.index = uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  }
  return true;
}

// Opens a name for its facts only, links followed.
HANDLE OpenForFacts(const std::wstring& path) {
  return CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

std::string LastErrorText() { return ErrorText(GetLastError()); }

int DescriptorNamed(const std::string& path) { return path == "-" ? 1 : -1; }

int CopyDescriptor(int fd) {
  if (fd == 1) std::fflush(stdout);
  int copy = _dup(fd);
  if (copy >= 0) _setmode(copy, _O_BINARY);
  return copy;
}

bool DescriptorFacts(int fd, FileFacts& facts) {
  return HandleFacts(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), facts);
}

bool PathFacts(const std::string& path, FileFacts& facts) {
  facts = FileFacts();
  std::wstring wide = Wide(path);
  DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError() == ERROR_FILE_NOT_FOUND;
  HANDLE h = OpenForFacts(wide);
  if (!HandleFacts(h, facts)) facts.exists = true;  // a device that cannot be opened so
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  facts.directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return true;
}

// The final path of an existing file, from a handle opened through every link (the only
// way to see a Unix symbolic link under Wine, which shows it as the file it leads to). A
// name that is not there, or a folder, is taken as it is.
std::string FollowLinks(const std::string& path, std::string& why) {
  std::wstring wide = Wide(path);
  DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return path;
    // Not there, yet listed in its folder: a link to nothing, refused before any work
    // rather than replaced by a file.
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(wide.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return path;
    FindClose(search);
    why = "a symbolic link to a file that is not there";
    return std::string();
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return path;
  HANDLE h = OpenForFacts(wide);
  if (h == INVALID_HANDLE_VALUE) {
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return path;  // a device
    why = "a symbolic link whose target cannot be opened: " + LastErrorText();
    return std::string();
  }
  std::wstring final(MAX_PATH, L'\0');
  DWORD n = GetFinalPathNameByHandleW(h, final.data(), DWORD(final.size()), FILE_NAME_NORMALIZED);
  if (n >= final.size()) {
    final.resize(n + 1);
    n = GetFinalPathNameByHandleW(h, final.data(), DWORD(final.size()), FILE_NAME_NORMALIZED);
  }
  CloseHandle(h);
  if (n == 0 || n >= final.size()) return path;
  final.resize(n);
  if (final.compare(0, 8, L"\\\\?\\UNC\\") == 0) return Utf8(L"\\\\" + final.substr(8));
  if (final.compare(0, 4, L"\\\\?\\") == 0) return Utf8(final.substr(4));
  return Utf8(final);
}

int OpenToWrite(const std::string& path) {
  HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  return _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
}

int CreateTemp(const std::string& beside, const std::string& prefix, const std::string& suffix,
               std::string& made) {
  std::wstring base;
  if (beside.empty()) {
    wchar_t dir[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, dir);
    if (n == 0 || n > MAX_PATH) return -1;
    base = std::wstring(dir, n) + Wide(prefix);
  } else {
    std::wstring wide = Wide(beside);
    std::wstring folder = DirectoryPart(wide);
    base = folder + Wide(prefix) + wide.substr(folder.size()) + L".";
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    wchar_t tag[16];
    swprintf(tag, 16, L"%06lx", (GetTickCount() * 2654435761u + GetCurrentProcessId() + attempt) & 0xFFFFFFu);
    std::wstring name = base + tag + Wide(suffix);
    // WRITE_DAC: the file takes the permissions of the one it replaces.
    HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE | WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_DELETE,
                           nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      RegisterTemp(name);
      made = Utf8(name);
      return _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return -1;
  }
  return -1;
}

namespace {

// Whether a DACL holds an entry its folder passed on.
bool InheritsAny(PACL dacl) {
  ACL_SIZE_INFORMATION size{};
  if (dacl == nullptr || !GetAclInformation(dacl, &size, sizeof size, AclSizeInformation)) return false;
  for (DWORD i = 0; i < size.AceCount; ++i) {
    void* ace = nullptr;
    if (GetAce(dacl, i, &ace) && (static_cast<ACE_HEADER*>(ace)->AceFlags & INHERITED_ACE)) return true;
  }
  return false;
}

}  // namespace

// The DACL, inheriting from the folder as it did; one that took nothing from its folder
// is set protected, so that the folder's inheritable entries are not added to it (Wine
// shows every file so). A new file gets its folder's DACL like any other. A DACL that
// cannot be read fails the output rather than loosen it.
bool TakePermissions(int fd, const std::string&, const std::string& target, bool replacing) {
  if (!replacing) return true;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  DWORD error = GetNamedSecurityInfoW(Wide(target).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, &dacl, nullptr, &sd);
  if (error == ERROR_SUCCESS) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(sd, &control, &revision);
    bool inherits = !(control & SE_DACL_PROTECTED) && InheritsAny(dacl);
    SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION | (inherits ? UNPROTECTED_DACL_SECURITY_INFORMATION
                                                                      : PROTECTED_DACL_SECURITY_INFORMATION);
    error = SetSecurityInfo(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), SE_FILE_OBJECT, what, nullptr,
                            nullptr, dacl, nullptr);
    LocalFree(sd);
  }
  SetLastError(error);
  return error == ERROR_SUCCESS;
}

long WriteSome(int fd, const void* data, size_t size) {
  return _write(fd, data, size > (1u << 30) ? (1u << 30) : unsigned(size));
}

long ReadSome(int fd, void* data, size_t size) {
  _setmode(fd, _O_BINARY);
  return _read(fd, data, size > (1u << 30) ? (1u << 30) : unsigned(size));
}

bool CloseDescriptor(int fd) { return _close(fd) == 0; }

bool StillRegular(const std::string& path) {
  DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  return attributes == INVALID_FILE_ATTRIBUTES ||
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

MoveResult MoveTemp(const std::string& temp, const std::string& target, bool replacing) {
  if (MoveFileExW(Wide(temp).c_str(), Wide(target).c_str(), replacing ? MOVEFILE_REPLACE_EXISTING : 0)) {
    return MoveResult::kDone;
  }
  DWORD error = GetLastError();
  if (!replacing && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)) {
    return MoveResult::kTargetAppeared;
  }
  return MoveResult::kFailed;
}

void RemoveTemp(const std::string& temp) { DeleteFileW(Wide(temp).c_str()); }

void ForgetTemp(const std::string& temp) {
  std::lock_guard<std::mutex> hold(g_tempsLock);
  g_temps.erase(Wide(temp));
}

std::FILE* OpenScratchFile() {
  wchar_t dir[MAX_PATH + 1], name[MAX_PATH];
  DWORD length = GetTempPathW(MAX_PATH + 1, dir);
  if (length == 0 || length > MAX_PATH || GetTempFileNameW(dir, L"sg", 0, name) == 0) return nullptr;
  // Deleted by the system when its last handle closes, also when the process is ended.
  HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    DeleteFileW(name);
    SetLastError(error);
    return nullptr;
  }
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "w+b");
  if (file == nullptr) _close(fd);
  return file;
}

}  // namespace spoolgate

