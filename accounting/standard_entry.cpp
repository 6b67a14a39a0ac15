// SPDX-License-Identifier: Apache-2.0
// The standard accounting entry: its 13 text buffers, and the fill from the spooler's
// job and printer information, the computer and user names and the JobLogRecord.
#include "accounting/log_fill.h"

#include "accounting/printer_name.h"
#include "core/bounded_text.h"
#include "core/spooler_info.h"

// Document and user names are cut after this many characters.
#define LOG_NAME_CHARS 255
// A terminated work buffer for those names.
#define LOG_NAME_WORK_CHARS (LOG_NAME_CHARS + 1)
// GetComputerNameW is given room for 15 characters and the terminator.
#define COMPUTER_NAME_CHARS (MAX_COMPUTERNAME_LENGTH + 1)
// The port name from the spooler has no limit of its own; the OEM buffer bounds it,
// and reading stops there too.
#define PORT_NAME_READ_CHARS LOG_LONG_TEXT_BYTES

// Allocates one text buffer, terminated so that a slot that receives nothing holds the
// empty text. Returns FALSE when the allocation failed (the slot is then null).
static BOOL AllocateTextBuffer(char** slot, size_t bytes) {
  *slot = (char*)malloc(bytes);
  if (*slot == NULL) return FALSE;
  (*slot)[0] = 0;
  return TRUE;
}

static BOOL AllocateWideTextBuffer(WCHAR** slot, size_t bytes) {
  *slot = (WCHAR*)malloc(bytes);
  if (*slot == NULL) return FALSE;
  (*slot)[0] = 0;
  return TRUE;
}

BOOL AllocateStandardEntryBuffers(StandardLogEntry* entry) {
  // Every slot is assigned even after a failure, so that no pointer the library's
  // initialise call left behind is ever written through or freed.
  BOOL all = TRUE;
  all &= AllocateTextBuffer(&entry->computerName, LOG_COMPUTER_NAME_BYTES);
  all &= AllocateTextBuffer(&entry->userName, LOG_LONG_TEXT_BYTES);
  all &= AllocateTextBuffer(&entry->text200, LOG_LONG_TEXT_BYTES);
  all &= AllocateTextBuffer(&entry->printerName, LOG_LONG_TEXT_BYTES);
  all &= AllocateTextBuffer(&entry->text216, LOG_LONG_TEXT_BYTES);
  all &= AllocateTextBuffer(&entry->portName, LOG_LONG_TEXT_BYTES);
  all &= AllocateTextBuffer(&entry->documentName, LOG_LONG_TEXT_BYTES);
  all &= AllocateTextBuffer(&entry->ansi240, LOG_SHORT_TEXT_BYTES);
  all &= AllocateTextBuffer(&entry->ansi416, LOG_SHORT_TEXT_BYTES);
  all &= AllocateTextBuffer(&entry->ansi424, LOG_SHORT_TEXT_BYTES);
  all &= AllocateWideTextBuffer(&entry->text440, LOG_SHORT_TEXT_BYTES);
  all &= AllocateTextBuffer(&entry->ansi464, LOG_SHORT_TEXT_BYTES);
  all &= AllocateTextBuffer(&entry->emptyText, LOG_SHORT_TEXT_BYTES);
  return all;
}

static void FreeTextBuffer(void* slot) {
  void** pointer = (void**)slot;
  if (*pointer != NULL) free(*pointer);
  *pointer = NULL;
}

void FreeStandardEntryBuffers(StandardLogEntry* entry) {
  FreeTextBuffer(&entry->computerName);
  FreeTextBuffer(&entry->userName);
  FreeTextBuffer(&entry->text200);
  FreeTextBuffer(&entry->printerName);
  FreeTextBuffer(&entry->text216);
  FreeTextBuffer(&entry->portName);
  FreeTextBuffer(&entry->documentName);
  FreeTextBuffer(&entry->ansi240);
  FreeTextBuffer(&entry->ansi416);
  FreeTextBuffer(&entry->ansi424);
  FreeTextBuffer(&entry->text440);
  FreeTextBuffer(&entry->ansi464);
  FreeTextBuffer(&entry->emptyText);
}

// A null name from the spooler counts as the empty name.
static BOOL IsEmptyName(const WCHAR* name) { return name == NULL || name[0] == 0; }

// Whole-string, case-sensitive comparison with "UNKNOWN" (a prefix is not a match).
static BOOL IsUnknownUser(const WCHAR* name) {
  const WCHAR* unknown = WTEXT("UNKNOWN");
  size_t i = 0;
  for (; unknown[i] != 0; ++i) {
    if (name[i] != unknown[i]) return FALSE;
  }
  return name[i] == 0;
}

static void FillTimeStamp(const JobLogRecord* record, SYSTEMTIME* time) {
  // The record keeps the day of the week last; SYSTEMTIME has it third.
  time->wYear = record->year;
  time->wMonth = record->month;
  time->wDayOfWeek = record->dayOfWeek;
  time->wDay = record->day;
  time->wHour = record->hour;
  time->wMinute = record->minute;
  time->wSecond = record->second;
  time->wMilliseconds = record->milliseconds;
}

static void FillComputerName(StandardLogEntry* entry) {
  WCHAR name[COMPUTER_NAME_CHARS];
  memset(name, 0, sizeof(name));
  DWORD size = COMPUTER_NAME_CHARS;
  if (!GetComputerNameW(name, &size)) return;
  ConvertTextToOem(entry->computerName, LOG_COMPUTER_NAME_BYTES, name, COMPUTER_NAME_CHARS);
}

static void FillPrinterName(const PRINTER_INFO_2W* printerInfo, StandardLogEntry* entry) {
  WCHAR* name = (WCHAR*)GlobalAlloc(GMEM_FIXED, LOG_PRINTER_NAME_CHARS * sizeof(WCHAR));
  if (name == NULL) return;
  if (ResolveLogPrinterName(printerInfo, name, LOG_PRINTER_NAME_CHARS) == 1) {
    ConvertTextToOem(entry->printerName, LOG_LONG_TEXT_BYTES, name, LOG_PRINTER_NAME_CHARS);
  }
  GlobalFree(name);
}

static void FillDocumentName(const JOB_INFO_2W* jobInfo, const JobLogRecord* record,
                             StandardLogEntry* entry, BOOL sanitize) {
  WCHAR work[LOG_NAME_WORK_CHARS];
  memset(work, 0, sizeof(work));
  if (jobInfo != NULL && !IsEmptyName(jobInfo->pDocument)) {
    CopyBoundedText(work, LOG_NAME_WORK_CHARS, jobInfo->pDocument, LOG_NAME_CHARS);
  } else {
    CopyBoundedText(work, LOG_NAME_WORK_CHARS, record->fallbackDocumentName,
                    sizeof(record->fallbackDocumentName) / sizeof(WCHAR));
  }
  ConvertTextToOem(entry->documentName, LOG_LONG_TEXT_BYTES, work, LOG_NAME_WORK_CHARS);
  if (sanitize) SanitizeLogText(record, entry->documentName);
}

static void FillUserName(const JOB_INFO_2W* jobInfo, StandardLogEntry* entry) {
  WCHAR work[LOG_NAME_WORK_CHARS];
  memset(work, 0, sizeof(work));
  if (jobInfo != NULL && !IsEmptyName(jobInfo->pUserName) && !IsUnknownUser(jobInfo->pUserName)) {
    CopyBoundedText(work, LOG_NAME_WORK_CHARS, jobInfo->pUserName, LOG_NAME_CHARS);
  } else {
    // The user under which the job ends; the room given keeps the terminator inside.
    DWORD size = LOG_NAME_WORK_CHARS;
    if (!GetUserNameW(work, &size)) memset(work, 0, sizeof(work));
  }
  ConvertTextToOem(entry->userName, LOG_LONG_TEXT_BYTES, work, LOG_NAME_WORK_CHARS);
}

#define FIELD_CHARS(field) (sizeof(field) / sizeof(WCHAR))

static void FillRecordFields(const JobLogRecord* record, StandardLogEntry* entry) {
  entry->value248 = record->value248;
  entry->value252 = record->value252;
  entry->value256 = record->value256;
  memcpy(entry->block260, record->block260, sizeof(entry->block260));
  memcpy(entry->values388, record->values388, sizeof(entry->values388));
  entry->value432 = record->value432;
  entry->value436 = record->value436;
  entry->value448 = record->value448;
  entry->value452 = record->value452;
  entry->value456 = record->value456;
  entry->value472 = record->value472;
  entry->value488 = record->value488;
  entry->value492 = record->value492;

  ConvertTextToOem(entry->text200, LOG_LONG_TEXT_BYTES, record->text200,
                   FIELD_CHARS(record->text200));
  ConvertTextToOem(entry->text216, LOG_LONG_TEXT_BYTES, record->text216,
                   FIELD_CHARS(record->text216));
  // Single-byte texts are carried byte for byte, never converted.
  CopyBoundedAnsi(entry->ansi240, LOG_SHORT_TEXT_BYTES, record->ansi240, sizeof(record->ansi240));
  CopyBoundedAnsi(entry->ansi416, LOG_SHORT_TEXT_BYTES, record->ansi416, sizeof(record->ansi416));
  CopyBoundedAnsi(entry->ansi424, LOG_SHORT_TEXT_BYTES, record->ansi424, sizeof(record->ansi424));
  CopyBoundedAnsi(entry->ansi464, LOG_SHORT_TEXT_BYTES, record->ansi464, sizeof(record->ansi464));
  // This one stays UTF-16.
  CopyBoundedText(entry->text440, LOG_SHORT_TEXT_BYTES / sizeof(WCHAR), record->text440,
                  FIELD_CHARS(record->text440));
  if (entry->emptyText != NULL) entry->emptyText[0] = 0;
}

int FillSharedLogSlots(HANDLE printer, DWORD jobId, const JobLogRecord* record,
                       StandardLogEntry* entry, BOOL sanitizeDocumentName) {
  if (record == NULL || entry == NULL) return 0;
  // Without job information the record's fallback name and the current user serve.
  JOB_INFO_2W* jobInfo = QueryJobInfo(printer, jobId);
  PRINTER_INFO_2W* printerInfo = QueryPrinterInfo(printer);
  if (printerInfo == NULL) {
    if (jobInfo != NULL) GlobalFree(jobInfo);
    return 0;
  }

  FillTimeStamp(record, &entry->timeStamp);
  FillComputerName(entry);
  FillPrinterName(printerInfo, entry);
  FillDocumentName(jobInfo, record, entry, sanitizeDocumentName);
  FillUserName(jobInfo, entry);
  ConvertTextToOem(entry->portName, LOG_LONG_TEXT_BYTES, printerInfo->pPortName,
                   PORT_NAME_READ_CHARS);
  FillRecordFields(record, entry);

  if (jobInfo != NULL) GlobalFree(jobInfo);
  GlobalFree(printerInfo);
  return 1;
}

int FillStandardLogEntry(HANDLE printer, DWORD jobId, const JobLogRecord* record,
                         StandardLogEntry* entry) {
  // The standard fill never looks at logFlags: no cleaning, no extra text or block.
  if (!FillSharedLogSlots(printer, jobId, record, entry, FALSE)) return 0;
  entry->marker = LOG_ENTRY_MARKER;
  entry->fieldMask = LOG_ENTRY_FIELD_MASK;
  entry->contentFlags = LOG_CONTENT_BASE;
  return 1;
}
