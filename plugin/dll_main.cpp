// SPDX-License-Identifier: Apache-2.0
// The DLL entry point of spoolgate.dll (Windows build only): the plug-in keeps no
// per-thread state, so thread notifications are switched off and nothing else is done.
#include "platform/win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
