// SPDX-License-Identifier: Apache-2.0
// The record of the product's Win32 calls: each recorded function is exported here under
// its Win32 name, calls its module's implementation and hands the call to the sink.
#include "platform/host/call_record.h"

#include <atomic>

namespace {

struct Sink {
  HostCallSink function;
  void* context;
};
std::atomic<const Sink*> g_sink{nullptr};
Sink g_sinks[2];  // alternated, so a sink being replaced is never written while in use
unsigned g_nextSink = 0;

// Hands the call to the sink, leaving the caller's last error as the call left it.
void Emit(const Sink* sink, HostCall& call, bool failed) {
  call.failed = failed;
  DWORD error = GetLastError();
  if (call.kind != HostCallKind::Registry) call.error = error;
  sink->function(call, sink->context);
  SetLastError(error);
}

HostCall Call(const char* function, HostCallKind kind, const void* handle) {
  HostCall call;
  call.function = function;
  call.kind = kind;
  call.handle = handle;
  return call;
}

uint64_t Unsigned(LONGLONG value) { return static_cast<uint64_t>(value); }

}  // namespace

void HostSetCallSink(HostCallSink sink, void* context) {
  if (sink == nullptr) {
    g_sink.store(nullptr, std::memory_order_release);
    return;
  }
  Sink& slot = g_sinks[g_nextSink++ % 2];
  slot = {sink, context};
  g_sink.store(&slot, std::memory_order_release);
}

using namespace hostimpl;

// --- files and directories ----------------------------------------------------------

extern "C" HANDLE WINAPI CreateFileW(LPCWSTR path, DWORD access, DWORD shareMode,
                                     LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                     DWORD flagsAndAttributes, HANDLE templateFile) {
  HANDLE file = plain::CreateFileW(path, access, shareMode, security, disposition,
                                   flagsAndAttributes, templateFile);
  if (const Sink* sink = g_sink.load(std::memory_order_acquire)) {
    HostCall call = Call("CreateFileW", HostCallKind::File, file);
    call.name = path;
    call.args[0] = access;
    call.args[1] = shareMode;
    call.args[2] = disposition;
    call.result = reinterpret_cast<uintptr_t>(file);
    Emit(sink, call, file == INVALID_HANDLE_VALUE);
  }
  return file;
}

extern "C" BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
                                LPOVERLAPPED overlapped) {
  BOOL ok = plain::ReadFile(file, buffer, toRead, read, overlapped);
  if (const Sink* sink = g_sink.load(std::memory_order_acquire)) {
    HostCall call = Call("ReadFile", HostCallKind::File, file);
    call.args[0] = toRead;
    call.data = buffer;
    call.size = read != nullptr ? *read : 0;
    call.result = ok;
    Emit(sink, call, !ok);
  }
  return ok;
}

extern "C" BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                                 LPOVERLAPPED overlapped) {
  BOOL ok = plain::WriteFile(file, buffer, toWrite, written, overlapped);
  if (const Sink* sink = g_sink.load(std::memory_order_acquire)) {
    HostCall call = Call("WriteFile", HostCallKind::File, file);
    call.data = buffer;
    call.size = toWrite;
    call.args[0] = written != nullptr ? *written : 0;
    call.result = ok;
    Emit(sink, call, !ok);
  }
  return ok;
}

extern "C" DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh,
                                       DWORD method) {
  DWORD low = plain::SetFilePointer(file, distance, distanceHigh, method);
  if (const Sink* sink = g_sink.load(std::memory_order_acquire)) {
    HostCall call = Call("SetFilePointer", HostCallKind::File, file);
    call.args[0] = Unsigned(distance);
    call.args[1] = method;
    call.result = low;
    // INVALID_SET_FILE_POINTER is also a valid low word; the last error tells.
    Emit(sink, call, low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
  }
  return low;
}

extern "C" BOOL WINAPI SetFilePointerEx(HANDLE file, LARGE_INTEGER distance,
                                        PLARGE_INTEGER newPosition, DWORD method) {
  BOOL ok = plain::SetFilePointerEx(file, distance, newPosition, method);
  if (const Sink* sink = g_sink.load(std::memory_order_acquire)) {
    HostCall call = Call("SetFilePointerEx", HostCallKind::File, file);
    call.args[0] = Unsigned(distance.QuadPart);
    call.args[1] = method;
    call.result = ok && newPosition != nullptr ? Unsigned(newPosition->QuadPart) : ok;
    Emit(sink, call, !ok);
  }
  return ok;
}

extern "C" BOOL WINAPI GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
  BOOL ok = plain::GetFileSizeEx(file, size);
  if (const Sink* sink = g_sink.load(std::memory_order_acquire)) {
    HostCall call = Call("GetFileSizeEx", HostCallKind::File, file);
    call.result = ok && size != nullptr ? Unsigned(size->QuadPart) : 0;
    Emit(sink, call, !ok);
  }
  return ok;
}

extern "C" BOOL WINAPI GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  BOOL ok = plain::GetFileInformationByHandle(file, info);
  if (const Sink* sink = g_sink.load(std::memory_order_acquire)) {
    HostCall call = Call("GetFileInformationByHandle", HostCallKind::File, file);
    call.result = ok;
    Emit(sink, call, !ok);
  }
  return ok;
}

// The calls that take a file handle and give a BOOL alone.
template <typename F, typename... A>
BOOL RecordFileCall(const char* name, F function, HANDLE file, uint64_t arg, A... args) {
  BOOL ok = function(file, args...);
  if (const Sink* sink = g_sink.load(std::memory_order_acquire)) {
    HostCall call = Call(name, HostCallKind::File, file);
    call.args[0] = arg;
    call.result = ok;
    Emit(sink, call, !ok);
  }
  return ok;
}

extern "C" BOOL WINAPI SetEndOfFile(HANDLE file) {
  return RecordFileCall("SetEndOfFile", plain::SetEndOfFile, file, 0);
}

extern "C" BOOL WINAPI FlushFileBuffers(HANDLE file) {
  return RecordFileCall("FlushFileBuffers", plain::FlushFileBuffers, file, 0);
}

extern "C" BOOL WINAPI LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD bytesLow,
                                  DWORD bytesHigh, LPOVERLAPPED overlapped) {
  return RecordFileCall("LockFileEx", plain::LockFileEx, file, flags, flags, reserved, bytesLow,
                        bytesHigh, overlapped);
}

extern "C" BOOL WINAPI UnlockFileEx(HANDLE file, DWORD reserved, DWORD bytesLow, DWORD bytesHigh,
                                    LPOVERLAPPED overlapped) {
  return RecordFileCall("UnlockFileEx", plain::UnlockFileEx, file, 0, reserved, bytesLow,
                        bytesHigh, overlapped);
}

extern "C" BOOL WINAPI CloseHandle(HANDLE object) {
  return RecordFileCall("CloseHandle", plain::CloseHandle, object, 0);
}

extern "C" BOOL WINAPI CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
  BOOL ok = plain::CreateDirectoryW(path, security);
  if (const Sink* sink = g_sink.load(std::memory_order_acquire)) {
    HostCall call = Call("CreateDirectoryW", HostCallKind::Directory, nullptr);
    call.name = path;
    call.result = ok;
    Emit(sink, call, !ok);
  }
  return ok;
}

extern "C" DWORD WINAPI GetFileAttributesW(LPCWSTR path) {
  DWORD attributes = plain::GetFileAttributesW(path);
  if (const Sink* sink = g_sink.load(std::memory_order_acquire)) {
    HostCall call = Call("GetFileAttributesW", HostCallKind::File, nullptr);
    call.name = path;
    call.result = attributes;
    Emit(sink, call, attributes == INVALID_FILE_ATTRIBUTES);
  }
  return attributes;
}

extern "C" BOOL WINAPI MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
  BOOL ok = plain::MoveFileExW(from, to, flags);
  if (const Sink* sink = g_sink.load(std::memory_order_acquire)) {
    HostCall call = Call("MoveFileExW", HostCallKind::File, nullptr);
    call.name = from;
    call.name2 = to;
    call.args[0] = flags;
    call.result = ok;
    Emit(sink, call, !ok);
  }
  return ok;
}

extern "C" BOOL WINAPI DeleteFileW(LPCWSTR path) {
  BOOL ok = plain::DeleteFileW(path);
  if (const Sink* sink = g_sink.load(std::memory_order_acquire)) {
    HostCall call = Call("DeleteFileW", HostCallKind::File, nullptr);
    call.name = path;
    call.result = ok;
    Emit(sink, call, !ok);
  }
  return ok;
}

// --- registry -------------------------------------------------------------------------

void EmitRegistry(const Sink* sink, const char* name, HKEY key, LPCWSTR text, LSTATUS status,
                  HostCall call = HostCall()) {
  call.function = name;
  call.kind = HostCallKind::Registry;
  if (call.handle == nullptr) call.handle = key;
  call.name = text;
  call.result = static_cast<uint64_t>(static_cast<uint32_t>(status));
  call.error = static_cast<DWORD>(status);
  Emit(sink, call, status != ERROR_SUCCESS);
}

extern "C" LSTATUS WINAPI RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved,
                                          LPWSTR keyClass, DWORD options, REGSAM access,
                                          LPSECURITY_ATTRIBUTES security, PHKEY result,
                                          LPDWORD disposition) {
  LSTATUS status = plain::RegCreateKeyExW(key, subKey, reserved, keyClass, options, access,
                                          security, result, disposition);
  if (const Sink* sink = g_sink.load(std::memory_order_acquire)) {
    HostCall call;
    call.handle = status == ERROR_SUCCESS && result != nullptr ? *result : nullptr;
    call.args[0] = access;
    EmitRegistry(sink, "RegCreateKeyExW", key, subKey, status, call);
  }
  return status;
}

extern "C" LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access,
                                        PHKEY result) {
  LSTATUS status = plain::RegOpenKeyExW(key, subKey, options, access, result);
  if (const Sink* sink = g_sink.load(std::memory_order_acquire)) {
    HostCall call;
    call.handle = status == ERROR_SUCCESS && result != nullptr ? *result : nullptr;
    call.args[0] = access;
    EmitRegistry(sink, "RegOpenKeyExW", key, subKey, status, call);
  }
  return status;
}

extern "C" LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved,
                                           LPDWORD type, LPBYTE data, LPDWORD dataSize) {
  DWORD asked = dataSize != nullptr ? *dataSize : 0;
  LSTATUS status = plain::RegQueryValueExW(key, valueName, reserved, type, data, dataSize);
  if (const Sink* sink = g_sink.load(std::memory_order_acquire)) {
    HostCall call;
    call.args[0] = type != nullptr ? *type : 0;
    call.args[1] = asked;
    if (status == ERROR_SUCCESS && data != nullptr && dataSize != nullptr) {
      call.data = data;
      call.size = *dataSize;
    }
    EmitRegistry(sink, "RegQueryValueExW", key, valueName, status, call);
  }
  return status;
}

extern "C" LSTATUS WINAPI RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
                                         const BYTE* data, DWORD dataSize) {
  LSTATUS status = plain::RegSetValueExW(key, valueName, reserved, type, data, dataSize);
  if (const Sink* sink = g_sink.load(std::memory_order_acquire)) {
    HostCall call;
    call.args[0] = type;
    call.data = data;
    call.size = dataSize;
    EmitRegistry(sink, "RegSetValueExW", key, valueName, status, call);
  }
  return status;
}

extern "C" LSTATUS WINAPI RegCloseKey(HKEY key) {
  LSTATUS status = plain::RegCloseKey(key);
  if (const Sink* sink = g_sink.load(std::memory_order_acquire)) {
    EmitRegistry(sink, "RegCloseKey", key, nullptr, status);
  }
  return status;
}

// --- spooler --------------------------------------------------------------------------

extern "C" BOOL WINAPI WritePrinter(HANDLE printer, LPVOID data, DWORD size, LPDWORD written) {
  BOOL ok = plain::WritePrinter(printer, data, size, written);
  if (const Sink* sink = g_sink.load(std::memory_order_acquire)) {
    HostCall call = Call("WritePrinter", HostCallKind::Spooler, printer);
    call.data = data;
    call.size = size;
    call.args[0] = written != nullptr ? *written : 0;
    call.result = ok;
    Emit(sink, call, !ok);
  }
  return ok;
}

extern "C" BOOL WINAPI GetJobW(HANDLE printer, DWORD jobId, DWORD level, LPBYTE buffer,
                               DWORD bufferSize, LPDWORD needed) {
  BOOL ok = plain::GetJobW(printer, jobId, level, buffer, bufferSize, needed);
  if (const Sink* sink = g_sink.load(std::memory_order_acquire)) {
    HostCall call = Call("GetJobW", HostCallKind::Spooler, printer);
    call.args[0] = jobId;
    call.args[1] = level;
    call.args[2] = bufferSize;
    call.size = needed != nullptr ? *needed : 0;
    call.result = ok;
    Emit(sink, call, !ok);
  }
  return ok;
}

extern "C" BOOL WINAPI GetPrinterW(HANDLE printer, DWORD level, LPBYTE buffer, DWORD bufferSize,
                                   LPDWORD needed) {
  BOOL ok = plain::GetPrinterW(printer, level, buffer, bufferSize, needed);
  if (const Sink* sink = g_sink.load(std::memory_order_acquire)) {
    HostCall call = Call("GetPrinterW", HostCallKind::Spooler, printer);
    call.args[0] = level;
    call.args[1] = bufferSize;
    call.size = needed != nullptr ? *needed : 0;
    call.result = ok;
    Emit(sink, call, !ok);
  }
  return ok;
}

// --- message boxes, events and libraries ------------------------------------------------

extern "C" BOOL WINAPI ReportEventW(HANDLE source, WORD type, WORD category, DWORD eventId,
                                    PSID user, WORD stringCount, DWORD dataSize,
                                    LPCWSTR* strings, LPVOID data) {
  BOOL ok = plain::ReportEventW(source, type, category, eventId, user, stringCount, dataSize,
                                strings, data);
  if (const Sink* sink = g_sink.load(std::memory_order_acquire)) {
    HostCall call = Call("ReportEventW", HostCallKind::Event, source);
    if (strings != nullptr && stringCount > 0) call.name = strings[0];
    if (strings != nullptr && stringCount > 1) call.name2 = strings[1];
    call.args[0] = type;
    call.args[1] = eventId;
    call.result = ok;
    Emit(sink, call, !ok);
  }
  return ok;
}

extern "C" int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  int button = plain::MessageBoxW(owner, text, caption, type);
  if (const Sink* sink = g_sink.load(std::memory_order_acquire)) {
    HostCall call = Call("MessageBoxW", HostCallKind::MessageBox, owner);
    call.name = text;
    call.name2 = caption;
    call.args[0] = type;
    call.result = static_cast<uint64_t>(button);
    Emit(sink, call, button == 0);
  }
  return button;
}

extern "C" HMODULE WINAPI LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) {
  HMODULE module = plain::LoadLibraryExW(name, file, flags);
  if (const Sink* sink = g_sink.load(std::memory_order_acquire)) {
    HostCall call = Call("LoadLibraryExW", HostCallKind::Library, module);
    call.name = name;
    call.args[0] = flags;
    call.result = reinterpret_cast<uintptr_t>(module);
    Emit(sink, call, module == nullptr);
  }
  return module;
}

extern "C" FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
  FARPROC procedure = plain::GetProcAddress(module, name);
  if (const Sink* sink = g_sink.load(std::memory_order_acquire)) {
    HostCall call = Call("GetProcAddress", HostCallKind::Library, module);
    call.procedure = reinterpret_cast<uintptr_t>(name) > 0xFFFF ? name : nullptr;
    call.result = reinterpret_cast<uintptr_t>(procedure);
    Emit(sink, call, procedure == nullptr);
  }
  return procedure;
}

extern "C" BOOL WINAPI FreeLibrary(HMODULE module) {
  BOOL ok = plain::FreeLibrary(module);
  if (const Sink* sink = g_sink.load(std::memory_order_acquire)) {
    HostCall call = Call("FreeLibrary", HostCallKind::Library, module);
    call.result = ok;
    Emit(sink, call, !ok);
  }
  return ok;
}
