// SPDX-License-Identifier: Apache-2.0
// Reports from tallies, whatever counted them: printers named by their computer when
// there are several, ranking, prices, and the text, CSV and JSON forms, each written as
// a person or a spreadsheet reads it safely.
#include "tools/reports/log_report.h"

#include "tools/common/errors.h"
#include "tools/common/numbers.h"
#include "tools/logread/log_fields.h"
#include "tools/common/text.h"

#include <algorithm>
#include <iomanip>
#include <iostream>
#include <set>
#include <sstream>

namespace spoolgate {

using Json = nlohmann::ordered_json;

namespace {

struct KeyName {
  const char* name;
  GroupKey::Kind kind;
};
const KeyName kKeys[] = {{"user", GroupKey::kUser},   {"printer", GroupKey::kPrinter},
                         {"computer", GroupKey::kComputer}, {"day", GroupKey::kDay},
                         {"week", GroupKey::kWeek},   {"month", GroupKey::kMonth},
                         {"year", GroupKey::kYear}};

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

std::string Money(const Report& r, uint64_t units) { return MoneyText(units, r.settings.decimals); }

std::string Plural(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string AsciiLower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  return text;
}

std::string TimeGroup(GroupKey::Kind kind, const std::string& t) {
  if (!IsLogTime(t)) return "";
  switch (kind) {
    case GroupKey::kDay: return t.substr(0, 10);
    case GroupKey::kMonth: return t.substr(0, 7);
    case GroupKey::kYear: return t.substr(0, 4);
    default: break;
  }
  // ISO 8601: a week belongs to the year of its Thursday and starts on a Monday.
  int64_t days = DaysFromCivil(std::stoi(t.substr(0, 4)), unsigned(std::stoi(t.substr(5, 2))),
                               unsigned(std::stoi(t.substr(8, 2))));
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
  sums.resize(other.sums.size());
  for (size_t i = 0; i < other.sums.size(); ++i) AddToSum(sums[i], other.sums[i], measures[i]->csv);
}

Report PrepareReport(const LogFilter& filter, const ReportOptions& options) {
  Report r;
  r.filter = filter;
  PrepareLogFilter(r.filter);
  r.format = options.format;
  r.top = options.top;
  r.cost = options.cost;
  if (!options.settingsFile.empty()) r.settings = LoadSettings(options.settingsFile);
  if (r.cost && r.settings.prices.empty()) {
    throw InputError("--cost: no prices (--settings FILE with [[price]] tables; docs/accounting-database.md)");
  }
  for (const std::string& name : options.by) {
    GroupKey key{GroupKey::kColumn, name, nullptr};
    bool found = false;
    for (const KeyName& k : kKeys) {
      if (name == k.name) key.kind = k.kind, found = true;
    }
    if (!found) {
      key.column = ResolveColumn(r.settings, name);
      if (key.column == nullptr || key.column->csv == nullptr) {
        throw InputError("--by " + name +
                         ": not a grouping (user, printer, computer, day, week, month, year) nor a column");
      }
      if (key.column->kind == ColumnKind::kTime || key.column->kind == ColumnKind::kUtcTime) {
        throw InputError("--by " + name + ": a time groups by day, week, month or year");
      }
      key.heading = ColumnHeading(r.settings, key.column);
    }
    for (const GroupKey& other : r.by) {
      if (other.heading == key.heading) throw InputError("--by " + name + " is given twice");
    }
    r.by.push_back(key);
  }
  for (const std::string& name : r.filter.sums) {
    const LineColumn* c = ResolveColumn(r.settings, name);
    if (c == nullptr || c->csv == nullptr) {
      throw InputError("--sum " + name + ": no such column (numeric columns: " + NumericColumns() + ")");
    }
    if (c->kind != ColumnKind::kInteger) {
      throw InputError("--sum " + name + ": not a numeric column (numeric columns: " + NumericColumns() + ")");
    }
    r.sums.push_back(c);
    r.sumHeadings.push_back(ColumnHeading(r.settings, c));
  }
  r.measures = r.sums;
  if (r.cost) {
    for (const Price& p : r.settings.prices) {
      for (const Price::Unit& u : p.per) {
        if (std::find(r.measures.begin(), r.measures.end(), u.column) == r.measures.end()) r.measures.push_back(u.column);
      }
    }
  }
  return r;
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
    if (k.kind == GroupKey::kColumn) out.push_back(Grouping{{k}, {}});
  }
  return out;
}

namespace {

// Whether a grouping's rows come from more than one computer: printers are then named
// \\COMPUTER\PRINTER.
bool ManyComputers(const Grouping& g) {
  size_t at = g.leading.size();
  const std::string* first = nullptr;
  for (const auto& [key, tally] : g.rows) {
    if (first == nullptr) first = &key[at];
    else if (key[at] != *first) return true;
  }
  return false;
}

}  // namespace

std::vector<ReportRow> FoldRows(const Report& report, const Grouping& g, const std::vector<GroupKey>& keys, bool top) {
  size_t at = g.leading.size();
  bool many = ManyComputers(g);
  std::vector<size_t> unitAt;  // of each price's units in measures, looked up once
  std::map<std::vector<std::string>, ReportRow> merged;
  std::vector<std::string> shown;
  for (const auto& [key, tally] : g.rows) {
    shown.clear();
    for (const GroupKey& k : keys) {
      if (k.kind == GroupKey::kPrinter) {
        shown.push_back(many ? "\\\\" + key[at] + "\\" + key[at + 1] : key[at + 1]);
      } else if (k.kind == GroupKey::kComputer) {
        shown.push_back(key[at]);
      } else {
        size_t i = 0;
        while (g.leading[i].heading != k.heading) ++i;
        shown.push_back(key[i]);
      }
    }
    ReportRow& row = merged[shown];
    LogTally own{tally.jobs, std::vector<uint64_t>(tally.sums.begin(), tally.sums.begin() + long(report.sums.size()))};
    row.tally.Add(own, report.measures);
    if (!report.cost) continue;
    const Price* price = FindPrice(report.settings, key[at], key[at + 1],
                                   report.settings.matchColumn != nullptr ? key[at + 2] : std::string());
    if (price == nullptr) {
      row.unpriced += tally.jobs;
      continue;
    }
    AddCost(row.cost, tally.jobs, price->job);
    for (const Price::Unit& u : price->per) {
      size_t m = size_t(std::find(report.measures.begin(), report.measures.end(), u.column) - report.measures.begin());
      AddCost(row.cost, tally.sums[m], u.price);
    }
  }
  std::vector<ReportRow> rows;
  rows.reserve(merged.size());
  for (auto& [k, row] : merged) {
    row.keys = k;
    row.tally.sums.resize(report.sums.size());
    rows.push_back(std::move(row));
  }
  if (!top || report.top == 0 || keys.empty()) return rows;
  // Ranked within the groups of the keys before the last: --by computer --by printer
  // --top 3 gives each computer's three busiest printers.
  auto metric = [&](const ReportRow& r) { return report.sums.empty() ? r.tally.jobs : r.tally.sums[0]; };
  auto samePrefix = [](const ReportRow& a, const ReportRow& b) {
    return std::equal(a.keys.begin(), a.keys.end() - 1, b.keys.begin());
  };
  std::stable_sort(rows.begin(), rows.end(), [&](const ReportRow& a, const ReportRow& b) {
    if (!samePrefix(a, b)) {
      return std::lexicographical_compare(a.keys.begin(), a.keys.end() - 1, b.keys.begin(), b.keys.end() - 1);
    }
    return metric(a) > metric(b);
  });
  std::vector<ReportRow> kept;
  size_t run = 0;
  for (size_t i = 0; i < rows.size(); ++i) {
    run = i > 0 && samePrefix(rows[i], rows[i - 1]) ? run + 1 : 0;
    if (run < report.top) kept.push_back(rows[i]);
  }
  return kept;
}

// ---------------------------------------------------------------------------------------
// Safe text

std::string TerminalText(const std::string& bytes) {
  std::string text = ValidUtf8(bytes), out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    char buf[8];
    if (c < 0x20 || c == 0x7F) {
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      // U+0080 to U+009F: controls too (CSI among them).
      std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned char>(text[++i]));
      out += buf;
    } else {
      out += char(c);
    }
  }
  return out;
}

std::string CsvCell(const std::string& bytes, bool number) {
  std::string out;
  AppendCsvCell(out, bytes, number);
  return out;
}

void AppendCsvCell(std::string& out, std::string_view bytes, bool number) {
  // One look at each byte: whether the cell needs quotes, and whether it is ASCII, which
  // is UTF-8 already (other text is made so, in a copy, and looked at again).
  auto special = [](char c) { return c == ',' || c == '"' || c == '\r' || c == '\n'; };
  bool quote = false;
  size_t ascii = 0;
  for (; ascii < bytes.size() && static_cast<unsigned char>(bytes[ascii]) < 0x80; ++ascii) quote |= special(bytes[ascii]);
  std::string valid;
  if (ascii < bytes.size()) {
    valid = ValidUtf8(std::string(bytes));
    bytes = valid;
    quote = std::any_of(bytes.begin(), bytes.end(), special);
  }
  bool formula = !number && !bytes.empty() && std::string_view("=+-@\t\r").find(bytes[0]) != std::string_view::npos;
  if (!quote) {
    if (formula) out += '\'';
    out.append(bytes.data(), bytes.size());
    return;
  }
  out += '"';
  if (formula) out += '\'';
  for (char c : bytes) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

nlohmann::ordered_json LeftOutJson(const LeftOut& left) {
  return {{"damaged", left.damaged}, {"pending", left.pending}, {"untimed", left.untimed},
          {"strayFiles", left.strayFiles}};
}

std::string LeftOutNote(const LeftOut& left) {
  std::ostringstream note;
  if (left.damaged != 0) {
    note << "left out " << Plural(left.damaged, "line", "lines")
         << " whose checksum is wrong (torn or altered); --include-damaged counts them\n";
  }
  if (left.pending != 0) note << "left out " << Plural(left.pending, "line", "lines") << " still waiting in a pending file\n";
  if (left.untimed != 0) {
    note << "left out " << Plural(left.untimed, "job", "jobs")
         << " whose time stamp is not a time, so in no time range (without --from and --to they are counted)\n";
  }
  if (!left.strayFiles.empty()) {
    note << "left out " << Plural(left.strayFiles.size(), "file", "files") << " of no log:";
    for (const std::string& f : left.strayFiles) note << " " << TerminalText(f);
    note << "\n";
  }
  return note.str();
}

// ---------------------------------------------------------------------------------------
// Summary

namespace {

Json TallyJson(const Report& report, const ReportRow& row) {
  Json j;
  j["jobs"] = row.tally.jobs;
  Json sums = Json::object();
  for (size_t i = 0; i < report.sums.size(); ++i) sums[report.sumHeadings[i]] = row.tally.sums[i];
  j["sums"] = sums;
  if (report.cost) {
    j["cost"] = Money(report, row.cost);
    j["unpriced"] = row.unpriced;
  }
  return j;
}

ReportRow Total(const Report& report, const Grouping& g) {
  std::vector<ReportRow> rows = FoldRows(report, g, {}, false);
  if (rows.empty()) {
    ReportRow none;
    none.tally.sums.assign(report.sums.size(), 0);
    return none;
  }
  return rows[0];
}

// The terminal columns of a UTF-8 text: one a character.
size_t Columns(const std::string& text) {
  return size_t(std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// A table for a person: one column a key, then jobs, sums and cost, right-aligned numbers.
void WriteTable(const Report& report, const std::vector<std::string>& headings, const std::vector<ReportRow>& rows,
                const ReportRow* total, std::ostream& out) {
  std::vector<std::vector<std::string>> cells;
  std::vector<std::string> head = headings;
  head.push_back("jobs");
  for (const auto& h : report.sumHeadings) head.push_back(h);
  if (report.cost) head.push_back(report.settings.currency.empty() ? "cost" : "cost " + report.settings.currency);
  cells.push_back(head);
  auto add = [&](const ReportRow& r, bool isTotal) {
    std::vector<std::string> line;
    for (size_t i = 0; i < headings.size(); ++i) {
      line.push_back(isTotal ? (i == 0 ? "total" : "") : r.keys[i].empty() ? "(none)" : TerminalText(r.keys[i]));
    }
    line.push_back(Grouped(r.tally.jobs));
    for (uint64_t s : r.tally.sums) line.push_back(Grouped(s));
    if (report.cost) line.push_back(Money(report, r.cost));
    cells.push_back(line);
  };
  for (const ReportRow& r : rows) add(r, false);
  if (total != nullptr) add(*total, true);
  std::vector<size_t> width(head.size(), 0);
  for (const auto& line : cells) {
    for (size_t i = 0; i < line.size(); ++i) width[i] = std::max(width[i], Columns(line[i]));
  }
  for (const auto& line : cells) {
    std::string text;
    for (size_t i = 0; i < line.size(); ++i) {
      bool number = i >= headings.size();
      std::string pad(width[i] - Columns(line[i]), ' ');
      text += (i == 0 ? "" : "  ") + (number ? pad + line[i] : line[i] + (i + 1 == line.size() ? "" : pad));
    }
    out << text << "\n";
  }
}

void CsvRow(const std::vector<std::string>& cells, size_t textCells, std::ostream& out) {
  for (size_t i = 0; i < cells.size(); ++i) out << (i ? "," : "") << CsvCell(cells[i], i >= textCells);
  out << "\r\n";
}

std::vector<std::string> CsvNumbers(const Report& report, const ReportRow& r) {
  std::vector<std::string> cells = {std::to_string(r.tally.jobs)};
  for (uint64_t s : r.tally.sums) cells.push_back(std::to_string(s));
  if (report.cost) cells.push_back(Money(report, r.cost));
  return cells;
}

std::vector<std::string> CsvHead(const Report& report, std::vector<std::string> keys) {
  keys.push_back("jobs");
  for (const auto& h : report.sumHeadings) keys.push_back(h);
  if (report.cost) keys.push_back("cost");
  return keys;
}

}  // namespace

void PrintSummary(const Report& report, const Tallies& tallies, std::ostream& out) {
  const LogSource& source = tallies.source;
  const LeftOut& left = tallies.left;
  uint64_t notNumbers = tallies.notNumbers;
  const Grouping& g = tallies.groupings.at(0);
  ReportRow total = Total(report, g);
  bool byDefault = report.by.empty();
  const GroupKey userKey{GroupKey::kUser, "user"}, printerKey{GroupKey::kPrinter, "printer"};
  std::vector<ReportRow> byUser, byPrinter, rows;
  std::vector<std::string> headings;
  if (byDefault) {
    byUser = FoldRows(report, g, {userKey}, true);
    byPrinter = FoldRows(report, g, {printerKey}, true);
  } else {
    rows = FoldRows(report, g, report.by, true);
    for (const GroupKey& k : report.by) headings.push_back(k.heading);
  }
  if (report.format == ReportFormat::kJson) {
    Json j;
    j[source.member] = source.name;
    if (byDefault) {
      for (auto [name, list] : {std::pair{"byUser", &byUser}, {"byPrinter", &byPrinter}}) {
        j[name] = Json::object();
        for (const ReportRow& r : *list) j[name][r.keys[0]] = TallyJson(report, r);
      }
    } else {
      j["by"] = headings;
      j["groups"] = Json::array();
      for (const ReportRow& r : rows) {
        Json row;
        Json key = Json::object();
        for (size_t i = 0; i < headings.size(); ++i) key[headings[i]] = r.keys[i];
        row["key"] = key;
        row.update(TallyJson(report, r));
        j["groups"].push_back(row);
      }
    }
    j["total"] = TallyJson(report, total);
    if (report.cost) j["currency"] = report.settings.currency;
    j["notNumbers"] = notNumbers;
    j["leftOut"] = LeftOutJson(left);
    out << JsonDump(j) << "\n";
    return;
  }
  if (report.format == ReportFormat::kCsv) {
    if (byDefault) {
      CsvRow(CsvHead(report, {"group", "name"}), 2, out);
      for (auto [name, list] : {std::pair{"user", &byUser}, {"printer", &byPrinter}}) {
        for (const ReportRow& r : *list) {
          std::vector<std::string> cells = {name, r.keys[0]};
          for (auto& c : CsvNumbers(report, r)) cells.push_back(c);
          CsvRow(cells, 2, out);
        }
      }
      std::vector<std::string> cells = {"total", ""};
      for (auto& c : CsvNumbers(report, total)) cells.push_back(c);
      CsvRow(cells, 2, out);
    } else {
      CsvRow(CsvHead(report, headings), headings.size(), out);
      for (const ReportRow& r : rows) {
        std::vector<std::string> cells = r.keys;
        for (auto& c : CsvNumbers(report, r)) cells.push_back(c);
        CsvRow(cells, headings.size(), out);
      }
    }
  } else if (byDefault) {
    auto row = [&](const std::string& name, const ReportRow& r) {
      std::string shown = name.empty() ? "(none)" : TerminalText(name);
      out << "  " << shown << std::string(shown.size() < 24 ? 24 - Columns(shown) : 0, ' ') << std::right
          << std::setw(8) << r.tally.jobs << (r.tally.jobs == 1 ? " job " : " jobs");
      for (size_t i = 0; i < report.sums.size(); ++i) out << "  " << report.sumHeadings[i] << " " << r.tally.sums[i];
      if (report.cost) out << "  cost " << Money(report, r.cost) << (report.settings.currency.empty() ? "" : " ") << report.settings.currency;
      out << "\n";
    };
    out << "by user:\n";
    for (const ReportRow& r : byUser) row(r.keys[0], r);
    out << "by printer:\n";
    for (const ReportRow& r : byPrinter) row(r.keys[0], r);
    out << "total:\n";
    row("all", total);
  } else {
    WriteTable(report, headings, rows, &total, out);
  }
  if (report.format != ReportFormat::kText) return;
  if (notNumbers != 0) {
    std::cerr << "spoolgate: warning: " << notNumbers << " values were not numbers and count as 0\n";
  }
  if (report.cost && total.unpriced != 0) {
    out << Plural(total.unpriced, "job", "jobs") << " matched no price and cost nothing (add a [[price]] without printer as the default)\n";
  }
  out << LeftOutNote(left);
}

}  // namespace spoolgate
