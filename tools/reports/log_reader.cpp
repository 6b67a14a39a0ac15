// SPDX-License-Identifier: Apache-2.0
// `spoolgate log show` and `summary` over the lines log_folder reads: listing and
// counting the good lines of one or more servers' folders.
#include "tools/reports/log_reader.h"

#include "tools/common/errors.h"
#include "tools/common/numbers.h"
#include "tools/logread/csv_lines.h"
#include "tools/logread/log_fields.h"
#include "tools/reports/log_listing.h"
#include "tools/reports/ordered_lines.h"
#include "tools/common/portable.h"
#include "tools/common/text.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <iostream>
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
  RangeFit fit = FitTimeRange(filter, BasisTime(filter, HeaderField(line.fields, *line.header, TimeColumn(filter))));
  if (fit != RangeFit::kOut) ++count;
  if (fit == RangeFit::kNoTime) ++left.timeUnknown;
}

// Calls visit(line) for every line of every log of the folders with a right checksum
// (all lines with includeDamaged), in order; pending lines, stray files and the lines of
// files without their header line are left out and counted in left. The lines are cut as far as the columns wanted.
template <typename Visit>
void ForEachLine(const std::vector<std::string>& dirs, const LogFilter& filter, LeftOut& left,
                 const std::vector<std::string>& wanted, Visit visit) {
  std::vector<LogFolder> folders;
  for (const std::string& dir : dirs) folders.push_back(FindLogFolder(dir, true));
  for (const LogFolder& folder : folders) {
    left.strayFiles.insert(left.strayFiles.end(), folder.strayFiles.begin(), folder.strayFiles.end());
    for (const LogSet& log : folder.logs) {
      ForEachLogEntry(log, [&](const LogEntry& line) {
        if (line.header->empty() && !line.pending) {
          if (line.headerMissing) left.headerlessFiles.push_back(line.file);
          ++left.headerless;
          return;
        }
        if (line.pending || (!line.checksumOk && !filter.includeDamaged)) {
          CountLeftOut(filter, line, line.pending ? left.pending : left.damaged, left);
          return;
        }
        visit(log, line);
      }, &wanted);
    }
  }
}

// The fields of a line at the places of some columns, the file's header looked up once:
// place i of Use's result is the field of names[i], empty when the line has none.
class LineFields {
 public:
  explicit LineFields(std::vector<std::string> names) : names_(std::move(names)) {}
  const std::vector<std::string>& Names() const { return names_; }
  // The index of a name among the names given.
  size_t Slot(const std::string& name) const {
    return size_t(std::find(names_.begin(), names_.end(), name) - names_.begin());
  }
  void Use(const LogEntry& line) {
    fields_ = &line.fields;
    if (header_ == line.header) return;
    // Held, so that a later file's header cannot take its address.
    header_ = line.header;
    at_.clear();
    for (const std::string& name : names_) {
      at_.push_back(HeaderIndex(*header_, name).value_or(kNoColumn));
    }
  }
  std::string_view operator[](size_t slot) const {
    size_t i = at_[slot];
    return i < fields_->size() ? (*fields_)[i] : std::string_view();
  }

 private:
  std::vector<std::string> names_;
  std::shared_ptr<const std::vector<std::string>> header_;
  const std::vector<std::string_view>* fields_ = nullptr;
  std::vector<size_t> at_;
};

// The places of the filter's columns come first in every LineFields of this file; the
// time is the column the filter goes by (time_stamp, or written_utc).
enum FilterSlot : size_t { kUser, kPrinter, kComputer, kTimeStamp, kFilterSlots };
std::vector<std::string> FilterColumns(const LogFilter& filter) {
  return {"user", "printer", "computer", TimeColumn(filter)};
}

bool Passes(const LogFilter& filter, const LineFields& field, LeftOut& left) {
  bool untimed = false;
  bool in = LogLineMatches(filter, field[kUser], field[kPrinter], field[kComputer],
                           BasisTime(filter, field[kTimeStamp]), &untimed);
  if (untimed) ++left.untimed;
  return in;
}

LogSource SourceOf(const std::vector<std::string>& dirs) {
  if (dirs.size() == 1) return {"directory", dirs[0]};
  return {"directories", dirs};
}

// A log time as a number that sorts as the time, YYYYMMDDhhmmssmmm; none sorts last.
int64_t TimeKey(std::string_view stamp) {
  if (!IsLogTime(stamp)) return INT64_MAX;
  int64_t key = 0;
  for (char c : stamp) {
    if (c >= '0' && c <= '9') key = key * 10 + (c - '0');
  }
  return key;
}

}  // namespace

int ShowLog(const std::vector<std::string>& dirs, const Report& report, std::ostream& out) {
  // The matching lines of several logs are merged in time order: each record is kept as
  // it is read, in memory or a scratch file, and sorted there, so that every log is
  // read once, forwards, whatever the order of its times.
  OrderedLines ordered;
  // Files of one header share it, so that the writer maps its columns once; a record is
  // tagged with its header's place here.
  std::vector<std::shared_ptr<const std::vector<std::string>>> headers;  // each a different one
  std::shared_ptr<const std::vector<std::string>> lastHeader;
  uint32_t tag = 0;
  uint64_t arrival = 0;
  LeftOut left;
  LineFields field(FilterColumns(report.filter));
  ForEachLine(dirs, report.filter, left, field.Names(), [&](const LogSet& log, const LogLine& line) {
    field.Use(line);
    if (!Passes(report.filter, field, left)) return;
    if (line.header != lastHeader) {
      auto same = std::find_if(headers.begin(), headers.end(), [&](const auto& h) { return *h == *line.header; });
      if (same == headers.end()) same = headers.insert(headers.end(), line.header);
      lastHeader = line.header;
      tag = uint32_t(same - headers.begin());
    }
    ordered.Add({TimeKey(BasisTime(report.filter, field[kTimeStamp])), ordered.Name(field[kComputer]),
                 ordered.Name(log.name), arrival++},
                tag, line.raw);
  });
  LineWriter writer(SourceOf(dirs), report, out);
  ordered.Drain([&](const LineOrder& key, uint32_t header, std::string_view record) {
    writer.Line(ordered.NameOf(key.log), record, *headers[header]);
  });
  writer.End(left);
  return kExitOk;
}

namespace {

// A grouping counted by interned keys: the values a line's key is made of are packed
// into one reused string, looked up once a line; the report's own key (case folded,
// times grouped) is made once per distinct value, at the end.
struct InternedGrouping {
  std::vector<std::string> names;  // the columns LineKey reads for this grouping
  std::vector<size_t> slots;       // their places in the LineFields
  // Whether the column is read only as a time to group by: its day is all that counts.
  std::vector<bool> dayOnly;
  std::unordered_map<std::string, LogTally> rows;
};

// The columns of the log a column's value is read from: its own, or a product's factors.
std::vector<const char*> ReadColumns(const Settings& settings, const LineColumn* column) {
  const Settings::Product* p = ProductOf(settings, column);
  if (p == nullptr) return {column->csv};
  return {p->factors[0]->csv, p->factors[1]->csv};
}

InternedGrouping KeyColumns(const Report& report, const Grouping& g) {
  InternedGrouping ig;
  const std::string time = TimeColumn(report.filter);
  bool timeGrouped = false, timeRaw = false;
  auto use = [&](const std::string& name, bool grouped) {
    (grouped ? timeGrouped : timeRaw) |= name == time;
    if (std::find(ig.names.begin(), ig.names.end(), name) == ig.names.end()) ig.names.push_back(name);
  };
  for (const GroupKey& k : g.leading) {
    if (k.kind == GroupKey::kUser) {
      use("user", false);
    } else if (k.kind == GroupKey::kColumn) {
      for (const char* name : ReadColumns(report.settings, k.column)) use(name, false);
    } else {
      use(time, true);
    }
  }
  if (g.byPlace) {
    use("computer", false);
    use("printer", false);
  }
  if (report.cost && report.settings.matchColumn != nullptr) use(report.settings.matchColumn->csv, false);
  for (const std::string& name : ig.names) ig.dayOnly.push_back(name == time && timeGrouped && !timeRaw);
  return ig;
}

void Pack(std::string& packed, std::string_view value) {
  uint32_t size = uint32_t(value.size());
  packed.append(reinterpret_cast<const char*>(&size), sizeof size);
  packed.append(value.data(), value.size());
}

// Hands the interned rows over as the grouping's rows, keyed as LineKey keys a line.
void Unpack(const Report& report, InternedGrouping& ig, Grouping& g) {
  std::vector<std::string> values(ig.names.size());
  RowKey key;
  auto field = [&](const std::string& name) {
    return values[size_t(std::find(ig.names.begin(), ig.names.end(), name) - ig.names.begin())];
  };
  for (auto& [packed, tally] : ig.rows) {
    size_t at = 0;
    for (size_t i = 0; i < values.size(); ++i) {
      uint32_t size = 0;
      std::memcpy(&size, packed.data() + at, sizeof size);
      values[i].assign(packed, at + sizeof size, size);
      at += sizeof size + size;
      // Any time of the day groups as the day does.
      if (ig.dayOnly[i] && !values[i].empty()) values[i] += "T00:00:00.000";
    }
    LineKey(report, g, field, key);
    g.rows[key].Add(tally, report.measures);
  }
  ig.rows.clear();
}

}  // namespace

void TallyLog(const std::vector<std::string>& dirs, const Report& report, Tallies& tallies) {
  std::vector<std::string> names = FilterColumns(report.filter);
  // Each measure's place in names, then its factor's when it is a product.
  std::vector<size_t> measureAt;
  for (const LineColumn* m : report.measures) {
    measureAt.push_back(names.size());
    for (const char* name : ReadColumns(report.settings, m)) names.push_back(name);
  }
  std::vector<const LineColumn*> spelled = SpelledColumns(report);
  size_t firstSpelled = names.size();
  for (const LineColumn* c : spelled) names.push_back(c->csv);
  std::vector<InternedGrouping> interned;
  for (const Grouping& g : tallies.groupings) {
    interned.push_back(KeyColumns(report, g));
    for (const std::string& name : interned.back().names) names.push_back(name);
  }
  LineFields field(names);
  for (InternedGrouping& ig : interned) {
    for (const std::string& name : ig.names) ig.slots.push_back(field.Slot(name));
  }
  LogTally one{1, {}};
  std::string packed, product;
  tallies.source = SourceOf(dirs);
  ForEachLine(dirs, report.filter, tallies.left, field.Names(), [&](const LogSet&, const LogLine& line) {
    field.Use(line);
    if (!Passes(report.filter, field, tallies.left)) return;
    NoteUnspelled(spelled, [&](const LineColumn* c) {
      return field[firstSpelled + size_t(std::find(spelled.begin(), spelled.end(), c) - spelled.begin())];
    }, 1, tallies);
    one.sums.assign(report.measures.size(), 0);
    for (size_t i = 0; i < report.measures.size(); ++i) {
      std::string_view v = field[measureAt[i]];
      if (const Settings::Product* p = ProductOf(report.settings, report.measures[i])) {
        product = ProductValue(*p, std::string(v), std::string(field[measureAt[i] + 1]));
        v = product;
      }
      if (!v.empty() && !ParseColumnNumber(v, &one.sums[i])) ++tallies.notNumbers;
    }
    for (InternedGrouping& ig : interned) {
      packed.clear();
      for (size_t i = 0; i < ig.slots.size(); ++i) {
        std::string_view v = field[ig.slots[i]];
        // A day is all that counts of such a time (read as the filter reads it).
        if (ig.dayOnly[i]) {
          v = BasisTime(report.filter, v);
          v = IsLogTime(v) ? v.substr(0, 10) : std::string_view();
        }
        Pack(packed, v);
      }
      auto it = ig.rows.find(packed);
      if (it == ig.rows.end()) it = ig.rows.emplace(packed, LogTally{}).first;
      it->second.Add(one, report.measures);
    }
  });
  for (size_t i = 0; i < interned.size(); ++i) Unpack(report, interned[i], tallies.groupings[i]);
}

}  // namespace spoolgate
