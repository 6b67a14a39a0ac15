// SPDX-License-Identifier: Apache-2.0
// Checking a log line for the table: its file's header mapped to the columns once, and
// every value a number, a time or UTF-8 text as its column wants.
#include "tools/database/line_check.h"

#include "logger/log_format.h"
#include "tools/common/numbers.h"
#include "tools/common/text.h"
#include "tools/logread/csv_lines.h"
#include "tools/reports/log_filter.h"

#include <algorithm>
#include <string_view>

namespace spoolgate {

namespace {

// The bound of a signed 64-bit column, which is also the limit of sequence numbers:
// a line the readers count is a line the database stores.
static_assert(LOG_SEQUENCE_MAX == 9223372036854775807ull, "one limit for the log and the database");

// A decimal that fits the databases' 64-bit signed integers (at most 19 digits).
bool IsInteger(std::string_view v) {
  uint64_t n = 0;
  return v.size() <= 19 && ParseColumnNumber(v, &n) && n <= LOG_SEQUENCE_MAX;
}

// Well-formed UTF-8 without NUL, as the logging library writes every text.
bool IsText(std::string_view v) { return v.find('\0') == std::string_view::npos && IsUtf8(v); }

}  // namespace

Verdict LineChecker::Check(const LogEntry& line, DbRow& row, std::string& why) {
  if (!line.complete) {
    why = "torn line: the file ends inside it";
    return Verdict::kTorn;
  }
  if (!line.checksumOk) {
    bool hasCrc = HasChecksumField(line.raw);
    why = hasCrc ? "altered line: its checksum does not match"
                 : "no checksum at the end of the line (torn or altered)";
    return hasCrc ? Verdict::kAltered : Verdict::kTorn;
  }
  if (line.pending && line.sequence == 0) {
    why = "waits in the pending file without its number yet";
    return Verdict::kWaiting;
  }
  const std::vector<std::string>& header = *line.header;
  if (line.file != file_) Map(line.file, line.headerMissing ? std::vector<std::string>() : header);
  if (!mapError_.empty()) {
    why = mapError_;
    return Verdict::kForeign;
  }
  const std::vector<std::string_view>& fields = line.fields;
  if (fields.size() != header.size()) {
    why = std::to_string(fields.size()) + " fields where the header has " +
          std::to_string(header.size());
    return Verdict::kForeign;
  }
  const auto& columns = LineColumns();
  row.assign(columns.size(), std::nullopt);
  for (size_t i = 0; i < columns.size(); ++i) {
    // log_name is the caller's to fill.
    if (columns[i].csv == nullptr || index_[i] == kNoColumn) continue;
    std::string_view v = fields[index_[i]];
    switch (columns[i].kind) {
      case ColumnKind::kInteger:
        if (v.empty() && i >= kKeyColumns) continue;
        if (!IsInteger(v)) {
          why = std::string(columns[i].csv) + " '" + std::string(v.substr(0, 24)) + "' is not a number";
          return Verdict::kForeign;
        }
        break;
      case ColumnKind::kTime:
        // A time the driver never set (an all-zero record) is kept as NULL.
        if (!IsLogTime(v)) {
          ++badTimes;
          continue;
        }
        break;
      case ColumnKind::kUtcTime:
        if (v.empty()) continue;
        if (v.size() != 24 || v[23] != 'Z' || !IsLogTime(v.substr(0, 23))) {
          why = std::string(columns[i].csv) + " '" + std::string(v.substr(0, 24)) + "' is not a UTC time";
          return Verdict::kForeign;
        }
        break;
      case ColumnKind::kText:
        if (!IsText(v)) {
          why = std::string(columns[i].csv) + " is not UTF-8 text";
          return Verdict::kForeign;
        }
        break;
    }
    row[i].emplace(v);
  }
  if (row[2] == "0") {
    why = "sequence number 0";
    return Verdict::kForeign;
  }
  return Verdict::kStored;
}

void LineChecker::Map(const std::string& file, const std::vector<std::string>& header) {
  file_ = file;
  mapError_.clear();
  const auto& columns = LineColumns();
  index_.assign(columns.size(), kNoColumn);
  if (header.empty()) {
    mapError_ = "its file has no header line";
    return;
  }
  for (size_t i = 0; i < columns.size(); ++i) {
    if (columns[i].csv == nullptr) continue;
    index_[i] = HeaderIndex(header, columns[i].csv).value_or(kNoColumn);
  }
  for (const char* required : {"computer", "sequence", "crc32"}) {
    if (!HeaderIndex(header, required)) {
      mapError_ = std::string("its file's header has no ") + required + " column";
    }
  }
}

}  // namespace spoolgate
