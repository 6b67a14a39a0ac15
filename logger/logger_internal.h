// Internal operations of the ruzoravu64 logging library, shared by its source files:
// the CSV line format, text conversions, safe file names, CRC-32 and the log file.
#pragma once

#include "core/log_entry.h"
#include "platform/win32.h"

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

// --- crc32.cpp --------------------------------------------------------------------

// CRC-32 (the reflected 0xEDB88320 polynomial of zip and PNG) of bytes, continuing
// from crc; start with 0. Crc32Update(0, "123456789", 9) is 0xCBF43926.
uint32_t Crc32Update(uint32_t crc, const void* bytes, size_t count);

// --- text_convert.cpp -------------------------------------------------------------

// Converts an OEM text read only within its slot of slotBytes bytes (up to its
// terminator, or the whole slot without one) to UTF-8. Writes no terminator; returns
// the bytes written, 0 for a null slot, an empty text or a failed conversion. out must
// hold 3 bytes for every slot byte.
size_t OemSlotToUtf8(const char* slot, size_t slotBytes, char* out, size_t outBytes);
// The same for a UTF-16 text in a slot of slotChars characters.
size_t WideSlotToUtf8(const WCHAR* slot, size_t slotChars, char* out, size_t outBytes);
// Converts an OEM text read only within textBytes bytes to UTF-16 and terminates it.
// Returns the characters written before the terminator (0 when nothing converted).
size_t OemTextToWide(const char* text, size_t textBytes, WCHAR* out, size_t outChars);

// --- safe_name.cpp ----------------------------------------------------------------

// Makes the caller's log name (OEM text, at most MAX_PATH bytes read) into one file
// name component that stays inside the log directory. Always terminates name and
// gives a non-empty result (LOG_DEFAULT_NAME when nothing usable is left).
void MakeSafeLogName(const char* oemName, WCHAR* name, size_t nameChars);

// --- format.cpp -------------------------------------------------------------------

// Formats an entry of format 2 or 3 as the record body: the CSV fields between the
// sequence number and the checksum, then CRLF. Returns the bytes the body needs
// (no terminator); writes them into out only when they all fit outBytes.
size_t FormatLogBody(int level, int format, const void* entry, char* out, size_t outBytes);
// The header line that starts every log file (column names, CRLF, without the byte
// order mark). Returns its length; writes it only when it fits.
size_t FormatLogHeader(char* out, size_t outBytes);
// TRUE when bytes form exactly one CSV record ending in CRLF: quotes balanced, and no
// CR or LF outside quotes except that last CRLF.
BOOL IsSingleCsvRecord(const char* bytes, size_t count);

// --- log_file.cpp -----------------------------------------------------------------

// Appends one record body (a single CSV record ending in CRLF) to <directory>\<name>.csv
// with the next sequence number and its checksum, rotating first when the line would
// take the file past maxKib KiB. TRUE when the line is in the file and flushed.
BOOL AppendLogRecord(const WCHAR* directory, const WCHAR* name, DWORD maxKib,
                     const char* body, size_t bodyBytes);
