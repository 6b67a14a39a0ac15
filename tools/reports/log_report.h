// SPDX-License-Identifier: Apache-2.0
// The reports of `spoolgate log` whatever their source (the CSV logs or the accounting
// database): grouping keys, the tallies a source hands over, and their text, CSV, JSON
// forms. A source only counts and sums by the keys it is given; ranking, naming printers
// by their computer, prices and output are decided here once for every source.
#pragma once

#include "tools/common/case_fold.h"
#include "tools/reports/group_key.h"
#include "tools/reports/log_filter.h"
#include "tools/reports/log_settings.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <iterator>
#include <map>
#include <ostream>
#include <set>
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
  std::string rank;             // --rank: jobs, cost or a column; empty: the default
  bool total = false;           // --total: a total row in CSV
  bool bom = false;             // --bom: CSV led by a byte order mark
};

// What grouped lists, --top and charts are ordered by (the largest first).
struct Rank {
  enum Kind { kJobs, kCost, kMeasure } kind = kJobs;
  size_t measure = 0;          // kMeasure: its index in Report::measures
  std::string heading = "jobs";  // as the page's charts name the value
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
  Rank rank;               // --rank, else the cost with --cost, else the first --sum, else jobs
  bool rankGiven = false;  // --rank was given: every grouped list follows it
  bool total = false, bom = false;
  Settings settings;
  // What a source sums per group: the --sum columns, then the priced columns not among
  // them, then a --rank column not among those.
  std::vector<const LineColumn*> measures;
};
// InputError for an unknown key or column, a --sum of a text column, --cost without prices.
Report PrepareReport(const LogFilter& filter, const ReportOptions& options);

// What show and summary leave out of their counts.
// Under a time range, a damaged or pending line counts only when its time can be read
// and falls in the range, or when no time can be read from it (timeUnknown of them).
struct LeftOut {
  uint64_t damaged = 0;  // lines whose checksum is wrong (from a database: the import refused)
  uint64_t pending = 0;  // lines waiting in pending files
  uint64_t untimed = 0;  // lines in no time range, their stamp being no time
  uint64_t timeUnknown = 0;  // damaged and pending lines counted without a readable time
  bool refused = false;      // damaged counts the lines an import refused
  std::vector<std::string> strayFiles;
  // Files whose header line is gone, and their lines: no field of theirs can be told
  // for a column, so none is counted (the import refuses them too; log verify names
  // the files).
  uint64_t headerless = 0;
  std::vector<std::string> headerlessFiles;
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
// A grouping a source computes: its rows keyed by the values of `leading` (no printer or
// computer keys), the computer, the printer and, when prices depend on a column, its value.
struct Grouping {
  std::vector<GroupKey> leading;
  std::map<RowKey, LogTally> rows;
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
void LineKey(const Report& report, const Grouping& g, Field field, RowKey& key);
// A product column's value from the values of its factors: "" when either is empty (as
// the database's NULL), the two joined by '*' when either is no number; InputError when
// the product passes 2^64-1.
std::string ProductValue(const Settings::Product& product, const std::string& a, const std::string& b);
// A column's value for a line (field(name) gives a value of a column of the log),
// computed for a product of the settings.
template <typename Field>
std::string ColumnValue(const Settings& settings, const LineColumn* column, Field field) {
  const Settings::Product* p = ProductOf(settings, column);
  return p == nullptr ? std::string(field(column->csv))
                      : ProductValue(*p, field(p->factors[0]->csv), field(p->factors[1]->csv));
}

// With -i: the names of a grouping's key (all but the times and the price's column)
// case-folded, so that the logs and the databases group JÜRGEN with jürgen alike.
void FoldKeyCase(const Grouping& g, RowKey& key);
// A time stamp's group for day, week (ISO 8601, 2026-W49), month, year; "" for no time.
std::string TimeGroup(GroupKey::Kind kind, std::string_view timeStamp);
// The same for a day (YYYY-MM-DD of a time that is one), as a source that counts by the
// day hands it over; "" for none.
std::string DayGroup(GroupKey::Kind kind, std::string_view day);

// The names of unspelled jobs a report keeps (and shows) at most.
constexpr size_t kUnspelledNames = 20;

// What a source hands over: its name, the groupings it was given, counted, and what it
// left out.
struct Tallies {
  LogSource source;
  std::vector<Grouping> groupings;
  LeftOut left;
  uint64_t notNumbers = 0;  // values of summed columns that were no numbers, counted as 0
  // Jobs whose user, printer or --by text column holds a '?': a character the server's
  // code page could not spell (Windows names cannot hold a '?'), so that people of
  // different names may be one row. Counted, and their names kept, never silent.
  uint64_t unspelled = 0;
  std::set<std::string> unspelledNames;  // the first kUnspelledNames in byte order
  bool moreUnspelled = false;            // and there were more
};
// The columns whose '?' marks a name the server could not spell: user, printer, and the
// text columns of --by.
std::vector<const LineColumn*> SpelledColumns(const Report& report);
// Counts a line whose value(column) of SpelledColumns holds a '?'.
template <typename Value>
void NoteUnspelled(const std::vector<const LineColumn*>& columns, Value value, uint64_t jobs, Tallies& tallies) {
  bool any = false;
  for (const LineColumn* c : columns) {
    const auto& v = value(c);  // a string or a view into the line
    if (v.find('?') == v.npos) continue;
    any = true;
    // The same names whatever the order the lines or groups arrive in.
    if (tallies.unspelledNames.insert(std::string(v)).second && tallies.unspelledNames.size() > kUnspelledNames) {
      tallies.unspelledNames.erase(std::prev(tallies.unspelledNames.end()));
      tallies.moreUnspelled = true;
    }
  }
  if (any) tallies.unspelled += jobs;
}

void PrintSummary(const Report& report, const Tallies& tallies, std::ostream& out);
// The heading of the cost column: "cost EUR" with the currency of the settings, else "cost".
std::string CostHeading(const Report& report);
// The notes under a report, one a line: the jobs no price applies to, what was left out.
std::string ReportNotes(const Report& report, const Tallies& tallies, uint64_t unpriced);
// What --bom writes first: UTF-8's byte order mark, for spreadsheets that want one.
constexpr const char* kByteOrderMark = "\xEF\xBB\xBF";

// One row of a report: the shown values of its keys, its tally, its cost.
struct ReportRow {
  std::vector<std::string> keys;
  LogTally tally;  // sums of the --sum columns only
  uint64_t cost = 0;
  uint64_t unpriced = 0;  // jobs no price applies to (they cost nothing)
  uint64_t ranked = 0;    // the value of report.rank
};
// Folds a source's grouping into the rows of keys (printer and computer keys taken from
// its computer and printer), in the order of their keys; when ranked, ordered by the
// rank within the groups of the keys before the last, and cut there by --top.
std::vector<ReportRow> FoldRows(const Report& report, const Grouping& g, const std::vector<GroupKey>& keys,
                                bool ranked);

// Text as every form shows it: bytes that are not UTF-8 read as Latin-1, and the
// characters that reverse what follows them or break a line unseen (bidi controls,
// U+2028, U+2029) written as \u202E, so that a name cannot disguise a row.
std::string ShownText(const std::string& text);
// ShownText for a terminal: control characters (C0, DEL, C1) as \xHH or \u00HH too, so
// a name cannot move the cursor or break a row.
std::string TerminalText(const std::string& text);
// One CSV cell (RFC 4180) of ShownText: quoted when needed; a text that a spreadsheet
// would take for a formula (starting with = + - @ or a tab or CR) is led by an
// apostrophe, in a numeric column too unless it is a plain number.
std::string CsvCell(const std::string& text, bool number = false);
// The same appended to out.
void AppendCsvCell(std::string& out, std::string_view text, bool number);
// A CSV row: the cells from textCells on are numeric columns.
void CsvRow(const std::vector<std::string>& cells, size_t textCells, std::ostream& out);
// "1 job", "2 jobs".
std::string Plural(uint64_t n, const char* one, const char* many);
// The note of --time utc ("times are UTC ..."); empty for the default, local times.
std::string BasisNote(const LogFilter& filter);
// The "left out ..." lines of the text reports, empty when nothing was left out.
std::string LeftOutNote(const LeftOut& left);
nlohmann::ordered_json LeftOutJson(const LeftOut& left);

// ---------------------------------------------------------------------------------------

template <typename Field>
void LineKey(const Report& report, const Grouping& g, Field field, RowKey& key) {
  key.leading.clear();
  for (const GroupKey& k : g.leading) {
    switch (k.kind) {
      case GroupKey::kUser: key.leading.emplace_back(field("user")); break;
      case GroupKey::kColumn: key.leading.push_back(ColumnValue(report.settings, k.column, field)); break;
      default: key.leading.push_back(TimeGroup(k.kind, BasisTime(report.filter, field(TimeColumn(report.filter))))); break;
    }
  }
  key.computer.clear();
  key.printer.clear();
  if (g.byPlace) {
    key.computer = field("computer");
    key.printer = field("printer");
  }
  key.priceMatch.clear();
  if (report.cost && report.settings.matchColumn != nullptr) key.priceMatch = field(report.settings.matchColumn->csv);
  if (report.filter.ignoreCase) FoldKeyCase(g, key);
}

}  // namespace spoolgate
