// SPDX-License-Identifier: Apache-2.0
// Helpers of the logging library's tests: entries filled the way the plug-in fills
// them, the format-then-write sequence of an emission, and a reader of the CSV log.
#pragma once

#include "core/log_entry.h"
#include "logger/ruzoravu64.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lgtest {

// An entry and the text buffers its pointer slots point at, sized as the plug-in
// allocates them. Texts are raw OEM bytes; a text as long as its buffer is stored
// without a terminator.
struct TestEntry {
  ExtendedLogEntry entry;  // a standard entry uses the first 496 bytes
  char computer[LOG_COMPUTER_NAME_BYTES];
  char user[LOG_LONG_TEXT_BYTES];
  char text200[LOG_LONG_TEXT_BYTES];
  char printer[LOG_LONG_TEXT_BYTES];
  char text216[LOG_LONG_TEXT_BYTES];
  char port[LOG_LONG_TEXT_BYTES];
  char document[LOG_LONG_TEXT_BYTES];
  char ansi240[LOG_SHORT_TEXT_BYTES];
  char ansi416[LOG_SHORT_TEXT_BYTES];
  char ansi424[LOG_SHORT_TEXT_BYTES];
  WCHAR text440[LOG_SHORT_TEXT_BYTES / 2];
  char ansi464[LOG_SHORT_TEXT_BYTES];
  char empty480[LOG_SHORT_TEXT_BYTES];
  char extraText[LOG_SHORT_TEXT_BYTES];

  StandardLogEntry& standard() { return entry.standard; }
};

// Initialised by the library for format 2 or 3, buffers attached, and filled with a
// typical job: alice printing Drawing.plt on "Wide Format" at LPT1: from SPOOLHOST,
// time stamp 2026-12-07 09:41:05.250 (a Monday). The extended entry carries no extra
// text or block (contentFlags 0x0B) unless a test adds them.
std::unique_ptr<TestEntry> MakeEntry(int format);
// Puts raw bytes into a text buffer: terminated when shorter than the buffer.
template <size_t N>
void SetBytes(char (&buffer)[N], const std::string& bytes) {
  for (size_t i = 0; i < N; ++i) buffer[i] = i < bytes.size() ? bytes[i] : 0;
}

// The emission's two format calls: the size query, then the record into a block of
// exactly that size. Fails the test when the block's last byte is not the zero.
std::string FormatRecord(int level, int format, TestEntry& entry);
// The write call as the emission makes it; result of QenDrvLogWriteRecord.
int WriteRecord(const std::string& directory, const std::string& name, DWORD maxKib, int level,
                const std::string& record);

// Appends count jobs to the log "Jobs" in windowsDirectory through the library, as the
// plug-in would on server computer with printer: job n (from first on) is printed by
// one of five users (every fiftieth as "ALICE"), names document n, carries value_252 =
// n % 997 and value_256 = n % 13, one of six departments in text_200 and the paper
// ("glossy" every third job, else "bond") in text_216, and is stamped in December 2026
// (job 500 of every thousand with an all-zero time, which is no time). With months > 1
// the jobs span that many months ending with December 2026, in order, an equal share
// each (the day and time of day as in December). Returns the lines the library wrote.
int WriteJobs(const std::string& windowsDirectory, const std::string& computer,
              const std::string& printer, int first, int count, DWORD maxKib, int months = 1);

// One line of the log: its bytes without CRLF and its fields, unquoted.
struct LogLine {
  std::string raw;
  std::vector<std::string> fields;
};
struct LogFile {
  bool byteOrderMark = false;
  std::vector<std::string> header;
  std::vector<LogLine> lines;
  bool wellFormed = true;  // every line ended in CRLF and every quote was closed

  // The field of a line under the header's column name ("" when there is none).
  std::string Field(const LogLine& line, const std::string& column) const;
};
// Reads a log file by RFC 4180: a line ends at a CRLF outside quotes.
LogFile ParseLog(const std::string& bytes);
// Contents of every file in a directory (host path), by file name.
std::vector<std::pair<std::string, std::string>> FilesIn(const std::string& hostDirectory);

// Bit-by-bit CRC-32 of zip and PNG, as a reader of the log would compute it.
uint32_t ReferenceCrc32(const std::string& bytes);
// TRUE when the line's last field is the CRC-32 of everything before its last comma.
bool ChecksumMatches(const LogLine& line);

}  // namespace lgtest
