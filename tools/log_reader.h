// `spoolgate log`: listing and summing the lines of the accounting CSV logs of a
// directory (every generation), and checking checksums, numbers and files.
#pragma once

#include "tools/log_filter.h"
#include "tools/log_folder.h"

#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace spoolgate {

// What show and summary leave out of their counts (nothing, from the database).
struct LeftOut {
  uint64_t damaged = 0;  // lines whose checksum is wrong
  uint64_t pending = 0;  // lines waiting in pending files
  std::vector<std::string> strayFiles;
};

// Where the lines come from, as --json names it: {"directory", DIR} or {"database", URL}.
struct LogSource {
  std::string member, name;
};

// One line `log show` lists, with the log it comes from and its file's column names.
struct ShownLine {
  std::string log;
  std::vector<std::string> fields;
  std::shared_ptr<const std::vector<std::string>> header;
};
// Prints the listing of lines already in time order; json: one object (see README.md).
void PrintLines(const LogSource& source, const std::vector<ShownLine>& lines,
                const LogFilter& filter, const LeftOut& left, bool json, std::ostream& out);

// What `log summary` prints: jobs and sums by user and by printer.
struct LogTally {
  uint64_t jobs = 0;
  std::vector<uint64_t> sums;  // one per LogFilter::sums
};
struct LogSummary {
  std::map<std::string, LogTally> byUser, byPrinter;
  LogTally total;
  uint64_t notNumbers = 0;  // --sum values that were not numbers, counted as 0
};
void PrintSummary(const LogSource& source, const LogSummary& summary, const LogFilter& filter,
                  const LeftOut& left, bool json, std::ostream& out);

// The lines that pass the filter, from every log of the directory in time order, with
// the log each comes from; json: one object (see README.md).
int ShowLog(const std::string& dir, const LogFilter& filter, bool json, std::ostream& out);
int SummarizeLog(const std::string& dir, const LogFilter& filter, bool json, std::ostream& out);
// Returns 0 when every line checks out, 1 when a line, a sequence number, the sequence
// file, a missing file, a stray file or a pending line tells of a loss. json: one object
// with the counts, the problems and "result" ("ok" or "failed").
int VerifyLog(const std::string& dir, bool json, std::ostream& out);

}  // namespace spoolgate
