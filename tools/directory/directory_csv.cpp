// SPDX-License-Identifier: Apache-2.0
// Reading a directory export in CSV: the PowerShell export's type line and quoting, its
// encodings, and the columns a snapshot keeps.
#include "tools/directory/directory_csv.h"

#include "tools/common/case_fold.h"
#include "tools/common/errors.h"

#include <fstream>
#include <iterator>

namespace spoolgate {
namespace {

// UTF-16 (little- or big-endian, after its byte order mark) as UTF-8; an unpaired
// surrogate becomes U+FFFD.
std::string Utf16ToUtf8(const std::string& bytes, bool little) {
  std::string out;
  auto unit = [&](size_t i) {
    unsigned a = static_cast<unsigned char>(bytes[i]), b = static_cast<unsigned char>(bytes[i + 1]);
    return little ? a | b << 8 : a << 8 | b;
  };
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
    unsigned c = unit(i);
    if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 && unit(i + 2) < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
      i += 2;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | c >> 6), out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | c >> 12), out += char(0x80 | (c >> 6 & 0x3F)), out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | c >> 18), out += char(0x80 | (c >> 12 & 0x3F)), out += char(0x80 | (c >> 6 & 0x3F)),
          out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// The records of an RFC 4180 text from `at` on, each with the line it starts on.
struct Record {
  unsigned line;
  std::vector<std::string> fields;
};
std::vector<Record> Records(const std::string& path, const std::string& text, size_t at, unsigned line) {
  std::vector<Record> records;
  Record r{line, {std::string()}};
  bool quoted = false, any = false;
  for (size_t i = at; i < text.size(); ++i) {
    char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        r.fields.back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        if (c == '\n') ++line;
        r.fields.back() += c;
      }
      continue;
    }
    if (c == '"') {
      quoted = any = true;
    } else if (c == ',') {
      r.fields.emplace_back();
      any = true;
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      continue;
    } else if (c == '\n') {
      if (any || r.fields.size() > 1 || !r.fields[0].empty()) records.push_back(std::move(r));
      r = Record{++line, {std::string()}};
      any = false;
    } else {
      r.fields.back() += c;
      any = true;
    }
  }
  if (quoted) throw LineError(path, r.line, "a quoted value that never ends");
  if (any || r.fields.size() > 1 || !r.fields[0].empty()) records.push_back(std::move(r));
  return records;
}

}  // namespace

DirectorySnapshot ReadDirectoryCsv(const std::string& path, const DirectoryFields& fields,
                                   std::vector<std::string>& conflicts) {
  std::string text = ReadLimitedFile(path, "directory export");
  if (text.compare(0, 2, "\xFF\xFE") == 0) text = Utf16ToUtf8(text, true);
  else if (text.compare(0, 2, "\xFE\xFF") == 0) text = Utf16ToUtf8(text, false);
  else if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  size_t at = 0;
  unsigned line = 1;
  // Export-Csv's first line names the object type: "#TYPE Microsoft...ADUser".
  if (text.compare(0, 1, "#") == 0) {
    at = text.find('\n');
    at = at == std::string::npos ? text.size() : at + 1;
    line = 2;
  }
  std::vector<Record> records = Records(path, text, at, line);
  if (records.empty()) throw InputError(path + ": no header line");
  const Record& header = records[0];
  auto column = [&](const std::string& name) {
    for (size_t i = 0; i < header.fields.size(); ++i) {
      if (FoldCase(header.fields[i]) == FoldCase(name)) return i;
    }
    std::string names;
    for (const auto& h : header.fields) names += (names.empty() ? "" : ", ") + h;
    throw LineError(path, header.line, "no column " + name + " (the columns are: " + names + ")");
  };
  size_t user = column(fields.userAttribute);
  std::vector<size_t> kept;
  DirectorySnapshot snapshot;
  for (const KeptAttribute& k : fields.keep) {
    kept.push_back(column(k.source));
    snapshot.attributes.push_back(k.name);
  }
  snapshot.source = path;
  for (size_t r = 1; r < records.size(); ++r) {
    const Record& rec = records[r];
    if (rec.fields.size() != header.fields.size()) {
      throw LineError(path, rec.line, std::to_string(rec.fields.size()) + " values for " +
                                          std::to_string(header.fields.size()) + " columns");
    }
    std::map<std::string, std::string> values;
    for (size_t i = 0; i < kept.size(); ++i) values[fields.keep[i].name] = rec.fields[kept[i]];
    AddDirectoryEntry(snapshot, rec.fields[user], values, conflicts);
  }
  return snapshot;
}

}  // namespace spoolgate
