// SPDX-License-Identifier: Apache-2.0
// The columns of an accounting log line, their kinds and database names, and the JSON
// form of one line shared by `log show --json` and the accounting lines of `run --json`.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>
#include <vector>

namespace spoolgate {

// kTime: the printing computer's local time, no zone; kUtcTime: a moment in UTC.
enum class ColumnKind { kInteger, kText, kTime, kUtcTime };
struct LineColumn {
  const char* csv;  // the log's column; nullptr for log_name, which comes from the file name
  const char* db;
  ColumnKind kind;
};
// The columns of the log_lines table in table order: the key (computer, log_name,
// sequence) first, then every column of the log.
const std::vector<LineColumn>& LineColumns();
// Columns of the key, the first three of LineColumns().
constexpr size_t kKeyColumns = 3;
// The column of that name in the log ("user", "value_252"); nullptr for none.
const LineColumn* FindLineColumn(const std::string& csvName);

// One field in that form: a number (null when empty or not a number) for a numeric
// column, a string for any other.
nlohmann::ordered_json LogFieldJson(const std::string& column, const std::string& value);
// header: the column names of the file; fields: the line split into its CSV fields.
// Numeric columns (sequence, level, format, content_flags, value_*) are numbers (null when
// empty or not a number), every other column a string; fields beyond the header are
// named "column_N".
nlohmann::ordered_json LogLineJson(const std::vector<std::string>& header,
                                   const std::vector<std::string>& fields);

}  // namespace spoolgate
