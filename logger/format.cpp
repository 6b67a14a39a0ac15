// SPDX-License-Identifier: Apache-2.0
// The log's CSV line format: the fixed column set, the record body that
// QenDrvLogFormatRecord produces from an entry, and the header line of every file.
#include "logger/logger_internal.h"

// What a column carries and how it is read from the entry.
enum LogColumnKind {
  COLUMN_LEVEL,       // the level argument of the format call
  COLUMN_FORMAT,      // the entry's format number
  COLUMN_VALUE,       // u32 at offset, decimal
  COLUMN_TIME_STAMP,  // SYSTEMTIME at offset, ISO 8601
  COLUMN_OEM_TEXT,    // pointer at offset to an OEM text buffer of size bytes
  COLUMN_WIDE_TEXT,   // pointer at offset to a UTF-16 text buffer of size bytes
  COLUMN_BLOCK        // size bytes at offset, upper-case hex
};

struct LogColumn {
  const char* name;
  LogColumnKind kind;
  size_t offset;        // in the entry
  size_t size;          // text buffer or block bytes
  BOOL extendedOnly;    // empty on lines of format 2
  uint32_t contentBit;  // filled only when contentFlags has this bit (0: always)
};

#define STD(member) offsetof(StandardLogEntry, member)
#define EXT(member) offsetof(ExtendedLogEntry, member)

// One column set for every line of every file: the extended-only columns stay empty
// on standard lines, so a spreadsheet sees the same columns throughout. Columns the
// plug-in gives no meaning are named after their entry offset; docs/accounting-log.md
// lists where each comes from.
static const LogColumn kColumns[] = {
    {"level", COLUMN_LEVEL, 0, 0, FALSE, 0},
    {"format", COLUMN_FORMAT, 0, 0, FALSE, 0},
    {"content_flags", COLUMN_VALUE, STD(contentFlags), 4, FALSE, 0},
    {"time_stamp", COLUMN_TIME_STAMP, STD(timeStamp), sizeof(SYSTEMTIME), FALSE, 0},
    {"computer", COLUMN_OEM_TEXT, STD(computerName), LOG_COMPUTER_NAME_BYTES, FALSE, 0},
    {"user", COLUMN_OEM_TEXT, STD(userName), LOG_LONG_TEXT_BYTES, FALSE, 0},
    {"document", COLUMN_OEM_TEXT, STD(documentName), LOG_LONG_TEXT_BYTES, FALSE, 0},
    {"printer", COLUMN_OEM_TEXT, STD(printerName), LOG_LONG_TEXT_BYTES, FALSE, 0},
    {"port", COLUMN_OEM_TEXT, STD(portName), LOG_LONG_TEXT_BYTES, FALSE, 0},
    {"text_200", COLUMN_OEM_TEXT, STD(text200), LOG_LONG_TEXT_BYTES, FALSE, 0},
    {"text_216", COLUMN_OEM_TEXT, STD(text216), LOG_LONG_TEXT_BYTES, FALSE, 0},
    {"text_240", COLUMN_OEM_TEXT, STD(ansi240), LOG_SHORT_TEXT_BYTES, FALSE, 0},
    {"value_248", COLUMN_VALUE, STD(value248), 4, FALSE, 0},
    {"value_252", COLUMN_VALUE, STD(value252), 4, FALSE, 0},
    {"value_256", COLUMN_VALUE, STD(value256), 4, FALSE, 0},
    {"block_260", COLUMN_BLOCK, STD(block260), 128, FALSE, 0},
    {"value_388", COLUMN_VALUE, STD(values388) + 0, 4, FALSE, 0},
    {"value_392", COLUMN_VALUE, STD(values388) + 4, 4, FALSE, 0},
    {"value_396", COLUMN_VALUE, STD(values388) + 8, 4, FALSE, 0},
    {"value_400", COLUMN_VALUE, STD(values388) + 12, 4, FALSE, 0},
    {"value_404", COLUMN_VALUE, STD(values388) + 16, 4, FALSE, 0},
    {"value_408", COLUMN_VALUE, STD(values388) + 20, 4, FALSE, 0},
    {"text_416", COLUMN_OEM_TEXT, STD(ansi416), LOG_SHORT_TEXT_BYTES, FALSE, 0},
    {"text_424", COLUMN_OEM_TEXT, STD(ansi424), LOG_SHORT_TEXT_BYTES, FALSE, 0},
    {"value_432", COLUMN_VALUE, STD(value432), 4, FALSE, 0},
    {"value_436", COLUMN_VALUE, STD(value436), 4, FALSE, 0},
    {"text_440", COLUMN_WIDE_TEXT, STD(text440), LOG_SHORT_TEXT_BYTES, FALSE, 0},
    {"value_448", COLUMN_VALUE, STD(value448), 4, FALSE, 0},
    {"value_452", COLUMN_VALUE, STD(value452), 4, FALSE, 0},
    {"value_456", COLUMN_VALUE, STD(value456), 4, FALSE, 0},
    {"text_464", COLUMN_OEM_TEXT, STD(ansi464), LOG_SHORT_TEXT_BYTES, FALSE, 0},
    {"value_472", COLUMN_VALUE, STD(value472), 4, FALSE, 0},
    {"text_480", COLUMN_OEM_TEXT, STD(emptyText), LOG_SHORT_TEXT_BYTES, FALSE, 0},
    {"value_488", COLUMN_VALUE, STD(value488), 4, FALSE, 0},
    {"value_492", COLUMN_VALUE, STD(value492), 4, FALSE, 0},
    {"value_496", COLUMN_VALUE, EXT(value496), 4, TRUE, 0},
    // The plug-in leaves these slots unwritten unless contentFlags says they are filled.
    {"value_500", COLUMN_VALUE, EXT(extraBlockMarker), 4, TRUE, LOG_CONTENT_EXTRA_BLOCK},
    {"block_504", COLUMN_BLOCK, EXT(extraBlock), 128, TRUE, LOG_CONTENT_EXTRA_BLOCK},
    {"value_632", COLUMN_VALUE, EXT(value632), 4, TRUE, LOG_CONTENT_VALUE_632},
    // An unfilled extra-text buffer is allocated but never written: reading it would
    // log whatever the heap held.
    {"text_640", COLUMN_OEM_TEXT, EXT(extraText), LOG_SHORT_TEXT_BYTES, TRUE,
     LOG_CONTENT_EXTRA_TEXT},
};

#define LOG_COLUMN_COUNT (sizeof(kColumns) / sizeof(kColumns[0]))
// A slot text after conversion: three UTF-8 bytes for each slot byte at most.
#define LOG_FIELD_UTF8_BYTES (3 * LOG_LONG_TEXT_BYTES)

// Counts every byte of a line and stores the bytes only while they fit, so one pass
// measures and a second pass writes.
struct LineWriter {
  char* out;
  size_t capacity;
  size_t length;
};

static void PutBytes(LineWriter* w, const void* bytes, size_t count) {
  if (w->out != NULL && count <= w->capacity && w->length <= w->capacity - count)
    memcpy(w->out + w->length, bytes, count);
  w->length += count;
}

static void PutChar(LineWriter* w, char c) { PutBytes(w, &c, 1); }

// A string literal without its terminator.
#define PUT_LITERAL(w, literal) PutBytes((w), (literal), sizeof(literal) - 1)

static void PutUnsigned(LineWriter* w, uint64_t value, unsigned minDigits) {
  char digits[24];
  PutBytes(w, digits, FormatDecimal(value, minDigits, digits, sizeof(digits)));
}

static void PutSigned(LineWriter* w, int value) {
  if (value < 0) {
    PutChar(w, '-');
    PutUnsigned(w, (uint64_t)(-(int64_t)value), 1);
  } else {
    PutUnsigned(w, (uint64_t)value, 1);
  }
}

// RFC 4180: a field holding a comma, quote, CR or LF is quoted with its quotes doubled;
// so is one with a TAB or a leading or trailing space, which importers would trim.
static void PutTextField(LineWriter* w, const char* text, size_t count) {
  BOOL quote = count > 0 && (text[0] == ' ' || text[count - 1] == ' ');
  for (size_t i = 0; i < count && !quote; ++i) {
    char c = text[i];
    quote = c == ',' || c == '"' || c == '\r' || c == '\n' || c == '\t';
  }
  if (!quote) {
    PutBytes(w, text, count);
    return;
  }
  PutChar(w, '"');
  for (size_t i = 0; i < count; ++i) {
    if (text[i] == '"') PutChar(w, '"');
    PutChar(w, text[i]);
  }
  PutChar(w, '"');
}

static void PutTimeStamp(LineWriter* w, const SYSTEMTIME* t) {
  PutUnsigned(w, t->wYear, 4);
  PutChar(w, '-');
  PutUnsigned(w, t->wMonth, 2);
  PutChar(w, '-');
  PutUnsigned(w, t->wDay, 2);
  PutChar(w, 'T');
  PutUnsigned(w, t->wHour, 2);
  PutChar(w, ':');
  PutUnsigned(w, t->wMinute, 2);
  PutChar(w, ':');
  PutUnsigned(w, t->wSecond, 2);
  PutChar(w, '.');
  PutUnsigned(w, t->wMilliseconds, 3);
}

static void PutBlock(LineWriter* w, const uint8_t* block, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    char hex[2];
    FormatHex(block[i], 2, hex);
    PutBytes(w, hex, 2);
  }
}

static void PutColumn(LineWriter* w, const LogColumn* column, int level, int format,
                      const uint8_t* entry) {
  switch (column->kind) {
    case COLUMN_LEVEL:
      PutSigned(w, level);
      return;
    case COLUMN_FORMAT:
      PutSigned(w, format);
      return;
    case COLUMN_VALUE: {
      uint32_t value;
      memcpy(&value, entry + column->offset, sizeof(value));
      PutUnsigned(w, value, 1);
      return;
    }
    case COLUMN_TIME_STAMP: {
      SYSTEMTIME time;
      memcpy(&time, entry + column->offset, sizeof(time));
      PutTimeStamp(w, &time);
      return;
    }
    case COLUMN_OEM_TEXT:
    case COLUMN_WIDE_TEXT: {
      const void* slot;
      memcpy(&slot, entry + column->offset, sizeof(slot));
      char utf8[LOG_FIELD_UTF8_BYTES];
      size_t n = column->kind == COLUMN_OEM_TEXT
                     ? OemSlotToUtf8((const char*)slot, column->size, utf8, sizeof(utf8))
                     : WideSlotToUtf8((const WCHAR*)slot, column->size / sizeof(WCHAR), utf8,
                                      sizeof(utf8));
      PutTextField(w, utf8, n);
      return;
    }
    case COLUMN_BLOCK:
      PutBlock(w, entry + column->offset, column->size);
      return;
  }
}

static void PutBody(LineWriter* w, int level, int format, const uint8_t* entry) {
  uint32_t contentFlags;
  memcpy(&contentFlags, entry + offsetof(StandardLogEntry, contentFlags), sizeof(contentFlags));
  for (size_t i = 0; i < LOG_COLUMN_COUNT; ++i) {
    const LogColumn* column = &kColumns[i];
    if (i > 0) PutChar(w, ',');
    // A standard entry is only 496 bytes: its extended columns are never read.
    if (column->extendedOnly && format != LOG_FORMAT_EXTENDED) continue;
    if (column->contentBit != 0 && (contentFlags & column->contentBit) == 0) continue;
    PutColumn(w, column, level, format, entry);
  }
  PUT_LITERAL(w, "\r\n");
}

size_t FormatLogBody(int level, int format, const void* entry, char* out, size_t outBytes) {
  if (entry == NULL || (format != LOG_FORMAT_STANDARD && format != LOG_FORMAT_EXTENDED))
    return 0;
  LineWriter measure = {NULL, 0, 0};
  PutBody(&measure, level, format, (const uint8_t*)entry);
  if (out == NULL || measure.length > outBytes) return measure.length;
  LineWriter write = {out, outBytes, 0};
  PutBody(&write, level, format, (const uint8_t*)entry);
  return write.length;
}

size_t FormatLogHeader(char* out, size_t outBytes) {
  LineWriter w = {NULL, 0, 0};
  for (int pass = 0; pass < 2; ++pass) {
    PUT_LITERAL(&w, "sequence");
    for (size_t i = 0; i < LOG_COLUMN_COUNT; ++i) {
      PutChar(&w, ',');
      PutBytes(&w, kColumns[i].name, strlen(kColumns[i].name));
    }
    // The writer adds the moment of the append after the entry's own columns.
    PUT_LITERAL(&w, ",written_utc,crc32\r\n");
    if (pass == 1 || out == NULL || w.length > outBytes) break;
    w.out = out;
    w.capacity = outBytes;
    w.length = 0;
  }
  return w.length;
}

size_t FormatFileStart(char* out, size_t outBytes) {
  static const char kByteOrderMark[3] = {'\xEF', '\xBB', '\xBF'};
  size_t header = FormatLogHeader(NULL, 0);
  if (out == NULL || outBytes < sizeof(kByteOrderMark) + header) return sizeof(kByteOrderMark) + header;
  memcpy(out, kByteOrderMark, sizeof(kByteOrderMark));
  return sizeof(kByteOrderMark) + FormatLogHeader(out + sizeof(kByteOrderMark), header);
}

size_t FormatUtcTime(const SYSTEMTIME* utc, char* out, size_t outBytes) {
  LineWriter w = {out, outBytes, 0};
  PutTimeStamp(&w, utc);
  PutChar(&w, 'Z');
  return w.length;
}

BOOL IsSingleCsvRecord(const char* bytes, size_t count) {
  if (bytes == NULL || count < 2 || bytes[count - 2] != '\r' || bytes[count - 1] != '\n')
    return FALSE;
  BOOL quoted = FALSE;
  for (size_t i = 0; i < count - 2; ++i) {
    char c = bytes[i];
    if (c == 0) return FALSE;
    if (c == '"') quoted = !quoted;
    else if (!quoted && (c == '\r' || c == '\n')) return FALSE;
  }
  return !quoted;
}

size_t ComposeLogLine(uint64_t number, const char* fields, size_t fieldsBytes, char* out) {
  size_t n = number == 0 ? 0 : FormatDecimal(number, 1, out, 24);
  out[n++] = ',';
  memcpy(out + n, fields, fieldsBytes);
  n += fieldsBytes;
  uint32_t crc = Crc32Update(0, out, n);
  out[n++] = ',';
  FormatHex(crc, 8, out + n);
  n += 8;
  out[n++] = '\r';
  out[n++] = '\n';
  return n;
}
