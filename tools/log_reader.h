// `spoolgate log`: listing and summing the lines of the accounting CSV logs of a
// directory (every generation), and checking checksums, numbers and files.
#pragma once

#include "tools/log_filter.h"
#include "tools/log_folder.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace spoolgate {

// The lines that pass the filter, from every log of the directory in time order, with
// the log each comes from; json: one object (see README.md).
int ShowLog(const std::string& dir, const LogFilter& filter, bool json, std::ostream& out);
int SummarizeLog(const std::string& dir, const LogFilter& filter, bool json, std::ostream& out);
// Returns 0 when every line checks out, 1 when a line, a sequence number, the sequence
// file, a missing file, a stray file or a pending line tells of a loss. json: one object
// with the counts, the problems and "result" ("ok" or "failed").
int VerifyLog(const std::string& dir, bool json, std::ostream& out);

}  // namespace spoolgate
