// SPDX-License-Identifier: Apache-2.0
// Log lines as JSON objects: the column decides the type, never the value, so every line
// of every log has the same shape.
#include "tools/logread/log_fields.h"

#include "tools/common/numbers.h"

namespace spoolgate {

const std::vector<LineColumn>& LineColumns() {
  using K = ColumnKind;
  static const std::vector<LineColumn> columns = {
      {"computer", "computer", K::kText},         {nullptr, "log_name", K::kText},
      {"sequence", "sequence", K::kInteger},      {"level", "level", K::kInteger},
      {"format", "format", K::kInteger},          {"content_flags", "content_flags", K::kInteger},
      {"time_stamp", "time_stamp", K::kTime},
      // "user" is a reserved word in SQL (and a function in PostgreSQL).
      {"user", "user_name", K::kText},            {"document", "document", K::kText},
      {"printer", "printer", K::kText},           {"port", "port", K::kText},
      {"text_200", "text_200", K::kText},         {"text_216", "text_216", K::kText},
      {"text_240", "text_240", K::kText},         {"value_248", "value_248", K::kInteger},
      {"value_252", "value_252", K::kInteger},    {"value_256", "value_256", K::kInteger},
      {"block_260", "block_260", K::kText},       {"value_388", "value_388", K::kInteger},
      {"value_392", "value_392", K::kInteger},    {"value_396", "value_396", K::kInteger},
      {"value_400", "value_400", K::kInteger},    {"value_404", "value_404", K::kInteger},
      {"value_408", "value_408", K::kInteger},    {"text_416", "text_416", K::kText},
      {"text_424", "text_424", K::kText},         {"value_432", "value_432", K::kInteger},
      {"value_436", "value_436", K::kInteger},    {"text_440", "text_440", K::kText},
      {"value_448", "value_448", K::kInteger},    {"value_452", "value_452", K::kInteger},
      {"value_456", "value_456", K::kInteger},    {"text_464", "text_464", K::kText},
      {"value_472", "value_472", K::kInteger},    {"text_480", "text_480", K::kText},
      {"value_488", "value_488", K::kInteger},    {"value_492", "value_492", K::kInteger},
      {"value_496", "value_496", K::kInteger},    {"value_500", "value_500", K::kInteger},
      {"block_504", "block_504", K::kText},       {"value_632", "value_632", K::kInteger},
      {"text_640", "text_640", K::kText},
      // The moment the line was written, from logs that have the column.
      {"written_utc", "written_utc", K::kUtcTime},
      // Last, so that the stores find it at a fixed place.
      {"crc32", "crc32", K::kText},
  };
  return columns;
}

const LineColumn* FindLineColumn(const std::string& csvName) {
  for (const LineColumn& c : LineColumns()) {
    if (c.csv != nullptr && csvName == c.csv) return &c;
  }
  return nullptr;
}

namespace {

bool IsNumericColumn(const std::string& name) {
  return name == "sequence" || name == "level" || name == "format" || name == "content_flags" ||
         name.compare(0, 6, "value_") == 0;
}

}  // namespace

nlohmann::ordered_json LogFieldJson(const std::string& column, const std::string& value) {
  uint64_t number = 0;
  if (!IsNumericColumn(column)) return value;
  if (ParseColumnNumber(value, &number)) return number;
  return nullptr;
}

nlohmann::ordered_json LogLineJson(const std::vector<std::string>& header,
                                   const std::vector<std::string>& fields) {
  nlohmann::ordered_json line = nlohmann::ordered_json::object();
  for (size_t i = 0; i < fields.size(); ++i) {
    std::string name = i < header.size() ? header[i] : "column_" + std::to_string(i + 1);
    line[name] = LogFieldJson(name, fields[i]);
  }
  return line;
}

}  // namespace spoolgate
