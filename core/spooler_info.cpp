// SPDX-License-Identifier: Apache-2.0
// The size-then-fill reading of the spooler's level-2 job and printer information,
// shared by the archive naming and the accounting entry.
#include "core/spooler_info.h"

// GetJobW for a job, GetPrinterW without one: the two differ only in that argument.
static BOOL GetLevel2(HANDLE printer, const DWORD* jobId, LPBYTE block, DWORD size,
                      LPDWORD needed) {
  if (jobId != NULL) return GetJobW(printer, *jobId, 2, block, size, needed);
  return GetPrinterW(printer, 2, block, size, needed);
}

// A block smaller than the structure could not be read without running past it.
static LPBYTE QueryLevel2(HANDLE printer, const DWORD* jobId, size_t structureBytes) {
  DWORD needed = 0;
  GetLevel2(printer, jobId, NULL, 0, &needed);
  if (needed < structureBytes) return NULL;
  LPBYTE block = (LPBYTE)GlobalAlloc(GMEM_FIXED, needed);
  if (block == NULL) return NULL;
  DWORD filled = 0;
  if (!GetLevel2(printer, jobId, block, needed, &filled)) {
    GlobalFree(block);
    return NULL;
  }
  return block;
}

JOB_INFO_2W* QueryJobInfo(HANDLE printer, DWORD jobId) {
  return (JOB_INFO_2W*)QueryLevel2(printer, &jobId, sizeof(JOB_INFO_2W));
}

PRINTER_INFO_2W* QueryPrinterInfo(HANDLE printer) {
  return (PRINTER_INFO_2W*)QueryLevel2(printer, NULL, sizeof(PRINTER_INFO_2W));
}
