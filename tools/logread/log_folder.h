// SPDX-License-Identifier: Apache-2.0
// Reading a folder of accounting logs line by line: which files are generations of which
// log (in the order of their sequence numbers), the sequence and pending files, files
// that belong to no log, and every line with its number, checksum verdict and fields.
#pragma once

#include "logger/log_format.h"
#include "tools/logread/csv_lines.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace spoolgate {

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

// One data line of a log file or a pending file. raw and fields are views that live
// until the reader moves on to the next line.
struct LogEntry {
  std::string file;
  uint64_t recordNo = 0;  // in its file, the header being record 1
  uint64_t offset = 0;    // of the line's first byte in its file
  bool complete = false;  // the file does not end inside it
  bool checksumOk = false;
  bool pending = false;   // waits in the pending file
  uint64_t sequence = 0;  // 0 when the line starts with no number
  std::string_view raw;   // without its line end
  std::vector<std::string_view> fields;
  std::shared_ptr<const std::vector<std::string>> header;  // the file's column names
  bool headerMissing = false;  // the file does not start with a header line
};

// The data lines of one log file or pending file, one after another into the same entry.
class LogLineReader {
 public:
  // Throws InputError for a file that cannot be read. wanted: the columns whose fields
  // the caller reads (the line is cut only as far as the last of them); null for all.
  LogLineReader(const std::string& file, bool pending, const std::vector<std::string>* wanted = nullptr);
  bool Next(LogEntry& e);

 private:
  CsvRecordReader reader_;
  std::string file_;
  bool pending_;
  uint64_t recordNo_ = 0;
  std::shared_ptr<const std::vector<std::string>> header_;
  std::string scratch_;
  const std::vector<std::string>* wanted_;
  size_t limit_ = SIZE_MAX;  // fields to cut
};

// Calls visit for every data line of the log's files in order, then for its pending
// lines, cut into fields as far as wanted asks (LogLineReader). Throws InputError for a
// file that cannot be read.
template <typename Visit>
void ForEachLogEntry(const LogSet& log, Visit&& visit, const std::vector<std::string>* wanted = nullptr) {
  LogEntry e;
  for (size_t i = 0; i <= log.files.size(); ++i) {
    bool pending = i == log.files.size();
    if (pending && log.pendingFile.empty()) break;
    LogLineReader reader(pending ? log.pendingFile : log.files[i], pending, wanted);
    while (reader.Next(e)) visit(static_cast<const LogEntry&>(e));
  }
}

}  // namespace spoolgate
