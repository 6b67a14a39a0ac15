// SPDX-License-Identifier: Apache-2.0
// `log show`'s listing: each line's CSV row or JSON object appended to one buffer as
// text, byte for byte what the JSON library and CsvCell would write for it.
#include "tools/reports/log_listing.h"

#include "tools/common/numbers.h"
#include "tools/common/text.h"
#include "tools/logread/log_fields.h"

#include <algorithm>
#include <iomanip>
#include <iostream>
#include <set>

namespace spoolgate {

namespace {

constexpr size_t kSpillBytes = size_t(1) << 16;

std::string_view FieldOf(const std::vector<std::string_view>& fields, const std::vector<std::string>& header,
                         const char* name) {
  size_t i = size_t(std::find(header.begin(), header.end(), name) - header.begin());
  return i < fields.size() ? fields[i] : std::string_view();
}

bool IsAscii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

LineWriter::LineWriter(const LogSource& source, const Report& report, std::ostream& out)
    : report_(report), out_(out) {
  if (report.format == ReportFormat::kJson) {
    out_ << "{\n  " << JsonDump(source.member, -1) << ": " << JsonDump(source.name, -1) << ",\n  \"jobs\": [";
  } else if (report.format == ReportFormat::kCsv) {
    if (report.bom) buffer_ += kByteOrderMark;
    AppendCsvCell(buffer_, "log", false);
    for (const LineColumn& c : LineColumns()) {
      if (c.csv == nullptr) continue;
      columns_.push_back(&c);
      buffer_ += ',';
      AppendCsvCell(buffer_, ColumnHeading(report.settings, &c), false);
    }
    if (report.cost) {
      buffer_ += ',';
      AppendCsvCell(buffer_, CostHeading(report), false);
    }
    buffer_ += "\r\n";
  } else {
    out_ << std::left << std::setw(8) << "log" << " " << std::setw(8) << "sequence" << " " << std::setw(23)
         << "time_stamp" << " " << std::setw(15) << "computer" << " " << std::setw(12) << "user" << " "
         << std::setw(16) << "printer" << " document";
    for (const auto& s : report.sumHeadings) out_ << "  " << s;
    if (report.cost) out_ << "  cost";
    out_ << "\n";
  }
}

std::string LineWriter::Cost(const std::vector<std::string_view>& fields,
                             const std::vector<std::string>& header) const {
  auto field = [&](const char* name) { return std::string(FieldOf(fields, header, name)); };
  const Settings& s = report_.settings;
  const Price* p = FindPrice(s, field("computer"), field("printer"),
                             s.matchColumn != nullptr ? field(s.matchColumn->csv) : "");
  uint64_t units = 0;
  if (p != nullptr) {
    AddCost(units, 1, p->job);
    for (const Price::Unit& u : p->per) {
      uint64_t n = 0;
      ParseColumnNumber(ColumnValue(s, u.column, field), &n);
      AddCost(units, n, u.price);
    }
  }
  return MoneyText(units, s.decimals);
}

void LineWriter::Line(std::string_view log, const std::vector<std::string_view>& fields,
                      const std::vector<std::string>& header) {
  ++count_;
  if (report_.format == ReportFormat::kJson) JsonLine(log, fields, header);
  else if (report_.format == ReportFormat::kCsv) CsvLine(log, fields, header);
  else TextLine(log, fields, header);
  Spill(false);
}

void LineWriter::CsvLine(std::string_view log, const std::vector<std::string_view>& fields,
                         const std::vector<std::string>& header) {
  if (header_ != &header) {
    header_ = &header;
    index_.clear();
    for (const LineColumn* c : columns_) {
      index_.push_back(size_t(std::find(header.begin(), header.end(), c->csv) - header.begin()));
    }
  }
  AppendCsvCell(buffer_, log, false);
  for (size_t i = 0; i < columns_.size(); ++i) {
    buffer_ += ',';
    if (index_[i] < fields.size()) AppendCsvCell(buffer_, fields[index_[i]], columns_[i]->kind == ColumnKind::kInteger);
  }
  if (report_.cost) buffer_ += "," + Cost(fields, header);
  buffer_ += "\r\n";
}

void LineWriter::JsonLine(std::string_view log, const std::vector<std::string_view>& fields,
                          const std::vector<std::string>& header) {
  if (jsonHeader_ != &header || jsonCount_ != fields.size()) {
    // The members a line of these columns has, named as LogLineJson names them.
    jsonHeader_ = &header;
    jsonCount_ = fields.size();
    jsonKeys_.clear();
    jsonNumber_.clear();
    std::set<std::string> seen;
    for (size_t i = 0; i < fields.size(); ++i) {
      std::string name = i < header.size() ? header[i] : "column_" + std::to_string(i + 1);
      if (!IsAscii(name) || !seen.insert(name).second) {
        jsonKeys_.clear();
        break;
      }
      jsonKeys_.push_back(i == 0 ? "{" : ",");
      AppendJsonString(jsonKeys_.back(), name);
      jsonKeys_.back() += ':';
      jsonNumber_.push_back(LogFieldJson(name, "").is_null());
    }
  }
  buffer_ += count_ == 1 ? "\n    " : ",\n    ";
  buffer_ += "{\"log\":";
  AppendJsonString(buffer_, log);
  buffer_ += ",\"fields\":";
  if (fields.empty()) {
    buffer_ += "{}";
  } else if (jsonKeys_.empty()) {
    // Repeated names: the later value takes the earlier one's place, as in the object.
    buffer_ += JsonDump(LogLineJson(header, std::vector<std::string>(fields.begin(), fields.end())), -1);
  } else {
    for (size_t i = 0; i < fields.size(); ++i) {
      buffer_ += jsonKeys_[i];
      uint64_t number = 0;
      if (!jsonNumber_[i]) AppendJsonString(buffer_, fields[i]);
      else if (ParseColumnNumber(fields[i], &number)) buffer_ += std::to_string(number);
      else buffer_ += "null";
    }
    buffer_ += '}';
  }
  if (report_.cost) {
    buffer_ += ",\"cost\":";
    AppendJsonString(buffer_, Cost(fields, header));
  }
  buffer_ += '}';
}

void LineWriter::TextLine(std::string_view log, const std::vector<std::string_view>& fields,
                          const std::vector<std::string>& header) {
  auto raw = [&](const char* name) { return std::string(FieldOf(fields, header, name)); };
  auto field = [&](const char* name) { return TerminalText(raw(name)); };
  out_ << std::left << std::setw(8) << TerminalText(std::string(log)) << " " << std::setw(8) << field("sequence")
       << " " << std::setw(23) << field("time_stamp") << " " << std::setw(15) << field("computer") << " "
       << std::setw(12) << field("user") << " " << std::setw(16) << field("printer") << " " << field("document");
  for (const LineColumn* s : report_.sums) out_ << "  " << TerminalText(ColumnValue(report_.settings, s, raw));
  if (report_.cost) out_ << "  " << Cost(fields, header);
  out_ << "\n";
}

void LineWriter::Spill(bool all) {
  if (buffer_.size() < kSpillBytes && !all) return;
  out_.write(buffer_.data(), std::streamsize(buffer_.size()));
  buffer_.clear();
}

void LineWriter::End(const LeftOut& left) {
  Spill(true);
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
