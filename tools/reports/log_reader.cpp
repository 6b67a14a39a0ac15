// SPDX-License-Identifier: Apache-2.0
// `spoolgate log show` and `summary` over the lines log_folder reads: listing and
// counting the good lines of one or more servers' folders.
#include "tools/reports/log_reader.h"

#include "tools/common/errors.h"
#include "tools/common/numbers.h"
#include "tools/logread/csv_lines.h"
#include "tools/logread/log_fields.h"
#include "tools/common/portable.h"
#include "tools/common/text.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <deque>
#include <iostream>
#include <map>
#include <memory>
#include <unordered_map>

#include <nlohmann/json.hpp>
#include <sstream>

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

namespace spoolgate {

namespace {

using LogLine = LogEntry;

// Counts a line left out (damaged or pending) in count when it belongs to the period of
// the filter: its time read from what is left of it, or no time to be read at all.
void CountLeftOut(const LogFilter& filter, const LogEntry& line, uint64_t& count, LeftOut& left) {
  if (filter.fromTime.empty() && filter.toTime.empty()) {
    ++count;
    return;
  }
  const auto& header = *line.header;
  size_t at = size_t(std::find(header.begin(), header.end(), TimeColumn(filter)) - header.begin());
  std::string stamp = at < line.fields.size() ? BasisTime(filter, line.fields[at]) : std::string();
  if (!IsLogTime(stamp)) {
    ++count;
    ++left.timeUnknown;
  } else if ((filter.fromTime.empty() || stamp >= filter.fromTime) && (filter.toTime.empty() || stamp <= filter.toTime)) {
    ++count;
  }
}

// Calls visit(line) for every line of every log of the folders with a right checksum
// (all lines with includeDamaged), in order; pending lines and stray files are left out
// and counted in left.
template <typename Visit>
void ForEachLine(const std::vector<std::string>& dirs, const LogFilter& filter, LeftOut& left, Visit visit) {
  std::vector<LogFolder> folders;
  for (const std::string& dir : dirs) folders.push_back(FindLogFolder(dir, true));
  for (const LogFolder& folder : folders) {
    left.strayFiles.insert(left.strayFiles.end(), folder.strayFiles.begin(), folder.strayFiles.end());
    for (const LogSet& log : folder.logs) {
      ForEachLogEntry(log, [&](const LogEntry& line) {
        if (line.pending || (!line.checksumOk && !filter.includeDamaged)) {
          CountLeftOut(filter, line, line.pending ? left.pending : left.damaged, left);
          return;
        }
        visit(log, line);
      });
    }
  }
}

// A line's fields by column name, its header's positions looked up once per file.
class LineFields {
 public:
  void Use(const LogEntry& line) {
    fields_ = &line.fields;
    if (header_ == line.header) return;
    // Held, so that a later file's header cannot take its address.
    header_ = line.header;
    index_.clear();
    for (size_t i = 0; i < header_->size(); ++i) index_.emplace((*header_)[i], i);
  }
  const std::string& operator()(const std::string& name) const {
    static const std::string none;
    auto it = index_.find(name);
    return it != index_.end() && it->second < fields_->size() ? (*fields_)[it->second] : none;
  }

 private:
  std::shared_ptr<const std::vector<std::string>> header_;
  const std::vector<std::string>* fields_ = nullptr;
  std::unordered_map<std::string, size_t> index_;
};

bool Passes(const LogFilter& filter, const LineFields& field, LeftOut& left) {
  bool untimed = false;
  bool in = LogLineMatches(filter, field("user"), field("printer"), field("computer"),
                           BasisTime(filter, field(TimeColumn(filter))), &untimed);
  if (untimed) ++left.untimed;
  return in;
}

LogSource SourceOf(const std::vector<std::string>& dirs) {
  if (dirs.size() == 1) return {"directory", dirs[0]};
  return {"directories", dirs};
}

// A log time as a number that sorts as the time, YYYYMMDDhhmmssmmm; none sorts last.
int64_t TimeKey(const std::string& stamp) {
  if (!IsLogTime(stamp)) return INT64_MAX;
  int64_t key = 0;
  for (char c : stamp) {
    if (c >= '0' && c <= '9') key = key * 10 + (c - '0');
  }
  return key;
}

}  // namespace

int ShowLog(const std::vector<std::string>& dirs, const Report& report, std::ostream& out) {
  // The matching lines of several logs are merged in time order: a first pass keeps
  // where each one is, a second reads them again in that order.
  struct Place {
    int64_t time;
    uint64_t offset;
    uint32_t file;
    uint32_t computer;
  };
  struct File {
    std::string path, log;
    std::shared_ptr<const std::vector<std::string>> header;
  };
  std::deque<Place> places;
  std::vector<File> files;
  std::vector<std::shared_ptr<const std::vector<std::string>>> headers;  // each a different one
  std::map<std::string, uint32_t> computers;
  LeftOut left;
  LineFields field;
  ForEachLine(dirs, report.filter, left, [&](const LogSet& log, const LogLine& line) {
    field.Use(line);
    if (!Passes(report.filter, field, left)) return;
    if (files.empty() || files.back().path != line.file) {
      // Files of one header share it, so that the writer maps its columns once.
      auto same = std::find_if(headers.begin(), headers.end(), [&](const auto& h) { return *h == *line.header; });
      if (same == headers.end()) same = headers.insert(headers.end(), line.header);
      files.push_back({line.file, log.name, *same});
    }
    auto c = computers.emplace(field("computer"), uint32_t(computers.size())).first;
    places.push_back({TimeKey(BasisTime(report.filter, field(TimeColumn(report.filter)))), line.offset,
                      uint32_t(files.size() - 1), c->second});
  });
  // Lines of one time in the order the database lists them: by computer, log name and
  // sequence (a log's files and lines are in the order of their numbers).
  std::vector<uint32_t> computerRank(computers.size());
  uint32_t rank = 0;
  for (const auto& entry : computers) computerRank[entry.second] = rank++;
  std::sort(places.begin(), places.end(), [&](const Place& a, const Place& b) {
    if (a.time != b.time) return a.time < b.time;
    if (a.computer != b.computer) return computerRank[a.computer] < computerRank[b.computer];
    if (a.file != b.file && files[a.file].log != files[b.file].log) return files[a.file].log < files[b.file].log;
    if (a.file != b.file) return a.file < b.file;
    return a.offset < b.offset;
  });
  LineWriter writer(SourceOf(dirs), report, out);
  // Mostly one file after another; a few readers stay open for logs that interleave.
  std::map<uint32_t, std::unique_ptr<CsvRecordReader>> readers;
  std::string record;
  std::vector<std::string> fields;
  for (const Place& p : places) {
    auto it = readers.find(p.file);
    if (it == readers.end()) {
      if (readers.size() == 16) readers.erase(readers.begin());
      auto reader = std::make_unique<CsvRecordReader>(files[p.file].path);
      if (!reader->Ok()) throw InputError(files[p.file].path + ": cannot be read");
      it = readers.emplace(p.file, std::move(reader)).first;
    }
    uint64_t offset = 0;
    bool complete = false;
    it->second->SkipTo(p.offset);
    if (!it->second->Next(record, offset, complete)) {
      throw InputError(files[p.file].path + ": changed while it was read (byte " + std::to_string(p.offset) + ")");
    }
    SplitCsvInto(record, fields);
    writer.Line(files[p.file].log, fields, *files[p.file].header);
  }
  writer.End(left);
  return kExitOk;
}

void TallyLog(const std::vector<std::string>& dirs, const Report& report, Tallies& tallies) {
  LineFields field;
  LogTally one{1, {}};
  std::vector<std::string> key;
  tallies.source = SourceOf(dirs);
  std::vector<const LineColumn*> spelled = SpelledColumns(report);
  ForEachLine(dirs, report.filter, tallies.left, [&](const LogSet&, const LogLine& line) {
    field.Use(line);
    if (!Passes(report.filter, field, tallies.left)) return;
    NoteUnspelled(spelled, [&](const LineColumn* c) -> const std::string& { return field(c->csv); }, 1, tallies);
    one.sums.assign(report.measures.size(), 0);
    for (size_t i = 0; i < report.measures.size(); ++i) {
      std::string v = ColumnValue(report.settings, report.measures[i], field);
      if (!v.empty() && !ParseColumnNumber(v, &one.sums[i])) ++tallies.notNumbers;
    }
    for (Grouping& g : tallies.groupings) {
      LineKey(report, g, field, key);
      g.rows[key].Add(one, report.measures);
    }
  });
}

}  // namespace spoolgate
