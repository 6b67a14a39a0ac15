// SPDX-License-Identifier: Apache-2.0
// Reports from tallies, whatever counted them: printers named by their computer when
// there are several, ranking, prices, and the text, CSV and JSON forms, each written as
// a person or a spreadsheet reads it safely.
#include "tools/reports/log_report.h"

#include "tools/common/errors.h"
#include "tools/common/numbers.h"
#include "tools/logread/log_fields.h"
#include "tools/common/text.h"
#include "tools/common/case_fold.h"

#include <algorithm>
#include <iomanip>
#include <iostream>
#include <set>
#include <sstream>

namespace spoolgate {

using Json = nlohmann::ordered_json;

namespace {

std::string NumericColumns() {
  std::string names;
  for (const LineColumn& c : LineColumns()) {
    if (c.csv != nullptr && c.kind == ColumnKind::kInteger) names += (names.empty() ? "" : " ") + std::string(c.csv);
  }
  return names;
}

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  unsigned yoe = unsigned(y - era * 400);
  unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468;
}
int64_t YearOfDays(int64_t z) {
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  unsigned doe = unsigned(z - era * 146097);
  unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  unsigned mp = (5 * doy + 2) / 153;
  unsigned m = mp + (mp < 10 ? 3 : -9);
  return int64_t(yoe) + era * 400 + (m <= 2);
}

}  // namespace

const GroupingName* FindGrouping(const std::string& name) {
  for (const GroupingName& g : kGroupingNames) {
    if (name == g.name) return &g;
  }
  return nullptr;
}

std::string GroupingNames() {
  std::string names;
  for (const GroupingName& g : kGroupingNames) names += (names.empty() ? "" : ", ") + std::string(g.name);
  return names;
}

std::string ProductValue(const Settings::Product& product, const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return "";
  uint64_t x = 0, y = 0;
  if (!ParseColumnNumber(a, &x) || !ParseColumnNumber(b, &y)) return a + "*" + b;
  if (x != 0 && y > UINT64_MAX / x) {
    throw InputError(product.name + ": " + a + " * " + b + " passes 18446744073709551615");
  }
  return std::to_string(x * y);
}

void FoldKeyCase(const Grouping& g, RowKey& key) {
  // Names, not times nor the price's column.
  for (size_t i = 0; i < key.leading.size() && i < g.leading.size(); ++i) {
    if (g.leading[i].kind == GroupKey::kUser || g.leading[i].kind == GroupKey::kColumn) {
      key.leading[i] = FoldCase(key.leading[i]);
    }
  }
  key.computer = FoldCase(key.computer);
  key.printer = FoldCase(key.printer);
}

std::string TimeGroup(GroupKey::Kind kind, std::string_view t) {
  return IsLogTime(t) ? DayGroup(kind, t.substr(0, 10)) : std::string();
}

std::string DayGroup(GroupKey::Kind kind, std::string_view day) {
  if (day.size() != 10) return "";
  switch (kind) {
    case GroupKey::kDay: return std::string(day);
    case GroupKey::kMonth: return std::string(day.substr(0, 7));
    case GroupKey::kYear: return std::string(day.substr(0, 4));
    default: break;
  }
  auto number = [&](size_t at, size_t n) {
    unsigned value = 0;
    for (char c : day.substr(at, n)) value = value * 10 + unsigned(c - '0');
    return value;
  };
  // ISO 8601: a week belongs to the year of its Thursday and starts on a Monday.
  int64_t days = DaysFromCivil(number(0, 4), number(5, 2), number(8, 2));
  int64_t monday0 = ((days + 3) % 7 + 7) % 7;  // 1970-01-01 was a Thursday
  int64_t thursday = days - monday0 + 3;
  int64_t year = YearOfDays(thursday);
  int64_t week = (thursday - DaysFromCivil(year, 1, 1)) / 7 + 1;
  char out[48];
  std::snprintf(out, sizeof out, "%04lld-W%02lld", static_cast<long long>(year), static_cast<long long>(week));
  return out;
}

void LogTally::Add(const LogTally& other, const std::vector<const LineColumn*>& measures) {
  jobs += other.jobs;
  AddToSum(cost, other.cost, "cost");
  sums.resize(other.sums.size());
  for (size_t i = 0; i < other.sums.size(); ++i) AddToSum(sums[i], other.sums[i], measures[i]->csv);
}

namespace {

// The numeric column a --sum or --rank names; InputError naming the option otherwise.
const LineColumn* NumericColumn(const Report& r, const std::string& option, const std::string& name) {
  const LineColumn* c = ResolveColumn(r.settings, name);
  if (c == nullptr || c->csv == nullptr) {
    throw InputError(option + " " + name + ": no such column (numeric columns: " + NumericColumns() + ")");
  }
  if (c->kind != ColumnKind::kInteger) {
    throw InputError(option + " " + name + ": not a numeric column (numeric columns: " + NumericColumns() + ")");
  }
  return c;
}

GroupKey ByKey(const Report& r, const std::string& name) {
  GroupKey key{GroupKey::kColumn, name, nullptr};
  if (const GroupingName* g = FindGrouping(name)) {
    key.kind = g->kind;
    return key;
  }
  // A kept attribute of the directory: the source counts by user, the directory names
  // the group (reports/directory_fold).
  if (IsDirectoryAttribute(r.settings.directory, name)) return {GroupKey::kUser, name, nullptr};
  key.column = ResolveColumn(r.settings, name);
  if (key.column == nullptr || key.column->csv == nullptr) {
    throw InputError("--by " + name + ": not a grouping (" + GroupingNames() + ") nor a column" +
                     (r.settings.file.empty() ? " (names from a settings file need --settings FILE)" : ""));
  }
  if (key.column->kind == ColumnKind::kTime || key.column->kind == ColumnKind::kUtcTime) {
    throw InputError("--by " + name + ": a time groups by day, week, month or year");
  }
  if (ComputedOf(r.settings, key.column) != nullptr) {
    throw InputError("--by " + name + ": a computed unit is summed (--sum) or priced, not a grouping");
  }
  key.heading = ColumnHeading(r.settings, key.column);
  return key;
}

// --rank, or its default: the cost with --cost, else the first --sum, else jobs.
void PrepareRank(Report& r, const std::string& name) {
  r.rankGiven = !name.empty();
  if (name == "jobs" || (name.empty() && !r.cost && r.sums.empty())) return;
  if (name == "cost" || (name.empty() && r.cost)) {
    if (!r.cost) throw InputError("--rank cost: no cost without --cost");
    r.rank = {Rank::kCost, 0, "cost"};
    return;
  }
  const LineColumn* c = name.empty() ? r.sums[0] : NumericColumn(r, "--rank", name);
  auto at = std::find(r.measures.begin(), r.measures.end(), c);
  if (at == r.measures.end()) at = r.measures.insert(at, c);
  r.rank = {Rank::kMeasure, size_t(at - r.measures.begin()), ColumnHeading(r.settings, c)};
}

}  // namespace

Report PrepareReport(const LogFilter& filter, const ReportOptions& options) {
  Report r;
  r.filter = filter;
  PrepareLogFilter(r.filter);
  r.format = options.format;
  r.top = options.top;
  r.cost = options.cost;
  r.total = options.total;
  r.bom = options.bom;
  r.csv = options.csv;
  if (!options.settingsFile.empty()) r.settings = LoadSettings(options.settingsFile);
  // Ties of prices matter only to a bill.
  if (r.cost) {
    for (const std::string& w : r.settings.warnings) std::cerr << "spoolgate: warning: " << w << "\n";
  }
  if (r.cost && r.settings.prices.empty()) {
    throw InputError("--cost: no prices (--settings FILE with [[price]] tables; docs/accounting-database.md)");
  }
  for (const std::string& name : options.by) {
    GroupKey key = ByKey(r, name);
    for (const GroupKey& other : r.by) {
      if (other.heading == key.heading) throw InputError("--by " + name + " is given twice");
    }
    r.by.push_back(key);
  }
  for (const std::string& name : r.filter.sums) {
    r.sums.push_back(NumericColumn(r, "--sum", name));
    r.sumHeadings.push_back(ColumnHeading(r.settings, r.sums.back()));
  }
  r.measures = r.sums;
  if (r.cost) {
    for (const Price& p : r.settings.prices) {
      for (const Price::Unit& u : p.per) {
        if (std::find(r.measures.begin(), r.measures.end(), u.column) == r.measures.end()) r.measures.push_back(u.column);
      }
    }
  }
  PrepareRank(r, options.rank);
  return r;
}

std::vector<const LineColumn*> SpelledColumns(const Report& report) {
  std::vector<const LineColumn*> columns = {FindLineColumn("user"), FindLineColumn("printer")};
  for (const GroupKey& k : report.by) {
    if (k.kind == GroupKey::kColumn && k.column->kind == ColumnKind::kText) columns.push_back(k.column);
  }
  return columns;
}

std::vector<Grouping> SummaryGroupings(const Report& report) {
  Grouping g;
  if (report.by.empty()) g.leading.push_back({GroupKey::kUser, "user"});
  // The default summary lists printers; prices depend on computer and printer.
  g.byPlace = report.by.empty() || report.cost;
  for (const GroupKey& k : report.by) {
    if (k.kind != GroupKey::kPrinter && k.kind != GroupKey::kComputer) g.leading.push_back(k);
    else g.byPlace = true;
  }
  return {g};
}

std::vector<Grouping> PageGroupings(const Report& report) {
  std::vector<Grouping> out(3);
  out[0].leading = {{GroupKey::kMonth, "month"}};
  out[1].leading = {{GroupKey::kUser, "user"}};
  for (const GroupKey& k : report.by) {
    // A column, or a kept attribute of the directory (a user key of its own heading).
    if (k.kind == GroupKey::kColumn || (k.kind == GroupKey::kUser && k.heading != "user")) {
      out.push_back(Grouping{{k}, {}});
    }
  }
  // Nested --by keys, department by month: one grouping as the summary's, last.
  if (report.by.size() >= 2) out.push_back(SummaryGroupings(report)[0]);
  return out;
}

namespace {

// Whether a grouping's rows come from more than one computer: printers are then named
// \\COMPUTER\PRINTER.
bool ManyComputers(const Grouping& g) {
  const std::string* first = nullptr;
  for (const auto& [key, tally] : g.rows) {
    if (first == nullptr) first = &key.computer;
    else if (key.computer != *first) return true;
  }
  return false;
}

}  // namespace

std::vector<ReportRow> FoldRows(const Report& report, const Grouping& g, const std::vector<GroupKey>& keys,
                                bool ranked) {
  // A printer is named by its computer when there are several, unless the computer is
  // a key of its own beside it.
  bool many = ManyComputers(g) && std::none_of(keys.begin(), keys.end(), [](const GroupKey& k) {
                return k.kind == GroupKey::kComputer;
              });
  std::map<std::vector<std::string>, ReportRow> merged;
  std::vector<std::string> shown, matches;
  for (const auto& [key, tally] : g.rows) {
    shown.clear();
    for (const GroupKey& k : keys) {
      if (k.kind == GroupKey::kPrinter) {
        shown.push_back(many ? "\\\\" + key.computer + "\\" + key.printer : key.printer);
      } else if (k.kind == GroupKey::kComputer) {
        shown.push_back(key.computer);
      } else {
        size_t i = 0;
        while (g.leading[i].heading != k.heading) ++i;
        shown.push_back(key.leading[i]);
      }
    }
    ReportRow& row = merged[shown];
    LogTally own{tally.jobs, std::vector<uint64_t>(tally.sums.begin(), tally.sums.begin() + long(report.sums.size()))};
    row.tally.Add(own, report.measures);
    if (report.rank.kind == Rank::kMeasure) {
      AddToSum(row.ranked, tally.sums[report.rank.measure], report.measures[report.rank.measure]->csv);
    }
    if (!report.cost) continue;
    const Price* price = FindPrice(report.settings, key.computer, key.printer, key.priceMatches);
    if (price == nullptr) {
      row.unpriced += tally.jobs;
      continue;
    }
    uint64_t net = 0;
    if (report.settings.perJob) {
      net = tally.cost;  // each job's cost rounded as the source priced it
    } else {
      AddCost(net, tally.jobs, price->job);
      for (const Price::Unit& u : price->per) {
        size_t m = size_t(std::find(report.measures.begin(), report.measures.end(), u.column) - report.measures.begin());
        AddCost(net, tally.sums[m], u.price);
      }
    }
    AddCost(row.cost, 1, net);
    row.taxMillionths += Uint128(net) * price->vat;
  }
  std::vector<ReportRow> rows;
  rows.reserve(merged.size());
  for (auto& [k, row] : merged) {
    row.keys = k;
    row.tally.sums.resize(report.sums.size());
    if (report.rank.kind == Rank::kJobs) row.ranked = row.tally.jobs;
    if (report.rank.kind == Rank::kCost) row.ranked = row.cost;
    // Once for the row, on its net: the tax of a bill's row, not the sum of its jobs'.
    row.tax = RoundTax(report.settings, row.taxMillionths);
    rows.push_back(std::move(row));
  }
  if (!ranked || keys.empty()) return rows;
  // Ranked within the groups of the keys before the last: --by computer --by printer
  // --top 3 gives each computer's three busiest printers. Rows of one value keep the
  // order of their keys.
  auto samePrefix = [](const ReportRow& a, const ReportRow& b) {
    return std::equal(a.keys.begin(), a.keys.end() - 1, b.keys.begin());
  };
  std::stable_sort(rows.begin(), rows.end(), [&](const ReportRow& a, const ReportRow& b) {
    if (!samePrefix(a, b)) {
      return std::lexicographical_compare(a.keys.begin(), a.keys.end() - 1, b.keys.begin(), b.keys.end() - 1);
    }
    return a.ranked > b.ranked;
  });
  if (report.top == 0) return rows;
  std::vector<ReportRow> kept;
  size_t run = 0;
  for (size_t i = 0; i < rows.size(); ++i) {
    run = i > 0 && samePrefix(rows[i], rows[i - 1]) ? run + 1 : 0;
    if (run < report.top) kept.push_back(rows[i]);
  }
  return kept;
}

}  // namespace spoolgate
