// SPDX-License-Identifier: Apache-2.0
// Reading a folder of accounting logs line by line: which files are generations of which
// log (in the order of their sequence numbers), the sequence and pending files, files
// that belong to no log, and every line with its number, checksum verdict and fields.
#pragma once

#include "logger/log_format.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace spoolgate {

// Reads a log file record by record: a record ends at an LF outside quotes, so a text
// holding a line break stays in its record. Streamed through a 64 KiB buffer, one record
// in memory.
class CsvRecordReader {
 public:
  explicit CsvRecordReader(const std::string& path);
  ~CsvRecordReader();
  CsvRecordReader(const CsvRecordReader&) = delete;
  CsvRecordReader& operator=(const CsvRecordReader&) = delete;

  bool Ok() const { return file_ != nullptr; }
  // The next record without its CR LF; complete is false for a last record that has no
  // line end (torn). offset is where the record starts in the file.
  bool Next(std::string& record, uint64_t& offset, bool& complete);
  // Goes on reading at offset, which must be where a record starts (a line appended,
  // a line listed again in another order).
  void SkipTo(uint64_t offset);

 private:
  FILE* file_ = nullptr;
  uint64_t offset_ = 0;
  std::vector<char> buffer_;
  size_t begin_ = 0, end_ = 0;  // the bytes of buffer_ not yet taken
  size_t fill_;                 // bytes the next read asks for
  int quoted_ = 0;              // inside quotes at begin_
};

// Splits one CSV record into its fields ("" inside quotes is one quote).
std::vector<std::string> SplitCsv(const std::string& record);
// The same into fields, whose strings are reused: no allocation once they have grown.
void SplitCsvInto(const std::string& record, std::vector<std::string>& fields);
// The column names of a file's first record when it is a header of ours (a byte order
// mark before it is allowed); empty when it is a line.
std::vector<std::string> HeaderColumns(const std::string& record);
// CRC-32 of the log lines, the logging library's own.
uint32_t Crc32(const std::string& bytes);
// Whether a line (without its line end) ends in a checksum field, ",XXXXXXXX" in
// upper-case hex digits: a line with one but the wrong value was altered, a line
// without one was torn or altered.
bool HasChecksumField(const std::string& raw);

// One log of the folder: <name>.seq, <name>.csv, its generations and <name>.pending.
struct LogSet {
  std::string name;
  // Generations, then the current file: ordered by the first sequence number each
  // holds, so that names from a clock that went back do not matter.
  std::vector<std::string> files;
  bool hasCurrent = false;                // <name>.csv is there
  std::optional<uint64_t> sequenceValue;  // what <name>.seq says (absent: unsound)
  LogSequenceFileState sequenceState = LOG_SEQUENCE_FILE_SOUND;
  bool sequenceUnreadable = false;        // <name>.seq could not be opened or read
  std::string pendingFile;                // empty when there is none
};

struct LogFolder {
  std::vector<LogSet> logs;
  // *.csv and *.pending files that are no log's: no <name>.seq beside them.
  std::vector<std::string> strayFiles;
};

// Finds the logs of a directory. Throws InputError when it is not a directory, and with
// requireLog when it holds no log: a report of such a folder would be a silent zero.
LogFolder FindLogFolder(const std::string& dir, bool requireLog = false);

// One data line of a log file or a pending file.
struct LogEntry {
  std::string file;
  uint64_t recordNo = 0;  // in its file, the header being record 1
  uint64_t offset = 0;    // of the line's first byte in its file
  bool complete = false;  // the file does not end inside it
  bool checksumOk = false;
  bool pending = false;   // waits in the pending file
  uint64_t sequence = 0;  // 0 when the line starts with no number
  std::string raw;        // without its line end
  std::vector<std::string> fields;
  std::shared_ptr<const std::vector<std::string>> header;  // the file's column names
  bool headerMissing = false;  // the file does not start with a header line
};

// Calls visit for every data line of the log's files in order, then for its pending
// lines. Throws InputError for a file that cannot be read.
void ForEachLogEntry(const LogSet& log, const std::function<void(const LogEntry&)>& visit);

}  // namespace spoolgate
