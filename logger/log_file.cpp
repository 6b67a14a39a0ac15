// SPDX-License-Identifier: Apache-2.0
// The log file: the lock every writer honours, sequence numbers that
// continue across generations, rotation, and an append that leaves no partial line.
//
// The writer's invariants, each checked by LOG_ASSERT where it can break:
//
//  1. A writer opens, reads or changes the log, rotates it or numbers a line only while
//     it holds the lock of <name>.seq, and that file still has a name.
//  2. The next number is above every number in the current file and in the pending
//     file, and in the newest generations when <name>.seq or the current file tells no
//     number. <name>.seq alone proves nothing: it is written without a flush after an
//     ordinary append, so it can be behind the log, or gone, or spoiled.
//  3. A line reaches the log with one write, flushed before success is reported; a
//     write that fails is cut back, so the file ends where it ended before.
//  4. Before any line moves, every waiting line has its own number, durably, above
//     every number the log holds unless the log holds that very line (its bytes).
//  5. A pending line is cut only once the log holds it: the pending file is emptied
//     only when every numbered line in it is at or below the log's highest number.
//  6. The current file is never rotated while the pending file holds a line it took,
//     so a line moved before a crash is found in the current file.
//  7. <name>.seq never receives a number past LOG_SEQUENCE_MAX.
#include "logger/logger_internal.h"
#include "core/bounded_text.h"

#ifdef LOG_CHECK_INVARIANTS
#include <stdio.h>
#include <stdlib.h>

void LogInvariantBroken(const char* condition, const char* file, int line) {
  fprintf(stderr, "%s:%d: writer invariant broken: %s\n", file, line, condition);
  abort();
}
#endif

// Generation names tried for one rotation: "-YYYYMMDD-HHMMSSZ", then "-2" ... added.
#define LOG_GENERATION_TRIES 999u
// The lock is tried this often, this many milliseconds apart, before the line goes to
// the pending file: a stalled holder (a hung share, a stopped process) must not hold
// the spooler's thread for ever. About five seconds in all.
#define LOG_LOCK_TRIES 250u
#define LOG_LOCK_RETRY_MS 20u
// Longest first line read to judge a file's header; ours is 406 bytes with its byte
// order mark and CRLF.
#define LOG_HEADER_CHECK_BYTES 2048u
// Times a lock is taken again when the file locked was deleted while it was waited for.
#define LOG_LOCK_REOPENS 8u

// The paths of one log: <directory>\<name>.csv, its sequence file <name>.seq and its
// pending file <name>.pending with the two files beside it.
struct LogPaths {
  WCHAR directory[LOG_PATH_CHARS];
  WCHAR name[LOG_NAME_MAX_CHARS + 2];
  WCHAR log[LOG_PATH_CHARS];
  WCHAR sequence[LOG_PATH_CHARS];
  PendingPaths pending;
};

// Appends an ASCII text (a suffix or stamp of the log's file names) to a terminated path.
static BOOL AppendAscii(WCHAR* path, size_t pathChars, const char* ascii, size_t n) {
  WCHAR text[LOG_GENERATION_STAMP_MAX + 16];
  if (n > sizeof(text) / sizeof(text[0])) return FALSE;
  for (size_t i = 0; i < n; ++i) text[i] = (WCHAR)ascii[i];
  return AppendTextChars(path, pathChars, text, n);
}

// <directory>\<name><suffix> into path; FALSE when it does not fit.
static BOOL ComposePath(WCHAR* path, const LogPaths* paths, const char* suffix) {
  path[0] = 0;
  return AppendBoundedText(path, LOG_PATH_CHARS, paths->directory) &&
         AppendBoundedText(path, LOG_PATH_CHARS, WTEXT("\\")) &&
         AppendBoundedText(path, LOG_PATH_CHARS, paths->name) &&
         AppendAscii(path, LOG_PATH_CHARS, suffix, strlen(suffix));
}

static BOOL ComposeLogPaths(LogPaths* paths, const WCHAR* directory, const WCHAR* name) {
  if (BoundedTextLength(directory, LOG_PATH_CHARS) == 0) return FALSE;
  CopyBoundedText(paths->directory, LOG_PATH_CHARS, directory, LOG_PATH_CHARS);
  // "C:\Logs\" and "C:\Logs" are one directory; the separator is added back below.
  size_t n = BoundedTextLength(paths->directory, LOG_PATH_CHARS);
  while (n > 0 && IsLogPathSeparator(paths->directory[n - 1])) paths->directory[--n] = 0;
  CopyBoundedText(paths->name, LOG_NAME_MAX_CHARS + 2, name, LOG_NAME_MAX_CHARS + 2);
  return ComposePath(paths->log, paths, LOG_CURRENT_SUFFIX) &&
         ComposePath(paths->sequence, paths, LOG_SEQUENCE_SUFFIX) &&
         ComposePath(paths->pending.file, paths, LOG_PENDING_SUFFIX) &&
         ComposePath(paths->pending.lock, paths, LOG_PENDING_LOCK_SUFFIX) &&
         ComposePath(paths->pending.fresh, paths, LOG_PENDING_NEW_SUFFIX);
}

BOOL SeekTo(HANDLE file, uint64_t offset) {
  LARGE_INTEGER at;
  at.QuadPart = (LONGLONG)offset;
  return SetFilePointerEx(file, at, NULL, FILE_BEGIN);
}

BOOL ReadExactly(HANDLE file, uint64_t offset, char* out, DWORD count) {
  DWORD read = 0;
  return SeekTo(file, offset) && ReadFile(file, out, count, &read, NULL) && read == count;
}

BOOL WriteAll(HANDLE file, const void* bytes, DWORD count) {
  DWORD written = 0;
  return WriteFile(file, bytes, count, &written, NULL) && written == count;
}

HANDLE OpenShared(const WCHAR* path, DWORD disposition) {
  return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     NULL, disposition, FILE_ATTRIBUTE_NORMAL, NULL);
}

BOOL GetSize(HANDLE file, uint64_t* size) {
  LARGE_INTEGER value;
  if (!GetFileSizeEx(file, &value) || value.QuadPart < 0) return FALSE;
  *size = (uint64_t)value.QuadPart;
  return TRUE;
}

size_t ComposeLineLead(uint64_t size, const LogTail* tail, char* out, size_t outBytes) {
  if (size == 0) return LogFormatFileStart(out, outBytes);
  memcpy(out, tail->closing, tail->closingBytes);
  return tail->closingBytes;
}

BOOL WriteAtEnd(HANDLE file, uint64_t size, const char* bytes, size_t count) {
  BOOL ok = SeekTo(file, size) && WriteAll(file, bytes, (DWORD)count) && FlushFileBuffers(file);
  if (!ok) {
    DWORD error = GetLastError();
    SeekTo(file, size);
    SetEndOfFile(file);
    FlushFileBuffers(file);
    SetLastError(error);
  }
  return ok;
}

// The lock is an exclusive byte-range lock over the whole file, taken through
// LOCKFILE_FAIL_IMMEDIATELY and retried: a plain wait would have no bound.
BOOL LockWholeFile(HANDLE file, OVERLAPPED* range) {
  memset(range, 0, sizeof(*range));
  for (unsigned attempt = 1;; ++attempt) {
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 0xFFFFFFFFu,
                   0xFFFFFFFFu, range))
      return TRUE;
    if (GetLastError() != ERROR_LOCK_VIOLATION || attempt == LOG_LOCK_TRIES) return FALSE;
    Sleep(LOG_LOCK_RETRY_MS);
  }
}

void UnlockWholeFile(HANDLE file, OVERLAPPED* range) {
  UnlockFileEx(file, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, range);
}

// FALSE when the locked file has been deleted: the lock then holds off no one. Where the
// file's links cannot be told, the lock is kept (Windows refuses to delete a file we
// hold open without delete sharing).
static BOOL StillNamed(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  return !GetFileInformationByHandle(file, &info) || info.nNumberOfLinks > 0;
}

// A file deleted while a writer waited for its lock has no name left: its lock shuts
// out nobody, since the next writer creates and locks a new file at the path. Such a
// lock is let go and taken again on the file the path names now.
HANDLE OpenLocked(const WCHAR* path, DWORD disposition, OVERLAPPED* range) {
  for (unsigned attempt = 0; attempt < LOG_LOCK_REOPENS; ++attempt) {
    HANDLE file = OpenShared(path, disposition);
    if (file == INVALID_HANDLE_VALUE) return file;
    if (!LockWholeFile(file, range)) {
      DWORD error = GetLastError();
      CloseHandle(file);
      SetLastError(error);
      return INVALID_HANDLE_VALUE;
    }
    if (StillNamed(file)) return file;
    UnlockWholeFile(file, range);
    CloseHandle(file);
  }
  SetLastError(ERROR_LOCK_VIOLATION);
  return INVALID_HANDLE_VALUE;
}

// The number in the sequence file, 0 when it is new, empty, unreadable or unsound.
static uint64_t ReadSequenceFile(HANDLE sequence) {
  char text[LOG_SEQUENCE_FILE_BYTES];
  DWORD read = 0;
  uint64_t value = 0;
  if (!SeekTo(sequence, 0) || !ReadFile(sequence, text, sizeof(text), &read, NULL)) return 0;
  // A number file missing, spoiled or past the limit says nothing: the log and the
  // pending file tell the number, and the next number written mends the file.
  LogParseSequenceFile(text, read, &value);
  return value;
}

// The log's own last line also tells the number, so after an ordinary append the file
// is written without a flush of its own; it must be on disk (durable) when the number
// is used without a line in the log: before a rotation, and for a line that did not
// reach the log.
static void WriteSequenceFile(HANDLE sequence, uint64_t value, BOOL durable) {
  LOG_ASSERT(value <= LOG_SEQUENCE_MAX);
  char text[LOG_SEQUENCE_FILE_BYTES];
  LogFormatSequenceFile(value, text);
  if (SeekTo(sequence, 0) && WriteAll(sequence, text, sizeof(text))) {
    SetEndOfFile(sequence);
    if (durable) FlushFileBuffers(sequence);
  }
}

// Renames the log to <name>-YYYYMMDD-HHMMSSZ-<lastNumber>.csv (UTC, and the highest
// number the file holds, so that the next writer finds it by the names even after the
// clock went back), falling back to "-2", "-3" ... in place of the number when that name is taken.
// Nothing is ever replaced or deleted.
static BOOL RotateLog(const LogPaths* paths, uint64_t lastNumber) {
  SYSTEMTIME now;
  GetSystemTime(&now);
  for (unsigned attempt = 1; attempt <= LOG_GENERATION_TRIES; ++attempt) {
    char stamp[LOG_GENERATION_STAMP_MAX + 24];
    size_t n = LogFormatGenerationStamp(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
                                        now.wSecond, attempt, stamp, sizeof(stamp));
    if (attempt == 1 && lastNumber != 0 && n < sizeof(stamp)) {
      stamp[n++] = '-';
      n += FormatDecimal(lastNumber, LOG_GENERATION_NUMBER_DIGITS, stamp + n, sizeof(stamp) - n);
    }
    WCHAR target[LOG_PATH_CHARS];
    if (n > sizeof(stamp) || !ComposePath(target, paths, "") ||
        !AppendAscii(target, LOG_PATH_CHARS, stamp, n) ||
        !AppendAscii(target, LOG_PATH_CHARS, LOG_CURRENT_SUFFIX, strlen(LOG_CURRENT_SUFFIX)))
      return FALSE;
    if (MoveFileExW(paths->log, target, MOVEFILE_WRITE_THROUGH)) return TRUE;
    // The longer numbered name may not fit a path where a counter does.
    DWORD error = GetLastError();
    if (attempt > 1 && error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return FALSE;
  }
  return FALSE;
}

// One locked append: the open current file, what its end says, and the numbers used.
struct LogWriter {
  const LogPaths* paths;
  HANDLE sequence;
  uint64_t limit;
  HANDLE log;               // INVALID_HANDLE_VALUE while the log is not open
  uint64_t size;
  LogTail tail;
  BOOL headerMatches;       // the file starts with our byte order mark and header
  uint64_t lastNumber;      // the highest number used, in the log or elsewhere
  uint64_t lastInLog;       // the highest number in the current file, damaged lines too
                            // (and in the newest generations, when they were read)
  BOOL lockLost;            // the sequence file was deleted under the lock
  BOOL holdsMoved;          // the current file holds lines the pending file still has
  char* line;               // a composed line
  char* work;               // header, closing bytes and line for one write
  size_t workBytes;
  DWORD lostError;          // why a line could be stored nowhere (ReportLostLine)
};

// Compares the file's first line with our byte order mark and header. A file that holds
// nothing but an earlier header of ours is emptied, as it carries no line.
static BOOL CheckHeader(LogWriter* w) {
  char expected[LOG_HEADER_CHECK_BYTES];
  char found[LOG_HEADER_CHECK_BYTES];
  size_t headerBytes = LogFormatFileStart(expected, sizeof(expected));
  if (headerBytes > sizeof(expected)) return FALSE;
  w->headerMatches = TRUE;
  if (w->size == 0) return TRUE;
  DWORD want = w->size < sizeof(found) ? (DWORD)w->size : (DWORD)sizeof(found);
  if (!ReadExactly(w->log, 0, found, want)) return FALSE;
  if (want >= headerBytes && memcmp(found, expected, headerBytes) == 0) return TRUE;
  w->headerMatches = FALSE;
  const char* end = (const char*)memchr(found, '\n', want);
  BOOL ours = end != NULL && LogRecogniseHeader(found, (size_t)(end - found)) != LOG_HEADER_NONE;
  if (ours && (uint64_t)(end + 1 - found) == w->size && w->tail.closingBytes == 0 &&
      SeekTo(w->log, 0) && SetEndOfFile(w->log)) {
    w->size = 0;
    w->headerMatches = TRUE;
  }
  return TRUE;
}

static BOOL OpenCurrentLog(LogWriter* w) {
  w->log = OpenShared(w->paths->log, OPEN_ALWAYS);
  if (w->log == INVALID_HANDLE_VALUE) return FALSE;
  if (GetSize(w->log, &w->size) && ReadLogTail(w->log, w->size, &w->tail) && CheckHeader(w)) {
    if (w->tail.lastNumber > w->lastInLog) w->lastInLog = w->tail.lastNumber;
    return TRUE;
  }
  CloseHandle(w->log);
  w->log = INVALID_HANDLE_VALUE;
  return FALSE;
}

static void CloseCurrentLog(LogWriter* w) {
  if (w->log != INVALID_HANDLE_VALUE) CloseHandle(w->log);
  w->log = INVALID_HANDLE_VALUE;
}

// The sequence file is asked again before each change to the log: deleted (on a
// system that lets a file open elsewhere be deleted) it lets the next writer in, and
// this one stops writing. What it had not written waits in the pending file without a
// number, as when the lock is not had.
static BOOL LockStillHeld(LogWriter* w) {
  if (!w->lockLost && !StillNamed(w->sequence)) w->lockLost = TRUE;
  return !w->lockLost;
}

// Rotates the current file first when bytes more would take a file that holds lines
// past the limit, or when it has another header; a file that cannot be renamed takes
// the lines anyway. FALSE when no current file could be opened after it.
static BOOL RotateIfDue(LogWriter* w, uint64_t bytes) {
  size_t headerBytes = LogFormatFileStart(NULL, 0);
  BOOL full = w->size > headerBytes && w->size + w->tail.closingBytes + bytes > w->limit;
  if (w->size == 0 || (!full && w->headerMatches)) return TRUE;
  if (!LockStillHeld(w)) return FALSE;
  LOG_ASSERT(!w->holdsMoved);
  // The damaged record stays one record in the generation it belongs to.
  if (w->tail.closingBytes != 0) WriteAtEnd(w->log, w->size, w->tail.closing, w->tail.closingBytes);
  CloseCurrentLog(w);
  // The new file starts empty, so the last number must survive the rename.
  WriteSequenceFile(w->sequence, w->lastNumber, TRUE);
  RotateLog(w->paths, w->lastInLog);
  return OpenCurrentLog(w);
}

// TRUE when the open file is size bytes long (or its size cannot be had). Only the
// invariant checks call it, which the shipped library compiles out.
[[maybe_unused]] static BOOL SizeIs(HANDLE file, uint64_t size) {
  uint64_t now = 0;
  return !GetSize(file, &now) || now == size;
}

// Appends one line to the current file with one write: the header first into an empty
// file, or the bytes that close a record a crash left unfinished.
static BOOL AppendLine(LogWriter* w, const char* line, size_t lineBytes) {
  size_t lead = LogFormatFileStart(NULL, 0);
  if (lead + lineBytes > w->workBytes) {
    char* larger = (char*)realloc(w->work, lead + lineBytes);
    if (larger == NULL) return FALSE;
    w->work = larger;
    w->workBytes = lead + lineBytes;
  }
  size_t n = ComposeLineLead(w->size, &w->tail, w->work, w->workBytes);
  memcpy(w->work + n, line, lineBytes);
  n += lineBytes;
  if (!LockStillHeld(w) || !WriteAtEnd(w->log, w->size, w->work, n)) {
    LOG_ASSERT(w->lockLost || SizeIs(w->log, w->size));
    return FALSE;
  }
  w->size += n;
  LOG_ASSERT(SizeIs(w->log, w->size));
  w->tail.closingBytes = 0;
  w->headerMatches = TRUE;
  return TRUE;
}

// Moves the pending lines into the log by their numbers, so that a crash at any point
// and the moves after it store each line once: a line the current file already holds,
// byte for byte, is not moved again; a line whose number the log holds for another
// line gets a fresh number, as a line without one does, durably before any line
// moves; the file is emptied in one step once all are in. The current file is never
// rotated while the pending file still holds a line it took, so a moved line is always
// found there; the lines of one move therefore go into one file, even past the limit.
static BOOL MovePending(LogWriter* w) {
  PendingFile p;
  BOOL ok = OpenPendingFile(&w->paths->pending, &p);
  uint64_t before = w->lastNumber;
  if (ok && p.lastNumber > w->lastNumber) w->lastNumber = p.lastNumber;
  // found: the lines the log holds, byte for byte; stale: the others whose number it
  // has reached.
  unsigned char* found = ok && p.count > 0 ? (unsigned char*)calloc(2 * p.count, 1) : NULL;
  unsigned char* stale = found != NULL ? found + p.count : NULL;
  BOOL replay = FALSE;
  ok = ok && (p.count == 0 || (found != NULL && FindLinesInLog(w->log, w->size, &p, w->lastInLog, found, &replay)));
  for (size_t i = 0; ok && i < p.count; ++i) {
    // Numbered from a number file that was gone or behind: a fresh number.
    uint64_t number = p.records[i].number;
    stale[i] = (unsigned char)(!found[i] && number != 0 && number <= w->lastInLog);
  }
  ok = ok && NumberPendingLines(&p, &w->lastNumber, stale);
  w->holdsMoved = replay;
  for (size_t i = 0; ok && i < p.ordered; ++i) {
    const PendingRecord* r = p.order[i];
    LOG_ASSERT(i == 0 || r->number > p.order[i - 1]->number);
    LOG_ASSERT(r->number <= w->lastNumber && (r->number > w->lastInLog || found[r - p.records]));
  }
  free(found);
  if (w->lastNumber > before) WriteSequenceFile(w->sequence, w->lastNumber, FALSE);
  // Every line numbered up to here is now in the log: the others were given fresh
  // numbers above it.
  const uint64_t inLogUpTo = w->lastInLog;
  uint64_t bytes = 0;
  for (size_t i = 0; ok && i < p.ordered; ++i) {
    if (p.order[i]->number > inLogUpTo) bytes += PendingLineBytes(p.order[i]);
  }
  if (ok && !replay && bytes > 0) ok = RotateIfDue(w, bytes);
  for (size_t i = 0; ok && i < p.ordered; ++i) {
    const PendingRecord* r = p.order[i];
    if (r->number <= inLogUpTo) continue;
    size_t lineBytes = PendingLineBytes(r);
    char* line = lineBytes <= LOG_RECORD_MAX_BYTES + LOG_LINE_OVERHEAD ? w->line : (char*)malloc(lineBytes);
    ok = line != NULL && AppendLine(w, line, CopyPendingLine(&p, r, line));
    w->holdsMoved = w->holdsMoved || ok;
    if (line != w->line) free(line);
    if (ok && r->number > w->lastInLog) w->lastInLog = r->number;
  }
  // Lines left without a number (the log reached its limit) keep waiting.
  for (size_t i = 0; ok && i < p.ordered; ++i) LOG_ASSERT(p.order[i]->number <= w->lastInLog);
  ok = ok && (p.waiting == 0 || (p.ordered == p.waiting && EmptyPendingFile(&p)));
  if (ok) w->holdsMoved = FALSE;
  ClosePendingFile(&p);
  return ok;
}

// The highest number the pending file's lines hold; 0 when it has none or cannot be
// read.
static uint64_t HighestPendingNumber(const PendingPaths* pendingPaths) {
  PendingFile p;
  uint64_t highest = OpenPendingFile(pendingPaths, &p) ? p.lastNumber : 0;
  ClosePendingFile(&p);
  return highest;
}

// Everything done while the log's lock is held: the pending lines first, then the new
// line with the next number, into the log or, failing that, into the pending file. The
// number is used either way. TRUE when the line is in the log; *stored tells whether it
// is anywhere, and w->line holds it.
static BOOL AppendLocked(LogWriter* w, const char* fields, size_t fieldsBytes, size_t* lineBytes,
                         BOOL* stored) {
  w->lastNumber = ReadSequenceFile(w->sequence);
  BOOL logOpen = OpenCurrentLog(w);
  // A current file without a line (a rotation just made it, it lost its lines, or it
  // cannot be opened) tells no number, nor does a number file that is gone or spoiled;
  // the newest generations then hold the last one. A rare path: the first line of a
  // log, or a number file to mend.
  if (w->lastNumber == 0 || w->lastInLog == 0) {
    uint64_t older = HighestGenerationNumber(w->paths->directory, w->paths->name);
    if (older > w->lastInLog) w->lastInLog = older;
  }
  if (w->lastInLog > w->lastNumber) w->lastNumber = w->lastInLog;
  BOOL inLog = FALSE;
  BOOL numbered = FALSE;
  if (logOpen && MovePending(w) && w->lastNumber < LOG_SEQUENCE_MAX) {
    // The sequence file takes the number before the line is written, without a flush:
    // a power loss can leave it behind the log (or spoiled), so every writer also
    // reads the log's end and the pending file before it numbers a line.
    numbered = TRUE;
    uint64_t number = ++w->lastNumber;
    LOG_ASSERT(number > w->lastInLog && !w->lockLost);
    WriteSequenceFile(w->sequence, number, FALSE);
    *lineBytes = ComposeLogLine(number, fields, fieldsBytes, w->line);
    inLog = RotateIfDue(w, *lineBytes) && AppendLine(w, w->line, *lineBytes);
  }
  CloseCurrentLog(w);
  *stored = inLog;
  if (inLog) return TRUE;
  if (w->lockLost) {
    *lineBytes = ComposeLogLine(0, fields, fieldsBytes, w->line);
    *stored = AppendPendingLine(&w->paths->pending, w->line, *lineBytes);
    w->lostError = GetLastError();
    return FALSE;
  }
  if (!logOpen) {
    // Without the log, the number file may be gone or behind: the pending file's lines
    // are seen too. A number the log already holds is replaced when the line moves.
    uint64_t waiting = HighestPendingNumber(&w->paths->pending);
    if (waiting > w->lastNumber) w->lastNumber = waiting;
  }
  if (!numbered && w->lastNumber >= LOG_SEQUENCE_MAX) {
    // Every number is used: the line is stored nowhere rather than under a number the
    // log already holds.
    *lineBytes = ComposeLogLine(0, fields, fieldsBytes, w->line);
    w->lostError = 0;
    return FALSE;
  }
  if (!numbered) ++w->lastNumber;
  *lineBytes = ComposeLogLine(w->lastNumber, fields, fieldsBytes, w->line);
  *stored = AppendPendingLine(&w->paths->pending, w->line, *lineBytes);
  w->lostError = GetLastError();
  WriteSequenceFile(w->sequence, w->lastNumber, TRUE);
  return FALSE;
}

BOOL AppendLogRecord(const WCHAR* directory, const WCHAR* name, DWORD maxKib,
                     const char* body, size_t bodyBytes) {
  if (body == NULL || bodyBytes < 2 || bodyBytes > LOG_RECORD_MAX_BYTES) return FALSE;
  LogPaths paths;
  if (!ComposeLogPaths(&paths, directory, name)) return FALSE;

  // The record body, then the append time: the columns' layout (log_format.h).
  SYSTEMTIME now;
  GetSystemTime(&now);
  size_t lineMax = LOG_RECORD_MAX_BYTES + LOG_LINE_OVERHEAD;
  size_t workBytes = LogFormatFileStart(NULL, 0) + lineMax;
  char* fields = (char*)malloc(lineMax);
  char* line = (char*)malloc(lineMax);
  char* work = (char*)malloc(workBytes);
  BOOL inLog = FALSE;
  if (fields != NULL && line != NULL && work != NULL) {
    size_t fieldsBytes = bodyBytes - 2;
    memcpy(fields, body, fieldsBytes);
    fields[fieldsBytes++] = ',';
    fieldsBytes += FormatUtcTime(&now, fields + fieldsBytes, lineMax - fieldsBytes);

    LogWriter w;
    memset(&w, 0, sizeof(w));
    w.paths = &paths;
    w.limit = (uint64_t)(maxKib == 0 ? LOG_DEFAULT_MAX_KIB : maxKib) * 1024u;
    w.log = INVALID_HANDLE_VALUE;
    w.line = line;
    w.work = work;
    w.workBytes = workBytes;
    size_t lineBytes = 0;
    BOOL stored = FALSE;
    DWORD lostError = 0;
    // A directory that cannot be made, or that is refused, still leaves the event log:
    // nothing is written through a junction or symbolic link, nor into a directory
    // another account made.
    BOOL usable = EnsureLogDirectory(paths.directory);
    if (usable && (IsReparsePoint(paths.log) || IsReparsePoint(paths.sequence) ||
                   IsReparsePoint(paths.pending.file) || IsReparsePoint(paths.pending.lock))) {
      usable = FALSE;
      SetLastError(ERROR_ACCESS_DENIED);
    }
    if (!usable) lostError = GetLastError();
    // Every writer of this log, in any thread or process, takes the lock on the
    // sequence file (which is never renamed) before it opens the log; the lock goes
    // away with the handle if a writer dies.
    OVERLAPPED range;
    w.sequence = usable ? OpenLocked(paths.sequence, OPEN_ALWAYS, &range) : INVALID_HANDLE_VALUE;
    if (w.sequence != INVALID_HANDLE_VALUE) {
      inLog = AppendLocked(&w, fields, fieldsBytes, &lineBytes, &stored);
      lostError = w.lostError;
      UnlockWholeFile(w.sequence, &range);
      CloseHandle(w.sequence);
    } else {
      // Without the lock there is no number to give: the line waits unnumbered and is
      // numbered before it is moved into the log.
      lineBytes = ComposeLogLine(0, fields, fieldsBytes, line);
      if (usable) {
        stored = AppendPendingLine(&paths.pending, line, lineBytes);
        lostError = GetLastError();
      }
    }
    if (!stored) ReportLostLine(paths.log, line, lineBytes, lostError);
    work = w.work;  // a long pending line may have made it larger
  }
  free(fields);
  free(line);
  free(work);
  return inLog;
}
