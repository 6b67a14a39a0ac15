// SPDX-License-Identifier: Apache-2.0
// The pending file beside a log: lines that could not be appended wait there, each
// given its number before any of them moves, until a later append moves them in.
#include "logger/logger_internal.h"

// A pending file stops taking lines at this size: beyond it they go to the event log,
// so that a log that stays unavailable cannot fill the disk through its pending file,
// and the move reads a bounded file.
#define LOG_PENDING_MAX_BYTES (8u * 1024u * 1024u)
// The most a file may hold for the move to read it: the bound, the line that passed it,
// and what numbering added.
#define LOG_PENDING_READ_BYTES (2u * LOG_PENDING_MAX_BYTES)
// What numbering adds to a record at most: a number and its comma, a closing quote and
// CRLF.
#define LOG_PENDING_GROWTH 32u

BOOL AppendPendingLine(const PendingPaths* paths, const char* line, size_t lineBytes) {
  // Writers that have the log's lock and writers that do not meet here: the pending
  // lock, always taken after the log's, then the pending file's own.
  OVERLAPPED lockRange, range;
  HANDLE lock = OpenLocked(paths->lock, OPEN_ALWAYS, &lockRange);
  if (lock == INVALID_HANDLE_VALUE) return FALSE;
  HANDLE file = OpenLocked(paths->file, OPEN_ALWAYS, &range);
  BOOL ok = FALSE;
  if (file != INVALID_HANDLE_VALUE) {
    uint64_t size = 0;
    LogTail tail;
    BOOL sized = GetSize(file, &size);
    if (sized && size >= LOG_PENDING_MAX_BYTES) {
      SetLastError(ERROR_FILE_TOO_LARGE);
    } else if (sized && ReadLogTail(file, size, &tail)) {
      size_t lead = LogFormatFileStart(NULL, 0);
      char* work = (char*)malloc(lead + lineBytes);
      if (work == NULL) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      if (work != NULL) {
        size_t n = ComposeLineLead(size, &tail, work, lead);
        memcpy(work + n, line, lineBytes);
        ok = WriteAtEnd(file, size, work, n + lineBytes);
        free(work);
      }
    }
  }
  // The reason a line could not wait here outlives the unlock and the close.
  DWORD error = GetLastError();
  if (file != INVALID_HANDLE_VALUE) {
    UnlockWholeFile(file, &range);
    CloseHandle(file);
  }
  UnlockWholeFile(lock, &lockRange);
  CloseHandle(lock);
  SetLastError(error);
  return ok;
}

// Cuts bytes into CSV records (a record ends at an LF outside quotes); with records
// null, only counts them. Returns the number of data records.
static size_t CutRecords(const char* bytes, size_t size, PendingRecord* records, size_t* headerEnd) {
  size_t count = 0;
  *headerEnd = 0;
  for (size_t at = 0; at < size;) {
    // A file's first record is its header when it starts as ours does; a file that lost
    // its header starts with a line, which is moved like any other.
    int quoted = 0;
    size_t end = at + LogFindRecordEnd(bytes + at, size - at, &quoted);
    BOOL complete = end < size;
    size_t length = end - at;
    if (complete && length > 0 && bytes[end - 1] == '\r') --length;
    if (complete) ++end;
    if (at == 0 && LogRecogniseHeader(bytes, length) != LOG_HEADER_NONE) {
      *headerEnd = end;
    } else {
      if (records != NULL) {
        PendingRecord* r = &records[count];
        memset(r, 0, sizeof(*r));
        r->start = at;
        r->length = length;
        r->complete = complete;
        r->openQuote = quoted;
        r->number = LogRecordNumber(bytes + at, length);
        r->good = complete && (r->number != 0 || (length > 0 && bytes[at] == ',')) &&
                  LogLineChecksumOk(bytes + at, length);
      }
      ++count;
    }
    at = end;
  }
  return count;
}

static BOOL IsBlank(const PendingRecord* r) { return r->complete && r->length == 0; }

// Move order: by number, and in file order for equal numbers.
static int CompareByNumber(const void* a, const void* b) {
  const PendingRecord* x = *(const PendingRecord* const*)a;
  const PendingRecord* y = *(const PendingRecord* const*)b;
  if (x->number != y->number) return x->number < y->number ? -1 : 1;
  return x->start < y->start ? -1 : (x->start > y->start ? 1 : 0);
}

// (Re)reads the records of p->bytes and puts the numbered ones in move order.
static BOOL IndexRecords(PendingFile* p) {
  free(p->records);
  free(p->order);
  p->records = NULL;
  p->order = NULL;
  p->count = 0;
  p->waiting = 0;
  p->ordered = 0;
  p->lastNumber = 0;
  size_t count = CutRecords(p->bytes, p->size, NULL, &p->headerEnd);
  if (count == 0) return TRUE;
  p->records = (PendingRecord*)malloc(count * sizeof(PendingRecord));
  p->order = (PendingRecord**)malloc(count * sizeof(PendingRecord*));
  if (p->records == NULL || p->order == NULL) return FALSE;
  p->count = CutRecords(p->bytes, p->size, p->records, &p->headerEnd);
  for (size_t i = 0; i < p->count; ++i) {
    PendingRecord* r = &p->records[i];
    if (!IsBlank(r)) ++p->waiting;
    if (r->number == 0) continue;
    p->order[p->ordered++] = r;
    if (r->number > p->lastNumber) p->lastNumber = r->number;
  }
  qsort(p->order, p->ordered, sizeof(PendingRecord*), CompareByNumber);
  return TRUE;
}

BOOL OpenPendingFile(const PendingPaths* paths, PendingFile* p) {
  memset(p, 0, sizeof(*p));
  p->paths = paths;
  p->lock = INVALID_HANDLE_VALUE;
  uint64_t size = 0;
  // The common append finds no pending file, or an empty one, and takes no other lock;
  // one that holds lines is read under the pending lock, which a move needs for its
  // rename, taken before the file's own.
  p->file = OpenLocked(paths->file, OPEN_EXISTING, &p->range);
  if (p->file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  if (!GetSize(p->file, &size)) return FALSE;
  if (size == 0) return TRUE;
  UnlockWholeFile(p->file, &p->range);
  CloseHandle(p->file);
  p->lock = OpenLocked(paths->lock, OPEN_ALWAYS, &p->lockRange);
  if (p->lock == INVALID_HANDLE_VALUE) {
    p->file = INVALID_HANDLE_VALUE;
    return FALSE;
  }
  p->file = OpenLocked(paths->file, OPEN_EXISTING, &p->range);
  if (p->file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  if (!GetSize(p->file, &size) || size > LOG_PENDING_READ_BYTES) return FALSE;
  p->size = (size_t)size;
  p->bytes = (char*)malloc(p->size + 1);
  return p->bytes != NULL && (p->size == 0 || ReadExactly(p->file, 0, p->bytes, (DWORD)p->size)) &&
         IndexRecords(p);
}

void ClosePendingFile(PendingFile* p) {
  if (p->file != INVALID_HANDLE_VALUE) {
    UnlockWholeFile(p->file, &p->range);
    CloseHandle(p->file);
  }
  if (p->lock != INVALID_HANDLE_VALUE) {
    UnlockWholeFile(p->lock, &p->lockRange);
    CloseHandle(p->lock);
  }
  free(p->bytes);
  free(p->records);
  free(p->order);
  memset(p, 0, sizeof(*p));
  p->file = INVALID_HANDLE_VALUE;
  p->lock = INVALID_HANDLE_VALUE;
}

size_t PendingLineBytes(const PendingRecord* r) {
  return r->length + (r->openQuote ? 1 : 0) + 2;
}

// A damaged record is closed as the log closes its own torn end: a quote when it ends
// inside quotes, then the line end (only LF after a lone CR), so that it stays one
// record and every line after it is whole for every reader.
size_t CopyPendingLine(const PendingFile* p, const PendingRecord* r, char* out) {
  const char* record = p->bytes + r->start;
  size_t n = r->length;
  memcpy(out, record, n);
  if (r->openQuote) out[n++] = '"';
  if (r->complete || r->openQuote || n == 0 || out[n - 1] != '\r') out[n++] = '\r';
  out[n++] = '\n';
  return n;
}

// Writes one record into out with the number it was given: a good line gets its
// checksum anew; a damaged one keeps its bytes behind the number, and stays damaged.
static size_t NumberedRecord(const PendingFile* p, const PendingRecord* r, uint64_t number,
                             char* out) {
  const char* record = p->bytes + r->start;
  size_t length = r->length;
  // Whatever stands in the sequence field (nothing, or a number an earlier record holds)
  // is replaced.
  size_t skip = 0;
  while (skip < length && record[skip] >= '0' && record[skip] <= '9') ++skip;
  if (skip < length && record[skip] == ',') ++skip;
  else skip = 0;
  if (r->good) return ComposeLogLine(number, record + skip, length - skip - LOG_CHECKSUM_FIELD_BYTES, out);
  size_t n = FormatDecimal(number, 1, out, 24);
  out[n++] = ',';
  PendingRecord rest = *r;
  rest.start += skip;
  rest.length -= skip;
  return n + CopyPendingLine(p, &rest, out + n);
}

// Replaces the pending file with bytes: written and flushed under another name, then
// renamed over it with the directory written through, so that a power cut at any byte
// of any of these writes leaves either the old file, whole, or the new one. Shifting
// the old bytes in place instead would let a write torn at a sector join the new bytes
// before the cut to old ones after it, and one quote too many or too few there turns
// every line after it into parts of one record. Windows renames over a file only when
// nobody has it open: this writer lets its own handle go first, while the pending lock
// keeps every other writer out; a reader holding the file makes the move fail, and the
// old file stays for the next append. On success p->file is the new file, locked;
// *replaced tells whether the new file took the old one's place, even when it could
// not be opened after.
static BOOL ReplacePendingFile(PendingFile* p, const char* bytes, size_t count, BOOL* replaced) {
  *replaced = FALSE;
  LOG_ASSERT(p->lock != INVALID_HANDLE_VALUE);
  const WCHAR* fresh = p->paths->fresh;
  // What a crash left under the new name is only a copy that never took the old one's
  // place; a fresh file, never one that is there (which might be a link), takes it.
  DeleteFileW(fresh);
  HANDLE file = CreateFileW(fresh, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return FALSE;
  BOOL written = WriteAll(file, bytes, (DWORD)count) && FlushFileBuffers(file);
  DWORD error = GetLastError();
  CloseHandle(file);
  BOOL moved = FALSE;
  if (written) {
    UnlockWholeFile(p->file, &p->range);
    CloseHandle(p->file);
    moved = MoveFileExW(fresh, p->paths->file, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    error = GetLastError();
    p->file = OpenLocked(p->paths->file, OPEN_EXISTING, &p->range);
    if (moved && p->file == INVALID_HANDLE_VALUE) error = GetLastError();
  }
  if (!moved) DeleteFileW(fresh);
  *replaced = moved;
  SetLastError(error);
  return moved && p->file != INVALID_HANDLE_VALUE;
}

BOOL NumberPendingLines(PendingFile* p, uint64_t* lastNumber, const unsigned char* stale) {
  if (p->count == 0) return TRUE;
  // Which records need a number: those with none, those whose number the log holds for
  // another line, and a later one of two that hold the same (a line that went to the
  // pending file under a number a crash left unrecorded).
  unsigned char* wants = (unsigned char*)calloc(p->count, 1);
  if (wants == NULL) return FALSE;
  size_t wanting = 0;
  for (size_t i = 0; i < p->count; ++i) {
    const PendingRecord* r = &p->records[i];
    if ((r->number == 0 && !IsBlank(r)) || (stale != NULL && stale[i])) wants[i] = 1;
  }
  for (size_t i = 1; i < p->ordered; ++i) {
    if (p->order[i]->number == p->order[i - 1]->number) wants[p->order[i] - p->records] = 1;
  }
  for (size_t i = 0; i < p->count; ++i) wanting += wants[i];
  if (wanting == 0) {
    free(wants);
    return TRUE;
  }
  if (p->lastNumber > *lastNumber) *lastNumber = p->lastNumber;
  // Numbers given here are used only once the new file is in place: a move that fails
  // before gives them again, so that it leaves no gap and the lines keep their order.
  const uint64_t unused = *lastNumber;
  BOOL replaced = FALSE;
  size_t room = p->size + LogFormatFileStart(NULL, 0) + p->count * LOG_PENDING_GROWTH;
  char* out = (char*)malloc(room);
  BOOL ok = out != NULL;
  if (ok) {
    size_t n = p->headerEnd;
    if (n > 0) memcpy(out, p->bytes, n);
    else n = LogFormatFileStart(out, room);
    for (size_t i = 0; i < p->count; ++i) {
      const PendingRecord* r = &p->records[i];
      if (IsBlank(r)) {
        // Kept as it was; the move skips it.
        out[n++] = '\r';
        out[n++] = '\n';
      } else if (wants[i] && *lastNumber < LOG_SEQUENCE_MAX) {
        n += NumberedRecord(p, r, ++*lastNumber, out + n);
      } else {
        // At the limit a line keeps waiting without a number.
        n += CopyPendingLine(p, r, out + n);
      }
    }
    ok = ReplacePendingFile(p, out, n, &replaced);
    if (!replaced) *lastNumber = unused;
    if (ok) {
      free(p->bytes);
      p->bytes = out;
      p->size = n;
      out = NULL;
      ok = IndexRecords(p);
    }
  }
  free(out);
  free(wants);
  return ok;
}

BOOL EmptyPendingFile(PendingFile* p) {
  // One cut, so that a crash leaves all the lines or none; the empty file stays, as
  // deleting it could race a writer that has just opened it without the log's lock.
  return SeekTo(p->file, 0) && SetEndOfFile(p->file) && FlushFileBuffers(p->file);
}

// One record of the log's end: its number and where it starts in the window.
struct LogEndRecord {
  uint64_t number;
  size_t start;
};

static int CompareEndRecords(const void* a, const void* b) {
  const LogEndRecord* x = (const LogEndRecord*)a;
  const LogEndRecord* y = (const LogEndRecord*)b;
  if (x->number != y->number) return x->number < y->number ? -1 : 1;
  return x->start < y->start ? -1 : (x->start > y->start ? 1 : 0);
}

// TRUE when window holds, right after a line end, exactly the line the move would write
// for r.
static BOOL WindowHoldsLine(const char* window, size_t count, const LogEndRecord* index,
                            size_t indexed, const PendingFile* p, const PendingRecord* r,
                            char* line) {
  size_t lineBytes = CopyPendingLine(p, r, line);
  size_t low = 0, high = indexed;
  while (low < high) {
    size_t mid = low + (high - low) / 2;
    if (index[mid].number < r->number) low = mid + 1;
    else high = mid;
  }
  for (size_t i = low; i < indexed && index[i].number == r->number; ++i) {
    size_t at = index[i].start;
    if (count - at >= lineBytes && memcmp(window + at, line, lineBytes) == 0) return TRUE;
  }
  return FALSE;
}

BOOL FindLinesInLog(HANDLE log, uint64_t size, const PendingFile* p, uint64_t lastInLog,
                    unsigned char* inLog, BOOL* any) {
  *any = FALSE;
  // Only a line whose number the log has reached can be in it. Moved lines are the
  // last records of the current file, after at most a torn copy and its closing each
  // time a move was cut short: the window holds them all.
  uint64_t want = 2u * (LOG_RECORD_MAX_BYTES + LOG_LINE_OVERHEAD);
  size_t candidates = 0;
  for (size_t i = 0; i < p->ordered; ++i) {
    if (p->order[i]->number > lastInLog) continue;
    want += 2u * (PendingLineBytes(p->order[i]) + 2u);
    ++candidates;
  }
  if (candidates == 0 || size == 0) return TRUE;
  if (want > size) want = size;
  char* window = (char*)malloc((size_t)want);
  LogEndRecord* index = (LogEndRecord*)malloc(((size_t)want / 2 + 1) * sizeof(LogEndRecord));
  BOOL ok = window != NULL && index != NULL && ReadExactly(log, size - want, window, (DWORD)want);
  size_t indexed = 0;
  for (size_t i = 0; ok && i < (size_t)want; ++i) {
    // Every record starts after an LF; an LF inside a quoted text may pose as one, but
    // only the whole bytes of a line count as a match.
    if (window[i] != '\n' || i + 1 == (size_t)want) continue;
    uint64_t number = LogRecordNumber(window + i + 1, (size_t)want - i - 1);
    if (number != 0 && number <= lastInLog) index[indexed++] = {number, i + 1};
  }
  if (ok) qsort(index, indexed, sizeof(LogEndRecord), CompareEndRecords);
  char* line = NULL;
  for (size_t i = 0; ok && i < p->ordered; ++i) {
    const PendingRecord* r = p->order[i];
    if (r->number > lastInLog) continue;
    free(line);
    line = (char*)malloc(PendingLineBytes(r));
    ok = line != NULL;
    if (ok && WindowHoldsLine(window, (size_t)want, index, indexed, p, r, line)) {
      inLog[r - p->records] = 1;
      *any = TRUE;
    }
  }
  free(line);
  free(index);
  free(window);
  return ok;
}
