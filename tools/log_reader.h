// `spoolgate log`: listing and summing the lines of the accounting CSV logs of a
// directory (every generation), and checking checksums, numbers and files.
#pragma once

#include "tools/log_folder.h"

#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace spoolgate {

struct LogFilter {
  std::string user, printer, from, to;
  std::vector<std::string> sums;
  bool includeDamaged = false;  // also lines whose checksum is wrong
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
// Returns 0 when every line checks out, 1 when a line, a sequence number, the sequence
// file, a missing file, a stray file or a pending line tells of a loss.
int VerifyLog(const std::string& dir, std::ostream& out);

}  // namespace spoolgate
