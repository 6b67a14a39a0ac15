// SPDX-License-Identifier: Apache-2.0
// The accounting log's file format (log_format.h): the column table, the header, record
// ends, sequence fields and number files, checksums and generation names.
#include "logger/log_format.h"

#include "core/log_entry.h"
#include "logger/crc32.h"

#include <string.h>

#define STD(member) offsetof(StandardLogEntry, member)
#define EXT(member) offsetof(ExtendedLogEntry, member)
#define N LOG_VALUE_NUMBER
#define T LOG_VALUE_TEXT

// One column set for every line of every file: the extended-only columns stay empty on
// standard lines, so a spreadsheet sees the same columns throughout. Columns the plug-in
// gives no meaning are named after their entry offset; docs/accounting-log.md lists
// where each comes from. A column added here reaches the header, the writer, every
// reader and the database.
constexpr LogColumn kLogColumns[] = {
    {"sequence", N, LOG_SOURCE_SEQUENCE, 0, 0, 0, 0},
    {"level", N, LOG_SOURCE_LEVEL, 0, 0, 0, 0},
    {"format", N, LOG_SOURCE_FORMAT, 0, 0, 0, 0},
    {"content_flags", N, LOG_SOURCE_VALUE, STD(contentFlags), 4, 0, 0},
    {"time_stamp", LOG_VALUE_LOCAL_TIME, LOG_SOURCE_TIME_STAMP, STD(timeStamp), sizeof(SYSTEMTIME), 0, 0},
    {"computer", T, LOG_SOURCE_OEM_TEXT, STD(computerName), LOG_COMPUTER_NAME_BYTES, 0, 0},
    {"user", T, LOG_SOURCE_OEM_TEXT, STD(userName), LOG_LONG_TEXT_BYTES, 0, 0},
    {"document", T, LOG_SOURCE_OEM_TEXT, STD(documentName), LOG_LONG_TEXT_BYTES, 0, 0},
    {"printer", T, LOG_SOURCE_OEM_TEXT, STD(printerName), LOG_LONG_TEXT_BYTES, 0, 0},
    {"port", T, LOG_SOURCE_OEM_TEXT, STD(portName), LOG_LONG_TEXT_BYTES, 0, 0},
    {"text_200", T, LOG_SOURCE_OEM_TEXT, STD(text200), LOG_LONG_TEXT_BYTES, 0, 0},
    {"text_216", T, LOG_SOURCE_OEM_TEXT, STD(text216), LOG_LONG_TEXT_BYTES, 0, 0},
    {"text_240", T, LOG_SOURCE_OEM_TEXT, STD(ansi240), LOG_SHORT_TEXT_BYTES, 0, 0},
    {"value_248", N, LOG_SOURCE_VALUE, STD(value248), 4, 0, 0},
    {"value_252", N, LOG_SOURCE_VALUE, STD(value252), 4, 0, 0},
    {"value_256", N, LOG_SOURCE_VALUE, STD(value256), 4, 0, 0},
    {"block_260", LOG_VALUE_HEX, LOG_SOURCE_BLOCK, STD(block260), 128, 0, 0},
    {"value_388", N, LOG_SOURCE_VALUE, STD(values388) + 0, 4, 0, 0},
    {"value_392", N, LOG_SOURCE_VALUE, STD(values388) + 4, 4, 0, 0},
    {"value_396", N, LOG_SOURCE_VALUE, STD(values388) + 8, 4, 0, 0},
    {"value_400", N, LOG_SOURCE_VALUE, STD(values388) + 12, 4, 0, 0},
    {"value_404", N, LOG_SOURCE_VALUE, STD(values388) + 16, 4, 0, 0},
    {"value_408", N, LOG_SOURCE_VALUE, STD(values388) + 20, 4, 0, 0},
    {"text_416", T, LOG_SOURCE_OEM_TEXT, STD(ansi416), LOG_SHORT_TEXT_BYTES, 0, 0},
    {"text_424", T, LOG_SOURCE_OEM_TEXT, STD(ansi424), LOG_SHORT_TEXT_BYTES, 0, 0},
    {"value_432", N, LOG_SOURCE_VALUE, STD(value432), 4, 0, 0},
    {"value_436", N, LOG_SOURCE_VALUE, STD(value436), 4, 0, 0},
    {"text_440", T, LOG_SOURCE_WIDE_TEXT, STD(text440), LOG_SHORT_TEXT_BYTES, 0, 0},
    {"value_448", N, LOG_SOURCE_VALUE, STD(value448), 4, 0, 0},
    {"value_452", N, LOG_SOURCE_VALUE, STD(value452), 4, 0, 0},
    {"value_456", N, LOG_SOURCE_VALUE, STD(value456), 4, 0, 0},
    {"text_464", T, LOG_SOURCE_OEM_TEXT, STD(ansi464), LOG_SHORT_TEXT_BYTES, 0, 0},
    {"value_472", N, LOG_SOURCE_VALUE, STD(value472), 4, 0, 0},
    {"text_480", T, LOG_SOURCE_OEM_TEXT, STD(emptyText), LOG_SHORT_TEXT_BYTES, 0, 0},
    {"value_488", N, LOG_SOURCE_VALUE, STD(value488), 4, 0, 0},
    {"value_492", N, LOG_SOURCE_VALUE, STD(value492), 4, 0, 0},
    {"value_496", N, LOG_SOURCE_VALUE, EXT(value496), 4, 1, 0},
    // The plug-in leaves these slots unwritten unless the content flags say they are
    // filled.
    {"value_500", N, LOG_SOURCE_VALUE, EXT(extraBlockMarker), 4, 1, LOG_CONTENT_EXTRA_BLOCK},
    {"block_504", LOG_VALUE_HEX, LOG_SOURCE_BLOCK, EXT(extraBlock), 128, 1, LOG_CONTENT_EXTRA_BLOCK},
    {"value_632", N, LOG_SOURCE_VALUE, EXT(value632), 4, 1, LOG_CONTENT_VALUE_632},
    // An unfilled extra-text buffer is allocated but never written: reading it would
    // log whatever the heap held.
    {"text_640", T, LOG_SOURCE_OEM_TEXT, EXT(extraText), LOG_SHORT_TEXT_BYTES, 1, LOG_CONTENT_EXTRA_TEXT},
    {"written_utc", LOG_VALUE_UTC_TIME, LOG_SOURCE_APPEND_TIME, 0, 0, 0, 0},
    {"crc32", LOG_VALUE_CHECKSUM, LOG_SOURCE_CHECKSUM, 0, 0, 0, 0},
};
const size_t kLogColumnCount = sizeof(kLogColumns) / sizeof(kLogColumns[0]);

int LogColumnFromEntry(const LogColumn* column) {
  return column->source != LOG_SOURCE_SEQUENCE && column->source != LOG_SOURCE_APPEND_TIME &&
         column->source != LOG_SOURCE_CHECKSUM;
}

// The positions log_format.h fixes, and only those: the number first, the append time
// and the checksum last, and no column of the writer's own anywhere else, so that the
// format call's body is one run of columns.
namespace {
constexpr size_t kColumns = sizeof(kLogColumns) / sizeof(kLogColumns[0]);
constexpr bool WritersColumnsOnlyAtTheEnds() {
  for (size_t i = 1; i + 2 < kColumns; ++i) {
    LogColumnSource s = kLogColumns[i].source;
    if (s == LOG_SOURCE_SEQUENCE || s == LOG_SOURCE_APPEND_TIME || s == LOG_SOURCE_CHECKSUM) return false;
  }
  return true;
}
}  // namespace
static_assert(kLogColumns[0].source == LOG_SOURCE_SEQUENCE, "the sequence number is the first field");
static_assert(kLogColumns[kColumns - 2].source == LOG_SOURCE_APPEND_TIME, "the append time precedes the checksum");
static_assert(kLogColumns[kColumns - 1].source == LOG_SOURCE_CHECKSUM, "the checksum is the last field");
static_assert(kLogColumns[kColumns - 1].type == LOG_VALUE_CHECKSUM && kLogColumns[kColumns - 2].type == LOG_VALUE_UTC_TIME,
              "the writer's columns are typed as readers expect");
static_assert(WritersColumnsOnlyAtTheEnds(), "every column between comes from the format call");

#undef N
#undef T

const LogColumn* LogFindColumn(const char* name, size_t length) {
  for (size_t i = 0; i < kLogColumnCount; ++i) {
    if (strlen(kLogColumns[i].name) == length && memcmp(kLogColumns[i].name, name, length) == 0)
      return &kLogColumns[i];
  }
  return NULL;
}

// Digits of the largest value of a type, and the sign of a negative one.
#define LOG_INT_MAX_CHARS 11u      // "-2147483648"
#define LOG_UINT32_MAX_DIGITS 10u  // "4294967295"
#define LOG_SEQUENCE_MAX_DIGITS 19u
// "YYYY-MM-DDThh:mm:ss.sss" with each of the seven 16-bit members at five digits.
#define LOG_TIME_MAX_CHARS (7u * 5u + 6u)

size_t LogColumnMaxBytes(const LogColumn* column) {
  switch (column->source) {
    case LOG_SOURCE_SEQUENCE: return LOG_SEQUENCE_MAX_DIGITS;
    case LOG_SOURCE_LEVEL:
    case LOG_SOURCE_FORMAT: return LOG_INT_MAX_CHARS;
    case LOG_SOURCE_VALUE: return LOG_UINT32_MAX_DIGITS;
    case LOG_SOURCE_TIME_STAMP: return LOG_TIME_MAX_CHARS;
    case LOG_SOURCE_OEM_TEXT: return 3u * column->size + 2u;
    case LOG_SOURCE_WIDE_TEXT: return 3u * (column->size / 2u) + 2u;
    case LOG_SOURCE_BLOCK: return 2u * column->size;
    case LOG_SOURCE_APPEND_TIME: return LOG_TIME_MAX_CHARS + 1u;  // and the "Z"
    case LOG_SOURCE_CHECKSUM: return LOG_CHECKSUM_FIELD_BYTES - 1u;
  }
  return 0;
}

size_t LogLineMaxBytes(void) {
  size_t n = kLogColumnCount - 1;  // the commas
  for (size_t i = 0; i < kLogColumnCount; ++i) n += LogColumnMaxBytes(&kLogColumns[i]);
  return n;
}

size_t LogFormatHeader(char* out, size_t outBytes) {
  size_t n = 0;
  for (int pass = 0; pass < 2; ++pass) {
    BOOL write = pass == 1;
    n = 0;
    for (size_t i = 0; i < kLogColumnCount; ++i) {
      size_t name = strlen(kLogColumns[i].name);
      if (write && i > 0) out[n] = ',';
      n += i > 0;
      if (write) memcpy(out + n, kLogColumns[i].name, name);
      n += name;
    }
    if (write) memcpy(out + n, "\r\n", 2);
    n += 2;
    if (out == NULL || n > outBytes) break;
  }
  return n;
}

size_t LogFormatFileStart(char* out, size_t outBytes) {
  size_t header = LogFormatHeader(NULL, 0);
  size_t n = LOG_BYTE_ORDER_MARK_BYTES + header;
  if (out == NULL || n > outBytes) return n;
  memcpy(out, LOG_BYTE_ORDER_MARK, LOG_BYTE_ORDER_MARK_BYTES);
  LogFormatHeader(out + LOG_BYTE_ORDER_MARK_BYTES, header);
  return n;
}

LogHeaderKind LogRecogniseHeader(const char* record, size_t length) {
  static const char kFirstColumn[] = "sequence,";
  if (length >= LOG_BYTE_ORDER_MARK_BYTES && memcmp(record, LOG_BYTE_ORDER_MARK, LOG_BYTE_ORDER_MARK_BYTES) == 0) {
    record += LOG_BYTE_ORDER_MARK_BYTES;
    length -= LOG_BYTE_ORDER_MARK_BYTES;
  }
  if (length < sizeof(kFirstColumn) - 1 || memcmp(record, kFirstColumn, sizeof(kFirstColumn) - 1) != 0)
    return LOG_HEADER_NONE;
  // The header without its CRLF, column by column.
  size_t at = 0;
  for (size_t i = 0; i < kLogColumnCount; ++i) {
    size_t name = strlen(kLogColumns[i].name);
    if (i > 0 && (at >= length || record[at++] != ',')) return LOG_HEADER_OTHER;
    if (length - at < name || memcmp(record + at, kLogColumns[i].name, name) != 0) return LOG_HEADER_OTHER;
    at += name;
  }
  return at == length ? LOG_HEADER_CURRENT : LOG_HEADER_OTHER;
}

size_t LogFindRecordEnd(const char* bytes, size_t count, int* quoted) {
  // An LF ends the record when the quotes before it in the record are balanced; the
  // quotes are counted only between LFs, so long texts without quotes go at memchr's
  // speed.
  size_t at = 0;
  while (at < count) {
    const char* lf = (const char*)memchr(bytes + at, '\n', count - at);
    size_t to = lf != NULL ? (size_t)(lf - bytes) : count;
    for (const char* q = bytes + at; (q = (const char*)memchr(q, '"', to - (size_t)(q - bytes))) != NULL; ++q)
      *quoted = !*quoted;
    if (lf == NULL) return count;
    if (!*quoted) return to;
    at = to + 1;
  }
  return count;
}

uint64_t LogParseNumber(const char* text, size_t count, size_t* digits) {
  uint64_t value = 0;
  size_t i = 0;
  for (; i < count && text[i] >= '0' && text[i] <= '9'; ++i) {
    unsigned digit = (unsigned)(text[i] - '0');
    if (value > (LOG_SEQUENCE_MAX - digit) / 10) value = LOG_SEQUENCE_OVER;
    if (value != LOG_SEQUENCE_OVER) value = value * 10 + digit;
  }
  if (digits != NULL) *digits = i;
  return value;
}

uint64_t LogRecordNumber(const char* record, size_t count) {
  size_t digits = 0;
  uint64_t value = LogParseNumber(record, count, &digits);
  if (digits == 0 || digits >= count || record[digits] != ',' || value > LOG_SEQUENCE_MAX) return 0;
  return value;
}

LogSequenceFileState LogParseSequenceFile(const char* text, size_t count, uint64_t* value) {
  size_t digits = 0;
  uint64_t number = LogParseNumber(text, count, &digits);
  *value = 0;
  if (count == 0) return LOG_SEQUENCE_FILE_EMPTY;
  // Digits then CRLF, or the end: anything else is not a number file the writer wrote.
  BOOL ended = digits == count || (count - digits >= 1 && (text[digits] == '\r' || text[digits] == '\n'));
  if (digits == 0 || !ended) return LOG_SEQUENCE_FILE_GARBAGE;
  if (number > LOG_SEQUENCE_MAX) return LOG_SEQUENCE_FILE_PAST_LIMIT;
  *value = number;
  return LOG_SEQUENCE_FILE_SOUND;
}

void LogFormatSequenceFile(uint64_t value, char* out) {
  for (size_t i = LOG_SEQUENCE_FILE_DIGITS; i-- > 0; value /= 10) out[i] = (char)('0' + value % 10);
  out[LOG_SEQUENCE_FILE_DIGITS] = '\r';
  out[LOG_SEQUENCE_FILE_DIGITS + 1] = '\n';
}

int LogReadChecksumField(const char* line, size_t count, uint32_t* stored) {
  if (count < LOG_CHECKSUM_FIELD_BYTES + 1 || line[count - LOG_CHECKSUM_FIELD_BYTES] != ',') return 0;
  // The digits are random: computed without a branch on each, which would be mispredicted
  // half the time on every line a reader checks.
  uint32_t value = 0;
  unsigned valid = 1;
  for (size_t i = count - 8; i < count; ++i) {
    unsigned decimal = (unsigned)(unsigned char)line[i] - '0', letter = (unsigned)(unsigned char)line[i] - 'A';
    unsigned isDecimal = decimal < 10, isLetter = letter < 6;
    valid &= isDecimal | isLetter;
    value = (value << 4) | (isDecimal * decimal + isLetter * (letter + 10));
  }
  if (!valid) return 0;
  *stored = value;
  return 1;
}

int LogLineChecksumOk(const char* line, size_t count) {
  uint32_t stored = 0;
  return LogReadChecksumField(line, count, &stored) &&
         Crc32Update(0, line, count - LOG_CHECKSUM_FIELD_BYTES) == stored;
}

void LogFormatChecksum(uint32_t crc, char* out) {
  static const char kHex[] = "0123456789ABCDEF";
  for (unsigned i = 0; i < 8; ++i) out[i] = kHex[(crc >> (4 * (7 - i))) & 0x0F];
}

// Appends value in decimal with at least minDigits digits.
static size_t PutDecimal(char* out, size_t at, unsigned value, unsigned minDigits) {
  char digits[12];
  size_t n = 0;
  do {
    digits[n++] = (char)('0' + value % 10);
    value /= 10;
  } while (value != 0 && n < sizeof(digits));
  while (n < minDigits && n < sizeof(digits)) digits[n++] = '0';
  for (size_t i = 0; i < n; ++i) out[at + i] = digits[n - 1 - i];
  return at + n;
}

size_t LogFormatGenerationStamp(unsigned year, unsigned month, unsigned day, unsigned hour,
                                unsigned minute, unsigned second, unsigned attempt, char* out,
                                size_t outBytes) {
  char stamp[LOG_GENERATION_STAMP_MAX + 8];
  size_t n = 0;
  stamp[n++] = '-';
  n = PutDecimal(stamp, n, year % 10000u, 4);
  n = PutDecimal(stamp, n, month % 100u, 2);
  n = PutDecimal(stamp, n, day % 100u, 2);
  stamp[n++] = '-';
  n = PutDecimal(stamp, n, hour % 100u, 2);
  n = PutDecimal(stamp, n, minute % 100u, 2);
  n = PutDecimal(stamp, n, second % 100u, 2);
  stamp[n++] = 'Z';
  if (attempt > 1) {
    stamp[n++] = '-';
    n = PutDecimal(stamp, n, attempt, 1);
  }
  if (out != NULL && n <= outBytes) memcpy(out, stamp, n);
  return n;
}

static size_t DigitsBefore(const char* name, size_t end) {
  size_t n = 0;
  while (n < end && name[end - 1 - n] >= '0' && name[end - 1 - n] <= '9') ++n;
  return n;
}

int LogIsGenerationStem(const char* stem, size_t count, size_t* baseLength) {
  // "-YYYYMMDD-HHMMSS", optionally "Z", optionally "-2", "-3" ...; the counter is tried
  // off first only when the name has one, as "-20261207-221537" alone ends in digits too.
  for (int withCounter = 1; withCounter >= 0; --withCounter) {
    size_t end = count;
    if (withCounter) {
      size_t counter = DigitsBefore(stem, end);
      if (counter == 0 || counter >= end || stem[end - counter - 1] != '-') continue;
      end -= counter + 1;
    }
    if (end > 0 && stem[end - 1] == 'Z') --end;
    if (DigitsBefore(stem, end) != 6 || end < 7 || stem[end - 7] != '-') continue;
    end -= 7;
    if (DigitsBefore(stem, end) != 8 || end < 9 || stem[end - 9] != '-') continue;
    *baseLength = end - 9;
    return 1;
  }
  return 0;
}

uint64_t LogGenerationNumber(const char* stem, size_t count) {
  size_t base = 0;
  size_t digits = DigitsBefore(stem, count);
  if (!LogIsGenerationStem(stem, count, &base) || digits == 0 || digits >= count || stem[count - digits - 1] != '-' ||
      (digits < LOG_GENERATION_NUMBER_DIGITS && stem[count - digits] != '0'))
    return 0;
  // "-HHMMSS" without "Z" ends in six digits too: a number follows the "Z" only.
  if (count - digits < 2 || stem[count - digits - 2] != 'Z') return 0;
  uint64_t value = LogParseNumber(stem + count - digits, digits, NULL);
  return value > LOG_SEQUENCE_MAX ? 0 : value;
}
