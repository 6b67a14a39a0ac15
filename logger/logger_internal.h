// SPDX-License-Identifier: Apache-2.0
// Internal operations of the ruzoravu64 logging library, shared by its source files:
// the CSV line format, numbers, text conversions, safe file names, CRC-32, the end of a
// log, the pending file, the event-log fallback and the log file.
#pragma once

#include "core/log_entry.h"
#include "logger/crc32.h"
#include "logger/event_source.h"
#include "logger/log_directory.h"
#include "logger/log_format.h"
#include "platform/win32.h"

// LOG_ASSERT() - Checks one of the writer's invariants (listed at the top of
// log_file.cpp) where it can break. The test builds define LOG_CHECK_INVARIANTS and end
// the process on a broken one; the shipped library compiles the checks out.
#ifdef LOG_CHECK_INVARIANTS
void LogInvariantBroken(const char* condition, const char* file, int line);
#define LOG_ASSERT(condition) ((condition) ? (void)0 : LogInvariantBroken(#condition, __FILE__, __LINE__))
#else
#define LOG_ASSERT(condition) ((void)sizeof((condition) ? 1 : 0))
#endif

// Longest formatted record the library writes or accepts, terminator included. The
// longest entry gives about 16 KiB (every text at its slot's size, three UTF-8 bytes a
// character, quotes doubled); the bound leaves room and stops a runaway read of data
// that is not ours.
#define LOG_RECORD_MAX_BYTES 65536u
// Default for a maximum log size of 0, in KiB: the registry's own default.
#define LOG_DEFAULT_MAX_KIB 64u
// Name used when the caller's name is empty or nothing of it survives cleaning.
#define LOG_DEFAULT_NAME WTEXT("PrintLog")
// Longest log name kept, in UTF-16 units, so that every generation's name fits a path.
#define LOG_NAME_MAX_CHARS 100u
// Room for every path the library composes (directory, name, generation suffix).
#define LOG_PATH_CHARS 512u

// Room for every line the library writes around a record body: the sequence number,
// the append time, the checksum with their commas and CRLF (about 60 bytes), and a
// number given to a line that waited without one.
#define LOG_LINE_OVERHEAD 96u

// --- numbers.cpp ------------------------------------------------------------------

// FormatDecimal() - Writes value in decimal, at least minDigits digits, into out; returns
// the digits it needs and writes them only when they fit outBytes (no terminator).
size_t FormatDecimal(uint64_t value, unsigned minDigits, char* out, size_t outBytes);
// FormatHex() - Writes the low digits hex digits of value, upper case, into out (no
// terminator).
void FormatHex(uint64_t value, unsigned digits, char* out);

// --- text_convert.cpp -------------------------------------------------------------

// OemSlotToUtf8() - Converts an OEM text read only within its slot of slotBytes bytes (up
// to its terminator, or the whole slot without one) to UTF-8. Writes no terminator;
// returns the bytes written, 0 for a null slot, an empty text or a failed conversion. out
// must hold 3 bytes for every slot byte.
size_t OemSlotToUtf8(const char* slot, size_t slotBytes, char* out, size_t outBytes);
// WideSlotToUtf8() - The same for a UTF-16 text in a slot of slotChars characters.
size_t WideSlotToUtf8(const WCHAR* slot, size_t slotChars, char* out, size_t outBytes);
// OemTextToWide(): logger/log_directory.h.

// --- safe_name.cpp ----------------------------------------------------------------

// MakeSafeLogName() - Makes the caller's log name (OEM text, at most MAX_PATH bytes read)
// into one file name component that stays inside the log directory. Always terminates name
// and gives a non-empty result (LOG_DEFAULT_NAME when nothing usable is left).
void MakeSafeLogName(const char* oemName, WCHAR* name, size_t nameChars);

// --- format.cpp -------------------------------------------------------------------

// FormatLogBody() - Formats an entry of format 2 or 3 as the record body: the CSV fields
// between the sequence number and the checksum, then CRLF. Returns the bytes the body
// needs (no terminator); writes them into out only when they all fit outBytes.
size_t FormatLogBody(int level, int format, const void* entry, char* out, size_t outBytes);
// FormatUtcTime() - A UTC time as the append-time column writes it,
// 2026-12-07T22:15:37.250Z. Returns its length (24); writes the bytes that fit outBytes.
size_t FormatUtcTime(const SYSTEMTIME* utc, char* out, size_t outBytes);
// IsSingleCsvRecord() - TRUE when bytes form exactly one CSV record ending in CRLF: quotes
// balanced, and no CR or LF outside quotes except that last CRLF.
BOOL IsSingleCsvRecord(const char* bytes, size_t count);
// ComposeLogLine() - The line of fields: the sequence field before them and the
// checksum after them (the columns' layout, log_format.h), then CRLF, into out, which
// must hold fieldsBytes + LOG_LINE_OVERHEAD bytes; number 0 leaves the sequence field
// empty (a line that waits without a number). fields is the record body and the append
// time. Returns the bytes written.
size_t ComposeLogLine(uint64_t number, const char* fields, size_t fieldsBytes, char* out);

// --- log_directory.cpp ------------------------------------------------------------

// LOG_DIRECTORY_SDDL, LogDirectoryVerdict, JudgeLogDirectory(): logger/log_directory.h.
// EnsureLogDirectory() - Creates the directory and its missing parents (JudgeLogDirectory
// with create, as this process); TRUE when the library may write into it. FALSE with the
// last error: the failed call's, ERROR_DIRECTORY where a file stands in the way, or
// ERROR_ACCESS_DENIED for a directory the library refuses (a link, another owner).
BOOL EnsureLogDirectory(WCHAR* directory);
// IsReparsePoint() - TRUE when path exists and is a reparse point.
BOOL IsReparsePoint(const WCHAR* path);

// --- log_tail.cpp -----------------------------------------------------------------

// What the end of a log or pending file says to the next writer.
struct LogTail {
  uint64_t lastNumber;  // of the last good line, or of a damaged record after it
  uint64_t lastGood;    // of the last good line alone
  char closing[3];      // closes a record a crash left unfinished: a quote, then CRLF
  size_t closingBytes;  // 0 when the file ends with a complete record
};
// ReadLogTail() - Reads the end of a file of size bytes as CSV. FALSE when it cannot be
// read.
BOOL ReadLogTail(HANDLE file, uint64_t size, LogTail* tail);

// --- generations.cpp --------------------------------------------------------------

// HighestGenerationNumber() - The highest number at the end of the newest generations
// of the log <name> in directory (a few, each read only at its end as ReadLogTail
// reads); 0 when there are none or none can be read.
uint64_t HighestGenerationNumber(const WCHAR* directory, const WCHAR* name);

// --- log_file.cpp -----------------------------------------------------------------

// AppendLogRecord() - Appends one record body (a single CSV record ending in CRLF) to
// <directory>\<name>.csv with the next sequence number, the append time and its checksum,
// rotating first when the line would take the file past maxKib KiB. TRUE when the line is
// in the log and flushed; a line that cannot go there waits in the pending file or,
// failing that, is reported to the event log.
BOOL AppendLogRecord(const WCHAR* directory, const WCHAR* name, DWORD maxKib,
                     const char* body, size_t bodyBytes);
// ComposeLineLead() - What goes before a line appended to a file of size bytes whose end
// is tail: the file start into an empty file, else the bytes that close a record a crash
// left unfinished. out must hold LogFormatFileStart(NULL, 0) bytes. Returns the bytes
// written.
size_t ComposeLineLead(uint64_t size, const LogTail* tail, char* out, size_t outBytes);
// WriteAtEnd() - Writes bytes at the end (size) of an open file with one write and flushes
// it; on any failure the file is cut back to size, so no partial line stays behind, and
// the last error is the failed call's.
BOOL WriteAtEnd(HANDLE file, uint64_t size, const char* bytes, size_t count);
// LockWholeFile() - Takes the exclusive lock over a whole file, waiting a bounded time for
// another holder. FALSE when the lock could not be had.
BOOL LockWholeFile(HANDLE file, OVERLAPPED* range);
// OpenLocked() - Opens path as OpenShared does and takes the lock over the whole file,
// making sure the file locked is still the one path names (not one deleted while this
// writer waited). INVALID_HANDLE_VALUE, with the last error, when the file cannot be
// opened or locked.
HANDLE OpenLocked(const WCHAR* path, DWORD disposition, OVERLAPPED* range);
// UnlockWholeFile() - Releases the lock LockWholeFile took over range.
void UnlockWholeFile(HANDLE file, OVERLAPPED* range);
// SeekTo() - Moves the file pointer to offset.
BOOL SeekTo(HANDLE file, uint64_t offset);
// WriteAll() - Writes count bytes at the file pointer; FALSE when fewer went.
BOOL WriteAll(HANDLE file, const void* bytes, DWORD count);
// ReadExactly() - Reads exactly count bytes at offset; FALSE otherwise.
BOOL ReadExactly(HANDLE file, uint64_t offset, char* out, DWORD count);
// OpenShared() - Opens a file for reading and writing, shared with every other writer.
HANDLE OpenShared(const WCHAR* path, DWORD disposition);
// GetSize() - The size of an open file in *size; FALSE when it cannot be had.
BOOL GetSize(HANDLE file, uint64_t* size);

// --- pending.cpp ------------------------------------------------------------------

// Where lines wait that could not be appended to the log: <directory>\<name>.pending,
// with the log's byte order mark and header. A line that got no number (the lock was
// not had) has an empty sequence field until a move gives it one. Every writer of the
// pending file takes the lock of <name>.pending-lock first (after the log's), as the
// pending file itself is replaced by a rename when its lines are numbered.
struct PendingPaths {
  WCHAR file[LOG_PATH_CHARS];   // <name>.pending
  WCHAR lock[LOG_PATH_CHARS];   // <name>.pending-lock
  WCHAR fresh[LOG_PATH_CHARS];  // <name>.pending-new
};

// AppendPendingLine() - Appends one complete line (with CRLF) to the pending file; TRUE
// when it is there, else FALSE with the failed call's last error (ERROR_FILE_TOO_LARGE
// when the pending file is at its bound).
BOOL AppendPendingLine(const PendingPaths* paths, const char* line, size_t lineBytes);

// One record of a pending file.
struct PendingRecord {
  size_t start;     // of its first byte in the file
  size_t length;    // its bytes, without the line end that closes it
  uint64_t number;  // 0 when it has none
  BOOL complete;    // a line end closes it (the file does not end inside it)
  BOOL openQuote;   // the file ends inside its quotes
  BOOL good;        // complete, and its checksum is right
};
// A pending file open and locked for a move, its bytes and records.
struct PendingFile {
  const PendingPaths* paths;
  HANDLE lock;  // the pending lock; INVALID_HANDLE_VALUE when not taken
  OVERLAPPED lockRange;
  HANDLE file;  // INVALID_HANDLE_VALUE when there is no pending file
  OVERLAPPED range;
  char* bytes;
  size_t size;
  size_t headerEnd;         // 0 when the file does not start with its header
  PendingRecord* records;   // in file order
  size_t count;
  size_t waiting;           // records that are not blank lines
  PendingRecord** order;    // the numbered records, in move order: by number
  size_t ordered;
  uint64_t lastNumber;      // the highest number a record holds
};
// OpenPendingFile() - Opens and locks the pending file (after the log's lock; the
// pending lock too when it holds anything) and reads its records. TRUE without records
// when there is no pending file or an empty one; FALSE when it cannot be locked or
// read. Close with ClosePendingFile in any case.
BOOL OpenPendingFile(const PendingPaths* paths, PendingFile* p);
// NumberPendingLines() - Gives each record without a number, each that stale marks (by
// its index in p->records; stale may be NULL), and the later of two that hold the same
// one, the next number after *lastNumber (in file order, none beyond LOG_SEQUENCE_MAX),
// and makes them durable before any line moves: a new pending file is written and
// flushed beside the old one, then renamed over it, so that a power cut leaves the old
// file or the new one, never a mix. FALSE when the file could not be replaced (the old
// one stays; a reader holding it open is enough on Windows).
BOOL NumberPendingLines(PendingFile* p, uint64_t* lastNumber, const unsigned char* stale);
// FindLinesInLog() - Marks in inLog (by index in p->records) each numbered record whose
// line, byte for byte, the end of the open log of size bytes already holds: a crash
// came between its move and the emptying of the pending file. Only records numbered up
// to lastInLog are looked for. *any tells whether one was found. FALSE when the log
// could not be read.
BOOL FindLinesInLog(HANDLE log, uint64_t size, const PendingFile* p, uint64_t lastInLog,
                    unsigned char* inLog, BOOL* any);
// PendingLineBytes() - The most bytes CopyPendingLine writes for r.
size_t PendingLineBytes(const PendingRecord* r);
// CopyPendingLine() - Writes r as the line the log takes: its bytes, closed as one
// record when a crash cut it, and CRLF. Returns the bytes written.
size_t CopyPendingLine(const PendingFile* p, const PendingRecord* r, char* out);
// EmptyPendingFile() - Cuts the file to nothing, in one step, once every line is in the
// log.
BOOL EmptyPendingFile(PendingFile* p);
void ClosePendingFile(PendingFile* p);

// --- event_report.cpp -------------------------------------------------------------

// LOG_EVENT_SOURCE, LOG_EVENT_SOURCE_KEY, LOG_EVENT_LINE_LOST: logger/event_source.h.

// ReportLostLine() - Reports a line that could be stored nowhere to the Windows event log,
// under our own event source, with the log's path, the line's text and why: the Win32
// error of the call that failed, as its number and the system's text for it; error 0
// when no call failed but every sequence number is used.
void ReportLostLine(const WCHAR* logPath, const char* line, size_t lineBytes, DWORD error);
