// SPDX-License-Identifier: Apache-2.0
// The conformance scenarios' platform adapter on Windows: the real spoolgate.dll loaded
// by path, our spooler double, Win32 files and registry, and message boxes read back
// from Wine's relay trace of user32.MessageBoxW.
#include "tests/wine/wine_platform.h"

#include "tests/wine/spoolss/spool_double.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sgconf {
namespace {


const std::u16string kCsrProvider =
    u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\Providers\\Client Side "
    u"Rendering Print Provider";

[[noreturn]] void Fatal(const char* what, const std::u16string& detail) {
  std::fprintf(stderr, "wine_tests: %s %s (error %lu)\n", what, Utf8(detail).c_str(),
               GetLastError());
  std::fflush(stderr);
  std::exit(3);
}

}  // namespace

std::u16string ProgramDirectory() {
  WCHAR path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::u16string text(reinterpret_cast<const char16_t*>(path), length);
  return text.substr(0, text.find_last_of(u'\\'));
}

PluginExports FindExports(HMODULE module) {
  auto find = [&](const char* name) {
    FARPROC p = GetProcAddress(module, name);
    if (p == nullptr) Fatal("missing export", Utf16(name));
    return reinterpret_cast<void*>(p);
  };
  PluginExports e;
  e.StartDoc = reinterpret_cast<decltype(e.StartDoc)>(find("DrvSplStartDoc"));
  e.WritePrinter = reinterpret_cast<decltype(e.WritePrinter)>(find("DrvSplWritePrinter"));
  e.StartPage = reinterpret_cast<decltype(e.StartPage)>(find("DrvSplStartPage"));
  e.EndPage = reinterpret_cast<decltype(e.EndPage)>(find("DrvSplEndPage"));
  e.EndDoc = reinterpret_cast<decltype(e.EndDoc)>(find("DrvSplEndDoc"));
  e.Abort = reinterpret_cast<decltype(e.Abort)>(find("DrvSplAbort"));
  e.Close = reinterpret_cast<decltype(e.Close)>(find("DrvSplClose"));
  e.MyStartDoc = reinterpret_cast<decltype(e.MyStartDoc)>(find("MyDrvSplStartDoc"));
  return e;
}

void DeleteTree(const std::u16string& path) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(W(path + u"\\*"), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::u16string name(reinterpret_cast<const char16_t*>(found.cFileName));
      if (name == u"." || name == u"..") continue;
      std::u16string child = path + u"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        DeleteTree(child);
      } else {
        SetFileAttributesW(W(child), FILE_ATTRIBUTE_NORMAL);
        if (!DeleteFileW(W(child))) Fatal("cannot delete", child);
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(W(path));
}

namespace {

// Appends what a pipe holds now, without waiting for more.
void TakeAvailable(HANDLE pipe, std::string& text) {
  DWORD available = 0;
  while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
    char buffer[4096];
    DWORD got = 0;
    if (!ReadFile(pipe, buffer, available < sizeof buffer ? available : sizeof buffer, &got, nullptr) ||
        got == 0) {
      return;
    }
    text.append(buffer, got);
  }
}

}  // namespace

int RunProgram(const std::u16string& commandLine, std::string* output, std::string* errors) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
  if (!CreatePipe(&outRead, &outWrite, &inherit, 0) || !CreatePipe(&errRead, &errWrite, &inherit, 0)) {
    return -1;
  }
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  std::vector<WCHAR> line(commandLine.begin(), commandLine.end());
  line.push_back(0);
  PROCESS_INFORMATION process{};
  BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                &startup, &process);
  CloseHandle(outWrite);
  CloseHandle(errWrite);
  int exitCode = -1;
  if (started) {
    // The pipes are read while the program runs and until it has ended, not to their
    // end: a process Wine starts on the program's behalf (its desktop) may inherit them
    // and keep them open.
    std::string out, err;
    for (DWORD waited = 0;; waited += 5) {
      bool ended = WaitForSingleObject(process.hProcess, 5) == WAIT_OBJECT_0 || waited > 120000;
      TakeAvailable(outRead, out);
      TakeAvailable(errRead, err);
      if (ended) break;
    }
    if (output != nullptr) *output = out;
    if (errors != nullptr) *errors = err;
    DWORD code = 0;
    if (GetExitCodeProcess(process.hProcess, &code)) exitCode = static_cast<int>(code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  CloseHandle(outRead);
  CloseHandle(errRead);
  return exitCode;
}

namespace {

PluginExports LoadPlugin() {
  // Loaded by full path from the driver directory, as the spooler loads a driver's
  // plug-in; the logging library lies beside it there.
  std::u16string path = ProgramDirectory() + u"\\driver\\spoolgate.dll";
  HMODULE module = LoadLibraryW(W(path));
  if (module == nullptr) Fatal("cannot load", path);
  return FindExports(module);
}

// --- message boxes from the relay trace ----------------------------------------------

std::optional<std::u16string> TracePath() {
  const char* path = std::getenv("SPOOLGATE_RELAY_TRACE");
  if (path == nullptr || *path == 0) return std::nullopt;
  return Utf16(path);
}

LONGLONG traceOffset = 0;

LONGLONG TraceSize() {
  std::optional<std::u16string> path = TracePath();
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!path || !GetFileAttributesExW(W(*path), GetFileExInfoStandard, &data)) return 0;
  return (LONGLONG(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

uintptr_t Hex(const std::string& line, size_t& at) {
  uintptr_t value = 0;
  while (at < line.size() && isxdigit(static_cast<unsigned char>(line[at]))) {
    value = value * 16 + std::stoul(line.substr(at, 1), nullptr, 16);
    ++at;
  }
  return value;
}

// One string argument as the relay trace prints it: a pointer, and behind a non-null
// one its text in Wine's debug notation (L"...", with \n, \", \\ and \xxxx escapes).
std::optional<std::u16string> TraceString(const std::string& line, size_t& at) {
  uintptr_t pointer = Hex(line, at);
  if (pointer == 0) return std::nullopt;
  std::u16string text;
  if (line.compare(at, 3, " L\"") != 0) {
    ADD_FAILURE() << "unexpected relay trace: " << line;
    return text;
  }
  for (at += 3; at < line.size() && line[at] != '"'; ++at) {
    if (line[at] != '\\') {
      text += static_cast<char16_t>(static_cast<unsigned char>(line[at]));
      continue;
    }
    char c = line[++at];
    if (c == 'n') text += u'\n';
    else if (c == 'r') text += u'\r';
    else if (c == 't') text += u'\t';
    else if (isxdigit(static_cast<unsigned char>(c))) {
      text += static_cast<char16_t>(std::stoul(line.substr(at, 4), nullptr, 16));
      at += 3;
    } else text += static_cast<char16_t>(c);
  }
  ++at;  // the closing quote
  return text;
}

}  // namespace

const PluginExports& Plugin() {
  static PluginExports exports = LoadPlugin();
  return exports;
}

bool OnWindows() { return true; }

bool UseOemCodePage(unsigned) { return false; }


void PlatformReset() {
  SpoolDoubleReset();
  DeleteTree(TestRoot());
  if (!CreateDirectoryW(W(TestRoot()), nullptr)) Fatal("cannot create", TestRoot());
  DeleteTree(WindowsDirectory() + u"\\temp\\PrintLog");
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, W(u"SOFTWARE\\TALVOK"));
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, W(u"SOFTWARE\\TALVOK"));
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, W(kCsrProvider));
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, W(kCsrProvider));
  traceOffset = TraceSize();
}

HANDLE AddPrinter(std::optional<std::u16string> server, const std::u16string& name,
                  const std::u16string& port) {
  return SpoolDoubleAddPrinter(server ? W(*server) : nullptr, W(name), W(port));
}

void AddJob(HANDLE printer, DWORD jobId, std::optional<std::u16string> document,
            std::optional<std::u16string> user) {
  SpoolDoubleAddJob(printer, jobId, document ? W(*document) : nullptr, user ? W(*user) : nullptr);
}

Bytes PrinterBytes(HANDLE printer) {
  Bytes bytes(SpoolDoublePrinterBytes(printer, nullptr, 0));
  SpoolDoublePrinterBytes(printer, bytes.data(), static_cast<DWORD>(bytes.size()));
  return bytes;
}

std::vector<uint32_t> PrinterWrites(HANDLE printer) {
  std::vector<DWORD> sizes(SpoolDoublePrinterWrites(printer, nullptr, 0));
  SpoolDoublePrinterWrites(printer, sizes.data(), static_cast<DWORD>(sizes.size()));
  return std::vector<uint32_t>(sizes.begin(), sizes.end());
}

std::optional<Bytes> ReadWindowsFile(const std::u16string& path) {
  HANDLE file = CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  Bytes bytes;
  uint8_t chunk[65536];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) {
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  CloseHandle(file);
  return bytes;
}

void MakeWindowsDirectory(const std::u16string& path) {
  for (size_t at = path.find(u'\\', 3); ; at = path.find(u'\\', at + 1)) {
    CreateDirectoryW(W(path.substr(0, at)), nullptr);
    if (at == std::u16string::npos) break;
  }
  if (!WindowsDirectoryExists(path)) Fatal("cannot create", path);
}

void WriteWindowsFile(const std::u16string& path, const Bytes& bytes) {
  MakeWindowsDirectory(path.substr(0, path.find_last_of(u'\\')));
  HANDLE file = CreateFileW(W(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) Fatal("cannot write", path);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

bool WindowsDirectoryExists(const std::u16string& path) {
  DWORD attributes = GetFileAttributesW(W(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::u16string> ListWindowsDirectory(const std::u16string& path) {
  std::vector<std::u16string> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(W(path + u"\\*"), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    std::u16string name(reinterpret_cast<const char16_t*>(found.cFileName));
    if (name != u"." && name != u"..") names.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<RegistryValue> ReadRegistryValue(const std::u16string& key,
                                               const std::u16string& name) {
  HKEY opened;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(key), 0, KEY_READ, &opened) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  RegistryValue value;
  DWORD size = 0;
  LSTATUS status = RegQueryValueExW(opened, W(name), nullptr, &value.type, nullptr, &size);
  if (status == ERROR_SUCCESS) {
    value.data.resize(size);
    status = RegQueryValueExW(opened, W(name), nullptr, &value.type, value.data.data(), &size);
    value.data.resize(size);
  }
  RegCloseKey(opened);
  if (status != ERROR_SUCCESS) return std::nullopt;
  return value;
}

void WriteRegistryValue(const std::u16string& key, const std::u16string& name, DWORD type,
                        const Bytes& data) {
  HKEY opened;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, W(key), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &opened,
                      nullptr) != ERROR_SUCCESS) {
    Fatal("cannot create key", key);
  }
  RegSetValueExW(opened, W(name), 0, type, data.data(), static_cast<DWORD>(data.size()));
  RegCloseKey(opened);
}

bool RegistryKeyExists(const std::u16string& key) {
  HKEY opened;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(key), 0, KEY_READ, &opened) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(opened);
  return true;
}

std::vector<MessageBoxSeen> MessageBoxesShown() {
  std::vector<MessageBoxSeen> boxes;
  std::optional<std::u16string> path = TracePath();
  if (!path) {
    ADD_FAILURE() << "message boxes are read from Wine's relay trace; run under "
                     "scripts/wine-tests.sh, which sets SPOOLGATE_RELAY_TRACE";
    return boxes;
  }
  std::optional<Bytes> trace = ReadWindowsFile(*path);
  if (!trace || LONGLONG(trace->size()) < traceOffset) return boxes;
  std::string text(trace->begin() + traceOffset, trace->end());
  const std::string call = "Call user32.MessageBoxW(";
  for (size_t at = text.find(call); at != std::string::npos; at = text.find(call, at)) {
    size_t end = text.find('\n', at);
    std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at += call.size();
    size_t p = call.size();
    MessageBoxSeen box;
    box.owner = Hex(line, p);
    ++p;
    box.text = TraceString(line, p).value_or(u"<null>");
    ++p;
    box.caption = TraceString(line, p);
    ++p;
    box.style = static_cast<UINT>(Hex(line, p));
    boxes.push_back(box);
  }
  return boxes;
}

}  // namespace sgconf
