// SPDX-License-Identifier: Apache-2.0
// The listing of `log show` from the logs or the database: text, CSV and JSON written
// line by line straight into one output buffer, whatever the number of lines.
#pragma once

#include "tools/logread/csv_lines.h"
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
  // The same from the log record itself.
  void Line(std::string_view log, std::string_view record, const std::vector<std::string>& header);
  void End(const LeftOut& left);

 private:
  std::string Cost(const std::vector<std::string_view>& fields, const std::vector<std::string>& header) const;
  // Each appends a line to buffer_. raw and look: the record the fields are views into,
  // when there is one.
  void CsvLine(std::string_view log, const std::vector<std::string_view>& fields,
               const std::vector<std::string>& header, std::string_view raw, const RecordLook& look);
  void JsonLine(std::string_view log, const std::vector<std::string_view>& fields,
                const std::vector<std::string>& header, const RecordLook& look);
  void TextLine(std::string_view log, const std::vector<std::string_view>& fields,
                const std::vector<std::string>& header);
  // The CSV row of a record whose fields (fields_) all stand as they are, in pieces of
  // its bytes.
  void CsvRecord(std::string_view log);
  void MapCsvColumns(const std::vector<std::string>& header);
  // Starts the next line in buffer_: JSON's separator.
  void Next();
  // Hands the buffer to the stream once it holds a good share of a write.
  void Spill(bool all);

  const Report& report_;
  std::ostream& out_;
  std::string buffer_;
  uint64_t count_ = 0;
  std::vector<const LineColumn*> columns_;  // of --csv
  std::vector<size_t> index_;               // columns_ in the current header
  const std::vector<std::string>* header_ = nullptr;
  // Columns of --csv that follow each other in the header as well, by their places there
  // (first kNoColumn: a column the header does not have).
  struct CsvRun {
    size_t first, last;
  };
  std::vector<CsvRun> csvRuns_;
  std::vector<std::string_view> fields_;  // of the record being formatted
  std::string scratch_;
  // Of --json, for the header and field count of the previous line: whether each member
  // is a number, and the text between the values (see JsonLine).
  const std::vector<std::string>* jsonHeader_ = nullptr;
  size_t jsonCount_ = 0;
  std::vector<uint8_t> jsonNumber_;
  std::vector<std::string> jsonBetween_;  // one more than the members
  size_t jsonBetweenBytes_ = 0;
  std::string quoted_;
};

}  // namespace spoolgate
