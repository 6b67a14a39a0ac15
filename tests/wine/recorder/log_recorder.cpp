// SPDX-License-Identifier: Apache-2.0
// A stand-in for the logging library that only records: its load and every call
// append a line "<path of this copy> <event>" to the file named by the environment
// variable SPOOLGATE_RECORDER_FILE, so that a test can tell which copy ran, if any.
#include <windows.h>

namespace {

HMODULE self = nullptr;

void Record(const char* event) {
  WCHAR file[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(L"SPOOLGATE_RECORDER_FILE", file, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  WCHAR path[MAX_PATH];
  DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
  char line[3 * MAX_PATH + 64];
  int used = WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(length), line,
                                 3 * MAX_PATH, nullptr, nullptr);
  line[used++] = ' ';
  for (const char* c = event; *c != 0; ++c) line[used++] = *c;
  line[used++] = '\n';
  HANDLE out = CreateFileW(file, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(out, line, static_cast<DWORD>(used), &written, nullptr);
  CloseHandle(out);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    self = instance;
    Record("load");
  }
  return TRUE;
}

extern "C" int WINAPI QenDrvLogInitializeInfo(int, void*, int) {
  Record("QenDrvLogInitializeInfo");
  return 1;
}

// A one-byte record: just its terminating zero.
extern "C" int WINAPI QenDrvLogFormatRecord(int, int, void*, void* buffer, DWORD size,
                                            DWORD* requiredSize) {
  Record("QenDrvLogFormatRecord");
  if (requiredSize != nullptr) *requiredSize = 1;
  if (buffer != nullptr && size > 0) static_cast<char*>(buffer)[0] = 0;
  return 1;
}

extern "C" int WINAPI QenDrvLogWriteRecord(const char*, const char*, DWORD, int, const void*,
                                           void*) {
  Record("QenDrvLogWriteRecord");
  return 1;
}
