// SPDX-License-Identifier: Apache-2.0
// The import's check of a log line against the table: the columns its file's header
// maps, and each value a number, a time or UTF-8 text as its column wants.
#pragma once

#include "tools/database/log_db_backend.h"
#include "tools/logread/log_folder.h"

#include <cstdint>
#include <string>
#include <vector>

namespace spoolgate {

// What the import does with a line: stores it, or refuses it and why.
enum class Verdict { kStored, kTorn, kAltered, kForeign, kWaiting };

// Turns the records of one file after another into rows, mapping each file's header
// to the table's columns once.
class LineChecker {
 public:
  // Fills row (values only, but for log_name) for a line to store; else says why not.
  Verdict Check(const LogEntry& line, DbRow& row, std::string& why);

  uint64_t badTimes = 0;

 private:
  void Map(const std::string& file, const std::vector<std::string>& header);

  std::string file_;
  std::string mapError_;
  std::vector<size_t> index_;
};

}  // namespace spoolgate
