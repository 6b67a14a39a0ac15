// `spoolgate log`: reading the accounting CSV logs of a directory (every generation),
// listing and summing their lines, and checking checksums and sequence numbers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
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
uint32_t Crc32(const char* bytes, size_t count);

// One record of a log file as read: the log it belongs to, where it was found, and its
// bytes without the line end.
struct LogRecord {
  std::string log;
  std::string file;
  uint64_t recordNo = 0;  // 1 is the header line
  uint64_t offset = 0;
  bool complete = false;  // false: the file ends inside it, without a line end
  std::string raw;
};
// Calls visit(record, header) for every data record of every log in dir, oldest
// generation first; header holds the column names of the record's file (empty when the
// file has none, which is reported to problems).
void ForEachLogRecord(const std::string& dir,
                      const std::function<void(const LogRecord&, const std::vector<std::string>&)>& visit,
                      std::ostream* problems = nullptr);

enum class ChecksumState { kOk, kMissing, kWrong };
// Whether a record ends in the CRC-32 of everything before its last comma; stored and
// computed are set for a record that has a checksum.
ChecksumState CheckChecksum(const std::string& raw, uint32_t* stored = nullptr,
                            uint32_t* computed = nullptr);

struct LogFilter {
  std::string user, printer, from, to;
  std::vector<std::string> sums;
  bool json = false;
};

// What `log summary` prints: jobs and sums by user and by printer, from the CSV logs or
// from the database.
struct LogTally {
  uint64_t jobs = 0;
  std::vector<uint64_t> sums;  // one per LogFilter::sums
};
struct LogSummary {
  std::map<std::string, LogTally> byUser, byPrinter;
  LogTally total;
  uint64_t notNumbers = 0;
};
void PrintSummary(const LogSummary& summary, const LogFilter& filter, std::ostream& out);

// What `log show` prints for one job: the line's fields and the summed columns' fields.
struct ShownJob {
  std::string sequence, timeStamp, user, printer, document;
  std::vector<std::string> sums;
};
// Prints the jobs that list() hands to its callback, one at a time (nothing is kept).
void PrintJobs(const LogFilter& filter, std::ostream& out,
               const std::function<void(const std::function<void(const ShownJob&)>&)>& list);
// The date filters' form, checked before any line is read.
void CheckDates(const LogFilter& filter);

int ShowLog(const std::string& dir, const LogFilter& filter, std::ostream& out);
int SummarizeLog(const std::string& dir, const LogFilter& filter, std::ostream& out);
// Returns 0 when every line checks out, 1 when a line or a sequence number is wrong.
int VerifyLog(const std::string& dir, std::ostream& out);

}  // namespace spoolgate
