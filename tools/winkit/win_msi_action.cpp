// SPDX-License-Identifier: Apache-2.0
// The MSI's custom action that runs spoolgate.exe setup while the kit installs: it
// starts the command line the installer hands it, captures what setup prints and puts
// it into the installation's log, and when setup ends with anything but 0 shows setup's
// own words as the installation's error and fails it. Windows Installer keeps no output
// of a program it starts itself, so without this the administrator would learn only
// that "a program run as part of the setup did not finish as expected".
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>

namespace {

// What setup prints is a few lines; more than this is not kept (but still read, so
// that setup never blocks on a full pipe).
constexpr size_t kMaxOutput = 64 * 1024;

std::wstring Property(MSIHANDLE install, const wchar_t* name) {
  DWORD chars = 0;
  wchar_t empty[1] = {0};
  if (MsiGetPropertyW(install, name, empty, &chars) != ERROR_MORE_DATA) return std::wstring();
  std::wstring value(size_t(chars) + 1, L'\0');
  chars += 1;
  if (MsiGetPropertyW(install, name, value.data(), &chars) != ERROR_SUCCESS) return std::wstring();
  value.resize(chars);
  return value;
}

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
  std::wstring text(size_t(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), text.data(), n);
  return text;
}

// Hands text to the installer as one message of the given type. The text goes in as a
// field, not as the template, so that brackets in a path are never read as properties.
int Tell(MSIHANDLE install, INSTALLMESSAGE type, const std::wstring& text) {
  MSIHANDLE record = MsiCreateRecord(1);
  if (!record) return 0;
  MsiRecordSetStringW(record, 0, L"[1]");
  MsiRecordSetStringW(record, 1, text.c_str());
  int answer = MsiProcessMessage(install, type, record);
  MsiCloseHandle(record);
  return answer;
}

// Runs the command line with its standard output and error on one pipe; returns its
// exit status, or -1 (with *output saying why) when it could not be started.
long RunCapturing(std::wstring commandLine, std::string* output) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
    *output = "spoolgate setup could not be started: CreatePipe failed (" +
              std::to_string(GetLastError()) + ")";
    return -1;
  }
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  PROCESS_INFORMATION process = {};
  BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
  DWORD startError = GetLastError();
  CloseHandle(writeEnd);  // the pipe ends when the program's copy closes
  if (!started) {
    CloseHandle(readEnd);
    *output = "spoolgate setup could not be started (" + std::to_string(startError) + ")";
    return -1;
  }
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    size_t room = kMaxOutput - output->size();
    output->append(buffer, got < room ? got : room);
  }
  CloseHandle(readEnd);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 1;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return long(status);
}

}  // namespace

// RunSetup() - the deferred custom action. CustomActionData is the whole command line:
// the installed spoolgate.exe, quoted, and setup's arguments. Returns ERROR_SUCCESS when
// setup ended with 0, else ERROR_INSTALL_FAILURE after showing setup's output as the
// installation's error.
extern "C" UINT __stdcall RunSetup(MSIHANDLE install) {
  std::wstring commandLine = Property(install, L"CustomActionData");
  if (commandLine.empty()) {
    Tell(install, INSTALLMESSAGE_ERROR, L"spoolgate setup: the installer passed no command line");
    return ERROR_INSTALL_FAILURE;
  }
  Tell(install, INSTALLMESSAGE_INFO, L"spoolgate: running " + commandLine);
  std::string output;
  long status = RunCapturing(commandLine, &output);
  std::wstring text = Wide(output);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
  Tell(install, INSTALLMESSAGE_INFO, L"spoolgate setup (exit status " + std::to_wstring(status) +
                                         L"): " + text);
  if (status == 0) return ERROR_SUCCESS;
  Tell(install, INSTALLMESSAGE(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR),
       L"spoolgate setup refused or failed (exit status " + std::to_wstring(status) +
           L"); nothing of the kit is installed:\r\n" + text);
  return ERROR_INSTALL_FAILURE;
}
