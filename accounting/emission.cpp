// SPDX-License-Identifier: Apache-2.0
// Logging library binding and emission: one accounting entry per job, handed to the
// logging library that is loaded for that one emission and unloaded again.
#include "accounting/accounting.h"

#include "core/log_entry.h"
#include "accounting/log_fill.h"
#include "accounting/log_library.h"
#include "accounting/log_settings.h"
#include "core/bounded_text.h"

// Bytes of the name and directory texts handed to the write call.
#define LOG_NAME_BYTES 260

// The emission's working set, so that every exit runs the same cleanup.
struct Emission {
  HMODULE library;
  char* nameText;
  char* directoryText;
};

typedef void (*AnyProc)(void);

// GetProcAddress gives a generic function pointer; the entry points have their own.
static AnyProc FindProc(HMODULE library, const char* name) {
  return (AnyProc)GetProcAddress(library, name);
}

// Levels of the extended entry: the extra block outranks the extra text.
static int ExtendedLevel(const JobLogRecord* record) {
  if ((record->logFlags & LOG_FLAG_EXTRA_BLOCK) != 0) return LOG_LEVEL_EXTENDED_BLOCK;
  if ((record->logFlags & LOG_FLAG_EXTRA_TEXT) != 0) return LOG_LEVEL_EXTENDED_TEXT;
  return LOG_LEVEL_EXTENDED;
}

// Unloads the library and frees the two texts; the caller frees the entry's buffers
// afterwards, as the library may still have looked at them until it was unloaded.
static void ReleaseEmission(Emission* emission) {
  if (emission->library != NULL) FreeLibrary(emission->library);
  if (emission->directoryText != NULL) GlobalFree(emission->directoryText);
  if (emission->nameText != NULL) GlobalFree(emission->nameText);
  emission->library = NULL;
  emission->directoryText = NULL;
  emission->nameText = NULL;
}

// Steps up to the library's initialise call: texts, settings, name, library, entry
// points. Returns FALSE when the emission cannot go on.
static BOOL PrepareEmission(Emission* emission, const JobLogRecord* record,
                            DWORD* maxSize, QenDrvLogInitializeInfoFn* initialize,
                            QenDrvLogWriteRecordFn* write, QenDrvLogFormatRecordFn* format) {
  emission->nameText = (char*)GlobalAlloc(GMEM_FIXED, LOG_NAME_BYTES);
  if (emission->nameText == NULL) return FALSE;
  emission->directoryText = (char*)GlobalAlloc(GMEM_FIXED, LOG_NAME_BYTES);
  if (emission->directoryText == NULL) return FALSE;
  // Settings that cannot be determined (no key, no Windows directory) reach the
  // library as the empty directory and 0, never as uninitialised memory.
  emission->nameText[0] = 0;
  emission->directoryText[0] = 0;
  *maxSize = 0;
  // Before the library is loaded, so that the settings exist even without it.
  ReadLogSettings(emission->directoryText, maxSize);
  // Bounded: a long leading text in a double-byte code page is cut at a whole
  // character instead of running past the 260 bytes.
  ConvertTextToOem(emission->nameText, LOG_NAME_BYTES, record->leadingText,
                   sizeof(record->leadingText) / sizeof(WCHAR));

  emission->library = LoadLogLibrary();
  if (emission->library == NULL) return FALSE;
  AnyProc initializeProc = FindProc(emission->library, LOG_PROC_INITIALIZE);
  AnyProc writeProc = FindProc(emission->library, LOG_PROC_WRITE);
  AnyProc formatProc = FindProc(emission->library, LOG_PROC_FORMAT);
  if (initializeProc == NULL || writeProc == NULL || formatProc == NULL) return FALSE;
  *initialize = (QenDrvLogInitializeInfoFn)initializeProc;
  *write = (QenDrvLogWriteRecordFn)writeProc;
  *format = (QenDrvLogFormatRecordFn)formatProc;
  return TRUE;
}

// Has the library format the filled entry and write it. Returns FALSE when the block
// for the formatted record cannot be allocated; nothing is then written.
static BOOL FormatAndWrite(Emission* emission, QenDrvLogFormatRecordFn format,
                           QenDrvLogWriteRecordFn write, int level, int formatNumber,
                           void* entry, DWORD maxSize) {
  // Preset, so that a library that stores nothing gives a zero-byte block rather
  // than a size read from uninitialised memory.
  DWORD requiredSize = 0;
  format(level, formatNumber, entry, NULL, 0, &requiredSize);
  DWORD bufferSize = requiredSize;
  // A zero-byte request still gets a real block, so that the library never receives
  // a null record; it is told the size it asked for.
  void* formatted = malloc(bufferSize != 0 ? bufferSize : 1);
  if (formatted == NULL) return FALSE;
  format(level, formatNumber, entry, formatted, bufferSize, &requiredSize);
  write(emission->directoryText, emission->nameText, maxSize, level, formatted, NULL);
  free(formatted);
  return TRUE;
}

// The entry of one emission: the standard or the extended one, zero-filled.
union LogEntry {
  StandardLogEntry standard;
  ExtendedLogEntry extended;
};

static BOOL AllocateEntryBuffers(int formatNumber, LogEntry* entry) {
  if (formatNumber == LOG_FORMAT_EXTENDED) return AllocateExtendedEntryBuffers(&entry->extended);
  return AllocateStandardEntryBuffers(&entry->standard);
}

static int FillEntry(int formatNumber, HANDLE printer, DWORD jobId, const JobLogRecord* record,
                     LogEntry* entry) {
  if (formatNumber == LOG_FORMAT_EXTENDED) {
    return FillExtendedLogEntry(printer, jobId, record, &entry->extended);
  }
  return FillStandardLogEntry(printer, jobId, record, &entry->standard);
}

static void FreeEntryBuffers(int formatNumber, LogEntry* entry) {
  if (formatNumber == LOG_FORMAT_EXTENDED) {
    FreeExtendedEntryBuffers(&entry->extended);
  } else {
    FreeStandardEntryBuffers(&entry->standard);
  }
}

// One emission of either entry; the two differ only in the entry, its format number
// and its level.
static int EmitJobLog(HANDLE printer, DWORD jobId, const JobLogRecord* record, int formatNumber,
                      int level) {
  LogEntry entry;
  memset(&entry, 0, sizeof(entry));
  Emission emission;
  memset(&emission, 0, sizeof(emission));
  if (record == NULL) return 0;

  int result = 0;
  DWORD maxSize = 0;
  QenDrvLogInitializeInfoFn initialize = NULL;
  QenDrvLogWriteRecordFn write = NULL;
  QenDrvLogFormatRecordFn format = NULL;
  if (PrepareEmission(&emission, record, &maxSize, &initialize, &write, &format)) {
    initialize(formatNumber, &entry, LOG_INITIALIZE_CONSTANT);
    // A buffer that cannot be allocated ends the emission: the fill writes into every
    // buffer, and the library would read every slot.
    if (AllocateEntryBuffers(formatNumber, &entry) &&
        FillEntry(formatNumber, printer, jobId, record, &entry) == 1 &&
        FormatAndWrite(&emission, format, write, level, formatNumber, &entry, maxSize)) {
      result = 1;
    }
  }
  ReleaseEmission(&emission);
  FreeEntryBuffers(formatNumber, &entry);
  return result;
}

int WriteStandardJobLog(HANDLE printer, DWORD jobId, const JobLogRecord* record) {
  return EmitJobLog(printer, jobId, record, LOG_FORMAT_STANDARD, LOG_LEVEL_STANDARD);
}

int WriteExtendedJobLog(HANDLE printer, DWORD jobId, const JobLogRecord* record) {
  if (record == NULL) return 0;
  return EmitJobLog(printer, jobId, record, LOG_FORMAT_EXTENDED, ExtendedLevel(record));
}
