// The plug-in's eight exports, as the spooler and other code in the process call them.
// Tests and tools that load the library by path use these signatures.
#pragma once

#include "platform/win32.h"

extern "C" {
SG_EXPORT HANDLE WINAPI DrvSplStartDoc(HANDLE printer, DWORD jobId);
SG_EXPORT BOOL WINAPI DrvSplWritePrinter(HANDLE job, LPVOID data, DWORD size, LPDWORD written);
SG_EXPORT BOOL WINAPI DrvSplStartPage(HANDLE job);
SG_EXPORT BOOL WINAPI DrvSplEndPage(HANDLE job);
SG_EXPORT VOID WINAPI DrvSplEndDoc(HANDLE job);
SG_EXPORT VOID WINAPI DrvSplAbort(HANDLE job);
SG_EXPORT VOID WINAPI DrvSplClose(HANDLE job);
SG_EXPORT PVOID WINAPI MyDrvSplStartDoc(VOID);
}
