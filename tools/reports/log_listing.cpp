// SPDX-License-Identifier: Apache-2.0
// `log show`'s listing: each line's CSV row or JSON object appended to one buffer as
// text, byte for byte what the JSON library and CsvCell would write for it.
#include "tools/reports/log_listing.h"

#include "tools/common/numbers.h"
#include "tools/common/text.h"
#include "tools/logread/csv_lines.h"
#include "tools/logread/log_fields.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iostream>
#include <set>

namespace spoolgate {

namespace {

constexpr size_t kSpillBytes = size_t(1) << 16;

bool IsAscii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Whether a field of a record that is not plain as a whole may be written as it stands:
// it lies in the record (it was not unquoted) and holds only printable ASCII.
bool PlainField(std::string_view raw, std::string_view field) {
  auto at = reinterpret_cast<uintptr_t>(field.data()), from = reinterpret_cast<uintptr_t>(raw.data());
  if (at < from || at + field.size() > from + raw.size()) return false;
  return std::all_of(field.begin(), field.end(), [](char c) { return c >= 0x20 && c <= 0x7E && c != '"'; });
}

// Whether a number column's field is written as it stands: a number as JSON writes it,
// without leading zeros.
bool BareNumber(std::string_view field) {
  uint64_t n = 0;
  return ParseColumnNumber(field, &n) && (field[0] != '0' || field.size() == 1);
}

// memcpy for the short pieces a JSON line is made of, without a call for each: two
// copies of a fixed size that overlap in the middle cover any size between it and twice it.
inline void CopyShort(char* to, const char* from, size_t size) {
  auto twice = [&](auto word) {
    decltype(word) head, tail;
    std::memcpy(&head, from, sizeof head);
    std::memcpy(&tail, from + size - sizeof tail, sizeof tail);
    std::memcpy(to, &head, sizeof head);
    std::memcpy(to + size - sizeof tail, &tail, sizeof tail);
  };
  struct Sixteen {
    uint64_t a, b;
  };
  if (size > 32) std::memcpy(to, from, size);
  else if (size >= 16) twice(Sixteen{});
  else if (size >= 8) twice(uint64_t{});
  else if (size >= 4) twice(uint32_t{});
  else if (size >= 2) twice(uint16_t{});
  else if (size == 1) *to = *from;
}

// Whether a text needs no escape in a JSON string: printable ASCII, no quote, no backslash.
bool PlainJsonText(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E && c != '"' && c != '\\'; });
}

// The columns of the text listing after the log's name, each padded to its width, and the
// width of the log's name; the document follows unpadded.
struct TextColumn {
  const char* name;
  size_t width;
};
constexpr size_t kLogNameWidth = 8;
constexpr TextColumn kTextColumns[] = {
    {"sequence", 8}, {"time_stamp", 23}, {"computer", 15}, {"user", 12}, {"printer", 16}};

// Text padded with spaces to width bytes, as std::setw pads it.
void AppendPadded(std::string& out, const std::string& text, size_t width) {
  out += text;
  if (text.size() < width) out.append(width - text.size(), ' ');
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
    std::string head;
    AppendPadded(head, "log", kLogNameWidth);
    for (const TextColumn& c : kTextColumns) {
      head += ' ';
      AppendPadded(head, c.name, c.width);
    }
    out_ << head << " document";
    for (const auto& s : report.sumHeadings) out_ << "  " << s;
    if (report.cost) out_ << "  cost";
    out_ << "\n";
  }
}

std::string LineWriter::Cost(const std::vector<std::string_view>& fields,
                             const std::vector<std::string>& header) const {
  auto field = [&](const char* name) { return std::string(HeaderField(fields, header, name)); };
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
  Next();
  if (report_.format == ReportFormat::kJson) JsonLine(log, fields, header, {});
  else if (report_.format == ReportFormat::kCsv) CsvLine(log, fields, header, {}, {});
  else TextLine(log, fields, header);
  Spill(false);
}

void LineWriter::Next() {
  ++count_;
  if (report_.format == ReportFormat::kJson) buffer_ += count_ == 1 ? "\n    " : ",\n    ";
}

void LineWriter::Line(std::string_view log, std::string_view record, const std::vector<std::string>& header) {
  Next();
  RecordLook look = SplitAndLook(record, fields_, scratch_);
  if (report_.format == ReportFormat::kCsv) {
    MapCsvColumns(header);
    // As most lines are: every cell is the field as it stands, so the row is the record's
    // own bytes, a few pieces of it in the order of the listing's columns.
    if (look.printable && !look.formulaStart && fields_.size() == header.size() && !report_.cost) {
      CsvRecord(log);
    } else {
      CsvLine(log, fields_, header, record, look);
    }
  } else if (report_.format == ReportFormat::kJson) {
    JsonLine(log, fields_, header, look);
  } else {
    TextLine(log, fields_, header);
  }
  Spill(false);
}

void LineWriter::MapCsvColumns(const std::vector<std::string>& header) {
  if (header_ == &header) return;
  header_ = &header;
  index_.clear();
  csvRuns_.clear();
  for (const LineColumn* c : columns_) {
    size_t at = HeaderIndex(header, c->csv).value_or(kNoColumn);
    index_.push_back(at);
    if (at != kNoColumn && !csvRuns_.empty() && csvRuns_.back().first != kNoColumn && csvRuns_.back().last + 1 == at) {
      csvRuns_.back().last = at;
    } else {
      csvRuns_.push_back({at, at});
    }
  }
}

void LineWriter::CsvRecord(std::string_view log) {
  std::string& out = buffer_;
  AppendCsvCell(out, log, false);
  for (const CsvRun& r : csvRuns_) {
    out += ',';
    if (r.first >= fields_.size()) continue;
    const char* from = fields_[r.first].data();
    out.append(from, size_t(fields_[r.last].data() + fields_[r.last].size() - from));
  }
  out += "\r\n";
}

void LineWriter::CsvLine(std::string_view log, const std::vector<std::string_view>& fields,
                         const std::vector<std::string>& header, std::string_view raw, const RecordLook& look) {
  std::string& out = buffer_;
  MapCsvColumns(header);
  AppendCsvCell(out, log, false);
  // Plain fields are written as they stand, fields next to each other in the record
  // with the comma between them in one piece; a field that needs quotes or escapes, or
  // that a formula guard may concern, goes through AppendCsvCell.
  bool plain = look.printable;
  bool some = !plain && !raw.empty();
  const char* run = nullptr;
  const char* runEnd = nullptr;
  for (size_t i = 0; i < columns_.size(); ++i) {
    size_t at = index_[i];
    std::string_view f = at < fields.size() ? fields[at] : std::string_view();
    bool asIs = at < fields.size() && (plain || (some && PlainField(raw, f))) &&
                (f.empty() || !IsFormulaLead(f[0]));
    if (asIs && run != nullptr && f.data() == runEnd + 1) {
      runEnd = f.data() + f.size();
      continue;
    }
    if (run != nullptr) out.append(run, size_t(runEnd - run));
    run = nullptr;
    out += ',';
    if (asIs) {
      run = f.data();
      runEnd = f.data() + f.size();
    } else if (at < fields.size()) {
      AppendCsvCell(out, f, columns_[i]->kind == ColumnKind::kInteger);
    }
  }
  if (run != nullptr) out.append(run, size_t(runEnd - run));
  if (report_.cost) out += "," + Cost(fields, header);
  out += "\r\n";
}

void LineWriter::JsonLine(std::string_view log, const std::vector<std::string_view>& fields,
                          const std::vector<std::string>& header, const RecordLook& look) {
  std::string& out = buffer_;
  if (jsonHeader_ != &header || jsonCount_ != fields.size()) {
    // The members a line of these columns has, named as LogLineJson names them: the
    // text between one value and the next, the closing quote of a string, the next
    // member's name and its opening quote, in one piece (none when a name repeats or is
    // not ASCII, which the general JSON form then writes).
    jsonHeader_ = &header;
    jsonCount_ = fields.size();
    jsonNumber_.clear();
    jsonBetween_.assign(1, "{");
    std::set<std::string> seen;
    for (size_t i = 0; i < fields.size(); ++i) {
      std::string name = i < header.size() ? header[i] : "column_" + std::to_string(i + 1);
      if (!IsAscii(name) || !seen.insert(name).second) {
        jsonBetween_.clear();
        break;
      }
      jsonNumber_.push_back(LogFieldJson(name, "").is_null() ? 1 : 0);
      AppendJsonString(jsonBetween_.back(), name);
      jsonBetween_.back() += jsonNumber_.back() ? ":" : ":\"";
      jsonBetween_.push_back(jsonNumber_.back() ? "," : "\",");
    }
    if (!jsonBetween_.empty()) jsonBetween_.back().back() = '}';
    jsonBetweenBytes_ = 0;
    for (const std::string& piece : jsonBetween_) jsonBetweenBytes_ += piece.size();
  }
  out += "{\"log\":";
  AppendJsonString(out, log);
  out += ",\"fields\":";
  if (fields.empty()) {
    out += "{}";
  } else if (jsonBetween_.empty()) {
    // Repeated names: the later value takes the earlier one's place, as in the object.
    out += JsonDump(LogLineJson(header, std::vector<std::string>(fields.begin(), fields.end())), -1);
  } else {
    // Written through a pointer into room made for the line: a line has dozens of short
    // pieces. The room holds every piece, each value as long as its field or "null",
    // but for escapes, which make more.
    size_t at = out.size(), room = jsonBetweenBytes_ + 4 * fields.size();
    for (std::string_view f : fields) room += f.size();
    out.resize(at + room);
    char* line = &out[0];  // again after each resize
    auto put = [&](const char* bytes, size_t size) {
      CopyShort(line + at, bytes, size);
      at += size;
    };
    bool plain = look.printable && !look.backslash;
    for (size_t i = 0; i < fields.size(); ++i) {
      std::string_view f = fields[i];
      put(jsonBetween_[i].data(), jsonBetween_[i].size());
      uint64_t number = 0;
      if (jsonNumber_[i] ? BareNumber(f) : plain || PlainJsonText(f)) {
        put(f.data(), f.size());
      } else if (!jsonNumber_[i]) {
        // Escapes: the string as the JSON writer has it, without its quotes.
        quoted_.clear();
        AppendJsonString(quoted_, f);
        out.resize(out.size() + quoted_.size());
        line = &out[0];
        put(quoted_.data() + 1, quoted_.size() - 2);
      } else if (ParseColumnNumber(f, &number)) {
        char digits[24];
        put(digits, size_t(std::to_chars(digits, digits + sizeof digits, number).ptr - digits));
      } else {
        put("null", 4);
      }
    }
    put(jsonBetween_.back().data(), jsonBetween_.back().size());
    out.resize(at);
  }
  if (report_.cost) {
    out += ",\"cost\":";
    AppendJsonString(out, Cost(fields, header));
  }
  out += '}';
}

void LineWriter::TextLine(std::string_view log, const std::vector<std::string_view>& fields,
                          const std::vector<std::string>& header) {
  std::string& out = buffer_;
  auto raw = [&](const char* name) { return std::string(HeaderField(fields, header, name)); };
  auto field = [&](const char* name) { return TerminalText(raw(name)); };
  AppendPadded(out, TerminalText(std::string(log)), kLogNameWidth);
  for (const TextColumn& c : kTextColumns) {
    out += ' ';
    AppendPadded(out, field(c.name), c.width);
  }
  out += ' ';
  out += field("document");
  for (const LineColumn* s : report_.sums) out += "  " + TerminalText(ColumnValue(report_.settings, s, raw));
  if (report_.cost) out += "  " + Cost(fields, header);
  out += '\n';
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
