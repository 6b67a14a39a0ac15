// SPDX-License-Identifier: Apache-2.0
// The plug-in's eight exports, as the spooler and other code in the process call them.
// Tests and tools that load the library by path use these signatures.
#pragma once

#include "platform/win32.h"

// Every export but DrvSplStartDoc and MyDrvSplStartDoc refuses a null job handle or one
// without the context signature: it does nothing (DrvSplWritePrinter returns FALSE).
extern "C" {
// DrvSplStartDoc() - Creates the job's zero-filled JobContext and returns it as the job
// handle; NULL when it cannot be allocated.
SG_EXPORT HANDLE WINAPI DrvSplStartDoc(HANDLE printer, DWORD jobId);
// DrvSplWritePrinter() - Takes one block of the stream (plugin/stream.cpp). *written is
// always set to size. FALSE for null data of a non-zero size; TRUE for a block kept as
// a record or written in register mode; otherwise the result of the write it led to.
SG_EXPORT BOOL WINAPI DrvSplWritePrinter(HANDLE job, LPVOID data, DWORD size, LPDWORD written);
// DrvSplStartPage() / DrvSplEndPage() - Count the pages; TRUE always.
SG_EXPORT BOOL WINAPI DrvSplStartPage(HANDLE job);
SG_EXPORT BOOL WINAPI DrvSplEndPage(HANDLE job);
// DrvSplEndDoc() - Closes the job's files, completes the archive header and emits the
// accounting entry; a second call finds the files closed.
SG_EXPORT VOID WINAPI DrvSplEndDoc(HANDLE job);
// DrvSplAbort() - Closes the job's files as they are.
SG_EXPORT VOID WINAPI DrvSplAbort(HANDLE job);
// DrvSplClose() - Frees the context; the handle is invalid afterwards.
SG_EXPORT VOID WINAPI DrvSplClose(HANDLE job);
// MyDrvSplStartDoc() - The most recently created context that is not yet closed, or NULL.
SG_EXPORT PVOID WINAPI MyDrvSplStartDoc(VOID);
}
