// SPDX-License-Identifier: Apache-2.0
// The chart page: horizontal bar charts drawn as inline SVG (a label, a bar scaled to the
// largest value, the value), each above the table of the same rows. No script, no
// style sheet or font from elsewhere: the page opens the same offline.
#include "tools/reports/log_html.h"

#include "tools/reports/pricing.h"

#include "tools/common/text.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <sstream>

namespace spoolgate {
namespace {

std::string Html(const std::string& bytes) {
  std::string out;
  for (char c : ShownText(bytes)) {
    const char* entity = c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '"' ? "&quot;"
                       : c == '\'' ? "&#39;" : nullptr;
    if (entity != nullptr) out += entity;
    else out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
  }
  return out;
}

// The value a section charts, the one its rows are ranked by (--rank).
struct Metric {
  std::string name;
  uint64_t (*of)(const Report&, const ReportRow&);
};
Metric ChartMetric(const Report& report) {
  return {report.rank.heading, [](const Report&, const ReportRow& r) { return r.ranked; }};
}

// A cost with thousands separators and its currency, "1,234.50 EUR".
std::string CostText(const Report& report, uint64_t units) {
  uint64_t scale = 1;
  for (unsigned i = 0; i < report.settings.decimals; ++i) scale *= 10;
  std::string text = MoneyText(units, report.settings.decimals);
  std::string cents = report.settings.decimals == 0 ? "" : text.substr(text.size() - report.settings.decimals - 1);
  return Grouped(units / scale) + cents + (report.settings.currency.empty() ? "" : " " + report.settings.currency);
}

std::string ValueText(const Report& report, const Metric&, uint64_t v) {
  if (report.rank.kind == Rank::kMeasure) return SumText(report, report.measures[report.rank.measure], v, true);
  return report.rank.kind == Rank::kCost ? CostText(report, v) : Grouped(v);
}

// One bar: its label and its segments (one, or one per column of a nested table).
struct Bar {
  std::string label;
  std::vector<uint64_t> parts;
};

const char* const kSeries[] = {"#3b6ea8", "#e08a2c", "#5a9e4b", "#b8474a", "#7c64a8", "#8c6d52", "#c767a8", "#7a7a7a"};

// Horizontal bars in the order given, a value axis with five ticks under them and its
// title under the ticks; series: the names of the segments, in a legend (none: one series).
void BarChart(std::ostream& out, const std::string& id, const Report& report, const Metric& m,
              const std::vector<Bar>& bars, const std::vector<std::string>& series = {}) {
  const int labelWidth = 260, barWidth = 460, rowHeight = 22, top = 8;
  uint64_t max = 1;
  for (const Bar& b : bars) {
    uint64_t total = 0;
    for (uint64_t v : b.parts) total += v;
    max = std::max(max, total);
  }
  int axisY = top + rowHeight * int(std::max<size_t>(bars.size(), 1));
  int height = axisY + 44 + 18 * int((series.size() + 3) / 4);
  out << "<svg id=\"chart-" << id << "\" class=\"chart\" width=\"" << labelWidth + barWidth + 160 << "\" height=\""
      << height << "\" role=\"img\" aria-label=\"" << Html(m.name) << "\">\n";
  int y = top;
  for (const Bar& b : bars) {
    out << "<text x=\"" << labelWidth - 6 << "\" y=\"" << y + 15 << "\" text-anchor=\"end\">" << Html(b.label) << "</text>";
    uint64_t total = 0;
    int x = labelWidth;
    for (size_t i = 0; i < b.parts.size(); ++i) {
      // A bar of a non-zero value is at least a pixel wide, so that it shows.
      int w = int(double(b.parts[i]) / double(max) * barWidth);
      if (b.parts[i] != 0 && w == 0) w = 1;
      out << "<rect x=\"" << x << "\" y=\"" << y + 3 << "\" width=\"" << w << "\" height=\"" << rowHeight - 6 << "\"";
      if (!series.empty()) out << " style=\"fill:" << kSeries[i % 8] << "\"";
      out << "/>";
      x += w;
      total += b.parts[i];
    }
    out << "<text x=\"" << x + 6 << "\" y=\"" << y + 15 << "\">" << Html(ValueText(report, m, total)) << "</text>\n";
    y += rowHeight;
  }
  out << "<line x1=\"" << labelWidth << "\" y1=\"" << top << "\" x2=\"" << labelWidth << "\" y2=\"" << axisY
      << "\" class=\"axis\"/><line x1=\"" << labelWidth << "\" y1=\"" << axisY << "\" x2=\"" << labelWidth + barWidth
      << "\" y2=\"" << axisY << "\" class=\"axis\"/>\n";
  for (int t = 0; t <= 4; ++t) {
    int x = labelWidth + barWidth * t / 4;
    out << "<line x1=\"" << x << "\" y1=\"" << axisY << "\" x2=\"" << x << "\" y2=\"" << axisY + 4
        << "\" class=\"axis\"/><text x=\"" << x << "\" y=\"" << axisY + 16 << "\" text-anchor=\"middle\" class=\"tick\">"
        << Html(ValueText(report, m, max * uint64_t(t) / 4)) << "</text>\n";
  }
  out << "<text x=\"" << labelWidth + barWidth / 2 << "\" y=\"" << axisY + 34 << "\" text-anchor=\"middle\" class=\"title\">"
      << Html(m.name) << "</text>\n";
  for (size_t i = 0; i < series.size(); ++i) {
    int x = labelWidth + int(i % 4) * 120, ly = axisY + 44 + 18 * int(i / 4);
    out << "<rect x=\"" << x << "\" y=\"" << ly << "\" width=\"10\" height=\"10\" style=\"fill:" << kSeries[i % 8]
        << "\"/><text x=\"" << x + 14 << "\" y=\"" << ly + 9 << "\">" << Html(series[i].empty() ? "(none)" : series[i])
        << "</text>\n";
  }
  out << "</svg>\n";
}

std::vector<Bar> Bars(const Report& report, const Metric& m, const std::vector<ReportRow>& rows) {
  std::vector<Bar> bars;
  for (const ReportRow& r : rows) {
    std::string label;
    for (const std::string& k : r.keys) label += (label.empty() ? "" : " / ") + (k.empty() ? "(none)" : k);
    bars.push_back({label, {m.of(report, r)}});
  }
  return bars;
}

void Table(std::ostream& out, const std::string& id, const Report& report, const std::vector<std::string>& headings,
           const std::vector<ReportRow>& rows) {
  out << "<table id=\"table-" << id << "\">\n<tr>";
  for (const auto& h : headings) out << "<th>" << Html(h) << "</th>";
  out << "<th>jobs</th>";
  for (const auto& h : report.sumHeadings) out << "<th>" << Html(h) << "</th>";
  if (report.cost && !report.settings.hasVat) out << "<th>cost " << Html(report.settings.currency) << "</th>";
  if (report.cost && report.settings.hasVat) {
    for (const std::string& h : CostHeadings(report)) out << "<th>" << Html(h) << "</th>";
  }
  out << "</tr>\n";
  for (const ReportRow& r : rows) {
    out << "<tr>";
    for (const auto& k : r.keys) out << "<td>" << Html(k.empty() ? "(none)" : k) << "</td>";
    out << "<td class=\"n\">" << Grouped(r.tally.jobs) << "</td>";
    for (size_t i = 0; i < r.tally.sums.size(); ++i) {
      out << "<td class=\"n\">" << SumText(report, report.sums[i], r.tally.sums[i], true) << "</td>";
    }
    if (report.cost) out << "<td class=\"n\">" << CostText(report, r.cost) << "</td>";
    if (report.cost && report.settings.hasVat) {
      uint64_t gross = r.cost;
      AddCost(gross, 1, r.tax);
      out << "<td class=\"n\">" << CostText(report, r.tax) << "</td><td class=\"n\">" << CostText(report, gross)
          << "</td>";
    }
    out << "</tr>\n";
  }
  out << "</table>\n";
}

void Section(std::ostream& out, const std::string& id, const std::string& title, const Report& report,
             const std::vector<GroupKey>& keys, const std::vector<ReportRow>& rows) {
  out << "<section>\n<h2>" << Html(title) << "</h2>\n";
  Metric m = ChartMetric(report);
  BarChart(out, id, report, m, Bars(report, m, rows));
  std::vector<std::string> headings;
  for (const GroupKey& k : keys) headings.push_back(k.heading);
  Table(out, id, report, headings, rows);
  out << "</section>\n";
}

// The nested --by keys as one table, rows the first key and columns the others, each
// cell the charted value, with row and column totals; above it the rows' bars stacked.
void NestedSection(std::ostream& out, const Report& report, const Grouping& g) {
  Metric m = ChartMetric(report);
  std::vector<ReportRow> rows = FoldRows(report, g, report.by, false);
  std::vector<std::string> columns, rowKeys;
  std::map<std::pair<std::string, std::string>, uint64_t> cells;
  std::map<std::string, uint64_t> rowTotal, columnTotal;
  for (const ReportRow& r : rows) {
    std::string column;
    for (size_t i = 1; i < r.keys.size(); ++i) column += (i > 1 ? " / " : "") + (r.keys[i].empty() ? "(none)" : r.keys[i]);
    const std::string row = r.keys[0].empty() ? "(none)" : r.keys[0];
    if (std::find(columns.begin(), columns.end(), column) == columns.end()) columns.push_back(column);
    if (rowKeys.empty() || rowKeys.back() != row) rowKeys.push_back(row);
    cells[{row, column}] += m.of(report, r);
    rowTotal[row] += m.of(report, r);
    columnTotal[column] += m.of(report, r);
  }
  std::sort(columns.begin(), columns.end());
  // The rows follow the rank as every other chart but the months does, ties in key order.
  std::stable_sort(rowKeys.begin(), rowKeys.end(),
                   [&](const std::string& a, const std::string& b) { return rowTotal[a] > rowTotal[b]; });
  std::string title;
  for (const GroupKey& k : report.by) title += (title.empty() ? "Per " : " and ") + k.heading;
  out << "<section>\n<h2>" << Html(title) << "</h2>\n";
  std::vector<Bar> bars;
  for (const std::string& row : rowKeys) {
    bars.push_back({row, {}});
    for (const std::string& c : columns) bars.back().parts.push_back(cells[{row, c}]);
  }
  BarChart(out, "nested", report, m, bars, columns);
  out << "<table id=\"table-nested\">\n<tr><th>" << Html(report.by[0].heading) << "</th>";
  for (const std::string& c : columns) out << "<th>" << Html(c) << "</th>";
  out << "<th>total</th></tr>\n";
  uint64_t all = 0;
  for (const std::string& row : rowKeys) {
    out << "<tr><td>" << Html(row) << "</td>";
    for (const std::string& c : columns) out << "<td class=\"n\">" << Html(ValueText(report, m, cells[{row, c}])) << "</td>";
    out << "<td class=\"n\">" << Html(ValueText(report, m, rowTotal[row])) << "</td></tr>\n";
    all += rowTotal[row];
  }
  out << "<tr><th>total</th>";
  for (const std::string& c : columns) out << "<td class=\"n\">" << Html(ValueText(report, m, columnTotal[c])) << "</td>";
  out << "<td class=\"n\">" << Html(ValueText(report, m, all)) << "</td></tr>\n</table>\n</section>\n";
}

// The period the page covers: the range asked for, else the first and last month found.
std::string Period(const LogFilter& f, const std::vector<ReportRow>& months) {
  std::string first = f.from, last = f.to;
  for (const ReportRow& r : months) {
    if (r.keys[0].empty()) continue;
    if (f.from.empty() && (first.empty() || r.keys[0] < first)) first = r.keys[0];
    if (f.to.empty() && (last.empty() || r.keys[0] > last)) last = r.keys[0];
  }
  if (first.empty() && last.empty()) return "no dated jobs";
  return (first.empty() ? "the first job" : first) + " to " + (last.empty() ? "the last job" : last);
}

}  // namespace

std::string ReportPage(const Report& report, const Tallies& tallies) {
  const LogSource& source = tallies.source;
  const std::vector<Grouping>& groupings = tallies.groupings;
  // The ranked sections show ten users and five printers a computer unless --top says.
  Report ranked = report;
  std::ostringstream out;
  out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
         "<title>Accounting report</title>\n<style>\n"
         "body{font-family:sans-serif;margin:2em;color:#222;background:#fff}\n"
         "section{margin-bottom:2.5em}\n"
         "svg.chart rect{fill:#3b6ea8}\nsvg.chart text{font-size:12px;fill:#222}\n"
         "svg.chart .axis{stroke:#888;fill:#555}\nsvg.chart .tick{fill:#555;font-size:10px}\n"
         "svg.chart .title{fill:#555}\n"
         "table{border-collapse:collapse;margin-top:.5em}\n"
         "th,td{border:1px solid #ccc;padding:.2em .6em;text-align:left}\ntd.n{text-align:right;white-space:nowrap}\n"
         "@media print{body{margin:0;font-size:10pt}section{break-inside:avoid}h2{break-after:avoid}"
         "ul.note{color:#000}}\n"
         "</style>\n</head>\n<body>\n<h1>Accounting report</h1>\n<p>";
  std::string from;
  if (source.name.is_string()) from = source.name.get<std::string>();
  for (const auto& name : source.name.is_array() ? source.name : nlohmann::ordered_json::array()) {
    from += (from.empty() ? "" : ", ") + name.get<std::string>();
  }
  out << "From " << Html(source.member) << " " << Html(from);
  const LogFilter& f = report.filter;
  if (!f.from.empty()) out << ", from " << Html(f.from);
  if (!f.to.empty()) out << ", to " << Html(f.to);
  out << (f.utc ? ", times in UTC" : ", times in each server's local time");
  for (auto [name, value] : {std::pair{"user", &f.user}, {"printer", &f.printer}, {"computer", &f.computer}}) {
    if (!value->empty()) out << ", " << name << " " << Html(*value);
  }
  out << ".</p>\n";
  const GroupKey month{GroupKey::kMonth, "month"};
  std::vector<ReportRow> months = FoldRows(report, groupings[0], {month}, false);
  std::time_t now = std::time(nullptr);
  char made[32] = "";
  if (const std::tm* utc = std::gmtime(&now)) std::strftime(made, sizeof made, "%Y-%m-%d %H:%M UTC", utc);
  out << "<p id=\"period\">Period: " << Html(Period(f, months)) << ". Made " << made << ".</p>\n";
  std::vector<ReportRow> all = FoldRows(report, groupings[0], {}, false);
  ReportRow total = all.empty() ? ReportRow{} : all[0];
  out << "<p id=\"total\">Total: " << Grouped(total.tally.jobs) << " jobs";
  for (size_t i = 0; i < report.sums.size() && i < total.tally.sums.size(); ++i) {
    out << ", " << Html(report.sumHeadings[i]) << " " << SumText(report, report.sums[i], total.tally.sums[i], true);
  }
  if (report.cost) out << ", cost " << Html(CostText(report, total.cost));
  if (report.cost && report.settings.hasVat) {
    uint64_t gross = total.cost;
    AddCost(gross, 1, total.tax);
    out << ", tax " << Html(CostText(report, total.tax)) << ", gross " << Html(CostText(report, gross));
  }
  out << ".</p>\n";
  std::string note = ReportNotes(report, tallies, total.unpriced);
  if (tallies.notNumbers != 0) note += std::to_string(tallies.notNumbers) + " values were not numbers and count as 0\n";
  if (!note.empty()) {
    // One item a note, so that what was left out and what was unpriced read apart.
    out << "<ul class=\"note\">\n";
    std::istringstream lines(note);
    for (std::string line; std::getline(lines, line);) out << "<li>" << Html(line) << "</li>\n";
    out << "</ul>\n";
  }

  const GroupKey user{GroupKey::kUser, "user"}, computer{GroupKey::kComputer, "computer"},
      printer{GroupKey::kPrinter, "printer"};
  Section(out, "month", "Per month", report, {month}, months);
  ranked.top = report.top != 0 ? report.top : 10;
  Section(out, "users", "Top users", report, {user}, FoldRows(ranked, groupings[1], {user}, true));
  ranked.top = report.top != 0 ? report.top : 5;
  Section(out, "printers", "Top printers per computer", report, {computer, printer},
          FoldRows(ranked, groupings[2], {computer, printer}, true));
  size_t columns = groupings.size() - (report.by.size() >= 2 ? 1 : 0);
  for (size_t i = 3; i < columns; ++i) {
    const GroupKey& k = groupings[i].leading[0];
    Section(out, "by-" + std::to_string(i - 2), "Per " + k.heading, report, {k},
            FoldRows(report, groupings[i], {k}, true));
  }
  if (columns < groupings.size()) NestedSection(out, report, groupings.back());
  out << "</body>\n</html>\n";
  return out.str();
}

}  // namespace spoolgate
