// Logging library binding and emission (placeholder until the accounting subsystem lands).
// No entry is made; the job ends the same way, as the emission's failures require.
#include "accounting/accounting.h"

int WriteStandardJobLog(HANDLE printer, DWORD jobId, const JobLogRecord* record) {
  (void)printer;
  (void)jobId;
  (void)record;
  return 0;
}

int WriteExtendedJobLog(HANDLE printer, DWORD jobId, const JobLogRecord* record) {
  (void)printer;
  (void)jobId;
  (void)record;
  return 0;
}
