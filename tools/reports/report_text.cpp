// SPDX-License-Identifier: Apache-2.0
// The cells of every report form, made safe for whoever reads them: terminal text, CSV
// cells and rows, characters that reorder or break a line shown escaped, and the notes.
#include "tools/reports/log_report.h"

#include "tools/common/text.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace spoolgate {
namespace {

// The length of a character at text[i] (well-formed UTF-8) that changes the direction of
// what follows or breaks a line where no line break shows: U+061C, U+200E/F, U+202A to
// U+202E, U+2066 to U+2069, U+2028, U+2029. 0 for any other. Its code point in cp.
size_t HiddenControl(const std::string& text, size_t i, unsigned* cp) {
  auto at = [&](size_t k) { return k < text.size() ? static_cast<unsigned char>(text[k]) : 0u; };
  if (at(i) == 0xD8 && at(i + 1) == 0x9C) {
    *cp = 0x061C;
    return 2;
  }
  if (at(i) != 0xE2 || (at(i + 1) != 0x80 && at(i + 1) != 0x81)) return 0;
  unsigned c = 0x2000 + ((at(i + 1) & 0x3Fu) << 6) + (at(i + 2) & 0x3Fu);
  bool hidden = c == 0x200E || c == 0x200F || (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
  if (!hidden) return 0;
  *cp = c;
  return 3;
}

std::string Escaped(unsigned cp) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\u%04X", cp);
  return buf;
}

}  // namespace

std::string Plural(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string ShownText(const std::string& bytes) {
  std::string text = ValidUtf8(bytes), out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned cp = 0;
    size_t n = HiddenControl(text, i, &cp);
    if (n == 0) {
      out += text[i];
      continue;
    }
    out += Escaped(cp);
    i += n - 1;
  }
  return out;
}

std::string TerminalText(const std::string& bytes) {
  std::string text = ShownText(bytes), out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    char buf[8];
    if (c < 0x20 || c == 0x7F) {
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      // U+0080 to U+009F: controls too (CSI among them).
      out += Escaped(static_cast<unsigned char>(text[++i]));
    } else {
      out += char(c);
    }
  }
  return out;
}

namespace {

// A plain decimal as the reports write numbers and money: digits, at most one point
// between digits. Nothing a spreadsheet could run.
bool PlainNumber(std::string_view text) {
  bool point = false, digit = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (c == '.' && !point && digit && i + 1 < text.size()) {
      point = true;
    } else {
      return false;
    }
  }
  return digit;
}

}  // namespace

std::string CsvCell(const std::string& bytes, bool number) {
  std::string out;
  AppendCsvCell(out, bytes, number);
  return out;
}

void AppendCsvCell(std::string& out, std::string_view bytes, bool number) {
  // One look at each byte: whether the cell needs quotes, and whether it is ASCII, which
  // is UTF-8 already and holds no character ShownText escapes (other text is made so,
  // in a copy, and looked at again).
  auto special = [](char c) { return c == ',' || c == '"' || c == '\r' || c == '\n'; };
  bool quote = false;
  size_t ascii = 0;
  for (; ascii < bytes.size() && static_cast<unsigned char>(bytes[ascii]) < 0x80; ++ascii) quote |= special(bytes[ascii]);
  std::string shown;
  if (ascii < bytes.size()) {
    shown = ShownText(std::string(bytes));
    bytes = shown;
    quote = std::any_of(bytes.begin(), bytes.end(), special);
  }
  // A numeric column's cell is left bare only when it is a plain number: a line with a
  // right checksum may still carry "=1+2" where the driver writes a count.
  bool formula = !bytes.empty() && IsFormulaLead(bytes[0]) &&
                 !(number && PlainNumber(bytes));
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

void CsvRow(const std::vector<std::string>& cells, size_t textCells, std::ostream& out) {
  for (size_t i = 0; i < cells.size(); ++i) out << (i ? "," : "") << CsvCell(cells[i], i >= textCells);
  out << "\r\n";
}

std::string BasisNote(const LogFilter& filter) {
  return filter.utc ? "times are UTC (written_utc), not the servers' local time_stamp\n" : "";
}

nlohmann::ordered_json LeftOutJson(const LeftOut& left) {
  nlohmann::ordered_json j = {{"damaged", left.damaged}, {"pending", left.pending}, {"untimed", left.untimed},
                              {"strayFiles", left.strayFiles}};
  if (left.timeUnknown != 0) j["timeUnknown"] = left.timeUnknown;
  if (!left.headerlessFiles.empty()) {
    j["headerless"] = {{"lines", left.headerless}, {"files", left.headerlessFiles}};
  }
  return j;
}

std::string LeftOutNote(const LeftOut& left) {
  std::ostringstream note;
  if (left.damaged != 0 && left.refused) {
    note << "left out " << Plural(left.damaged, "line", "lines")
         << " the import refused (torn, altered, foreign or clashing; log import named them)\n";
  } else if (left.damaged != 0) {
    note << "left out " << Plural(left.damaged, "line", "lines")
         << " whose checksum is wrong (torn or altered); --include-damaged counts them\n";
  }
  if (left.pending != 0) note << "left out " << Plural(left.pending, "line", "lines") << " still waiting in a pending file\n";
  if (left.untimed != 0) {
    note << "left out " << Plural(left.untimed, "job", "jobs")
         << " whose time stamp is not a time, so in no time range (without --from and --to they are counted)\n";
  }
  if (left.timeUnknown != 0) {
    note << Plural(left.timeUnknown, "of those lines has", "of those lines have")
         << " no time that can be read, so they are counted in every period\n";
  }
  if (!left.strayFiles.empty()) {
    note << "left out " << Plural(left.strayFiles.size(), "file", "files") << " of no log:";
    for (const std::string& f : left.strayFiles) note << " " << TerminalText(f);
    note << "\n";
  }
  if (!left.headerlessFiles.empty()) {
    note << "left out " << Plural(left.headerless, "line", "lines") << " of "
         << Plural(left.headerlessFiles.size(), "file", "files")
         << " without a header line, whose columns cannot be told (log verify names them):";
    for (const std::string& f : left.headerlessFiles) note << " " << TerminalText(f);
    note << "\n";
  }
  return note.str();
}

}  // namespace spoolgate
