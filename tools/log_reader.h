// `spoolgate log`: listing and summing the lines of the accounting CSV logs of a
// directory (every generation), and checking checksums, numbers and files.
#pragma once

#include "tools/log_folder.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace spoolgate {

struct LogFilter {
  std::string user, printer, from, to;
  std::vector<std::string> sums;
  bool includeDamaged = false;  // also lines whose checksum is wrong
};

int ShowLog(const std::string& dir, const LogFilter& filter, std::ostream& out);
int SummarizeLog(const std::string& dir, const LogFilter& filter, std::ostream& out);
// Returns 0 when every line checks out, 1 when a line, a sequence number, the sequence
// file, a missing file, a stray file or a pending line tells of a loss.
int VerifyLog(const std::string& dir, std::ostream& out);

}  // namespace spoolgate
