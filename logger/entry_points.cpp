// SPDX-License-Identifier: Apache-2.0
// The exported entry points of the ruzoravu64 logging library: argument checks, then
// the formatting and the log file do the work.
#include "logger/ruzoravu64.h"

#include "logger/logger_internal.h"

#include <type_traits>

// The plug-in calls these through its own function types: they must be ours exactly.
static_assert(std::is_same<decltype(&QenDrvLogInitializeInfo), QenDrvLogInitializeInfoFn>::value,
              "QenDrvLogInitializeInfo");
static_assert(std::is_same<decltype(&QenDrvLogFormatRecord), QenDrvLogFormatRecordFn>::value,
              "QenDrvLogFormatRecord");
static_assert(std::is_same<decltype(&QenDrvLogWriteRecord), QenDrvLogWriteRecordFn>::value,
              "QenDrvLogWriteRecord");

int WINAPI QenDrvLogInitializeInfo(int format, void* entry, int constant4) {
  // The constant says nothing either format needs; other values are accepted alike.
  (void)constant4;
  if (entry == NULL) return 0;
  if (format == LOG_FORMAT_STANDARD) {
    StandardLogEntry* standard = (StandardLogEntry*)entry;
    memset(standard, 0, sizeof(*standard));
    standard->marker = LOG_ENTRY_MARKER;
    standard->contentFlags = LOG_CONTENT_BASE;
    standard->fieldMask = LOG_ENTRY_FIELD_MASK;
    return 1;
  }
  if (format == LOG_FORMAT_EXTENDED) {
    ExtendedLogEntry* extended = (ExtendedLogEntry*)entry;
    memset(extended, 0, sizeof(*extended));
    extended->standard.marker = LOG_ENTRY_MARKER;
    extended->standard.contentFlags = LOG_CONTENT_BASE | LOG_CONTENT_EXTENDED;
    extended->standard.fieldMask = LOG_ENTRY_FIELD_MASK;
    extended->value496 = LOG_EXTENDED_VALUE_496;
    return 1;
  }
  return 0;
}

int WINAPI QenDrvLogFormatRecord(int level, int format, void* entry, void* buffer,
                                 DWORD bufferSize, DWORD* requiredSize) {
  // One byte of the buffer is kept for the terminating zero.
  size_t room = bufferSize > 0 ? bufferSize - 1 : 0;
  size_t body = FormatLogBody(level, format, entry, (char*)buffer, room);
  // The plug-in allocates exactly this and hands the block to the write call, which
  // must find a zero byte in it: the size is never 0.
  if (requiredSize != NULL) *requiredSize = (DWORD)(body + 1);
  if (buffer == NULL || body > room) return 0;
  ((char*)buffer)[body] = 0;
  return body > 0 ? 1 : 0;
}

int WINAPI QenDrvLogWriteRecord(const char* directory, const char* name, DWORD maxSize,
                                int level, const void* data, void* zero) {
  // The line already carries the level of the format call.
  (void)level;
  (void)zero;
  if (directory == NULL || data == NULL) return 0;
  // No length comes with the data: it ends at its zero byte, and a record without one
  // within the bound is not ours and is refused.
  const char* record = (const char*)data;
  size_t bytes = 0;
  while (bytes < LOG_RECORD_MAX_BYTES && record[bytes] != 0) ++bytes;
  if (bytes == LOG_RECORD_MAX_BYTES || !IsSingleCsvRecord(record, bytes)) return 0;

  WCHAR directoryText[MAX_PATH + 1];
  if (OemTextToWide(directory, MAX_PATH, directoryText, MAX_PATH + 1) == 0) return 0;
  WCHAR safeName[LOG_NAME_MAX_CHARS + 2];
  MakeSafeLogName(name, safeName, LOG_NAME_MAX_CHARS + 2);
  return AppendLogRecord(directoryText, safeName, maxSize, record, bytes) ? 1 : 0;
}
