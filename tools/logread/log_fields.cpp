// SPDX-License-Identifier: Apache-2.0
// Log lines as JSON objects: the column decides the type, never the value, so every line
// of every log has the same shape.
#include "tools/logread/log_fields.h"

#include "logger/log_format.h"
#include "tools/common/numbers.h"

#include <cstring>

namespace spoolgate {

namespace {

ColumnKind KindOf(LogValueType type) {
  switch (type) {
    case LOG_VALUE_NUMBER:
      return ColumnKind::kInteger;
    case LOG_VALUE_LOCAL_TIME:
      return ColumnKind::kTime;
    case LOG_VALUE_UTC_TIME:
      return ColumnKind::kUtcTime;
    default:
      return ColumnKind::kText;
  }
}

}  // namespace

const std::vector<LineColumn>& LineColumns() {
  static const std::vector<LineColumn> columns = [] {
    // The key first (computer, log_name, sequence), then every other column of the log
    // in the log's order; the checksum is last, so that the stores find it at a fixed
    // place.
    std::vector<LineColumn> all = {{"computer", "computer", ColumnKind::kText},
                                   {nullptr, "log_name", ColumnKind::kText}};
    for (size_t i = 0; i < kLogColumnCount; ++i) {
      const LogColumn& c = kLogColumns[i];
      if (std::strcmp(c.name, "computer") == 0) continue;
      // "user" is a reserved word in SQL (and a function in PostgreSQL).
      const char* db = std::strcmp(c.name, "user") == 0 ? "user_name" : c.name;
      all.push_back({c.name, db, KindOf(c.type)});
    }
    return all;
  }();
  return columns;
}

const LineColumn* FindLineColumn(const std::string& csvName) {
  for (const LineColumn& c : LineColumns()) {
    if (c.csv != nullptr && csvName == c.csv) return &c;
  }
  return nullptr;
}

nlohmann::ordered_json LogFieldJson(const std::string& column, const std::string& value) {
  uint64_t number = 0;
  const LogColumn* c = LogFindColumn(column.data(), column.size());
  if (c == nullptr || c->type != LOG_VALUE_NUMBER) return value;
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
