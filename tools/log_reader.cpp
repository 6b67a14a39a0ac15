// `spoolgate log show`, `summary` and `verify` over the lines log_folder reads: listing
// and summing the good lines, and naming every loss the files show.
#include "tools/log_reader.h"

#include "tools/errors.h"
#include "tools/log_fields.h"
#include "tools/portable.h"
#include "tools/text.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>

#include <nlohmann/json.hpp>
#include <sstream>

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

namespace spoolgate {

namespace {

// The reader's log and line, as show and summary see them.
using LogGroup = LogSet;
using LogLine = LogEntry;

// Calls visit(log, line, header) for every line of every log with a right checksum (all
// lines with includeDamaged), in order; pending lines and stray files are left out and
// counted in leftOut.
template <typename Visit>
void ForEachLine(const std::string& dir, Visit visit, bool includeDamaged = false,
                 LeftOut* leftOut = nullptr) {
  LogFolder folder = FindLogFolder(dir);
  if (leftOut != nullptr) leftOut->strayFiles = folder.strayFiles;
  for (const LogSet& log : folder.logs) {
    ForEachLogEntry(log, [&](const LogEntry& line) {
      if (line.pending || (!line.checksumOk && !includeDamaged)) {
        if (leftOut != nullptr) ++(line.pending ? leftOut->pending : leftOut->damaged);
        return;
      }
      visit(log, line, *line.header);
    });
  }
}

// What show and summary did not count, for --json.
nlohmann::ordered_json LeftOutJson(const LeftOut& left) {
  return {{"damaged", left.damaged}, {"pending", left.pending}, {"strayFiles", left.strayFiles}};
}

// The lines that say what show and summary did not count, empty when nothing.
std::string LeftOutNote(const LeftOut& left) {
  std::ostringstream note;
  if (left.damaged != 0) {
    note << "left out " << left.damaged << (left.damaged == 1 ? " line" : " lines")
         << " whose checksum is wrong (torn or altered); --include-damaged counts them\n";
  }
  if (left.pending != 0) {
    note << "left out " << left.pending << (left.pending == 1 ? " line" : " lines")
         << " still waiting in a pending file\n";
  }
  if (!left.strayFiles.empty()) {
    note << "left out " << left.strayFiles.size()
         << (left.strayFiles.size() == 1 ? " file" : " files") << " of no log:";
    for (const std::string& f : left.strayFiles) note << " " << f;
    note << "\n";
  }
  return note.str();
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

void PrintLines(const LogSource& source, const std::vector<ShownLine>& lines,
                const LogFilter& filter, const LeftOut& left, bool json, std::ostream& out) {
  if (json) {
    Json j;
    j[source.member] = source.name;
    j["count"] = lines.size();
    j["leftOut"] = LeftOutJson(left);
    j["jobs"] = Json::array();
    for (const ShownLine& r : lines) {
      j["jobs"].push_back({{"log", r.log}, {"fields", LogLineJson(*r.header, r.fields)}});
    }
    out << JsonDump(j) << "\n";
    return;
  }
  size_t logWidth = 3;
  for (const ShownLine& r : lines) logWidth = std::max(logWidth, r.log.size());
  out << std::left << std::setw(int(logWidth)) << "log" << " " << std::setw(8) << "sequence" << " "
      << std::setw(23) << "time_stamp" << " " << std::setw(12) << "user" << " " << std::setw(16)
      << "printer" << " document";
  for (const auto& s : filter.sums) out << "  " << s;
  out << "\n";
  for (const ShownLine& r : lines) {
    const auto& f = r.fields;
    const auto& header = *r.header;
    out << std::left << std::setw(int(logWidth)) << r.log << " " << std::setw(8)
        << (f.empty() ? "" : f[0]) << " " << std::setw(23) << Field(f, header, "time_stamp") << " "
        << std::setw(12) << Field(f, header, "user") << " " << std::setw(16)
        << Field(f, header, "printer") << " " << Field(f, header, "document");
    for (const auto& s : filter.sums) out << "  " << Field(f, header, s);
    out << "\n";
  }
  out << lines.size() << (lines.size() == 1 ? " job\n" : " jobs\n");
  out << LeftOutNote(left);
}

void PrintSummary(const LogSource& source, const LogSummary& summary, const LogFilter& filter,
                  const LeftOut& left, bool json, std::ostream& out) {
  auto sumOf = [](const LogTally& t, size_t i) { return i < t.sums.size() ? t.sums[i] : 0; };
  if (json) {
    auto tally = [&](const LogTally& t) {
      Json j;
      j["jobs"] = t.jobs;
      Json sums = Json::object();
      for (size_t i = 0; i < filter.sums.size(); ++i) sums[filter.sums[i]] = sumOf(t, i);
      j["sums"] = sums;
      return j;
    };
    Json j;
    j[source.member] = source.name;
    j["byUser"] = Json::object();
    for (const auto& [name, t] : summary.byUser) j["byUser"][name] = tally(t);
    j["byPrinter"] = Json::object();
    for (const auto& [name, t] : summary.byPrinter) j["byPrinter"][name] = tally(t);
    j["total"] = tally(summary.total);
    j["notNumbers"] = summary.notNumbers;
    j["leftOut"] = LeftOutJson(left);
    out << JsonDump(j) << "\n";
    return;
  }
  auto row = [&](const std::string& name, const LogTally& t) {
    out << "  " << std::left << std::setw(24) << name << std::right << std::setw(8) << t.jobs
        << (t.jobs == 1 ? " job " : " jobs");
    for (size_t i = 0; i < filter.sums.size(); ++i) out << "  " << filter.sums[i] << " " << sumOf(t, i);
    out << "\n";
  };
  out << "by user:\n";
  for (const auto& [name, t] : summary.byUser) row(name.empty() ? "(none)" : name, t);
  out << "by printer:\n";
  for (const auto& [name, t] : summary.byPrinter) row(name.empty() ? "(none)" : name, t);
  out << "total:\n";
  row("all", summary.total);
  if (summary.notNumbers != 0) {
    std::cerr << "spoolgate: warning: " << summary.notNumbers
              << " values were not numbers and count as 0\n";
  }
  out << LeftOutNote(left);
}

int ShowLog(const std::string& dir, const LogFilter& given, bool json, std::ostream& out) {
  const LogFilter filter = CheckFilter(dir, given);
  // The lines of several logs are merged in time order (a stable sort: lines of one
  // time keep their order in their log), so the matching lines are held until the end.
  std::vector<std::pair<std::string, ShownLine>> rows;  // canonical time; none sorts last
  LeftOut left;
  ForEachLine(dir, [&](const LogGroup& g, const LogLine& line, const std::vector<std::string>& header) {
    if (!Matches(line.fields, header, filter)) return;
    std::string time = CanonicalTime(Field(line.fields, header, "time_stamp"), false);
    rows.push_back({time.empty() ? "~" : time, {g.name, line.fields, line.header}});
  }, filter.includeDamaged, &left);
  std::stable_sort(rows.begin(), rows.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<ShownLine> lines;
  lines.reserve(rows.size());
  for (auto& r : rows) lines.push_back(std::move(r.second));
  PrintLines({"directory", dir}, lines, filter, left, json, out);
  return kExitOk;
}

int SummarizeLog(const std::string& dir, const LogFilter& given, bool json, std::ostream& out) {
  const LogFilter filter = CheckFilter(dir, given);
  LogSummary summary;
  auto add = [&](LogTally& t, const std::vector<uint64_t>& values) {
    t.jobs++;
    t.sums.resize(values.size());
    for (size_t i = 0; i < values.size(); ++i) AddToSum(t.sums[i], values[i], filter.sums[i]);
  };
  LeftOut left;
  ForEachLine(dir, [&](const LogGroup&, const LogLine& line, const std::vector<std::string>& header) {
    const std::vector<std::string>& f = line.fields;
    if (!Matches(f, header, filter)) return;
    std::vector<uint64_t> values;
    for (const auto& s : filter.sums) {
      std::string v = Field(f, header, s);
      uint64_t n = 0;
      if (!v.empty() && !ParseColumnNumber(v, &n)) ++summary.notNumbers;
      values.push_back(n);
    }
    add(summary.byUser[Field(f, header, "user")], values);
    add(summary.byPrinter[Field(f, header, "printer")], values);
    add(summary.total, values);
  }, filter.includeDamaged, &left);
  PrintSummary({"directory", dir}, summary, filter, left, json, out);
  return kExitOk;
}

int VerifyLog(const std::string& dir, bool json, std::ostream& out) {
  LogFolder folder = FindLogFolder(dir);
  std::ostringstream problems;
  uint64_t lines = 0, files = 0, problemCount = 0;
  Json found = Json::array();
  auto problem = [&](const std::string& where, const std::string& what) {
    ++problemCount;
    problems << where << ": " << what << "\n";
    found.push_back({{"where", where}, {"what", what}});
  };
  auto at = [](const LogLine& line) {
    return line.file + ":" + std::to_string(line.recordNo) + " (byte " + std::to_string(line.offset) + ")";
  };
  for (const std::string& file : folder.strayFiles) {
    problem(file, "belongs to no log (no " + Utf8Of(PathOf(file).stem()) +
                      ".seq beside it); nothing in it is counted");
  }
  if (folder.logs.empty()) problem(dir, "no accounting log here (no <name>.seq)");
  for (const LogSet& log : folder.logs) {
    files += log.files.size();
    std::string base = Utf8Of(PathOf(dir) / PathOf(log.name));
    if (!log.hasCurrent) {
      problem(base + ".csv", log.files.empty() ? "missing, and so is every generation of log '" + log.name + "'"
                                               : "missing: the current file of log '" + log.name + "' is gone");
    }
    uint64_t prev = 0;
    ForEachLogEntry(log, [&](const LogLine& line) {
      ++lines;
      if (line.headerMissing) problem(line.file + ":1 (byte 0)", "no header line");
      const std::string& raw = line.raw;
      size_t n = raw.size();
      if (!line.complete) {
        problem(at(line), "torn line: the file ends inside it, without a line end");
      } else if (!line.checksumOk) {
        if (!HasChecksumField(raw)) {
          problem(at(line), "no checksum at the end of the line (torn or altered)");
        } else {
          char text[96];
          std::snprintf(text, sizeof text, "altered line: checksum %08X stored, %08X computed",
                        uint32_t(std::stoul(raw.substr(n - 8), nullptr, 16)), Crc32(raw.substr(0, n - 9)));
          problem(at(line), text);
        }
      }
      if (line.pending) {
        problem(at(line), line.sequence != 0
                              ? "pending: line " + std::to_string(line.sequence) + " waits here, not yet in the log"
                              : "pending: a line not yet numbered waits here, not yet in the log");
        if (line.sequence == 0) return;
      }
      if (line.sequence == 0) {
        problem(at(line), "no sequence number at the start of the line");
        return;
      }
      uint64_t seq = line.sequence;
      if (seq > prev + 1) {
        std::string missing = seq - prev == 2 ? std::to_string(prev + 1)
                                              : std::to_string(prev + 1) + " to " + std::to_string(seq - 1);
        problem(at(line), "gap: sequence " + std::to_string(seq) +
                              (prev == 0 ? " is the first of log '" + log.name + "'"
                                         : " follows " + std::to_string(prev)) +
                              "; missing " + missing);
      } else if (seq <= prev) {
        problem(at(line), "sequence " + std::to_string(seq) + " after " + std::to_string(prev) +
                              " (repeated or out of order)");
      }
      prev = std::max(prev, seq);
    });
    // Lines cut from the end, a deleted current file or every file deleted leave the
    // sequence file ahead of the last line found.
    if (log.sequenceValue && *log.sequenceValue > prev) {
      uint64_t last = *log.sequenceValue;
      problem(base + ".seq", "says " + std::to_string(last) + " was written, but the last line found is " +
                                 std::to_string(prev) + "; missing from the end: " +
                                 (last - prev == 1 ? std::to_string(last)
                                                   : std::to_string(prev + 1) + " to " + std::to_string(last)));
    }
  }
  if (json) {
    Json j;
    j["directory"] = dir;
    j["lines"] = lines;
    j["files"] = files;
    j["logs"] = folder.logs.size();
    j["problems"] = std::move(found);
    j["problemCount"] = problemCount;
    j["result"] = problemCount == 0 ? "ok" : "failed";
    out << JsonDump(j) << "\n";
    return problemCount == 0 ? kExitOk : kExitStepFailed;
  }
  out << problems.str();
  out << "verified " << lines << (lines == 1 ? " line" : " lines") << " in " << files
      << (files == 1 ? " file" : " files") << " of " << folder.logs.size()
      << (folder.logs.size() == 1 ? " log" : " logs") << ": ";
  if (problemCount == 0) {
    out << "OK\n";
    return kExitOk;
  }
  out << problemCount << (problemCount == 1 ? " problem\n" : " problems\n");
  return kExitStepFailed;
}

}  // namespace spoolgate
