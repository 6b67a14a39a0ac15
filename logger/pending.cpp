// The pending file beside a log: lines that could not be appended wait there, with
// their numbers, until a later append moves them into the log in order.
#include "logger/logger_internal.h"

// A pending file stops taking lines at this size: beyond it they go to the event log,
// so that a log that stays unavailable cannot fill the disk through its pending file,
// and the move reads a bounded file.
#define LOG_PENDING_MAX_BYTES (8u * 1024u * 1024u)

BOOL AppendPendingLine(const WCHAR* pendingPath, const char* line, size_t lineBytes) {
  HANDLE file = OpenShared(pendingPath, OPEN_ALWAYS);
  if (file == INVALID_HANDLE_VALUE) return FALSE;
  BOOL ok = FALSE;
  OVERLAPPED range;
  uint64_t size = 0;
  // Writers that have the log's lock and writers that do not meet here: the pending
  // file has a lock of its own, always taken after the log's.
  if (LockWholeFile(file, &range)) {
    LogTail tail;
    if (GetSize(file, &size) && size < LOG_PENDING_MAX_BYTES && ReadLogTail(file, size, &tail)) {
      size_t lead = FormatFileStart(NULL, 0);
      char* work = (char*)malloc(lead + lineBytes);
      if (work != NULL) {
        size_t n = ComposeLineLead(size, &tail, work, lead);
        memcpy(work + n, line, lineBytes);
        ok = WriteAtEnd(file, size, work, n + lineBytes);
        free(work);
      }
    }
    UnlockWholeFile(file, &range);
  }
  CloseHandle(file);
  return ok;
}

// The end of the CSV record that starts at start (just past its LF), or count when the
// record has no end (a crash cut it: it is moved as it is, and closed by the log).
static size_t RecordEnd(const char* bytes, size_t start, size_t count) {
  BOOL quoted = FALSE;
  for (size_t i = start; i < count; ++i) {
    if (bytes[i] == '"') quoted = !quoted;
    if (bytes[i] == '\n' && !quoted) return i + 1;
  }
  return count;
}

static size_t WithoutLineEnd(const char* bytes, size_t start, size_t end) {
  if (end > start && bytes[end - 1] == '\n') --end;
  if (end > start && bytes[end - 1] == '\r') --end;
  return end - start;
}

// Hands the records of one pass to the sink: numbered (and damaged) lines first, as
// they already hold their place in the numbering; then the lines that got no number,
// which are numbered as they go into the log. Moved records are blanked in moved[].
static BOOL MovePass(const char* bytes, size_t start, size_t count, BOOL unnumbered,
                     PendingLineSink sink, void* context, char* moved) {
  for (size_t at = start; at < count;) {
    size_t end = RecordEnd(bytes, at, count);
    size_t length = WithoutLineEnd(bytes, at, end);
    BOOL isUnnumbered = length > 0 && bytes[at] == ',';
    // A record longer than any line the library writes is not ours: it stays where it
    // is and holds up nothing. The room left is for a number and its comma.
    BOOL fits = length + 2 + 21 <= LOG_RECORD_MAX_BYTES + LOG_LINE_OVERHEAD;
    if (!moved[at] && fits && length > 0 && isUnnumbered == unnumbered) {
      if (!sink(context, bytes + at, length)) return FALSE;
      moved[at] = 1;
    } else if (length == 0) {
      moved[at] = 1;  // an empty record carries nothing
    }
    at = end;
  }
  return TRUE;
}

BOOL MovePendingLines(const WCHAR* pendingPath, PendingLineSink sink, void* context) {
  HANDLE file = OpenShared(pendingPath, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return TRUE;  // nothing waits
  BOOL ok = FALSE;
  OVERLAPPED range;
  if (!LockWholeFile(file, &range)) {
    CloseHandle(file);
    return FALSE;
  }
  uint64_t size = 0;
  char* bytes = NULL;
  char* moved = NULL;
  LARGE_INTEGER origin;
  origin.QuadPart = 0;
  if (GetSize(file, &size) && size <= LOG_PENDING_MAX_BYTES + LOG_RECORD_MAX_BYTES + 4096u) {
    bytes = (char*)malloc(size + 1);
    moved = (char*)calloc(size + 1, 1);
  }
  if (size == 0) {
    ok = TRUE;
  } else if (bytes != NULL && moved != NULL && ReadExactly(file, 0, bytes, (DWORD)size)) {
    // The first record is the header.
    size_t start = RecordEnd(bytes, 0, (size_t)size);
    BOOL all = MovePass(bytes, start, (size_t)size, FALSE, sink, context, moved) &&
               MovePass(bytes, start, (size_t)size, TRUE, sink, context, moved);
    // Keep what was not moved, in its order, after the header; with nothing left, an
    // empty file stays behind: deleting it could race a writer that has just opened it
    // without the log's lock.
    size_t n = start;
    for (size_t at = start; at < size;) {
      size_t end = RecordEnd(bytes, at, (size_t)size);
      if (!moved[at]) {
        memmove(bytes + n, bytes + at, end - at);
        n += end - at;
      }
      at = end;
    }
    if (n == start) n = 0;
    DWORD written = 0;
    LARGE_INTEGER cut;
    cut.QuadPart = (LONGLONG)n;
    // The moved lines are in the log whatever the rewrite does; a numbered line that a
    // failed rewrite leaves behind is not moved twice.
    if (SetFilePointerEx(file, origin, NULL, FILE_BEGIN) &&
        WriteFile(file, bytes, (DWORD)n, &written, NULL) && written == n &&
        SetFilePointerEx(file, cut, NULL, FILE_BEGIN) && SetEndOfFile(file))
      FlushFileBuffers(file);
    ok = all;
  }
  free(bytes);
  free(moved);
  UnlockWholeFile(file, &range);
  CloseHandle(file);
  return ok;
}
