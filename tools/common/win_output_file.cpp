// SPDX-License-Identifier: Apache-2.0
// Output files of spoolgate.exe: the same promises as on Linux (a regular file replaced
// only once complete, a device written through, an input never the output, no temporary
// file left by Ctrl-C), kept with Win32 calls and UTF-16 names.
#include "tools/common/output_file.h"

#include "tools/common/errors.h"
#include "tools/common/win_text.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

namespace spoolgate {
namespace {

// Temporary files being written, removed by the console's Ctrl-C and close events. They
// are opened with delete sharing, so that the handler's delete works while they are open.
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

void UnregisterTemp(const std::wstring& path) {
  std::lock_guard<std::mutex> hold(g_tempsLock);
  g_temps.erase(path);
}

std::string Reason() { return ErrorText(GetLastError()); }

// A new file of a unique name made from prefix; its handle as a C runtime descriptor.
int CreateUnique(const std::wstring& prefix, const std::wstring& suffix, std::wstring& made) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    wchar_t tag[16];
    swprintf(tag, 16, L"%06lx", (GetTickCount() * 2654435761u + GetCurrentProcessId() + attempt) & 0xFFFFFFu);
    std::wstring name = prefix + tag + suffix;
    HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      made = name;
      RegisterTemp(made);
      return _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return -1;
  }
  return -1;
}

// The volume and file index of an open handle: two names of one file give the same.
bool IdentityOf(HANDLE h, BY_HANDLE_FILE_INFORMATION& info) {
  return h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &info) &&
         GetFileType(h) == FILE_TYPE_DISK;
}

bool IdentityOfPath(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
  HANDLE h = CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  bool ok = IdentityOf(h, info);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  return ok;
}

std::wstring DirectoryPart(const std::wstring& path) {
  size_t cut = path.find_last_of(L"\\/");
  if (cut == std::wstring::npos) return L"";
  return path.substr(0, cut + 1);
}

}  // namespace

bool NamesStandardOutput(const std::string& path) { return path == "-"; }

OutputFile::OutputFile(const std::string& path, const std::vector<std::string>& inputs)
    : path_(path), target_(path) {
  if (path == "-") {
    _setmode(_fileno(stdout), _O_BINARY);
    std::fflush(stdout);
    fd_ = _fileno(stdout);
    BY_HANDLE_FILE_INFORMATION info;
    identity_ = IdentityOf(GetStdHandle(STD_OUTPUT_HANDLE), info);
    for (const std::string& input : inputs) CheckNotInput(input);
    return;
  }
  std::wstring wide = Wide(path);
  DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) throw InputError(path + ": " + ErrorText(error));
  } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    throw InputError(path + ": is a directory");
  } else {
    exists_ = true;
  }
  BY_HANDLE_FILE_INFORMATION info;
  identity_ = exists_ && IdentityOfPath(path, info);
  for (const std::string& input : inputs) CheckNotInput(input);
  if (exists_ && !identity_) {
    // A device (NUL, a port) takes the bytes as they come; it is never replaced.
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) throw InputError(path + ": " + Reason());
    fd_ = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    return;
  }
  std::wstring name = wide.substr(DirectoryPart(wide).size());
  std::wstring temp;
  fd_ = CreateUnique(DirectoryPart(wide) + L"." + name + L".", L".part", temp);
  if (fd_ < 0) throw InputError(path + ": cannot create a temporary file beside it: " + Reason());
  temp_ = Utf8(temp);
}

OutputFile::~OutputFile() {
  if (fd_ > 2) _close(fd_);
  if (!temp_.empty()) {
    DeleteFileW(Wide(temp_).c_str());
    UnregisterTemp(Wide(temp_));
  }
}

void OutputFile::CheckNotInput(const std::string& path) const {
  if (!identity_ || path == "-") return;
  BY_HANDLE_FILE_INFORMATION out, in;
  bool have = path_ == "-" ? IdentityOf(GetStdHandle(STD_OUTPUT_HANDLE), out)
                           : IdentityOfPath(target_, out);
  if (!have || !IdentityOfPath(path, in)) return;
  if (out.dwVolumeSerialNumber == in.dwVolumeSerialNumber &&
      out.nFileIndexHigh == in.nFileIndexHigh && out.nFileIndexLow == in.nFileIndexLow) {
    throw InputError(path_ + ": is the input " + path + "; choose another output");
  }
}

void OutputFile::WriteOut(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    unsigned chunk = size > (1u << 30) ? (1u << 30) : unsigned(size);
    int n = _write(fd_, p, chunk);
    if (n <= 0) throw InputError(path_ + ": write failed: " + std::strerror(errno));
    p += n;
    size -= size_t(n);
  }
}

void OutputFile::Commit() {
  Flush();
  if (fd_ > 2) {
    int fd = fd_;
    fd_ = -1;
    if (_close(fd) != 0) throw InputError(path_ + ": write failed: " + std::strerror(errno));
  }
  if (temp_.empty()) return;
  std::wstring temp = Wide(temp_), target = Wide(target_);
  if (exists_) {
    DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
      throw InputError(path_ + ": is no longer a regular file; nothing written");
    }
    if (!MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      throw InputError(path_ + ": " + Reason());
    }
  } else if (!MoveFileExW(temp.c_str(), target.c_str(), 0)) {
    DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
      throw InputError(path_ + ": appeared while it was written; nothing replaced");
    }
    throw InputError(path_ + ": " + ErrorText(error));
  }
  UnregisterTemp(temp);
  temp_.clear();
}

namespace {

// The copy of standard input, removed at exit.
struct StandardInputCopy {
  std::wstring path;
  ~StandardInputCopy() {
    if (!path.empty()) {
      DeleteFileW(path.c_str());
      UnregisterTemp(path);
    }
  }
};

}  // namespace

std::string InputPath(const std::string& given) {
  static StandardInputCopy copy;
  if (given != "-") return given;
  if (!copy.path.empty()) return Utf8(copy.path);
  wchar_t dir[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, dir);
  if (n == 0 || n > MAX_PATH) throw InputError("-: cannot copy standard input: no temporary folder");
  int fd = CreateUnique(std::wstring(dir, n) + L"spoolgate-stdin-", L".tmp", copy.path);
  if (fd < 0) throw InputError("-: cannot copy standard input: " + Reason());
  _setmode(_fileno(stdin), _O_BINARY);
  char buffer[1 << 16];
  for (;;) {
    int got = _read(_fileno(stdin), buffer, sizeof buffer);
    if (got < 0) {
      _close(fd);
      throw InputError(std::string("-: read error: ") + std::strerror(errno));
    }
    if (got == 0) break;
    if (_write(fd, buffer, unsigned(got)) != got) {
      _close(fd);
      throw InputError(std::string("-: cannot copy standard input: ") + std::strerror(errno));
    }
  }
  if (_close(fd) != 0) throw InputError(std::string("-: cannot copy standard input: ") + std::strerror(errno));
  return Utf8(copy.path);
}

}  // namespace spoolgate
