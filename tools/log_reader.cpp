// Reading the accounting logs: every *.csv of a directory, generations grouped by log
// name and taken oldest first, each line checked against its sequence number and CRC-32.
#include "tools/log_reader.h"

#include "tools/errors.h"
#include "tools/log_fields.h"
#include "tools/text.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <map>

#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

namespace fs = std::filesystem;

namespace spoolgate {

CsvRecordReader::CsvRecordReader(const std::string& path) { file_ = std::fopen(path.c_str(), "rb"); }

CsvRecordReader::~CsvRecordReader() {
  if (file_ != nullptr) std::fclose(file_);
}

bool CsvRecordReader::Next(std::string& record, uint64_t& offset, bool& complete) {
  record.clear();
  offset = offset_;
  complete = false;
  bool quoted = false;
  int c;
  while ((c = std::getc(file_)) != EOF) {
    ++offset_;
    if (c == '"') quoted = !quoted;
    if (c == '\n' && !quoted) {
      if (!record.empty() && record.back() == '\r') record.pop_back();
      complete = true;
      return true;
    }
    record.push_back(char(c));
  }
  return !record.empty();
}

std::vector<std::string> SplitCsv(const std::string& record) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (size_t i = 0; i < record.size(); ++i) {
    char c = record[i];
    if (quoted) {
      if (c == '"' && i + 1 < record.size() && record[i + 1] == '"') {
        fields.back().push_back('"');
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        fields.back().push_back(c);
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields.emplace_back();
    } else {
      fields.back().push_back(c);
    }
  }
  return fields;
}

uint32_t Crc32(const std::string& bytes) {
  static uint32_t table[256];
  static bool ready = false;
  if (!ready) {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
    ready = true;
  }
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char b : bytes) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

namespace {

// One log: its generations, oldest first, then the current file.
struct LogGroup {
  std::string name;
  std::vector<std::string> files;
};

std::vector<LogGroup> FindLogs(const std::string& dir) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) throw InputError(dir + ": no such directory");
  static const std::regex generation(R"((.*)-(\d{8}-\d{6})(?:-(\d+))?)");
  struct Entry {
    std::string path, key;
    bool current;
    uint64_t suffix;
  };
  std::map<std::string, std::vector<Entry>> byName;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    std::string ext = e.path().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
    if (!e.is_regular_file(ec) || ext != ".csv") continue;
    std::string stem = e.path().stem().string();
    std::smatch m;
    if (std::regex_match(stem, m, generation)) {
      byName[m[1]].push_back({e.path().string(), m[2], false, m[3].matched ? std::stoull(m[3]) : 0});
    } else {
      byName[stem].push_back({e.path().string(), "", true, 0});
    }
  }
  std::vector<LogGroup> logs;
  for (auto& [name, entries] : byName) {
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
      if (a.current != b.current) return b.current;
      if (a.key != b.key) return a.key < b.key;
      return a.suffix < b.suffix;
    });
    LogGroup g{name, {}};
    for (const Entry& e : entries) g.files.push_back(e.path);
    logs.push_back(g);
  }
  return logs;
}

constexpr char kBom[] = "\xEF\xBB\xBF";

struct LogLine {
  std::string file;
  uint64_t recordNo;
  uint64_t offset;
  bool complete;
  std::string raw;
};

// Calls visit(line, header) for every data record of every log, in order; the header
// is the column list of the file the line is in (empty when the file has none).
template <typename Visit>
void ForEachLine(const std::string& dir, Visit visit, std::ostream* problems = nullptr) {
  for (const LogGroup& g : FindLogs(dir)) {
    for (const std::string& file : g.files) {
      CsvRecordReader reader(file);
      if (!reader.Ok()) throw InputError(file + ": cannot be read");
      std::vector<std::string> header;
      LogLine line{file, 0, 0, false, ""};
      while (reader.Next(line.raw, line.offset, line.complete)) {
        ++line.recordNo;
        if (line.recordNo == 1) {
          if (line.raw.compare(0, 3, kBom) == 0) line.raw.erase(0, 3);
          if (line.raw.compare(0, 9, "sequence,") == 0) {
            header = SplitCsv(line.raw);
            continue;
          }
          if (problems != nullptr) {
            *problems << file << ":1 (byte 0): no header line\n";
          }
        }
        visit(g, line, header);
      }
    }
  }
}

size_t ColumnIndex(const std::vector<std::string>& header, const std::string& name) {
  auto it = std::find(header.begin(), header.end(), name);
  return it == header.end() ? SIZE_MAX : size_t(it - header.begin());
}

std::string Field(const std::vector<std::string>& fields, const std::vector<std::string>& header,
                  const std::string& name) {
  size_t i = ColumnIndex(header, name);
  return i < fields.size() ? fields[i] : std::string();
}

bool Matches(const std::vector<std::string>& fields, const std::vector<std::string>& header,
             const LogFilter& f) {
  return LogLineMatches(f, Field(fields, header, "user"), Field(fields, header, "printer"),
                        Field(fields, header, "time_stamp"));
}

// The filter with its times worked out, after the sums are checked against the columns.
LogFilter CheckFilter(const std::string& dir, const LogFilter& given) {
  LogFilter filter = given;
  PrepareLogFilter(filter);
  if (filter.sums.empty()) return filter;
  std::vector<std::string> columns;
  ForEachLine(dir, [&](const LogGroup&, const LogLine&, const std::vector<std::string>& header) {
    if (columns.empty()) columns = header;
  });
  for (const std::string& s : filter.sums) {
    if (!columns.empty() && ColumnIndex(columns, s) == SIZE_MAX) {
      std::string names;
      for (const auto& c : columns) names += (names.empty() ? "" : " ") + c;
      throw InputError("--sum " + s + ": no such column (columns: " + names + ")");
    }
  }
  return filter;
}

using Json = nlohmann::ordered_json;

}  // namespace

int ShowLog(const std::string& dir, const LogFilter& given, bool json, std::ostream& out) {
  const LogFilter filter = CheckFilter(dir, given);
  // The lines of several logs are merged in time order (a stable sort: lines of one
  // time keep their order in their log), so the matching lines are held until the end.
  struct Row {
    std::string time;  // canonical; lines without a usable time go last
    std::string log;
    std::vector<std::string> fields;
    size_t header;  // in headers
  };
  std::vector<Row> rows;
  std::vector<std::vector<std::string>> headers;  // one per file, kept for the rows
  std::string lastFile;
  ForEachLine(dir, [&](const LogGroup& g, const LogLine& line, const std::vector<std::string>& header) {
    if (line.file != lastFile || headers.empty()) {
      headers.push_back(header);
      lastFile = line.file;
    }
    std::vector<std::string> f = SplitCsv(line.raw);
    if (!Matches(f, header, filter)) return;
    std::string time = CanonicalTime(Field(f, header, "time_stamp"), false);
    rows.push_back({time.empty() ? "~" : time, g.name, std::move(f), headers.size() - 1});
  });
  std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.time < b.time; });

  if (json) {
    Json j;
    j["directory"] = dir;
    j["count"] = rows.size();
    j["jobs"] = Json::array();
    for (const Row& r : rows) {
      Json job = LogLineJson(headers[r.header], r.fields);
      j["jobs"].push_back({{"log", r.log}, {"fields", std::move(job)}});
    }
    out << j.dump(2) << "\n";
    return kExitOk;
  }
  size_t logWidth = 3;
  for (const Row& r : rows) logWidth = std::max(logWidth, r.log.size());
  out << std::left << std::setw(int(logWidth)) << "log" << " " << std::setw(8) << "sequence" << " "
      << std::setw(23) << "time_stamp" << " " << std::setw(12) << "user" << " " << std::setw(16)
      << "printer" << " document";
  for (const auto& s : filter.sums) out << "  " << s;
  out << "\n";
  for (const Row& r : rows) {
    const auto& f = r.fields;
    const auto& header = headers[r.header];
    out << std::left << std::setw(int(logWidth)) << r.log << " " << std::setw(8)
        << (f.empty() ? "" : f[0]) << " " << std::setw(23) << Field(f, header, "time_stamp") << " "
        << std::setw(12) << Field(f, header, "user") << " " << std::setw(16)
        << Field(f, header, "printer") << " " << Field(f, header, "document");
    for (const auto& s : filter.sums) out << "  " << Field(f, header, s);
    out << "\n";
  }
  out << rows.size() << (rows.size() == 1 ? " job\n" : " jobs\n");
  return kExitOk;
}

int SummarizeLog(const std::string& dir, const LogFilter& given, bool json, std::ostream& out) {
  const LogFilter filter = CheckFilter(dir, given);
  struct Tally {
    uint64_t jobs = 0;
    std::vector<uint64_t> sums;
  };
  std::map<std::string, Tally> byUser, byPrinter;
  Tally total;
  uint64_t notNumbers = 0;
  auto add = [&](Tally& t, const std::vector<uint64_t>& values) {
    t.jobs++;
    t.sums.resize(values.size());
    for (size_t i = 0; i < values.size(); ++i) AddToSum(t.sums[i], values[i], filter.sums[i]);
  };
  ForEachLine(dir, [&](const LogGroup&, const LogLine& line, const std::vector<std::string>& header) {
    std::vector<std::string> f = SplitCsv(line.raw);
    if (!Matches(f, header, filter)) return;
    std::vector<uint64_t> values;
    for (const auto& s : filter.sums) {
      std::string v = Field(f, header, s);
      uint64_t n = 0;
      if (!v.empty() && !ParseColumnNumber(v, &n)) ++notNumbers;
      values.push_back(n);
    }
    add(byUser[Field(f, header, "user")], values);
    add(byPrinter[Field(f, header, "printer")], values);
    add(total, values);
  });
  if (json) {
    auto tally = [&](const Tally& t) {
      Json j;
      j["jobs"] = t.jobs;
      Json sums = Json::object();
      for (size_t i = 0; i < filter.sums.size(); ++i) sums[filter.sums[i]] = i < t.sums.size() ? t.sums[i] : 0;
      j["sums"] = sums;
      return j;
    };
    Json j;
    j["directory"] = dir;
    j["byUser"] = Json::object();
    for (const auto& [name, t] : byUser) j["byUser"][name] = tally(t);
    j["byPrinter"] = Json::object();
    for (const auto& [name, t] : byPrinter) j["byPrinter"][name] = tally(t);
    j["total"] = tally(total);
    j["notNumbers"] = notNumbers;
    out << j.dump(2) << "\n";
    return kExitOk;
  }
  auto row = [&](const std::string& name, const Tally& t) {
    out << "  " << std::left << std::setw(24) << name << std::right << std::setw(8) << t.jobs
        << (t.jobs == 1 ? " job " : " jobs");
    for (size_t i = 0; i < filter.sums.size(); ++i) {
      out << "  " << filter.sums[i] << " " << (i < t.sums.size() ? t.sums[i] : 0);
    }
    out << "\n";
  };
  out << "by user:\n";
  for (const auto& [name, t] : byUser) row(name.empty() ? "(none)" : name, t);
  out << "by printer:\n";
  for (const auto& [name, t] : byPrinter) row(name.empty() ? "(none)" : name, t);
  out << "total:\n";
  row("all", total);
  if (notNumbers != 0) {
    std::cerr << "spoolgate: warning: " << notNumbers << " values were not numbers and count as 0\n";
  }
  return kExitOk;
}

int VerifyLog(const std::string& dir, bool json, std::ostream& out) {
  std::ostringstream problems;
  uint64_t lines = 0, files = 0, problemCount = 0;
  std::map<std::string, uint64_t> lastSequence;
  std::string lastFile;
  Json found = Json::array();
  auto problem = [&](const LogLine& line, const std::string& what) {
    ++problemCount;
    problems << line.file << ":" << line.recordNo << " (byte " << line.offset << "): " << what << "\n";
    found.push_back({{"file", line.file}, {"line", line.recordNo}, {"byte", line.offset}, {"what", what}});
  };
  std::ostringstream headerProblems;
  ForEachLine(
      dir,
      [&](const LogGroup& g, const LogLine& line, const std::vector<std::string>&) {
        if (line.file != lastFile) {
          ++files;
          lastFile = line.file;
        }
        ++lines;
        if (!line.complete) {
          problem(line, "torn line: the file ends inside it, without a line end");
          return;
        }
        const std::string& raw = line.raw;
        size_t n = raw.size();
        bool hasCrc = n >= 11 && raw[n - 9] == ',' &&
                      std::all_of(raw.end() - 8, raw.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
        size_t digits = 0;
        while (digits < n && std::isdigit(static_cast<unsigned char>(raw[digits]))) ++digits;
        if (!hasCrc) {
          problem(line, "no checksum at the end of the line (torn or altered)");
        } else {
          uint32_t stored = uint32_t(std::stoul(raw.substr(n - 8), nullptr, 16));
          uint32_t computed = Crc32(raw.substr(0, n - 9));
          if (stored != computed) {
            char text[96];
            std::snprintf(text, sizeof text, "altered line: checksum %08X stored, %08X computed",
                          stored, computed);
            problem(line, text);
          }
        }
        if (digits == 0 || digits > 19 || (digits < n && raw[digits] != ',')) {
          problem(line, "no sequence number at the start of the line");
          return;
        }
        uint64_t seq = std::stoull(raw.substr(0, digits));
        auto last = lastSequence.find(g.name);
        uint64_t prev = last == lastSequence.end() ? 0 : last->second;
        if (seq > prev + 1) {
          std::string missing = seq - prev == 2 ? std::to_string(prev + 1)
                                                : std::to_string(prev + 1) + " to " + std::to_string(seq - 1);
          problem(line, "gap: sequence " + std::to_string(seq) +
                            (prev == 0 ? " is the first of log '" + g.name + "'"
                                       : " follows " + std::to_string(prev)) +
                            "; missing " + missing);
        } else if (seq <= prev) {
          problem(line, "sequence " + std::to_string(seq) + " after " + std::to_string(prev) +
                            " (repeated or out of order)");
        }
        lastSequence[g.name] = std::max(prev, seq);
      },
      &headerProblems);
  std::string headers = headerProblems.str();
  problemCount += uint64_t(std::count(headers.begin(), headers.end(), '\n'));
  if (json) {
    // The header problems come as "FILE:1 (byte 0): WHAT" lines from ForEachLine.
    Json all = Json::array();
    std::istringstream headerLines(headers);
    const std::string mark = ":1 (byte 0): ";
    for (std::string text; std::getline(headerLines, text);) {
      size_t at = text.rfind(mark);
      all.push_back({{"file", text.substr(0, at)}, {"line", 1}, {"byte", 0},
                     {"what", text.substr(at + mark.size())}});
    }
    for (Json& p : found) all.push_back(std::move(p));
    Json j;
    j["directory"] = dir;
    j["lines"] = lines;
    j["files"] = files;
    j["logs"] = lastSequence.size();
    j["problems"] = std::move(all);
    j["problemCount"] = problemCount;
    j["result"] = problemCount == 0 ? "ok" : "failed";
    out << j.dump(2) << "\n";
    return problemCount == 0 ? kExitOk : kExitStepFailed;
  }
  out << headers << problems.str();
  out << "verified " << lines << (lines == 1 ? " line" : " lines") << " in " << files
      << (files == 1 ? " file" : " files") << " of " << lastSequence.size()
      << (lastSequence.size() == 1 ? " log" : " logs") << ": ";
  if (problemCount == 0) {
    out << "OK\n";
    return kExitOk;
  }
  out << problemCount << (problemCount == 1 ? " problem\n" : " problems\n");
  return kExitStepFailed;
}

}  // namespace spoolgate
