// `spoolgate log`: reading the accounting CSV logs of a directory (every generation),
// listing and summing their lines, and checking checksums and sequence numbers.
#pragma once

#include "tools/log_filter.h"

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

namespace spoolgate {

// Reads a log file record by record: a record ends at an LF outside quotes, so a text
// holding a line break stays in its record. Streamed, one record in memory.
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

 private:
  FILE* file_ = nullptr;
  uint64_t offset_ = 0;
};

// Splits one CSV record into its fields ("" inside quotes is one quote).
std::vector<std::string> SplitCsv(const std::string& record);
// CRC-32 (the reflected 0xEDB88320 polynomial), as the logging library writes it.
uint32_t Crc32(const std::string& bytes);

// The lines that pass the filter, from every log of the directory in time order, with
// the log each comes from; json: one object (see docs/accounting-log.md).
int ShowLog(const std::string& dir, const LogFilter& filter, bool json, std::ostream& out);
int SummarizeLog(const std::string& dir, const LogFilter& filter, bool json, std::ostream& out);
// Returns 0 when every line checks out, 1 when a line or a sequence number is wrong.
// json: one object with the counts, the problems and "result" ("ok" or "failed").
int VerifyLog(const std::string& dir, bool json, std::ostream& out);

}  // namespace spoolgate
