// SPDX-License-Identifier: Apache-2.0
// The plug-in's eight exports as one table of function pointers, for code that finds
// them at run time (a library loaded by path) or takes them from a static link.
#pragma once

#include "platform/win32.h"

// PluginExports - one entry per export, in the order of plugin/exports.h.
struct PluginExports {
  HANDLE(WINAPI* StartDoc)(HANDLE printer, DWORD jobId);
  BOOL(WINAPI* WritePrinter)(HANDLE job, LPVOID data, DWORD size, LPDWORD written);
  BOOL(WINAPI* StartPage)(HANDLE job);
  BOOL(WINAPI* EndPage)(HANDLE job);
  VOID(WINAPI* EndDoc)(HANDLE job);
  VOID(WINAPI* Abort)(HANDLE job);
  VOID(WINAPI* Close)(HANDLE job);
  PVOID(WINAPI* MyStartDoc)(VOID);
};
