// SPDX-License-Identifier: Apache-2.0
// The reports of `spoolgate log` whatever their source (the CSV logs or the accounting
// database): grouping keys, the tallies a source hands over, and their text, CSV, JSON
// forms. A source only counts and sums by the keys it is given; ranking, naming printers
// by their computer, prices and output are decided here once for every source.
#pragma once

#include "tools/reports/log_filter.h"
#include "tools/reports/log_settings.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace spoolgate {

enum class ReportFormat { kText, kCsv, kJson };

// The options of show, summary and report beyond the filter, as given.
struct ReportOptions {
  ReportFormat format = ReportFormat::kText;
  std::vector<std::string> by;  // --by, in the order given
  size_t top = 0;               // --top; 0: every row
  bool cost = false;
  std::string settingsFile;     // --settings
};

struct GroupKey {
  enum Kind { kUser, kPrinter, kComputer, kDay, kWeek, kMonth, kYear, kColumn } kind;
  std::string heading;                 // as reports name it: "user", "month", "department"
  const LineColumn* column = nullptr;  // kColumn
};

// The options checked against the log's columns and the settings.
struct Report {
  LogFilter filter;  // PrepareLogFilter called
  ReportFormat format = ReportFormat::kText;
  std::vector<GroupKey> by;
  std::vector<const LineColumn*> sums;  // --sum, each a numeric column
  std::vector<std::string> sumHeadings;
  size_t top = 0;
  bool cost = false;
  Settings settings;
  // What a source sums per group: the --sum columns, then the priced columns not among them.
  std::vector<const LineColumn*> measures;
};
// InputError for an unknown key or column, a --sum of a text column, --cost without prices.
Report PrepareReport(const LogFilter& filter, const ReportOptions& options);

// What show and summary leave out of their counts.
struct LeftOut {
  uint64_t damaged = 0;  // lines whose checksum is wrong
  uint64_t pending = 0;  // lines waiting in pending files
  uint64_t untimed = 0;  // lines in no time range, their stamp being no time
  std::vector<std::string> strayFiles;
};

// Where the lines come from: {"directory", DIR}, {"directories", [...]}, {"database", URL}.
struct LogSource {
  std::string member;
  nlohmann::ordered_json name;
};

// What a source counts: jobs and the sum of each measure, by the values of some keys.
struct LogTally {
  uint64_t jobs = 0;
  std::vector<uint64_t> sums;
  // InputError naming the column whose sum would pass 2^64-1.
  void Add(const LogTally& other, const std::vector<const LineColumn*>& measures);
};
// A grouping a source computes: the values of `leading` (no printer or computer keys),
// then the computer, the printer and, when prices depend on a column, its value.
struct Grouping {
  std::vector<GroupKey> leading;
  std::map<std::vector<std::string>, LogTally> rows;
  // Whether the rows are told apart by computer and printer; when not (no report of them
  // needs it), both are empty in every key and a source need not group by them.
  bool byPlace = true;
};
// The groupings a summary needs (one), and those of the chart page.
std::vector<Grouping> SummaryGroupings(const Report& report);
std::vector<Grouping> PageGroupings(const Report& report);

// The key of the grouping for a line, from the line's column values (field(name) gives
// the value of a column of the log). Time keys are empty for a line without a time.
template <typename Field>
void LineKey(const Report& report, const Grouping& g, Field field, std::vector<std::string>& key);
// A time stamp's group for day, week (ISO 8601, 2026-W49), month, year; "" for no time.
std::string TimeGroup(GroupKey::Kind kind, const std::string& timeStamp);
std::string AsciiLower(std::string text);

// What a source hands over: its name, the groupings it was given, counted, and what it
// left out.
struct Tallies {
  LogSource source;
  std::vector<Grouping> groupings;
  LeftOut left;
  uint64_t notNumbers = 0;  // values of summed columns that were no numbers, counted as 0
};

void PrintSummary(const Report& report, const Tallies& tallies, std::ostream& out);

// One row of a report: the shown values of its keys, its tally, its cost.
struct ReportRow {
  std::vector<std::string> keys;
  LogTally tally;  // sums of the --sum columns only
  uint64_t cost = 0;
  uint64_t unpriced = 0;  // jobs no price applies to (they cost nothing)
};
// Folds a source's grouping into the rows of keys (printer and computer keys taken from
// its computer and printer), ranked and cut by --top when top is set.
std::vector<ReportRow> FoldRows(const Report& report, const Grouping& g, const std::vector<GroupKey>& keys,
                                bool top);

// Text for a terminal: control characters (C0, DEL, C1) as \xHH or \u00HH, bytes that
// are not UTF-8 read as Latin-1, so a name cannot move the cursor or break a row.
std::string TerminalText(const std::string& text);
// One CSV cell (RFC 4180): quoted when needed; a text that a spreadsheet would take for
// a formula (starting with = + - @ or a tab or CR) is led by an apostrophe.
std::string CsvCell(const std::string& text, bool number = false);
// The same appended to out.
void AppendCsvCell(std::string& out, std::string_view text, bool number);
// The "left out ..." lines of the text reports, empty when nothing was left out.
std::string LeftOutNote(const LeftOut& left);
nlohmann::ordered_json LeftOutJson(const LeftOut& left);

// ---------------------------------------------------------------------------------------

template <typename Field>
void LineKey(const Report& report, const Grouping& g, Field field, std::vector<std::string>& key) {
  key.clear();
  bool fold = report.filter.ignoreCase;
  for (const GroupKey& k : g.leading) {
    switch (k.kind) {
      case GroupKey::kUser: key.push_back(field("user")); break;
      case GroupKey::kColumn: key.push_back(field(k.column->csv)); break;
      default: key.push_back(TimeGroup(k.kind, field("time_stamp"))); continue;
    }
    if (fold) key.back() = AsciiLower(key.back());
  }
  if (!g.byPlace) {
    key.resize(key.size() + 2);
  } else {
    key.push_back(fold ? AsciiLower(field("computer")) : field("computer"));
    key.push_back(fold ? AsciiLower(field("printer")) : field("printer"));
  }
  if (report.cost && report.settings.matchColumn != nullptr) key.push_back(field(report.settings.matchColumn->csv));
}

}  // namespace spoolgate
