// SPDX-License-Identifier: Apache-2.0
// Reading a folder of accounting logs line by line: which files are generations of which
// log (in the order of their sequence numbers), the sequence and pending files, files
// that belong to no log, and every line with its number, checksum verdict and fields.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace spoolgate {

// Reads a log file record by record: a record ends at an LF outside quotes, so a text
// holding a line break stays in its record. Records are cut in place in a 256 KiB read
// buffer (larger only for a record that does not fit), so memory stays flat.
class CsvRecordReader {
 public:
  explicit CsvRecordReader(const std::string& path);
  ~CsvRecordReader();
  CsvRecordReader(const CsvRecordReader&) = delete;
  CsvRecordReader& operator=(const CsvRecordReader&) = delete;

  bool Ok() const { return file_ != nullptr; }
  // The next record without its CR LF, as a view into the reader's buffer that the next
  // call to Next or SkipTo invalidates; complete is false for a last record that has no
  // line end (torn). offset is where the record starts in the file.
  bool Next(std::string_view& record, uint64_t& offset, bool& complete);
  // The same, copied, for a caller that keeps the record.
  bool Next(std::string& record, uint64_t& offset, bool& complete);
  // Goes on reading at offset, which must be where a record starts (a line appended,
  // a line listed again in another order).
  void SkipTo(uint64_t offset);
  // The length bytes at offset, as a view like Next's; false when the file is shorter.
  bool ReadAt(uint64_t offset, size_t length, std::string_view& bytes);

 private:
  // Reads more behind the bytes not yet taken; false at the end of the file.
  bool Fill();

  FILE* file_ = nullptr;
  uint64_t offset_ = 0;  // in the file, of buffer_[begin_]
  std::vector<char> buffer_;
  size_t begin_ = 0, end_ = 0;  // the bytes of buffer_ not yet taken
  size_t fill_;                 // bytes the next read asks for
};

// Splits one CSV record into its fields ("" inside quotes is one quote).
std::vector<std::string> SplitCsv(const std::string& record);
// The same as views into record, or into scratch for a field whose quotes had to be
// taken out: no allocation once fields and scratch have grown. The views live as long
// as record and scratch are left alone. At most limit fields are cut.
void SplitCsvViews(std::string_view record, std::vector<std::string_view>& fields, std::string& scratch,
                   size_t limit = SIZE_MAX);
// The column names of a file's first record when it is a header of ours (a byte order
// mark before it is allowed); empty when it is a line.
std::vector<std::string> HeaderColumns(const std::string& record);
// CRC-32 of the log lines (the reflected 0xEDB88320 polynomial the logging library uses).
uint32_t Crc32(std::string_view bytes);
// Whether a line (without its line end) ends in a checksum field, ",XXXXXXXX" in
// upper-case hex digits: a line with one but the wrong value was altered, a line
// without one was torn or altered.
bool HasChecksumField(std::string_view raw);

// One log of the folder: <name>.seq, <name>.csv, its generations and <name>.pending.
struct LogSet {
  std::string name;
  // Generations, then the current file: ordered by the first sequence number each
  // holds, so that names from a clock that went back do not matter.
  std::vector<std::string> files;
  bool hasCurrent = false;                // <name>.csv is there
  std::optional<uint64_t> sequenceValue;  // what <name>.seq says (absent: unreadable)
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
