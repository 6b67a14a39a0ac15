// SPDX-License-Identifier: Apache-2.0
// The chart page: horizontal bar charts drawn as inline SVG (a label, a bar scaled to the
// largest value, the value), each above the table of the same rows. No script, no
// style sheet or font from elsewhere: the page opens the same offline.
#include "tools/reports/log_html.h"

#include "tools/common/text.h"

#include <algorithm>
#include <sstream>

namespace spoolgate {
namespace {

std::string Html(const std::string& bytes) {
  std::string out;
  for (char c : ShownText(bytes)) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += (static_cast<unsigned char>(c) < 0x20 ? ' ' : c);
    }
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

std::string ValueText(const Report& report, const Metric&, uint64_t v) {
  return report.rank.kind == Rank::kCost ? MoneyText(v, report.settings.decimals) : Grouped(v);
}

void BarChart(std::ostream& out, const std::string& id, const Report& report, const Metric& m,
              const std::vector<ReportRow>& rows) {
  const int labelWidth = 260, barWidth = 460, rowHeight = 22;
  uint64_t max = 1;
  for (const ReportRow& r : rows) max = std::max(max, m.of(report, r));
  int height = rowHeight * int(std::max<size_t>(rows.size(), 1)) + 24;
  out << "<svg id=\"chart-" << id << "\" class=\"chart\" width=\""
      << labelWidth + barWidth + 120 << "\" height=\"" << height << "\" role=\"img\" aria-label=\"" << Html(m.name)
      << "\">\n<text x=\"" << labelWidth << "\" y=\"14\" class=\"axis\">" << Html(m.name) << "</text>\n";
  int y = 24;
  for (const ReportRow& r : rows) {
    std::string label;
    for (const std::string& k : r.keys) label += (label.empty() ? "" : " / ") + (k.empty() ? "(none)" : k);
    uint64_t v = m.of(report, r);
    // A bar of a non-zero value is at least a pixel wide, so that it shows.
    int w = int(double(v) / double(max) * barWidth);
    if (v != 0 && w == 0) w = 1;
    out << "<text x=\"" << labelWidth - 6 << "\" y=\"" << y + 15 << "\" text-anchor=\"end\">" << Html(label)
        << "</text><rect x=\"" << labelWidth << "\" y=\"" << y + 3 << "\" width=\"" << w << "\" height=\""
        << rowHeight - 6 << "\"/><text x=\"" << labelWidth + w + 6 << "\" y=\"" << y + 15 << "\">"
        << Html(ValueText(report, m, v)) << "</text>\n";
    y += rowHeight;
  }
  out << "<line x1=\"" << labelWidth << "\" y1=\"20\" x2=\"" << labelWidth << "\" y2=\"" << height
      << "\" class=\"axis\"/>\n</svg>\n";
}

void Table(std::ostream& out, const std::string& id, const Report& report, const std::vector<std::string>& headings,
           const std::vector<ReportRow>& rows) {
  out << "<table id=\"table-" << id << "\">\n<tr>";
  for (const auto& h : headings) out << "<th>" << Html(h) << "</th>";
  out << "<th>jobs</th>";
  for (const auto& h : report.sumHeadings) out << "<th>" << Html(h) << "</th>";
  if (report.cost) out << "<th>cost " << Html(report.settings.currency) << "</th>";
  out << "</tr>\n";
  for (const ReportRow& r : rows) {
    out << "<tr>";
    for (const auto& k : r.keys) out << "<td>" << Html(k.empty() ? "(none)" : k) << "</td>";
    out << "<td class=\"n\">" << Grouped(r.tally.jobs) << "</td>";
    for (uint64_t s : r.tally.sums) out << "<td class=\"n\">" << Grouped(s) << "</td>";
    if (report.cost) out << "<td class=\"n\">" << MoneyText(r.cost, report.settings.decimals) << "</td>";
    out << "</tr>\n";
  }
  out << "</table>\n";
}

void Section(std::ostream& out, const std::string& id, const std::string& title, const Report& report,
             const std::vector<GroupKey>& keys, const std::vector<ReportRow>& rows) {
  out << "<section>\n<h2>" << Html(title) << "</h2>\n";
  Metric m = ChartMetric(report);
  BarChart(out, id, report, m, rows);
  std::vector<std::string> headings;
  for (const GroupKey& k : keys) headings.push_back(k.heading);
  Table(out, id, report, headings, rows);
  out << "</section>\n";
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
         "svg.chart .axis{stroke:#888;fill:#555}\n"
         "table{border-collapse:collapse;margin-top:.5em}\n"
         "th,td{border:1px solid #ccc;padding:.2em .6em;text-align:left}\ntd.n{text-align:right}\n"
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
  std::vector<ReportRow> all = FoldRows(report, groupings[0], {}, false);
  ReportRow total = all.empty() ? ReportRow{} : all[0];
  out << "<p id=\"total\">Total: " << Grouped(total.tally.jobs) << " jobs";
  for (size_t i = 0; i < report.sums.size() && i < total.tally.sums.size(); ++i) {
    out << ", " << Html(report.sumHeadings[i]) << " " << Grouped(total.tally.sums[i]);
  }
  if (report.cost) out << ", cost " << MoneyText(total.cost, report.settings.decimals) << " " << Html(report.settings.currency);
  out << ".</p>\n";
  std::string note = ReportNotes(report, tallies, total.unpriced);
  if (tallies.notNumbers != 0) note += std::to_string(tallies.notNumbers) + " values were not numbers and count as 0\n";
  if (!note.empty()) out << "<p class=\"note\">" << Html(note) << "</p>\n";

  const GroupKey month{GroupKey::kMonth, "month"}, user{GroupKey::kUser, "user"},
      computer{GroupKey::kComputer, "computer"}, printer{GroupKey::kPrinter, "printer"};
  Section(out, "month", "Per month", report, {month}, FoldRows(report, groupings[0], {month}, false));
  ranked.top = report.top != 0 ? report.top : 10;
  Section(out, "users", "Top users", report, {user}, FoldRows(ranked, groupings[1], {user}, true));
  ranked.top = report.top != 0 ? report.top : 5;
  Section(out, "printers", "Top printers per computer", report, {computer, printer},
          FoldRows(ranked, groupings[2], {computer, printer}, true));
  for (size_t i = 3; i < groupings.size(); ++i) {
    const GroupKey& k = groupings[i].leading[0];
    Section(out, "by-" + std::to_string(i - 2), "Per " + k.heading, report, {k},
            FoldRows(report, groupings[i], {k}, true));
  }
  out << "</body>\n</html>\n";
  return out.str();
}

}  // namespace spoolgate
