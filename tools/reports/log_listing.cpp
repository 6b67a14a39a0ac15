// SPDX-License-Identifier: Apache-2.0
// The listing of `spoolgate log show`: one line after another as they arrive, in text,
// CSV or JSON, with each job's cost, so that memory stays flat whatever the log's size.
#include "tools/reports/log_report.h"

#include "tools/common/numbers.h"
#include "tools/common/text.h"

#include <algorithm>
#include <iomanip>
#include <iostream>

namespace spoolgate {

LineWriter::LineWriter(const LogSource& source, const Report& report, std::ostream& out)
    : report_(report), out_(out) {
  if (report.format == ReportFormat::kJson) {
    out_ << "{\n  " << JsonDump(source.member, -1) << ": " << JsonDump(source.name, -1) << ",\n  \"jobs\": [";
  } else if (report.format == ReportFormat::kCsv) {
    if (report.bom) out_ << kByteOrderMark;
    std::vector<std::string> head = {"log"};
    for (const LineColumn& c : LineColumns()) {
      if (c.csv == nullptr) continue;
      columns_.push_back(&c);
      head.push_back(ColumnHeading(report.settings, &c));
    }
    if (report.cost) head.push_back(CostHeading(report));
    CsvRow(head, head.size(), out_);
  } else {
    out_ << std::left << std::setw(8) << "log" << " " << std::setw(8) << "sequence" << " " << std::setw(23)
         << "time_stamp" << " " << std::setw(15) << "computer" << " " << std::setw(12) << "user" << " "
         << std::setw(16) << "printer" << " document";
    for (const auto& s : report.sumHeadings) out_ << "  " << s;
    if (report.cost) out_ << "  cost";
    out_ << "\n";
  }
}

void LineWriter::Line(const std::string& log, const std::vector<std::string>& fields,
                      const std::vector<std::string>& header) {
  ++count_;
  auto field = [&](const char* name) {
    auto it = std::find(header.begin(), header.end(), name);
    size_t i = size_t(it - header.begin());
    return i < fields.size() ? fields[i] : std::string();
  };
  std::string cost;
  if (report_.cost) {
    const Price* p = FindPrice(report_.settings, field("computer"), field("printer"),
                               report_.settings.matchColumn != nullptr ? field(report_.settings.matchColumn->csv) : "");
    uint64_t units = 0;
    if (p != nullptr) {
      AddCost(units, 1, p->job);
      for (const Price::Unit& u : p->per) {
        uint64_t n = 0;
        ParseColumnNumber(ColumnValue(report_.settings, u.column, field), &n);
        AddCost(units, n, u.price);
      }
    }
    cost = MoneyText(units, report_.settings.decimals);
  }
  if (report_.format == ReportFormat::kJson) {
    // The object of the previous line of the same columns takes this line's values in
    // place: no member is looked up or inserted again.
    if (jsonHeader_ != &header || jsonLine_.size() != fields.size()) {
      jsonLine_ = LogLineJson(header, fields);
      jsonHeader_ = &header;
    } else {
      size_t i = 0;
      for (auto& item : jsonLine_.items()) item.value() = LogFieldJson(item.key(), fields[i++]);
    }
    out_ << (count_ == 1 ? "\n    " : ",\n    ") << "{\"log\":" << JsonDump(log, -1)
         << ",\"fields\":" << JsonDump(jsonLine_, -1);
    if (report_.cost) out_ << ",\"cost\":" << JsonDump(cost, -1);
    out_ << "}";
    return;
  }
  if (report_.format == ReportFormat::kCsv) {
    if (header_ != &header) {
      header_ = &header;
      index_.clear();
      for (const LineColumn* c : columns_) {
        index_.push_back(size_t(std::find(header.begin(), header.end(), c->csv) - header.begin()));
      }
    }
    std::string line = CsvCell(log);
    for (size_t i = 0; i < columns_.size(); ++i) {
      line += ',';
      if (index_[i] < fields.size()) line += CsvCell(fields[index_[i]], columns_[i]->kind == ColumnKind::kInteger);
    }
    if (report_.cost) line += "," + cost;
    out_ << line << "\r\n";
    return;
  }
  out_ << std::left << std::setw(8) << TerminalText(log) << " " << std::setw(8) << TerminalText(field("sequence"))
       << " " << std::setw(23) << TerminalText(field("time_stamp")) << " " << std::setw(15)
       << TerminalText(field("computer")) << " " << std::setw(12) << TerminalText(field("user")) << " "
       << std::setw(16) << TerminalText(field("printer")) << " " << TerminalText(field("document"));
  for (const LineColumn* s : report_.sums) out_ << "  " << TerminalText(ColumnValue(report_.settings, s, field));
  if (report_.cost) out_ << "  " << cost;
  out_ << "\n";
}

void LineWriter::End(const LeftOut& left) {
  if (report_.format == ReportFormat::kJson) {
    out_ << (count_ == 0 ? "],\n" : "\n  ],\n") << "  \"count\": " << count_ << ",\n  \"leftOut\": "
         << JsonDump(LeftOutJson(left), -1) << "\n}\n";
  } else if (report_.format == ReportFormat::kText) {
    out_ << Plural(count_, "job", "jobs") << "\n" << BasisNote(report_.filter) << LeftOutNote(left);
  } else {
    std::cerr << BasisNote(report_.filter) << LeftOutNote(left);
  }
  out_.flush();
}

}  // namespace spoolgate
