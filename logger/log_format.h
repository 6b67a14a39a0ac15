// SPDX-License-Identifier: Apache-2.0
// The accounting log's file format, defined once for its writer and every reader: the
// header and its columns, records and quotes, the checksum, the numbers, the file names.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// --- files -------------------------------------------------------------------------
//
// A log <name> is <name>.csv (the current file), its generations
// <name>-YYYYMMDD-HHMMSSZ-NNNN.csv (the highest number the file holds, see below; a
// counter "-2", "-3" ... when a name was taken, and nothing there from earlier
// versions, which also wrote local time without the "Z"), <name>.seq (the last number used, and the
// lock of every writer) and <name>.pending (lines waiting to be appended). Beside them
// the writer keeps <name>.pending-lock (empty: the lock of every writer of the pending
// file, never renamed) and, for a moment, <name>.pending-new (the pending file's next
// contents, renamed over it once flushed). Readers read neither.
#define LOG_CURRENT_SUFFIX ".csv"
#define LOG_SEQUENCE_SUFFIX ".seq"
#define LOG_PENDING_SUFFIX ".pending"
#define LOG_PENDING_LOCK_SUFFIX ".pending-lock"
#define LOG_PENDING_NEW_SUFFIX ".pending-new"

// LogFormatGenerationStamp() - "-YYYYMMDD-HHMMSSZ" of a UTC time, then "-<attempt>" for
// an attempt above 1, into out (no terminator). Returns its length (at most
// LOG_GENERATION_STAMP_MAX); writes it only when it fits outBytes.
#define LOG_GENERATION_STAMP_MAX 32u
size_t LogFormatGenerationStamp(unsigned year, unsigned month, unsigned day, unsigned hour,
                                unsigned minute, unsigned second, unsigned attempt, char* out,
                                size_t outBytes);
// A generation this version rotates carries, in place of the counter, the last number
// given when it was rotated, as at least LOG_GENERATION_NUMBER_DIGITS digits
// ("-20261207-221537Z-0024"): no clock can reorder that. The counter of an earlier
// version ("-2" ... "-999") never has a leading zero nor four digits; a name that is
// taken falls back to such a counter.
#define LOG_GENERATION_NUMBER_DIGITS 4u
// LogGenerationNumber() - The number a generation's name (without its extension)
// carries; 0 when it carries none.
uint64_t LogGenerationNumber(const char* stem, size_t count);
// LogIsGenerationStem() - 1 when a file name without its extension ends like a
// generation's stamp; *baseLength then receives the length of the log name before it
// ("Jobs" of "Jobs-20261207-221537Z-2").
int LogIsGenerationStem(const char* stem, size_t count, size_t* baseLength);

// --- records -------------------------------------------------------------------------
//
// Every file is UTF-8 and starts with a byte order mark and the header line. Records
// follow RFC 4180: a record ends at an LF outside quotes (its CR before it is part of
// the line end), so a text holding a line break stays in its record.
#define LOG_BYTE_ORDER_MARK "\xEF\xBB\xBF"
#define LOG_BYTE_ORDER_MARK_BYTES 3u

// LogFindRecordEnd() - Scans bytes for the LF that ends the record, *quoted telling (in
// and out) whether the scan starts inside quotes. Returns the LF's index, or count when
// the bytes end inside the record (*quoted then tells where they end).
size_t LogFindRecordEnd(const char* bytes, size_t count, int* quoted);

// What a file's first record is.
typedef enum LogHeaderKind {
  LOG_HEADER_NONE = 0,  // a data line: the file lost its header
  LOG_HEADER_OTHER,     // a header of ours with other columns (an earlier version's)
  LOG_HEADER_CURRENT    // exactly the header this version writes
} LogHeaderKind;
// LogRecogniseHeader() - Judges a file's first record (without its line end; a byte
// order mark before it is allowed): a header of ours starts with the "sequence" column.
LogHeaderKind LogRecogniseHeader(const char* record, size_t length);
// LogFormatHeader() - The header line (column names, CRLF; no byte order mark). Returns
// its length; writes it only when it fits outBytes.
size_t LogFormatHeader(char* out, size_t outBytes);
// LogFormatFileStart() - The byte order mark and the header line that start every log
// and pending file. Returns the length; writes it only when it fits.
size_t LogFormatFileStart(char* out, size_t outBytes);

// --- sequence numbers ------------------------------------------------------------------
//
// A line starts with its number (empty for a line that waits unnumbered in the pending
// file). The largest number is 2^63 - 1, what a signed 64-bit database column holds.
// The one rule for a number past it, wherever it stands: it is no number. A record
// numbered past the limit is not a line of ours (no writer gives such a number), and a
// number file past it is unsound, so the writer recovers from the log.
#define LOG_SEQUENCE_MAX 9223372036854775807ull
// What LogParseNumber gives for digits that name a number above the limit.
#define LOG_SEQUENCE_OVER (LOG_SEQUENCE_MAX + 1u)
// The number file holds the last number used as this many digits and CRLF.
#define LOG_SEQUENCE_FILE_DIGITS 20u
#define LOG_SEQUENCE_FILE_BYTES (LOG_SEQUENCE_FILE_DIGITS + 2u)

// LogParseNumber() - The number of the leading decimal digits: 0 when there are none,
// LOG_SEQUENCE_OVER when they exceed LOG_SEQUENCE_MAX (however many). digits, when not
// null, receives how many there were.
uint64_t LogParseNumber(const char* text, size_t count, size_t* digits);
// LogRecordNumber() - The number in a record's sequence field (digits, then a comma); 0
// when it has none or one past the limit.
uint64_t LogRecordNumber(const char* record, size_t count);

// What a number file says.
typedef enum LogSequenceFileState {
  LOG_SEQUENCE_FILE_SOUND = 0,  // a number within the limit (0 too)
  LOG_SEQUENCE_FILE_EMPTY,      // nothing in it
  LOG_SEQUENCE_FILE_GARBAGE,    // no number at its start ("x", "-5")
  LOG_SEQUENCE_FILE_PAST_LIMIT  // a number above LOG_SEQUENCE_MAX
} LogSequenceFileState;
// LogParseSequenceFile() - Judges the first bytes of a number file; *value receives the
// number when it is sound, else 0.
LogSequenceFileState LogParseSequenceFile(const char* text, size_t count, uint64_t* value);
// LogFormatSequenceFile() - The number file's contents for value: LOG_SEQUENCE_FILE_BYTES
// bytes into out.
void LogFormatSequenceFile(uint64_t value, char* out);

// --- checksums -----------------------------------------------------------------------
//
// The checksum field (the last column, see the columns below) is ",XXXXXXXX": the
// CRC-32 (crc32.h) of every byte before that comma, as 8 upper-case hex digits. The one
// rule for hex case: only upper case is a checksum.
#define LOG_CHECKSUM_FIELD_BYTES 9u

// LogReadChecksumField() - TRUE (1) when a line (without its line end) ends with a
// checksum field; *stored receives its value.
int LogReadChecksumField(const char* line, size_t count, uint32_t* stored);
// LogLineChecksumOk() - 1 when the line ends with the checksum of what precedes it.
int LogLineChecksumOk(const char* line, size_t count);
// LogFormatChecksum() - The 8 hex digits of crc into out (no terminator).
void LogFormatChecksum(uint32_t crc, char* out);

// --- columns -------------------------------------------------------------------------
//
// The columns of every line, in file order. The writer fills each from its source; a
// reader types each value by the column, never by the value.
//
// What is positional, stated here once and pinned by static_assert beside the table:
// the writer's own columns stand first and last. The sequence number is the first field
// (empty on a line that waits without one), and a line ends with the append time and
// then the checksum, which covers every byte before its comma, so that nothing can
// follow it. Every column between comes from the format call (the entry, its level or
// its format), in table order: the format call writes them as the record body, and the
// write call puts the number before the body and the append time and checksum after.
typedef enum LogValueType {
  LOG_VALUE_NUMBER,      // unsigned decimal, empty when the entry does not carry it
  LOG_VALUE_TEXT,        // a text
  LOG_VALUE_HEX,         // a carried block, upper-case hex
  LOG_VALUE_LOCAL_TIME,  // the printing computer's time, ISO 8601 without a zone
  LOG_VALUE_UTC_TIME,    // a moment in UTC, ISO 8601 with "Z"
  LOG_VALUE_CHECKSUM     // the line's checksum
} LogValueType;
// Where the writer takes a column's value from.
typedef enum LogColumnSource {
  LOG_SOURCE_SEQUENCE,    // the number the writer gives
  LOG_SOURCE_LEVEL,       // the level argument of the format call
  LOG_SOURCE_FORMAT,      // the entry's format number
  LOG_SOURCE_VALUE,       // u32 at offset, decimal
  LOG_SOURCE_TIME_STAMP,  // SYSTEMTIME at offset
  LOG_SOURCE_OEM_TEXT,    // pointer at offset to an OEM text buffer of size bytes
  LOG_SOURCE_WIDE_TEXT,   // pointer at offset to a UTF-16 text buffer of size bytes
  LOG_SOURCE_BLOCK,       // size bytes at offset
  LOG_SOURCE_APPEND_TIME, // the moment of the append
  LOG_SOURCE_CHECKSUM     // the checksum of the line
} LogColumnSource;
typedef struct LogColumn {
  const char* name;
  LogValueType type;
  LogColumnSource source;
  size_t offset;        // in the entry
  size_t size;          // text buffer or block bytes
  int extendedOnly;     // empty on lines of a standard entry
  uint32_t contentBit;  // filled only when the entry's content flags have it (0: always)
} LogColumn;
extern const LogColumn kLogColumns[];
extern const size_t kLogColumnCount;
// LogColumnFromEntry() - 1 for a column the format call fills (from the entry, its
// level or its format), 0 for one the write call adds (number, append time, checksum).
int LogColumnFromEntry(const LogColumn* column);
// LogFindColumn() - The column of that name; NULL for none.
const LogColumn* LogFindColumn(const char* name, size_t length);
// LogColumnMaxBytes() - The most bytes the writer puts in a column's field: a number's
// most digits (a level or a format as a signed int, a value as an unsigned 32-bit one,
// a sequence number up to LOG_SEQUENCE_MAX), a time with every SYSTEMTIME member at its
// most digits, three UTF-8 bytes for each character of a text's slot and the two quotes
// around it (a doubled quote takes two), two hex digits a block byte.
size_t LogColumnMaxBytes(const LogColumn* column);
// LogLineMaxBytes() - The longest line the writer can write, without its line end:
// every column at its most, and the commas. A record longer than that is not one line.
size_t LogLineMaxBytes(void);

#ifdef __cplusplus
}
#endif
