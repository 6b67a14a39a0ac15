// SPDX-License-Identifier: Apache-2.0
// The end of a log or pending file read as CSV: the number of its last good line, and
// the bytes that close a record a crash left unfinished so that it stays one record.
#include "logger/logger_internal.h"

// How far back from the end the last line is looked for first; a file whose last
// record does not check out is read further back, as far as two of the longest lines.
#define LOG_TAIL_BYTES 16384u
#define LOG_TAIL_MAX_BYTES (2u * LOG_RECORD_MAX_BYTES + 4096u)
// Line ends tried, from the end backwards, in search of the last good line before a
// damaged tail; beyond them the damage is not one a crash leaves.
#define LOG_TAIL_CANDIDATES 64u

// Start of the line that ends just before end (its CRLF excluded), found by quote
// parity: a line has balanced quotes, so it starts after the nearest LF with an even
// number of quotes after it; an LF inside a quoted text has an odd number after it
// and can never pose as a line start. SIZE_MAX when the window holds no such LF.
static size_t LineStartBefore(const char* window, size_t end) {
  size_t quotes = 0;
  for (size_t i = end; i > 0; --i) {
    char c = window[i - 1];
    if (c == '\n' && quotes % 2 == 0) return i;
    if (c == '"') ++quotes;
  }
  return SIZE_MAX;
}

// TRUE when the line that ends with the CRLF at window[end] is a good one (checksum
// right; a line waiting without a number in a pending file counts too); *number
// receives its number, 0 for none.
static BOOL GoodLineEndingAt(const char* window, size_t end, BOOL fromFileStart, uint64_t* number) {
  size_t start = LineStartBefore(window, end);
  if (start == SIZE_MAX) {
    if (!fromFileStart) return FALSE;
    start = 0;
  }
  *number = LogRecordNumber(window + start, end - start);
  return (*number != 0 || window[start] == ',') &&
         LogLineChecksumOk(window + start, end - start);
}

// Reads the tail in a window of count bytes; FALSE when the window holds no place
// known to lie outside quotes, unless force takes the window's start as one.
static BOOL AnalyseWindow(const char* window, size_t count, BOOL fromFileStart, BOOL force,
                          LogTail* tail) {
  // Quick path: the file ends with a good line.
  if (count >= 2 && window[count - 1] == '\n' && window[count - 2] == '\r') {
    uint64_t number = 0;
    if (GoodLineEndingAt(window, count - 2, fromFileStart, &number)) {
      tail->lastNumber = number;
      tail->lastGood = number;
      return TRUE;
    }
  }
  // A damaged end: the last good line before it is the place known to be outside quotes.
  size_t anchor = SIZE_MAX;
  uint64_t lastGood = 0;
  unsigned tried = 0;
  for (size_t i = count; i >= 2 && tried < LOG_TAIL_CANDIDATES; --i) {
    if (window[i - 1] != '\n' || window[i - 2] != '\r') continue;
    ++tried;
    uint64_t number = 0;
    if (GoodLineEndingAt(window, i - 2, fromFileStart, &number)) {
      anchor = i;
      lastGood = number;
      break;
    }
  }
  if (anchor == SIZE_MAX && fromFileStart) {
    // Every file starts with its header line, which holds no quote.
    for (size_t i = 0; i < count && window[i] != '"'; ++i) {
      if (window[i] == '\n') {
        anchor = i + 1;
        break;
      }
    }
  }
  if (anchor == SIZE_MAX) {
    // Nothing in reach is known to lie outside quotes: the damage is longer than any
    // line we write, and its start is taken as outside quotes.
    if (!force) return FALSE;
    anchor = 0;
  }

  // Read on as CSV from there: every record after the anchor is damaged, and its
  // number (if it still starts with one) counts as used.
  int quoted = 0;
  size_t recordStart = anchor;
  uint64_t last = lastGood;
  while (recordStart < count) {
    size_t end = recordStart + LogFindRecordEnd(window + recordStart, count - recordStart, &quoted);
    uint64_t number = LogRecordNumber(window + recordStart, end - recordStart);
    if (number > last) last = number;
    if (end == count) break;
    recordStart = end + 1;
  }
  tail->lastNumber = last;
  tail->lastGood = lastGood;
  size_t n = 0;
  if (quoted) tail->closing[n++] = '"';
  if (quoted || recordStart < count) {
    // A CR the crash left last takes only its LF: a bare CR would end a record for
    // many readers, leaving an empty one behind.
    if (quoted || window[count - 1] != '\r') tail->closing[n++] = '\r';
    tail->closing[n++] = '\n';
  }
  tail->closingBytes = n;
  return TRUE;
}

BOOL ReadLogTail(HANDLE file, uint64_t size, LogTail* tail) {
  memset(tail, 0, sizeof(*tail));
  if (size == 0) return TRUE;
  for (size_t limit = LOG_TAIL_BYTES;; limit = LOG_TAIL_MAX_BYTES) {
    DWORD want = size < limit ? (DWORD)size : (DWORD)limit;
    char* window = (char*)malloc(want);
    if (window == NULL) return FALSE;
    BOOL ok = ReadExactly(file, size - want, window, want);
    BOOL force = want == size || limit == LOG_TAIL_MAX_BYTES;
    BOOL decided = ok && AnalyseWindow(window, want, want == size, force, tail);
    free(window);
    if (!ok) return FALSE;
    if (decided) return TRUE;
  }
}
