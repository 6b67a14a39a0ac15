// SPDX-License-Identifier: Apache-2.0
// `spoolgate log verify`: every line's checksum and the sequence numbers across the
// generations of each log of a folder, naming each gap, torn, altered or pending line.
#include "tools/logread/verify.h"

#include "tools/common/errors.h"
#include "tools/common/portable.h"
#include "tools/common/text.h"
#include "tools/logread/csv_lines.h"
#include "tools/logread/log_folder.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <cstdio>
#include <sstream>

using Json = nlohmann::ordered_json;

namespace spoolgate {
namespace {

// Verifying reads no field: the lines are not cut.
const std::vector<std::string> kNoColumns;

// The problems found, in the text and the JSON form at once.
struct Problems {
  std::ostringstream text;
  Json found = Json::array();
  uint64_t count = 0;
  void operator()(const std::string& where, const std::string& what) {
    ++count;
    text << where << ": " << what << "\n";
    found.push_back({{"where", where}, {"what", what}});
  }
};

// The lines of the pending file by their numbers, so that a line of the log under one of
// them tells whether the waiting line is already in (the same bytes) or waits under a
// number the log holds for another line.
std::map<uint64_t, std::string> WaitingLines(const LogSet& log) {
  std::map<uint64_t, std::string> waiting;
  if (log.pendingFile.empty()) return waiting;
  LogSet pendingOnly;
  pendingOnly.pendingFile = log.pendingFile;
  ForEachLogEntry(pendingOnly, [&](const LogEntry& line) {
    if (line.sequence != 0) waiting.emplace(line.sequence, std::string(line.raw));
  }, &kNoColumns);
  return waiting;
}

// What the number file says against prev, the last number found in the log's lines.
void CheckNumberFile(const LogSet& log, const std::string& base, uint64_t prev, Problems& problem) {
  // A number file the writer cannot use (spoiled, past the limit, behind the lines)
  // is mended at the next append, from the log and the pending file.
  const std::string seq = base + LOG_SEQUENCE_SUFFIX;
  if (log.sequenceUnreadable) {
    problem(seq, "cannot be read; the next append takes the number from the log");
  } else if (log.sequenceState == LOG_SEQUENCE_FILE_PAST_LIMIT) {
    problem(seq, "holds a number past the limit " + std::to_string(LOG_SEQUENCE_MAX) +
                     "; the next append takes the number from the log");
  } else if (log.sequenceState != LOG_SEQUENCE_FILE_SOUND) {
    problem(seq, std::string(log.sequenceState == LOG_SEQUENCE_FILE_EMPTY ? "is empty" : "holds no number") +
                     "; the next append takes the number from the log");
  } else if (log.sequenceValue && *log.sequenceValue < prev) {
    problem(seq, "says " + std::to_string(*log.sequenceValue) + " was written, behind the last line found, " +
                     std::to_string(prev) + "; the next append takes the number from the log");
  }
  // Lines cut from the end, a deleted current file or every file deleted leave the
  // sequence file ahead of the last line found.
  if (log.sequenceValue && *log.sequenceValue > prev) {
    uint64_t last = *log.sequenceValue;
    problem(seq, "says " + std::to_string(last) + " was written, but the last line found is " +
                     std::to_string(prev) + "; missing from the end: " +
                     (last - prev == 1 ? std::to_string(last) : std::to_string(prev + 1) + " to " + std::to_string(last)));
  }
}

}  // namespace

int VerifyLog(const std::string& dir, bool json, std::ostream& out) {
  LogFolder folder = FindLogFolder(dir);
  Problems problem;
  // A damaged record longer than the longest line the library writes is no line: the
  // remains of several, run together where a cut left a quote open.
  const size_t longestLine = LogLineMaxBytes();
  uint64_t lines = 0, files = 0, merged = 0;
  auto at = [](const LogEntry& line) {
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
    std::map<uint64_t, std::string> waiting = WaitingLines(log), clashes;
    uint64_t prev = 0;
    ForEachLogEntry(log, [&](const LogEntry& line) {
      ++lines;
      auto held = waiting.find(line.sequence);
      if (!line.pending && held != waiting.end() && held->second != line.raw) clashes.emplace(line.sequence, at(line));
      if (line.headerMissing) problem(line.file + ":1 (byte 0)", "no header line");
      std::string_view raw = line.raw;
      uint32_t stored = 0;
      if (!line.checksumOk && raw.size() > longestLine) {
        --lines;
        ++merged;
        problem(at(line), "a damaged record of " + Grouped(raw.size()) +
                              " bytes that may hold several lines (no line the library writes is longer than " +
                              Grouped(longestLine) + " bytes)");
      } else if (!line.complete) {
        problem(at(line), "torn line: the file ends inside it, without a line end");
      } else if (!line.checksumOk) {
        if (!LogReadChecksumField(raw.data(), raw.size(), &stored)) {
          problem(at(line), "no checksum at the end of the line (torn or altered)");
        } else {
          char text[96];
          std::snprintf(text, sizeof text, "altered line: checksum %08X stored, %08X computed", stored,
                        Crc32(raw.substr(0, raw.size() - LOG_CHECKSUM_FIELD_BYTES)));
          problem(at(line), text);
        }
      }
      if (line.pending && clashes.count(line.sequence) != 0) {
        problem(at(line), "pending: line " + std::to_string(line.sequence) + " waits under a number the log holds for "
                          "another line (" + clashes[line.sequence] + "); the next append gives it a fresh number");
        return;
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
    }, &kNoColumns);
    CheckNumberFile(log, base, prev, problem);
  }
  if (json) {
    Json j;
    j["directory"] = dir;
    j["lines"] = lines;
    j["mergedRecords"] = merged;
    j["files"] = files;
    j["logs"] = folder.logs.size();
    j["problems"] = std::move(problem.found);
    j["problemCount"] = problem.count;
    j["result"] = problem.count == 0 ? "ok" : "failed";
    out << JsonDump(j) << "\n";
    return problem.count == 0 ? kExitOk : kExitStepFailed;
  }
  out << problem.text.str();
  out << "verified " << lines << (lines == 1 ? " line" : " lines");
  if (merged != 0) out << " and " << merged << (merged == 1 ? " damaged record" : " damaged records") << " of several";
  out << " in " << files
      << (files == 1 ? " file" : " files") << " of " << folder.logs.size()
      << (folder.logs.size() == 1 ? " log" : " logs") << ": ";
  if (problem.count == 0) {
    out << "OK\n";
    return kExitOk;
  }
  out << problem.count << (problem.count == 1 ? " problem\n" : " problems\n");
  return kExitStepFailed;
}

}  // namespace spoolgate
