// Job accounting: the two emissions that hand a log entry to the logging library at
// the end of a job. Each returns 1 when the entry was filled and handed over, else 0.
#pragma once

#include "core/records.h"

int WriteStandardJobLog(HANDLE printer, DWORD jobId, const JobLogRecord* record);
int WriteExtendedJobLog(HANDLE printer, DWORD jobId, const JobLogRecord* record);
