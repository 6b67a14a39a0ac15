// SPDX-License-Identifier: Apache-2.0
// Job accounting: the two emissions that hand a log entry to the logging library at
// the end of a job.
#pragma once

#include "core/records.h"

// WriteStandardJobLog() - Loads the logging library for this one emission, fills the
// standard entry from the spooler's job and printer information and the record, and has
// the library format and write it. Returns 1 when the entry was filled and handed over,
// else 0 (no record, no library or entry point, no printer information, no memory).
int WriteStandardJobLog(HANDLE printer, DWORD jobId, const JobLogRecord* record);

// WriteExtendedJobLog() - The same with the extended entry, at the level the record's
// logFlags ask for (extra block, extra text, or neither). Returns 1 or 0 as above.
int WriteExtendedJobLog(HANDLE printer, DWORD jobId, const JobLogRecord* record);
