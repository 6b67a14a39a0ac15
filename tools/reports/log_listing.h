// SPDX-License-Identifier: Apache-2.0
// The listing of `log show` from the logs or the database: text, CSV and JSON written
// line by line straight into one output buffer, whatever the number of lines.
#pragma once

#include "tools/reports/log_report.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace spoolgate {

// Writes the lines as they arrive (memory stays flat): no document is built for a line.
class LineWriter {
 public:
  LineWriter(const LogSource& source, const Report& report, std::ostream& out);
  // header: the column names of the line's file; fields: the line's CSV fields.
  void Line(std::string_view log, const std::vector<std::string_view>& fields, const std::vector<std::string>& header);
  void End(const LeftOut& left);

 private:
  std::string Cost(const std::vector<std::string_view>& fields, const std::vector<std::string>& header) const;
  void CsvLine(std::string_view log, const std::vector<std::string_view>& fields,
               const std::vector<std::string>& header);
  void JsonLine(std::string_view log, const std::vector<std::string_view>& fields,
                const std::vector<std::string>& header);
  void TextLine(std::string_view log, const std::vector<std::string_view>& fields,
                const std::vector<std::string>& header);
  // Hands the buffer to the stream once it holds a good share of a write.
  void Spill(bool all);

  const Report& report_;
  std::ostream& out_;
  std::string buffer_;
  uint64_t count_ = 0;
  std::vector<const LineColumn*> columns_;  // of --csv
  std::vector<size_t> index_;               // columns_ in the current header
  const std::vector<std::string>* header_ = nullptr;
  // Of --json, for the header and field count of the previous line: each member's
  // `"name":` text and whether it is a number; empty when the names are not plain
  // (repeated or not ASCII), which the general JSON form then writes.
  const std::vector<std::string>* jsonHeader_ = nullptr;
  size_t jsonCount_ = 0;
  std::vector<std::string> jsonKeys_;
  std::vector<bool> jsonNumber_;
};

}  // namespace spoolgate
