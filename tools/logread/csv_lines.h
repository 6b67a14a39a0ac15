// SPDX-License-Identifier: Apache-2.0
// The CSV records of an accounting log file: reading them one by one, splitting them
// into fields, and the CRC-32 checksum that ends each line.
#pragma once

#include <cstdint>
#include <cstdio>
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

}  // namespace spoolgate
