// `spoolgate log show`, `summary` and `verify` over the lines log_folder reads: listing
// and summing the good lines, and naming every loss the files show.
#include "tools/log_reader.h"

#include "tools/errors.h"
#include "tools/text.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <map>
#include <regex>
#include <sstream>

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

namespace spoolgate {

namespace {

// The reader's log and line, as show and summary see them.
using LogGroup = LogSet;
using LogLine = LogEntry;

// What show and summary leave out of their counts.
struct LeftOut {
  uint64_t damaged = 0;  // lines whose checksum is wrong
  uint64_t pending = 0;  // lines waiting in pending files
  std::vector<std::string> strayFiles;
};

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
  if (!f.user.empty() && Field(fields, header, "user") != f.user) return false;
  if (!f.printer.empty() && Field(fields, header, "printer") != f.printer) return false;
  std::string stamp = Field(fields, header, "time_stamp");
  if (!f.from.empty() && stamp.substr(0, f.from.size()) < f.from) return false;
  if (!f.to.empty() && stamp.substr(0, f.to.size()) > f.to) return false;
  return true;
}

void CheckDate(const std::string& option, const std::string& value) {
  static const std::regex date(R"(\d{4}(-\d{2}(-\d{2}([T ]\d{2}(:\d{2}(:\d{2})?)?)?)?)?)");
  if (!value.empty() && !std::regex_match(value, date)) {
    throw InputError(option + " " + value + ": not a date (YYYY-MM-DD, optionally with THH:MM:SS)");
  }
}

void CheckSums(const std::string& dir, const LogFilter& filter) {
  CheckDates(filter);
  if (filter.sums.empty()) return;
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
}

}  // namespace

// A field as JSON: a number when it is one, null when empty, else the text.
static Json FieldJson(const std::string& v) {
  if (v.empty()) return nullptr;
  if (v.size() <= 19 && std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::stoull(v);
  return v;
}

void CheckDates(const LogFilter& filter) {
  CheckDate("--from", filter.from);
  CheckDate("--to", filter.to);
}

void PrintJobs(const LogFilter& filter, std::ostream& out,
               const std::function<void(const std::function<void(const ShownJob&)>&)>& list) {
  uint64_t shown = 0;
  if (filter.json) {
    // One job object a line inside the array, so that nothing is kept in memory.
    out << "{\"jobs\": [";
    list([&](const ShownJob& job) {
      Json j = {{"sequence", FieldJson(job.sequence)}, {"time_stamp", job.timeStamp},
                {"user", job.user}, {"printer", job.printer}, {"document", job.document}};
      for (size_t i = 0; i < filter.sums.size(); ++i) j[filter.sums[i]] = FieldJson(job.sums[i]);
      out << (shown++ == 0 ? "\n  " : ",\n  ")
          << j.dump(-1, ' ', false, Json::error_handler_t::replace);
    });
    out << "\n], \"count\": " << shown << "}\n";
    return;
  }
  out << std::left << std::setw(8) << "sequence" << " " << std::setw(23) << "time_stamp" << " "
      << std::setw(12) << "user" << " " << std::setw(16) << "printer" << " document";
  for (const auto& s : filter.sums) out << "  " << s;
  out << "\n";
  list([&](const ShownJob& job) {
    ++shown;
    out << std::left << std::setw(8) << job.sequence << " " << std::setw(23) << job.timeStamp << " "
        << std::setw(12) << job.user << " " << std::setw(16) << job.printer << " " << job.document;
    for (const auto& s : job.sums) out << "  " << s;
    out << "\n";
  });
  out << shown << (shown == 1 ? " job\n" : " jobs\n");
}

void PrintSummary(const LogSummary& summary, const LogFilter& filter, std::ostream& out) {
  auto sumOf = [](const LogTally& t, size_t i) { return i < t.sums.size() ? t.sums[i] : 0; };
  if (filter.json) {
    auto tally = [&](const LogTally& t) {
      Json j = {{"jobs", t.jobs}};
      for (size_t i = 0; i < filter.sums.size(); ++i) j[filter.sums[i]] = sumOf(t, i);
      return j;
    };
    Json j = {{"by_user", Json::object()}, {"by_printer", Json::object()}};
    for (const auto& [name, t] : summary.byUser) j["by_user"][name] = tally(t);
    for (const auto& [name, t] : summary.byPrinter) j["by_printer"][name] = tally(t);
    j["total"] = tally(summary.total);
    j["not_numbers"] = summary.notNumbers;
    out << j.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
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
  if (summary.notNumbers != 0) out << summary.notNumbers << " values were not numbers and count as 0\n";
}

int ShowLog(const std::string& dir, const LogFilter& filter, std::ostream& out) {
  CheckSums(dir, filter);
  LeftOut left;
  PrintJobs(filter, out, [&](const std::function<void(const ShownJob&)>& emit) {
    ForEachLine(dir, [&](const LogGroup&, const LogLine& line, const std::vector<std::string>& header) {
      const std::vector<std::string>& f = line.fields;
      if (!Matches(f, header, filter)) return;
      ShownJob job{f.empty() ? "" : f[0], Field(f, header, "time_stamp"), Field(f, header, "user"),
                   Field(f, header, "printer"), Field(f, header, "document"), {}};
      for (const auto& s : filter.sums) job.sums.push_back(Field(f, header, s));
      emit(job);
    }, filter.includeDamaged, &left);
  });
  // As JSON, the note goes to standard error so that the output stays one document.
  (filter.json ? std::cerr : out) << LeftOutNote(left);
  return kExitOk;
}

int SummarizeLog(const std::string& dir, const LogFilter& filter, std::ostream& out) {
  CheckSums(dir, filter);
  LogSummary summary;
  auto add = [&](LogTally& t, const std::vector<uint64_t>& values) {
    t.jobs++;
    t.sums.resize(values.size());
    for (size_t i = 0; i < values.size(); ++i) t.sums[i] += values[i];
  };
  LeftOut left;
  ForEachLine(dir, [&](const LogGroup&, const LogLine& line, const std::vector<std::string>& header) {
    const std::vector<std::string>& f = line.fields;
    if (!Matches(f, header, filter)) return;
    std::vector<uint64_t> values;
    for (const auto& s : filter.sums) {
      std::string v = Field(f, header, s);
      char* end = nullptr;
      unsigned long long n = v.empty() ? 0 : std::strtoull(v.c_str(), &end, 10);
      if (!v.empty() && (*end != '\0' || v[0] == '-')) {
        ++summary.notNumbers;
        n = 0;
      }
      values.push_back(n);
    }
    add(summary.byUser[Field(f, header, "user")], values);
    add(summary.byPrinter[Field(f, header, "printer")], values);
    add(summary.total, values);
  }, filter.includeDamaged, &left);
  PrintSummary(summary, filter, out);
  (filter.json ? std::cerr : out) << LeftOutNote(left);
  return kExitOk;
}

int VerifyLog(const std::string& dir, std::ostream& out) {
  LogFolder folder = FindLogFolder(dir);
  std::ostringstream problems;
  uint64_t lines = 0, files = 0, problemCount = 0;
  auto problem = [&](const std::string& where, const std::string& what) {
    ++problemCount;
    problems << where << ": " << what << "\n";
  };
  auto at = [](const LogLine& line) {
    return line.file + ":" + std::to_string(line.recordNo) + " (byte " + std::to_string(line.offset) + ")";
  };
  for (const std::string& file : folder.strayFiles) {
    problem(file, "belongs to no log (no " + fs::path(file).stem().string() +
                      ".seq beside it); nothing in it is counted");
  }
  if (folder.logs.empty()) problem(dir, "no accounting log here (no <name>.seq)");
  for (const LogSet& log : folder.logs) {
    files += log.files.size();
    std::string base = (fs::path(dir) / log.name).string();
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
        bool hasCrc = n >= 10 && raw[n - 9] == ',' &&
                      std::all_of(raw.end() - 8, raw.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
        if (!hasCrc) {
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
