// SPDX-License-Identifier: Apache-2.0
// The spooler's level-2 job and printer information, each read the one way: a size
// query, a block of the size given, then the fill.
#pragma once

#include "platform/win32.h"

// QueryJobInfo() - The JOB_INFO_2W of the job, with its texts, in one GlobalAlloc'ed
// block that the caller releases with GlobalFree. NULL when the size query gives less
// than the structure itself (0 for a job the spooler does not know), the block cannot
// be allocated or the fill fails.
JOB_INFO_2W* QueryJobInfo(HANDLE printer, DWORD jobId);

// QueryPrinterInfo() - The same for the printer's PRINTER_INFO_2W.
PRINTER_INFO_2W* QueryPrinterInfo(HANDLE printer);
