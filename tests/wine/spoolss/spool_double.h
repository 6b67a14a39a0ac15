// SPDX-License-Identifier: Apache-2.0
// Control interface of the Windows spooler double (our own spoolss.dll): the test
// program defines printers and jobs, arms write failures and reads what was printed.
#pragma once

#include <windows.h>

#ifdef SPOOL_DOUBLE_BUILD
#define SPOOL_DOUBLE_API extern "C"  // exported by spoolss.def
#else
#define SPOOL_DOUBLE_API extern "C" __declspec(dllimport)
#endif

// Which spooler call SpoolDoubleCallCount counts.
#define SPOOL_DOUBLE_WRITE_PRINTER 0
#define SPOOL_DOUBLE_GET_JOB 1
#define SPOOL_DOUBLE_GET_PRINTER 2

// Forgets every printer, job, armed failure and counter. Handles given out before
// stay invalid (the spooler answers them with ERROR_INVALID_HANDLE).
SPOOL_DOUBLE_API void WINAPI SpoolDoubleReset(void);
// Defines a printer; server may be null (a local printer, null pServerName). Returns
// the handle the spooler would pass to DrvSplStartDoc.
SPOOL_DOUBLE_API HANDLE WINAPI SpoolDoubleAddPrinter(LPCWSTR server, LPCWSTR name, LPCWSTR port);
// Defines a job of the printer; document and user may be null (null pDocument and
// pUserName in its JOB_INFO_2W).
SPOOL_DOUBLE_API BOOL WINAPI SpoolDoubleAddJob(HANDLE printer, DWORD jobId, LPCWSTR document,
                                               LPCWSTR user);
SPOOL_DOUBLE_API BOOL WINAPI SpoolDoubleRemoveJob(HANDLE printer, DWORD jobId);
// Makes the nth WritePrinter call from now (1 = the next one, on any printer) fail
// with error; with persistent, that call and every later one fail.
SPOOL_DOUBLE_API void WINAPI SpoolDoubleFailNthWrite(DWORD nth, DWORD error, BOOL persistent);
// Copies up to size bytes of what WritePrinter accepted for the printer into buffer
// (which may be null); returns the total number of bytes accepted.
SPOOL_DOUBLE_API DWORD WINAPI SpoolDoublePrinterBytes(HANDLE printer, BYTE* buffer, DWORD size);
// Copies up to count sizes of the accepted WritePrinter calls, in order; returns how
// many calls were accepted.
SPOOL_DOUBLE_API DWORD WINAPI SpoolDoublePrinterWrites(HANDLE printer, DWORD* sizes, DWORD count);
// Calls of one of the three spooler functions since the last reset, failed ones too.
SPOOL_DOUBLE_API DWORD WINAPI SpoolDoubleCallCount(DWORD which);
