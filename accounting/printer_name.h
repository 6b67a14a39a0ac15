// SPDX-License-Identifier: Apache-2.0
// The printer's name as the accounting log shows it, Client Side Rendering included.
#pragma once

#include "platform/win32.h"

// Characters of the caller's output buffer, terminator included.
#define LOG_PRINTER_NAME_CHARS 256

// ResolveLogPrinterName() - Writes the printer's name for the log into output
// (capacity characters, terminated). A printer reached through the Client Side
// Rendering provider ("\\CSR|" prefix) is named "\\" server "\" stored name from the
// provider's registry data. Returns 1 when a name was written, 0 otherwise (then the
// output is all zeros, or untouched for a null argument).
int ResolveLogPrinterName(const PRINTER_INFO_2W* printerInfo, WCHAR* output, DWORD capacity);
