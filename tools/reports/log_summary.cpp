// SPDX-License-Identifier: Apache-2.0
// `spoolgate log summary` from tallies: the JSON object, the CSV rows and the text tables
// of the default lists (by user and by printer) or of --by, and the notes beside them.
#include "tools/reports/log_report.h"
#include "tools/reports/report_others.h"

#include "tools/reports/pricing.h"

#include "tools/common/text.h"

#include <algorithm>
#include <iomanip>
#include <iostream>

namespace spoolgate {

using Json = nlohmann::ordered_json;

namespace {

Json TallyJson(const Report& report, const ReportRow& row) {
  Json j;
  j["jobs"] = row.tally.jobs;
  Json sums = Json::object();
  for (size_t i = 0; i < report.sums.size(); ++i) {
    // A computed unit of places as its exact decimal text, as costs are.
    if (ColumnPlaces(report.settings, report.sums[i]) != 0) {
      sums[report.sumHeadings[i]] = SumText(report, report.sums[i], row.tally.sums[i], false);
    } else {
      sums[report.sumHeadings[i]] = row.tally.sums[i];
    }
  }
  j["sums"] = sums;
  if (report.cost) {
    std::vector<std::string> money = CostCells(report, row);
    j["cost"] = money[0];
    if (report.settings.hasVat) j["tax"] = money[1], j["gross"] = money[2];
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
  if (report.cost) {
    for (const std::string& h : CostHeadings(report)) head.push_back(h);
  }
  cells.push_back(head);
  auto add = [&](const ReportRow& r, bool isTotal) {
    std::vector<std::string> line;
    for (size_t i = 0; i < headings.size(); ++i) {
      line.push_back(isTotal ? (i == 0 ? "total" : "") : r.keys[i].empty() ? "(none)" : TerminalText(r.keys[i]));
    }
    line.push_back(Grouped(r.tally.jobs));
    for (size_t i = 0; i < r.tally.sums.size(); ++i) line.push_back(SumText(report, report.sums[i], r.tally.sums[i], true));
    if (report.cost) {
      for (const std::string& c : CostCells(report, r, true)) line.push_back(c);
    }
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

std::vector<std::string> CsvNumbers(const Report& report, const ReportRow& r) {
  std::vector<std::string> cells = {std::to_string(r.tally.jobs)};
  for (size_t i = 0; i < r.tally.sums.size(); ++i) cells.push_back(SumText(report, report.sums[i], r.tally.sums[i], false));
  if (report.cost) {
    for (const std::string& c : CostCells(report, r)) cells.push_back(c);
  }
  return cells;
}

std::vector<std::string> CsvHead(const Report& report, std::vector<std::string> keys) {
  keys.push_back("jobs");
  for (const auto& h : report.sumHeadings) keys.push_back(h);
  if (report.cost) {
    for (const std::string& h : CostHeadings(report)) keys.push_back(h);
  }
  return keys;
}

// The rows of a summary: the default lists or those of --by.
struct SummaryRows {
  ReportRow total;
  std::vector<ReportRow> byUser, byPrinter, rows;
  std::vector<std::string> headings;  // of --by
};

void SummaryJson(const Report& report, const Tallies& tallies, const SummaryRows& s, std::ostream& out) {
  Json j;
  j[tallies.source.member] = tallies.source.name;
  if (report.by.empty()) {
    for (auto [name, list] : {std::pair{"byUser", &s.byUser}, {"byPrinter", &s.byPrinter}}) {
      j[name] = Json::object();
      for (const ReportRow& r : *list) j[name][r.keys[0]] = TallyJson(report, r);
    }
  } else {
    j["by"] = s.headings;
    j["groups"] = Json::array();
    for (const ReportRow& r : s.rows) {
      Json row;
      Json key = Json::object();
      for (size_t i = 0; i < s.headings.size(); ++i) key[s.headings[i]] = r.keys[i];
      row["key"] = key;
      row.update(TallyJson(report, r));
      j["groups"].push_back(row);
    }
  }
  j["total"] = TallyJson(report, s.total);
  if (report.cost) j["currency"] = report.settings.currency;
  if (report.filter.utc) j["time"] = "utc";
  j["notNumbers"] = tallies.notNumbers;
  // Only where units are computed, so that the reports of other settings keep their form.
  if (!report.settings.computed->empty()) j["noValue"] = tallies.noValue;
  j["leftOut"] = LeftOutJson(tallies.left);
  if (tallies.directory) j["unknownUsers"] = {{"jobs", tallies.unknownUsers}, {"names", tallies.unknownNames}};
  if (tallies.unspelled != 0) j["unspelled"] = {{"jobs", tallies.unspelled}, {"names", tallies.unspelledNames}};
  out << JsonDump(j) << "\n";
}

void SummaryCsv(const Report& report, const SummaryRows& s, std::ostream& out) {
  if (report.bom) out << kByteOrderMark;
  if (report.by.empty()) {
    CsvRow(CsvHead(report, {"group", "name"}), 2, out, report.csv);
    for (auto [name, list] : {std::pair{"user", &s.byUser}, {"printer", &s.byPrinter}}) {
      for (const ReportRow& r : *list) {
        std::vector<std::string> cells = {name, r.keys[0]};
        for (auto& c : CsvNumbers(report, r)) cells.push_back(c);
        CsvRow(cells, 2, out, report.csv);
      }
    }
    std::vector<std::string> cells = {"total", ""};
    for (auto& c : CsvNumbers(report, s.total)) cells.push_back(c);
    CsvRow(cells, 2, out, report.csv);
    return;
  }
  size_t keys = s.headings.size();
  CsvRow(CsvHead(report, s.headings), keys, out, report.csv);
  for (const ReportRow& r : s.rows) {
    std::vector<std::string> cells = r.keys;
    for (auto& c : CsvNumbers(report, r)) cells.push_back(c);
    CsvRow(cells, keys, out, report.csv);
  }
  if (!report.total) return;
  std::vector<std::string> cells(keys);
  cells[0] = "total";
  for (auto& c : CsvNumbers(report, s.total)) cells.push_back(c);
  CsvRow(cells, keys, out, report.csv);
}

void DefaultListsText(const Report& report, const SummaryRows& s, std::ostream& out) {
  auto row = [&](const std::string& name, const ReportRow& r) {
    std::string shown = name.empty() ? "(none)" : TerminalText(name);
    out << "  " << shown << std::string(shown.size() < 24 ? 24 - Columns(shown) : 0, ' ') << std::right
        << std::setw(8) << Grouped(r.tally.jobs) << (r.tally.jobs == 1 ? " job " : " jobs");
    for (size_t i = 0; i < report.sums.size(); ++i) {
      out << "  " << report.sumHeadings[i] << " " << SumText(report, report.sums[i], r.tally.sums[i], true);
    }
    if (report.cost) {
      std::string currency = (report.settings.currency.empty() ? "" : " ") + report.settings.currency;
      std::vector<std::string> money = CostCells(report, r, true);
      out << "  cost " << money[0] << currency;
      if (report.settings.hasVat) out << "  tax " << money[1] << currency << "  gross " << money[2] << currency;
    }
    out << "\n";
  };
  out << "by user:\n";
  for (const ReportRow& r : s.byUser) row(r.keys[0], r);
  out << "by printer:\n";
  for (const ReportRow& r : s.byPrinter) row(r.keys[0], r);
  out << "total:\n";
  row("all", s.total);
}

}  // namespace

std::string GroupedMoney(uint64_t units, unsigned decimals) {
  uint64_t scale = 1;
  for (unsigned i = 0; i < decimals; ++i) scale *= 10;
  std::string text = MoneyText(units, decimals);
  return Grouped(units / scale) + (decimals == 0 ? "" : text.substr(text.size() - decimals - 1));
}

std::string CostHeading(const Report& report) {
  return report.settings.currency.empty() ? "cost" : "cost " + report.settings.currency;
}

std::vector<std::string> CostHeadings(const Report& report) {
  if (!report.settings.hasVat) return {CostHeading(report)};
  std::string currency = report.settings.currency.empty() ? "" : " " + report.settings.currency;
  return {"net" + currency, "tax" + currency, "gross" + currency};
}

std::vector<std::string> CostCells(const Report& report, const ReportRow& row, bool grouped) {
  unsigned places = report.settings.decimals;
  auto money = [&](uint64_t units) { return grouped ? GroupedMoney(units, places) : MoneyText(units, places); };
  if (!report.settings.hasVat) return {money(row.cost)};
  // A gross past 2^64-1 units is refused as a cost that large is.
  uint64_t gross = row.cost;
  AddCost(gross, 1, row.tax);
  return {money(row.cost), money(row.tax), money(gross)};
}

std::string SumText(const Report& report, const LineColumn* measure, uint64_t sum, bool grouped) {
  unsigned places = ColumnPlaces(report.settings, measure);
  if (places == 0) return grouped ? Grouped(sum) : std::to_string(sum);
  std::string text = MoneyText(sum, places);
  if (!grouped) return text;
  size_t point = text.find('.');
  return Grouped(std::stoull(text.substr(0, point))) + text.substr(point);
}

std::string ReportNotes(const Report& report, const Tallies& tallies, uint64_t unpriced) {
  std::string notes = BasisNote(report.filter);
  if (tallies.noValue != 0) {
    notes += Plural(tallies.noValue, "job has", "jobs have") +
             " no value for a computed unit (an empty or non-numeric operand, a division by zero or a value below "
             "zero): it counts as nothing for them, as SQL counts a NULL\n";
  }
  if (report.cost && unpriced != 0) {
    notes += Plural(unpriced, "job", "jobs") + " matched no price and cost nothing (add a [[price]] without printer as the default)\n";
  }
  if (tallies.unspelled != 0) {
    notes += Plural(tallies.unspelled, "job names", "jobs name") +
             " a user, printer or group with '?', a character the print server could not spell, so "
             "different names may be counted as one:";
    for (const std::string& name : tallies.unspelledNames) notes += " " + TerminalText(name);
    if (tallies.moreUnspelled) notes += " ...";
    notes += "\n";
  }
  if (tallies.unknownUsers != 0) {
    notes += Plural(tallies.unknownUsers, "job has a user", "jobs have users") +
             " the directory did not know at the job's time:";
    for (const std::string& name : tallies.unknownNames) notes += " " + TerminalText(name);
    if (tallies.moreUnknown) notes += " ...";
    notes += "\n";
  }
  return notes + LeftOutNote(tallies.left);
}

void PrintSummary(const Report& report, const Tallies& tallies, std::ostream& out) {
  const Grouping& g = tallies.groupings.at(0);
  SummaryRows s;
  s.total = Total(report, g);
  // Lists follow the key unless a rank is asked for, by --rank or --top.
  bool ranked = report.rankGiven || report.top != 0;
  if (report.by.empty()) {
    s.byUser = FoldRows(report, g, {{GroupKey::kUser, "user"}}, ranked);
    s.byPrinter = FoldRows(report, g, {{GroupKey::kPrinter, "printer"}}, ranked);
  } else {
    s.rows = FoldRows(report, g, report.by, ranked);
    for (const GroupKey& k : report.by) s.headings.push_back(k.heading);
  }
  // Where a total is shown under a list (always in text, with --total in CSV and JSON),
  // what --top leaves out is one row, so that the list adds up to it; otherwise --top N
  // lists N rows and nothing else.
  if (report.top != 0 && (report.total || report.format == ReportFormat::kText)) {
    for (std::vector<ReportRow>* list : {&s.byUser, &s.byPrinter, &s.rows}) {
      if (!list->empty()) AddOthersRow(report.settings, s.total, list->front().keys.size(), *list);
    }
  }
  if (report.format == ReportFormat::kJson) {
    SummaryJson(report, tallies, s, out);
    return;
  }
  if (report.format == ReportFormat::kCsv) {
    SummaryCsv(report, s, out);
  } else if (report.by.empty()) {
    DefaultListsText(report, s, out);
  } else {
    WriteTable(report, s.headings, s.rows, &s.total, out);
  }
  if (tallies.notNumbers != 0) {
    std::cerr << "spoolgate: warning: " << tallies.notNumbers << " values were not numbers and count as 0\n";
  }
  // A spreadsheet reads standard output: there the notes go to standard error.
  (report.format == ReportFormat::kCsv ? std::cerr : out) << ReportNotes(report, tallies, s.total.unpriced);
}

}  // namespace spoolgate
