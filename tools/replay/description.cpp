// SPDX-License-Identifier: Apache-2.0
// Turning a job description (text) into a capture: statements, record fields by the
// names of core/records.h, values checked against each field's type and size.
#include "tools/replay/description.h"

#include "core/records.h"
#include "tools/replay/capture.h"
#include "tools/replay/record_layouts.h"
#include "tools/common/errors.h"
#include "tools/common/text.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <vector>

namespace spoolgate {
namespace {

enum class ValueKind { Bare, Quoted, Hex };

struct Token {
  std::string key;  // empty for a positional value
  ValueKind kind = ValueKind::Bare;
  std::string value;  // the bare text, or the bytes of a quoted or hex value
};

struct Statement {
  unsigned line = 0;
  std::string name;
  std::vector<Token> tokens;
};

class Parser {
 public:
  Parser(const std::string& path) : path_(path) {}

  [[noreturn]] void Fail(unsigned line, const std::string& what) const {
    throw LineError(path_, line, what);
  }

  // Drops a comment and reports whether the line ends inside a quoted value.
  std::string StripComment(const std::string& line, unsigned lineNo) const {
    char quote = 0;
    for (size_t i = 0; i < line.size(); ++i) {
      char c = line[i];
      if (quote != 0) {
        if (quote == '"' && c == '\\') {
          ++i;
        } else if (c == quote) {
          quote = 0;
        }
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '#') {
        return line.substr(0, i);
      }
    }
    if (quote != 0) Fail(lineNo, "quoted value is not closed on its line");
    return line;
  }

  static bool IsSpace(char c) { return c == ' ' || c == '\t'; }
  static bool IsWordChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
  }

  std::string ReadQuoted(const std::string& s, size_t& i, unsigned line) const {
    char quote = s[i++];
    std::string out;
    while (i < s.size() && s[i] != quote) {
      char c = s[i++];
      if (quote == '\'' || c != '\\') {
        out.push_back(c);
        continue;
      }
      if (i >= s.size()) Fail(line, "escape at the end of a quoted value");
      char e = s[i++];
      switch (e) {
        case '\\': out.push_back('\\'); break;
        case '"': out.push_back('"'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case '0': out.push_back('\0'); break;
        case 'e': out.push_back('\x1b'); break;
        case 'x': {
          if (i + 2 > s.size() || !std::isxdigit(static_cast<unsigned char>(s[i])) ||
              !std::isxdigit(static_cast<unsigned char>(s[i + 1]))) {
            Fail(line, "\\x needs two hex digits");
          }
          out.push_back(char(std::stoi(s.substr(i, 2), nullptr, 16)));
          i += 2;
          break;
        }
        case 'u': {
          for (size_t k = 0; k < 4; ++k) {
            if (i + k >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[i + k]))) {
              Fail(line, "\\u needs four hex digits");
            }
          }
          char16_t unit = char16_t(std::stoi(s.substr(i, 4), nullptr, 16));
          out += Utf16ToUtf8(std::u16string(1, unit));
          i += 4;
          break;
        }
        default:
          Fail(line, std::string("unknown escape \\") + e +
                         " (write Windows paths in single quotes: 'C:\\Jobs')");
      }
    }
    if (i >= s.size()) Fail(line, "quoted value is not closed");
    ++i;
    return out;
  }

  std::string ReadHex(const std::string& s, size_t& i, unsigned line) const {
    i += 4;  // hex"
    std::string out;
    int pending = -1;
    while (i < s.size() && s[i] != '"') {
      char c = s[i++];
      if (IsSpace(c) || c == ':' || c == ',') {
        if (pending >= 0) Fail(line, "hex bytes need two digits each");
        continue;
      }
      if (!std::isxdigit(static_cast<unsigned char>(c))) {
        Fail(line, std::string("'") + c + "' is not a hex digit");
      }
      int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10);
      if (pending < 0) {
        pending = v;
      } else {
        out.push_back(char(pending << 4 | v));
        pending = -1;
      }
    }
    if (i >= s.size()) Fail(line, "hex value is not closed");
    if (pending >= 0) Fail(line, "odd number of hex digits");
    ++i;
    return out;
  }

  Token ReadValue(const std::string& s, size_t& i, unsigned line) const {
    Token t;
    if (s[i] == '"' || s[i] == '\'') {
      t.kind = ValueKind::Quoted;
      t.value = ReadQuoted(s, i, line);
    } else if (s.compare(i, 4, "hex\"") == 0) {
      t.kind = ValueKind::Hex;
      t.value = ReadHex(s, i, line);
    } else {
      size_t start = i;
      while (i < s.size() && !IsSpace(s[i])) ++i;
      t.value = s.substr(start, i - start);
    }
    if (i < s.size() && !IsSpace(s[i])) Fail(line, "missing space after a value");
    return t;
  }

  Statement Tokenize(const std::string& s, unsigned line) const {
    Statement st;
    st.line = line;
    size_t i = 0;
    while (i < s.size() && IsSpace(s[i])) ++i;
    size_t start = i;
    while (i < s.size() && IsWordChar(s[i])) ++i;
    st.name = s.substr(start, i - start);
    if (st.name.empty()) Fail(line, "a statement starts with its name");
    while (true) {
      while (i < s.size() && IsSpace(s[i])) ++i;
      if (i >= s.size()) break;
      size_t k = i;
      while (k < s.size() && IsWordChar(s[k])) ++k;
      if (k > i && k < s.size() && s[k] == '=') {
        std::string key = s.substr(i, k - i);
        i = k + 1;
        if (i >= s.size() || IsSpace(s[i])) Fail(line, "no value after " + key + "=");
        Token t = ReadValue(s, i, line);
        t.key = key;
        st.tokens.push_back(t);
      } else {
        st.tokens.push_back(ReadValue(s, i, line));
      }
    }
    return st;
  }

  std::string path_;
};

// A number, a constant of core/records.h, or several of them joined by '|'.
uint64_t ParseNumber(const Parser& p, unsigned line, const std::string& field,
                     const std::string& text) {
  uint64_t result = 0;
  size_t start = 0;
  while (true) {
    size_t bar = text.find('|', start);
    std::string part = text.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
    if (part.empty()) p.Fail(line, "empty value for " + field);
    auto c = Constants().find(part);
    if (c != Constants().end()) {
      result |= c->second;
    } else {
      if (!std::isdigit(static_cast<unsigned char>(part[0]))) {
        p.Fail(line, "'" + part + "' is neither a number nor a known constant (field " + field + ")");
      }
      errno = 0;
      char* end = nullptr;
      unsigned long long v = std::strtoull(part.c_str(), &end, 0);
      if (*end != '\0') p.Fail(line, "'" + part + "' is not a number (field " + field + ")");
      if (errno == ERANGE) p.Fail(line, "value " + part + " out of range for " + field);
      result |= v;
    }
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  return result;
}

uint64_t CheckedNumber(const Parser& p, unsigned line, const Token& t, uint64_t max,
                       const std::string& what) {
  if (t.kind != ValueKind::Bare) p.Fail(line, t.key + " takes a number");
  uint64_t v = ParseNumber(p, line, t.key, t.value);
  if (v > max) {
    p.Fail(line, "value " + t.value + " out of range for " + t.key + " (" + what + ", 0.." +
                     std::to_string(max) + ")");
  }
  return v;
}

void StoreLE(uint8_t* at, uint64_t value, size_t size) {
  for (size_t i = 0; i < size; ++i) at[i] = uint8_t(value >> (8 * i));
}

void SetField(const Parser& p, unsigned line, const FieldLayout& f, const Token& t,
              uint8_t* record) {
  uint8_t* at = record + f.offset;
  switch (f.kind) {
    case FieldKind::U8: StoreLE(at, CheckedNumber(p, line, t, 0xFF, "u8"), 1); return;
    case FieldKind::U16: StoreLE(at, CheckedNumber(p, line, t, 0xFFFF, "u16"), 2); return;
    case FieldKind::U32: StoreLE(at, CheckedNumber(p, line, t, 0xFFFFFFFFu, "u32"), 4); return;
    case FieldKind::U32List: {
      if (t.kind != ValueKind::Bare) p.Fail(line, t.key + " takes numbers separated by commas");
      size_t count = f.size / 4, n = 0, start = 0;
      std::memset(at, 0, f.size);
      while (true) {
        size_t comma = t.value.find(',', start);
        if (n == count) {
          p.Fail(line, t.key + " holds " + std::to_string(count) + " values, more were given");
        }
        Token one = t;
        one.value = t.value.substr(start, comma == std::string::npos ? comma : comma - start);
        StoreLE(at + 4 * n++, CheckedNumber(p, line, one, 0xFFFFFFFFu, "u32"), 4);
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
      return;
    }
    case FieldKind::Utf16:
    case FieldKind::Ansi:
    case FieldKind::Bytes: {
      if (t.kind == ValueKind::Bare) p.Fail(line, t.key + " takes a quoted text or hex\"...\"");
      std::memset(at, 0, f.size);
      if (f.kind == FieldKind::Utf16 && t.kind == ValueKind::Quoted) {
        std::u16string text = Utf8ToUtf16(t.value);
        size_t chars = f.size / 2;
        if (text.size() > chars) {
          p.Fail(line, "text of " + std::to_string(text.size()) + " characters out of range for " +
                           t.key + " (" + std::to_string(chars) + " UTF-16 characters)");
        }
        for (size_t i = 0; i < text.size(); ++i) StoreLE(at + 2 * i, text[i], 2);
        return;
      }
      if (t.value.size() > f.size) {
        p.Fail(line, std::to_string(t.value.size()) + " bytes out of range for " + t.key + " (" +
                         std::to_string(f.size) + " bytes)");
      }
      std::memcpy(at, t.value.data(), t.value.size());
      return;
    }
  }
}

// The bytes of one record statement: fill, magic, the named fields, then the block size.
std::vector<uint8_t> BuildRecord(const Parser& p, const Statement& st, const RecordLayout& layout) {
  std::vector<uint8_t> record(layout.size, 0);
  std::set<std::string> seen;
  const Token* fill = nullptr;
  const Token* size = nullptr;
  for (const Token& t : st.tokens) {
    if (t.key.empty()) p.Fail(st.line, layout.name + std::string(" takes field=value pairs"));
    if (!seen.insert(t.key).second) p.Fail(st.line, t.key + " is given twice");
    if (t.key == "fill") fill = &t;
    if (t.key == "size") size = &t;
  }
  if (fill != nullptr) std::memset(record.data(), int(CheckedNumber(p, st.line, *fill, 0xFF, "byte")), record.size());
  if (layout.hasMagic) StoreLE(record.data(), layout.magic, 4);
  for (const Token& t : st.tokens) {
    if (&t == fill || &t == size) continue;
    const FieldLayout* field = nullptr;
    for (const FieldLayout& f : layout.fields) {
      if (t.key == f.name) field = &f;
    }
    if (field == nullptr) {
      p.Fail(st.line, "unknown field '" + t.key + "' of " + layout.name);
    }
    SetField(p, st.line, *field, t, record.data());
  }
  if (size != nullptr) {
    record.resize(CheckedNumber(p, st.line, *size, kMaxCaptureBlock, "block size"), 0);
  }
  return record;
}

// The generator of `data pattern`: the same bytes for the same seed on every machine.
struct PatternState {
  uint32_t x;
  explicit PatternState(uint8_t seed) : x(0x9E3779B9u ^ seed) {}
  uint8_t Next() {
    x = x * 1664525u + 1013904223u;
    return uint8_t(x >> 24);
  }
};

class Composer {
 public:
  Composer(const Parser& p, const std::string& descriptionPath, CaptureWriter& out,
           ComposeSummary& summary)
      : p_(p), dir_(std::filesystem::path(descriptionPath).parent_path()), out_(out),
        summary_(summary) {}

  void Block(const std::vector<uint8_t>& block) {
    out_.Block(block);
    summary_.blocks++;
    summary_.events++;
    summary_.blockBytes += block.size();
  }

  void Run(const Statement& st) {
    if (out_.Ended()) p_.Fail(st.line, st.name + " after the end of the job");
    for (const RecordLayout& layout : Records()) {
      if (st.name == layout.name) {
        Block(BuildRecord(p_, st, layout));
        return;
      }
    }
    static const std::map<std::string, EventKind> calls = {{"StartPage", EventKind::StartPage},
                                                           {"EndPage", EventKind::EndPage},
                                                           {"EndDoc", EventKind::EndDoc},
                                                           {"Abort", EventKind::Abort}};
    auto call = calls.find(st.name);
    if (call != calls.end()) {
      if (!st.tokens.empty()) p_.Fail(st.line, st.name + " takes no values");
      out_.Event(call->second);
      summary_.events++;
      return;
    }
    if (st.name == "marker") {
      if (!st.tokens.empty()) p_.Fail(st.line, "marker takes no values");
      Block(std::vector<uint8_t>(kOverlayMarker, kOverlayMarker + sizeof kOverlayMarker));
      return;
    }
    if (st.name == "data") {
      Data(st);
      return;
    }
    p_.Fail(st.line, "unknown statement '" + st.name + "'");
  }

 private:
  void Data(const Statement& st) {
    if (st.tokens.empty()) p_.Fail(st.line, "data needs a value: \"text\", hex\"..\", file=, or pattern");
    const Token& first = st.tokens[0];
    if (first.key.empty() && first.kind != ValueKind::Bare) {
      if (st.tokens.size() > 1) p_.Fail(st.line, "data with a value takes nothing else");
      if (first.value.size() > kMaxCaptureBlock) {
        p_.Fail(st.line, "block of " + std::to_string(first.value.size()) +
                             " bytes out of range (at most " + std::to_string(kMaxCaptureBlock) + ")");
      }
      Block(std::vector<uint8_t>(first.value.begin(), first.value.end()));
      return;
    }
    std::map<std::string, const Token*> named;
    bool pattern = false;
    for (const Token& t : st.tokens) {
      if (t.key.empty() && t.kind == ValueKind::Bare && t.value == "pattern" && !pattern) {
        pattern = true;
        continue;
      }
      if (t.key.empty()) p_.Fail(st.line, "unexpected value '" + t.value + "' in data");
      if (!named.emplace(t.key, &t).second) p_.Fail(st.line, t.key + " is given twice");
    }
    const std::set<std::string> allowed = pattern ? std::set<std::string>{"size", "seed", "block"}
                                                  : std::set<std::string>{"file", "block"};
    for (auto& [key, token] : named) {
      if (allowed.count(key) == 0) p_.Fail(st.line, "unknown field '" + key + "' of data");
    }
    uint64_t block = 65536;
    if (named.count("block")) block = CheckedNumber(p_, st.line, *named["block"], kMaxCaptureBlock, "block size");
    if (block == 0) p_.Fail(st.line, "value 0 out of range for block (1.." + std::to_string(kMaxCaptureBlock) + ")");
    if (pattern) {
      if (!named.count("size")) p_.Fail(st.line, "data pattern needs size=");
      uint64_t size = CheckedNumber(p_, st.line, *named["size"], uint64_t(1) << 40, "bytes");
      uint8_t seed = named.count("seed") ? uint8_t(CheckedNumber(p_, st.line, *named["seed"], 0xFF, "u8")) : 0;
      PatternState gen(seed);
      std::vector<uint8_t> chunk;
      for (uint64_t done = 0; done < size;) {
        uint64_t n = std::min(block, size - done);
        chunk.resize(n);
        for (auto& b : chunk) b = gen.Next();
        Block(chunk);
        done += n;
      }
      return;
    }
    if (!named.count("file")) p_.Fail(st.line, "data needs a value: \"text\", hex\"..\", file=, or pattern");
    const Token& fileToken = *named["file"];
    if (fileToken.kind != ValueKind::Quoted) p_.Fail(st.line, "file takes a quoted name");
    std::filesystem::path file = fileToken.value;
    if (file.is_relative()) file = dir_ / file;
    out_.Output().CheckNotInput(file.string());
    std::ifstream in(file, std::ios::binary);
    if (!in) p_.Fail(st.line, "cannot open data file " + file.string());
    std::vector<uint8_t> chunk(block);
    while (in) {
      in.read(reinterpret_cast<char*>(chunk.data()), std::streamsize(block));
      std::streamsize got = in.gcount();
      if (got <= 0) break;
      Block(std::vector<uint8_t>(chunk.begin(), chunk.begin() + got));
    }
    if (in.bad()) p_.Fail(st.line, "read error in data file " + file.string());
  }

  const Parser& p_;
  std::filesystem::path dir_;
  CaptureWriter& out_;
  ComposeSummary& summary_;
};

}  // namespace

ComposeSummary ComposeCapture(const std::string& descriptionPath, const std::string& capturePath) {
  // "-" is standard input; its data files are found from the current directory.
  std::ifstream file;
  if (descriptionPath != "-") {
    file.open(descriptionPath);
    if (!file) throw InputError(descriptionPath + ": " + std::strerror(errno));
  }
  std::istream& in = descriptionPath == "-" ? std::cin : file;
  Parser parser(descriptionPath);
  ComposeSummary summary;
  CaptureWriter writer(capturePath, {descriptionPath});
  Composer composer(parser, descriptionPath, writer, summary);
  std::string physical;
  std::string logical;
  unsigned lineNo = 0;
  unsigned statementLine = 0;
  while (std::getline(in, physical)) {
    ++lineNo;
    if (!physical.empty() && physical.back() == '\r') physical.pop_back();
    std::string text = parser.StripComment(physical, lineNo);
    while (!text.empty() && Parser::IsSpace(text.back())) text.pop_back();
    if (logical.empty()) statementLine = lineNo;
    bool continues = !text.empty() && text.back() == '\\';
    if (continues) text.pop_back();
    logical += text;
    if (continues) {
      logical += ' ';
      continue;
    }
    size_t firstNonSpace = logical.find_first_not_of(" \t");
    if (firstNonSpace != std::string::npos) {
      composer.Run(parser.Tokenize(logical, statementLine));
    }
    logical.clear();
  }
  if (in.bad()) throw InputError(descriptionPath + ":" + std::to_string(lineNo + 1) + ": read error");
  if (logical.find_first_not_of(" \t") != std::string::npos) {
    composer.Run(parser.Tokenize(logical, statementLine));
  }
  if (!writer.Ended()) {
    throw LineError(descriptionPath, lineNo, "the job has no end: finish it with EndDoc or Abort");
  }
  writer.Finish();
  return summary;
}

}  // namespace spoolgate
