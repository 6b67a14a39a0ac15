// SPDX-License-Identifier: Apache-2.0
// The three entry points of the ruzoravu64 logging library, as it exports them; their
// types are the ones the plug-in looks them up with (core/log_entry.h).
#pragma once

#include "core/log_entry.h"

extern "C" {

// QenDrvLogInitializeInfo() - Prepares the plug-in's all-zero entry for format 2
// (standard) or 3 (extended): zeroes its 496 or 752 bytes and sets the fixed words. Any
// other format: nothing is touched, result 0. The third argument is not used. Result 1
// when prepared.
SG_EXPORT int WINAPI QenDrvLogInitializeInfo(int format, void* entry, int constant4);

// QenDrvLogFormatRecord() - Formats the entry as one self-delimiting record: a CSV line
// ending in CRLF, then a zero byte. *requiredSize receives the bytes needed, zero included
// (never 0: an unknown format or a null entry gives the empty record, the zero byte
// alone). The record is written only when bufferSize holds all of it; otherwise nothing is
// written. Result 1 when a non-empty record was written.
SG_EXPORT int WINAPI QenDrvLogFormatRecord(int level, int format, void* entry, void* buffer,
                                           DWORD bufferSize, DWORD* requiredSize);

// QenDrvLogWriteRecord() - Appends a record made by QenDrvLogFormatRecord to
// <directory>\<name>.csv with its sequence number and checksum (docs/accounting-log.md).
// maxSize is in KiB (0: 64). data is read up to its zero byte and must be exactly one CSV
// line; anything else is refused. level and the last argument are not used. Result 1 when
// the line is in the file and flushed.
SG_EXPORT int WINAPI QenDrvLogWriteRecord(const char* directory, const char* name,
                                          DWORD maxSize, int level, const void* data,
                                          void* zero);
}
