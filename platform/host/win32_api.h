// SPDX-License-Identifier: Apache-2.0
// The Win32 functions of the host Win32 layer (Linux only): exactly the ones the product
// calls, with Windows' signatures, results and last-error codes (a test compares them
// with what the product libraries import).
#pragma once

#include "platform/host/win32_types.h"

#include <stdarg.h>

#define WIN32_HOST_API extern "C" __attribute__((visibility("default")))

// Errors.
WIN32_HOST_API DWORD WINAPI GetLastError(void);
WIN32_HOST_API void WINAPI SetLastError(DWORD error);

// Memory. GlobalAlloc honours GMEM_FIXED and GMEM_ZEROINIT only.
WIN32_HOST_API HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes);
WIN32_HOST_API HGLOBAL WINAPI GlobalFree(HGLOBAL memory);
// Frees what the security functions below allocate.
WIN32_HOST_API HLOCAL WINAPI LocalFree(HLOCAL memory);

// Files. Paths are Windows paths, mapped under the sandbox root.
WIN32_HOST_API HANDLE WINAPI CreateFileW(LPCWSTR path, DWORD access, DWORD shareMode,
                                         LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                         DWORD flagsAndAttributes, HANDLE templateFile);
WIN32_HOST_API BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
                                    LPOVERLAPPED overlapped);
WIN32_HOST_API BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                                     LPOVERLAPPED overlapped);
WIN32_HOST_API DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh,
                                           DWORD method);
WIN32_HOST_API BOOL WINAPI SetFilePointerEx(HANDLE file, LARGE_INTEGER distance,
                                            PLARGE_INTEGER newPosition, DWORD method);
WIN32_HOST_API BOOL WINAPI GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);
WIN32_HOST_API BOOL WINAPI GetFileInformationByHandle(HANDLE file,
                                                      LPBY_HANDLE_FILE_INFORMATION info);
WIN32_HOST_API BOOL WINAPI SetEndOfFile(HANDLE file);
WIN32_HOST_API BOOL WINAPI FlushFileBuffers(HANDLE file);
WIN32_HOST_API BOOL WINAPI LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD bytesLow,
                                      DWORD bytesHigh, LPOVERLAPPED overlapped);
WIN32_HOST_API BOOL WINAPI UnlockFileEx(HANDLE file, DWORD reserved, DWORD bytesLow,
                                        DWORD bytesHigh, LPOVERLAPPED overlapped);
WIN32_HOST_API BOOL WINAPI CloseHandle(HANDLE object);
WIN32_HOST_API BOOL WINAPI CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
WIN32_HOST_API DWORD WINAPI GetFileAttributesW(LPCWSTR path);
WIN32_HOST_API BOOL WINAPI MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags);
WIN32_HOST_API BOOL WINAPI DeleteFileW(LPCWSTR path);
WIN32_HOST_API HANDLE WINAPI FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW found);
WIN32_HOST_API BOOL WINAPI FindNextFileW(HANDLE search, LPWIN32_FIND_DATAW found);
WIN32_HOST_API BOOL WINAPI FindClose(HANDLE search);

// Registry: HKEY_LOCAL_MACHINE and keys opened under it.
WIN32_HOST_API LSTATUS WINAPI RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved,
                                              LPWSTR keyClass, DWORD options, REGSAM access,
                                              LPSECURITY_ATTRIBUTES security, PHKEY result,
                                              LPDWORD disposition);
WIN32_HOST_API LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options,
                                            REGSAM access, PHKEY result);
WIN32_HOST_API LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved,
                                               LPDWORD type, LPBYTE data, LPDWORD dataSize);
WIN32_HOST_API LSTATUS WINAPI RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved,
                                             DWORD type, const BYTE* data, DWORD dataSize);
WIN32_HOST_API LSTATUS WINAPI RegCloseKey(HKEY key);

// Spooler.
WIN32_HOST_API BOOL WINAPI WritePrinter(HANDLE printer, LPVOID data, DWORD size, LPDWORD written);
WIN32_HOST_API BOOL WINAPI GetJobW(HANDLE printer, DWORD jobId, DWORD level, LPBYTE buffer,
                                   DWORD bufferSize, LPDWORD needed);
WIN32_HOST_API BOOL WINAPI GetPrinterW(HANDLE printer, DWORD level, LPBYTE buffer,
                                       DWORD bufferSize, LPDWORD needed);

// User interface and text.
WIN32_HOST_API int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
WIN32_HOST_API DWORD WINAPI FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId,
                                          DWORD languageId, LPWSTR buffer, DWORD size,
                                          va_list* arguments);
WIN32_HOST_API int WINAPIV wsprintfW(LPWSTR out, LPCWSTR format, ...);
WIN32_HOST_API int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide,
                                              int wideChars, LPSTR multi, int multiBytes,
                                              LPCSTR defaultChar, LPBOOL usedDefault);
WIN32_HOST_API int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multi,
                                              int multiBytes, LPWSTR wide, int wideChars);

// System information.
WIN32_HOST_API UINT WINAPI GetWindowsDirectoryW(LPWSTR buffer, UINT size);
WIN32_HOST_API UINT WINAPI GetSystemDirectoryW(LPWSTR buffer, UINT size);
WIN32_HOST_API BOOL WINAPI GetComputerNameW(LPWSTR buffer, LPDWORD size);
WIN32_HOST_API BOOL WINAPI GetUserNameW(LPWSTR buffer, LPDWORD size);
WIN32_HOST_API BOOL WINAPI VerifyVersionInfoW(LPOSVERSIONINFOEXW info, DWORD typeMask,
                                              ULONGLONG conditionMask);
WIN32_HOST_API ULONGLONG WINAPI VerSetConditionMask(ULONGLONG conditionMask, DWORD typeMask,
                                                    BYTE condition);
WIN32_HOST_API void WINAPI GetSystemTime(LPSYSTEMTIME time);
WIN32_HOST_API void WINAPI Sleep(DWORD milliseconds);

// Event log: events are recorded for the control interface (HostEventLog).
WIN32_HOST_API HANDLE WINAPI RegisterEventSourceW(LPCWSTR server, LPCWSTR source);
WIN32_HOST_API BOOL WINAPI ReportEventW(HANDLE source, WORD type, WORD category, DWORD eventId,
                                        PSID user, WORD stringCount, DWORD dataSize,
                                        LPCWSTR* strings, LPVOID data);
WIN32_HOST_API BOOL WINAPI DeregisterEventSource(HANDLE source);

// Libraries. LoadLibraryExW loads a library by its full Windows path from that directory
// of the sandbox, as the host build "lib<name>.so" when there is one (docs/host-layer.md).
WIN32_HOST_API HMODULE WINAPI LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags);
WIN32_HOST_API BOOL WINAPI GetModuleHandleExW(DWORD flags, LPCWSTR name, HMODULE* module);
WIN32_HOST_API DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
WIN32_HOST_API FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name);
WIN32_HOST_API BOOL WINAPI FreeLibrary(HMODULE module);

// Security: descriptors from their string form, file owners, the process's own account.
WIN32_HOST_API BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(
    LPCWSTR text, DWORD revision, PSECURITY_DESCRIPTOR* descriptor, ULONG* size);
WIN32_HOST_API BOOL WINAPI GetFileSecurityW(LPCWSTR name, SECURITY_INFORMATION info,
                                            PSECURITY_DESCRIPTOR descriptor, DWORD size,
                                            LPDWORD needed);
WIN32_HOST_API BOOL WINAPI GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR descriptor,
                                                      PSID* owner, LPBOOL defaulted);
WIN32_HOST_API BOOL WINAPI IsWellKnownSid(PSID sid, WELL_KNOWN_SID_TYPE type);
WIN32_HOST_API BOOL WINAPI EqualSid(PSID first, PSID second);
WIN32_HOST_API HANDLE WINAPI GetCurrentProcess(void);
WIN32_HOST_API BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
WIN32_HOST_API BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS type,
                                               LPVOID buffer, DWORD size, LPDWORD needed);
