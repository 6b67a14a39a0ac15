// The log file: directory creation, the lock every writer honours, sequence numbers that
// continue across generations, rotation, and an append that leaves no partial line.
#include "logger/logger_internal.h"
#include "core/bounded_text.h"

// The sequence file holds the last number written, as this many digits and CRLF.
#define LOG_SEQUENCE_DIGITS 20
// How far back from the end of the log its last line is looked for.
#define LOG_TAIL_BYTES 16384u
// Generation names tried for one rotation: "-YYYYMMDD-HHMMSS", then "-2" ... added.
#define LOG_GENERATION_TRIES 999u
// Room for the sequence number, its comma, the checksum's comma, 8 hex digits, CRLF,
// and a CRLF that closes a line left incomplete by a crash.
#define LOG_LINE_OVERHEAD 40u

static const char kByteOrderMark[3] = {'\xEF', '\xBB', '\xBF'};

// The paths of one log: <directory>\<name>.csv and its sequence file <name>.seq.
struct LogPaths {
  WCHAR directory[LOG_PATH_CHARS];
  WCHAR name[LOG_NAME_MAX_CHARS + 2];
  WCHAR log[LOG_PATH_CHARS];
  WCHAR sequence[LOG_PATH_CHARS];
};

static BOOL IsSeparator(WCHAR c) { return c == '\\' || c == '/'; }

// Appends value in decimal, at least minDigits digits, to a terminated path.
static BOOL AppendDecimal(WCHAR* path, size_t pathChars, unsigned value, unsigned minDigits) {
  WCHAR digits[12];
  unsigned n = 0;
  do {
    digits[n++] = (WCHAR)('0' + value % 10);
    value /= 10;
  } while (value != 0 && n < 11);
  while (n < minDigits && n < 11) digits[n++] = '0';
  WCHAR text[12];
  for (unsigned i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
  text[n] = 0;
  return AppendBoundedText(path, pathChars, text);
}

// <directory>\<name><suffix> into path; FALSE when it does not fit.
static BOOL ComposePath(WCHAR* path, const LogPaths* paths, const WCHAR* suffix) {
  path[0] = 0;
  return AppendBoundedText(path, LOG_PATH_CHARS, paths->directory) &&
         AppendBoundedText(path, LOG_PATH_CHARS, WTEXT("\\")) &&
         AppendBoundedText(path, LOG_PATH_CHARS, paths->name) &&
         AppendBoundedText(path, LOG_PATH_CHARS, suffix);
}

static BOOL ComposeLogPaths(LogPaths* paths, const WCHAR* directory, const WCHAR* name) {
  if (BoundedTextLength(directory, LOG_PATH_CHARS) == 0) return FALSE;
  CopyBoundedText(paths->directory, LOG_PATH_CHARS, directory, LOG_PATH_CHARS);
  // "C:\Logs\" and "C:\Logs" are one directory; the separator is added back below.
  size_t n = BoundedTextLength(paths->directory, LOG_PATH_CHARS);
  while (n > 0 && IsSeparator(paths->directory[n - 1])) paths->directory[--n] = 0;
  CopyBoundedText(paths->name, LOG_NAME_MAX_CHARS + 2, name, LOG_NAME_MAX_CHARS + 2);
  return ComposePath(paths->log, paths, WTEXT(".csv")) &&
         ComposePath(paths->sequence, paths, WTEXT(".seq"));
}

static BOOL IsDirectory(const WCHAR* path) {
  DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Creates the directory and every missing parent. Failures on the way are not final:
// a parent may be a drive or share root, or another writer may create it first.
static BOOL EnsureDirectory(WCHAR* directory) {
  if (directory[0] == 0) return TRUE;  // the root of the current drive
  if (IsDirectory(directory)) return TRUE;
  for (size_t i = 1; directory[i] != 0; ++i) {
    // Skip the separator after a drive letter and the two that open a UNC path.
    if (!IsSeparator(directory[i]) || directory[i - 1] == ':' || IsSeparator(directory[i - 1]))
      continue;
    WCHAR saved = directory[i];
    directory[i] = 0;
    CreateDirectoryW(directory, NULL);
    directory[i] = saved;
  }
  CreateDirectoryW(directory, NULL);
  return IsDirectory(directory);
}

static BOOL SeekTo(HANDLE file, uint64_t offset) {
  LARGE_INTEGER at;
  at.QuadPart = (LONGLONG)offset;
  return SetFilePointerEx(file, at, NULL, FILE_BEGIN);
}

static BOOL WriteAll(HANDLE file, const void* bytes, DWORD count) {
  DWORD written = 0;
  return WriteFile(file, bytes, count, &written, NULL) && written == count;
}

// Parses leading decimal digits; 0 when there are none or they overflow.
static uint64_t ParseSequence(const char* text, size_t count) {
  uint64_t value = 0;
  size_t i = 0;
  for (; i < count && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value > (UINT64_MAX - 9) / 10) return 0;
    value = value * 10 + (uint64_t)(text[i] - '0');
  }
  return i > 0 ? value : 0;
}

// The number in the sequence file, 0 when it is new, empty or unreadable.
static uint64_t ReadSequenceFile(HANDLE sequence) {
  char text[LOG_SEQUENCE_DIGITS + 2];
  DWORD read = 0;
  if (!SeekTo(sequence, 0) || !ReadFile(sequence, text, sizeof(text), &read, NULL)) return 0;
  return ParseSequence(text, read);
}

// Best effort: the log's own last line also tells the number, so the file only has to
// be on disk when the log is about to be rotated away (durable then, flushed before
// the rename); after an ordinary append it is written without a flush of its own.
static void WriteSequenceFile(HANDLE sequence, uint64_t value, BOOL durable) {
  char text[LOG_SEQUENCE_DIGITS + 2];
  for (int i = LOG_SEQUENCE_DIGITS - 1; i >= 0; --i) {
    text[i] = (char)('0' + value % 10);
    value /= 10;
  }
  text[LOG_SEQUENCE_DIGITS] = '\r';
  text[LOG_SEQUENCE_DIGITS + 1] = '\n';
  if (SeekTo(sequence, 0) && WriteAll(sequence, text, sizeof(text))) {
    SetEndOfFile(sequence);
    if (durable) FlushFileBuffers(sequence);
  }
}

static int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The sequence number of a complete line (without its CRLF), or 0 when the line is not
// one of ours: it must start with digits and end with the checksum of the rest.
static uint64_t SequenceOfLine(const char* line, size_t count) {
  if (count < 11 || line[count - 9] != ',') return 0;
  uint32_t stored = 0;
  for (size_t i = count - 8; i < count; ++i) {
    int digit = HexValue(line[i]);
    if (digit < 0) return 0;
    stored = (stored << 4) | (uint32_t)digit;
  }
  if (Crc32Update(0, line, count - 9) != stored) return 0;
  return ParseSequence(line, count - 9);
}

// Reads the end of the log: the sequence number of its last line (0 when there is
// none that checks out) and whether the file ends with a complete line.
static uint64_t ReadLogTail(HANDLE log, uint64_t size, char* tail, BOOL* endsWithLine) {
  *endsWithLine = TRUE;
  if (size == 0) return 0;
  DWORD want = size < LOG_TAIL_BYTES ? (DWORD)size : LOG_TAIL_BYTES;
  DWORD read = 0;
  if (!SeekTo(log, size - want) || !ReadFile(log, tail, want, &read, NULL) || read != want)
    return 0;
  if (tail[read - 1] != '\n') {
    *endsWithLine = FALSE;
    return 0;
  }
  if (read < 2 || tail[read - 2] != '\r') return 0;
  size_t end = read - 2;
  // A line starts after an LF outside quotes: with the whole line's quotes balanced,
  // that is an LF with an even number of quotes after it. An LF inside a quoted
  // text has an odd number after it, so a text can never pose as a line.
  size_t quotes = 0;
  size_t start = end;
  BOOL found = FALSE;
  while (start > 0) {
    char c = tail[start - 1];
    if (c == '\n' && quotes % 2 == 0) {
      found = TRUE;
      break;
    }
    if (c == '"') ++quotes;
    --start;
  }
  if (!found && want < size) return 0;  // the line is longer than the tail read
  return SequenceOfLine(tail + start, end - start);
}

// Renames the log to <name>-YYYYMMDD-HHMMSS.csv (local time), adding "-2", "-3" ...
// when that name is taken. Nothing is ever replaced or deleted.
static BOOL RotateLog(const LogPaths* paths) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  for (unsigned attempt = 1; attempt <= LOG_GENERATION_TRIES; ++attempt) {
    WCHAR target[LOG_PATH_CHARS];
    if (!ComposePath(target, paths, WTEXT("-")) ||
        !AppendDecimal(target, LOG_PATH_CHARS, now.wYear, 4) ||
        !AppendDecimal(target, LOG_PATH_CHARS, now.wMonth, 2) ||
        !AppendDecimal(target, LOG_PATH_CHARS, now.wDay, 2) ||
        !AppendBoundedText(target, LOG_PATH_CHARS, WTEXT("-")) ||
        !AppendDecimal(target, LOG_PATH_CHARS, now.wHour, 2) ||
        !AppendDecimal(target, LOG_PATH_CHARS, now.wMinute, 2) ||
        !AppendDecimal(target, LOG_PATH_CHARS, now.wSecond, 2))
      return FALSE;
    if (attempt > 1 && (!AppendBoundedText(target, LOG_PATH_CHARS, WTEXT("-")) ||
                        !AppendDecimal(target, LOG_PATH_CHARS, attempt, 1)))
      return FALSE;
    if (!AppendBoundedText(target, LOG_PATH_CHARS, WTEXT(".csv"))) return FALSE;
    if (MoveFileExW(paths->log, target, MOVEFILE_WRITE_THROUGH)) return TRUE;
    DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return FALSE;
  }
  return FALSE;
}

static HANDLE OpenShared(const WCHAR* path) {
  return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
}

static BOOL GetSize(HANDLE file, uint64_t* size) {
  LARGE_INTEGER value;
  if (!GetFileSizeEx(file, &value) || value.QuadPart < 0) return FALSE;
  *size = (uint64_t)value.QuadPart;
  return TRUE;
}

// Everything done while the lock is held: number the line, rotate when it would not
// fit, append it with one write, flush, and remember the number.
static BOOL AppendLocked(const LogPaths* paths, HANDLE sequence, uint64_t limit,
                         const char* body, size_t bodyBytes, char* work, size_t workBytes,
                         char* tail) {
  HANDLE log = OpenShared(paths->log);
  if (log == INVALID_HANDLE_VALUE) return FALSE;
  uint64_t size = 0;
  BOOL endsWithLine = TRUE;
  if (!GetSize(log, &size)) {
    CloseHandle(log);
    return FALSE;
  }
  uint64_t last = ReadSequenceFile(sequence);
  uint64_t inLog = ReadLogTail(log, size, tail, &endsWithLine);
  uint64_t next = (inLog > last ? inLog : last) + 1;

  char digits[24];
  size_t digitCount = 0;
  for (uint64_t v = next; v != 0 && digitCount < sizeof(digits); v /= 10)
    digits[digitCount++] = (char)('0' + v % 10);
  size_t lineBytes = digitCount + 1 + (bodyBytes - 2) + 1 + 8 + 2;
  size_t headerBytes = FormatLogHeader(NULL, 0);

  // A file holding no more than its header is never rotated: a line larger than the
  // limit then goes into the fresh file rather than making empty generations.
  if (size > sizeof(kByteOrderMark) + headerBytes && size + lineBytes > limit) {
    CloseHandle(log);
    // The new file starts empty, so the number of the last line must survive the rename.
    WriteSequenceFile(sequence, next - 1, TRUE);
    // The current file is renamed only while no handle of ours is open on it; if it
    // cannot be renamed the line still goes into it: a log over its size loses nothing.
    RotateLog(paths);
    log = OpenShared(paths->log);
    if (log == INVALID_HANDLE_VALUE || !GetSize(log, &size)) {
      if (log != INVALID_HANDLE_VALUE) CloseHandle(log);
      return FALSE;
    }
    if (size != 0) ReadLogTail(log, size, tail, &endsWithLine);
  }

  size_t n = 0;
  if (size == 0) {
    memcpy(work, kByteOrderMark, sizeof(kByteOrderMark));
    n = sizeof(kByteOrderMark);
    n += FormatLogHeader(work + n, workBytes - n);
  } else if (!endsWithLine) {
    // A crash left a line without its end: close it, so the new line stays whole.
    work[n++] = '\r';
    work[n++] = '\n';
  }
  size_t lineStart = n;
  while (digitCount > 0) work[n++] = digits[--digitCount];
  work[n++] = ',';
  memcpy(work + n, body, bodyBytes - 2);
  n += bodyBytes - 2;
  uint32_t crc = Crc32Update(0, work + lineStart, n - lineStart);
  work[n++] = ',';
  static const char kHex[] = "0123456789ABCDEF";
  for (int shift = 28; shift >= 0; shift -= 4) work[n++] = kHex[(crc >> shift) & 0x0F];
  work[n++] = '\r';
  work[n++] = '\n';

  BOOL ok = SeekTo(log, size) && WriteAll(log, work, (DWORD)n) && FlushFileBuffers(log);
  if (!ok) {
    // No partial line stays behind: back to the length before the write.
    SeekTo(log, size);
    SetEndOfFile(log);
    FlushFileBuffers(log);
  }
  CloseHandle(log);
  if (ok) WriteSequenceFile(sequence, next, FALSE);
  return ok;
}

BOOL AppendLogRecord(const WCHAR* directory, const WCHAR* name, DWORD maxKib,
                     const char* body, size_t bodyBytes) {
  if (body == NULL || bodyBytes < 2 || bodyBytes > LOG_RECORD_MAX_BYTES) return FALSE;
  LogPaths paths;
  if (!ComposeLogPaths(&paths, directory, name)) return FALSE;
  if (!EnsureDirectory(paths.directory)) return FALSE;

  uint64_t limit = (uint64_t)(maxKib == 0 ? LOG_DEFAULT_MAX_KIB : maxKib) * 1024u;
  size_t workBytes = bodyBytes + LOG_LINE_OVERHEAD + sizeof(kByteOrderMark) + FormatLogHeader(NULL, 0);
  char* work = (char*)malloc(workBytes);
  char* tail = (char*)malloc(LOG_TAIL_BYTES);
  if (work == NULL || tail == NULL) {
    free(work);
    free(tail);
    return FALSE;
  }

  // The lock is an exclusive byte-range lock on the whole sequence file, which is
  // never renamed: every writer of this log, in any thread or process, takes it
  // before it opens the log, and it goes away with the handle if a writer dies.
  BOOL ok = FALSE;
  HANDLE sequence = OpenShared(paths.sequence);
  if (sequence != INVALID_HANDLE_VALUE) {
    OVERLAPPED range;
    memset(&range, 0, sizeof(range));
    if (LockFileEx(sequence, LOCKFILE_EXCLUSIVE_LOCK, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, &range)) {
      ok = AppendLocked(&paths, sequence, limit, body, bodyBytes, work, workBytes, tail);
      UnlockFileEx(sequence, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, &range);
    }
    CloseHandle(sequence);
  }
  free(work);
  free(tail);
  return ok;
}
