// SPDX-License-Identifier: Apache-2.0
// The record body that QenDrvLogFormatRecord produces from an entry: each column of the
// log's column table (log_format.h) filled from its place in the entry.
#include "logger/logger_internal.h"

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
  switch (column->source) {
    case LOG_SOURCE_LEVEL:
      PutSigned(w, level);
      return;
    case LOG_SOURCE_FORMAT:
      PutSigned(w, format);
      return;
    case LOG_SOURCE_VALUE: {
      uint32_t value;
      memcpy(&value, entry + column->offset, sizeof(value));
      PutUnsigned(w, value, 1);
      return;
    }
    case LOG_SOURCE_TIME_STAMP: {
      SYSTEMTIME time;
      memcpy(&time, entry + column->offset, sizeof(time));
      PutTimeStamp(w, &time);
      return;
    }
    case LOG_SOURCE_OEM_TEXT:
    case LOG_SOURCE_WIDE_TEXT: {
      const void* slot;
      memcpy(&slot, entry + column->offset, sizeof(slot));
      char utf8[LOG_FIELD_UTF8_BYTES];
      size_t n = column->source == LOG_SOURCE_OEM_TEXT
                     ? OemSlotToUtf8((const char*)slot, column->size, utf8, sizeof(utf8))
                     : WideSlotToUtf8((const WCHAR*)slot, column->size / sizeof(WCHAR), utf8,
                                      sizeof(utf8));
      PutTextField(w, utf8, n);
      return;
    }
    case LOG_SOURCE_BLOCK:
      PutBlock(w, entry + column->offset, column->size);
      return;
    case LOG_SOURCE_SEQUENCE:
    case LOG_SOURCE_APPEND_TIME:
    case LOG_SOURCE_CHECKSUM:
      // The write call's own columns (ComposeLogLine).
      return;
  }
}

static void PutBody(LineWriter* w, int level, int format, const uint8_t* entry) {
  uint32_t contentFlags;
  memcpy(&contentFlags, entry + offsetof(StandardLogEntry, contentFlags), sizeof(contentFlags));
  // The body is every column the format call fills; the write call adds its own.
  BOOL first = TRUE;
  for (size_t i = 0; i < kLogColumnCount; ++i) {
    const LogColumn* column = &kLogColumns[i];
    if (!LogColumnFromEntry(column)) continue;
    if (!first) PutChar(w, ',');
    first = FALSE;
    // A standard entry is only 496 bytes: its extended columns are never read.
    if (column->extendedOnly && format != LOG_FORMAT_EXTENDED) continue;
    if (column->contentBit != 0 && (contentFlags & column->contentBit) == 0) continue;
    [[maybe_unused]] size_t before = w->length;
    PutColumn(w, column, level, format, entry);
    // Readers judge a record longer than LogLineMaxBytes to hold several lines.
    LOG_ASSERT(w->length - before <= LogColumnMaxBytes(column));
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

// The first and last columns are the writer's own, where log_format.h puts them: the
// number, then the body and the append time as fields carries them, then the checksum
// of every byte before it.
size_t ComposeLogLine(uint64_t number, const char* fields, size_t fieldsBytes, char* out) {
  size_t n = number == 0 ? 0 : FormatDecimal(number, 1, out, 24);
  out[n++] = ',';
  memcpy(out + n, fields, fieldsBytes);
  n += fieldsBytes;
  uint32_t crc = Crc32Update(0, out, n);
  out[n++] = ',';
  LogFormatChecksum(crc, out + n);
  n += 8;
  out[n++] = '\r';
  out[n++] = '\n';
  return n;
}
