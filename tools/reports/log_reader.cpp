// SPDX-License-Identifier: Apache-2.0
// `spoolgate log show` and `summary` over the lines log_folder reads: listing and
// counting the good lines of one or more servers' folders.
#include "tools/reports/log_reader.h"

#include "tools/common/errors.h"
#include "tools/common/numbers.h"
#include "tools/logread/csv_lines.h"
#include "tools/logread/log_fields.h"
#include "tools/reports/log_listing.h"
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
  std::string_view stamp = at < line.fields.size() ? BasisTime(filter, line.fields[at]) : std::string_view();
  if (!IsLogTime(stamp)) {
    ++count;
    ++left.timeUnknown;
  } else if ((filter.fromTime.empty() || stamp >= filter.fromTime) && (filter.toTime.empty() || stamp <= filter.toTime)) {
    ++count;
  }
}

// Calls visit(line) for every line of every log of the folders with a right checksum
// (all lines with includeDamaged), in order; pending lines and stray files are left out
// and counted in left. The lines are cut as far as the columns wanted.
template <typename Visit>
void ForEachLine(const std::vector<std::string>& dirs, const LogFilter& filter, LeftOut& left,
                 const std::vector<std::string>& wanted, Visit visit) {
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
      at_.push_back(size_t(std::find(header_->begin(), header_->end(), name) - header_->begin()));
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

// A line of `log show` as the first pass keeps it: 24 bytes.
struct Place {
  int64_t time;
  uint64_t offset : 44;  // 16 TiB
  uint64_t length : 20;  // of the line; kLongLine: at least that, read by its line end
  uint32_t file;
  uint32_t computer;
};
static_assert(sizeof(Place) == 24, "memory holds 24 bytes a line");
constexpr uint64_t kLongLine = (uint64_t(1) << 20) - 1;
struct File {
  std::string path, log;
  std::shared_ptr<const std::vector<std::string>> header;
};

// Copies the lines of a window (the places from first on, order: their indexes in the
// order of files and offsets) into text; copied[i] is where the window's line i is.
void CopyWindow(const std::deque<Place>& places, size_t first, const std::vector<uint32_t>& order,
                const std::vector<File>& files, std::vector<std::pair<size_t, size_t>>& copied, std::string& text) {
  constexpr size_t kSpan = size_t(256) << 10;
  size_t count = order.size();
  text.clear();
  copied.resize(count);
  std::unique_ptr<CsvRecordReader> reader;
  uint32_t open = UINT32_MAX;
  for (size_t k = 0; k < count;) {
    const Place& p = places[first + order[k]];
    const std::string& path = files[p.file].path;
    if (p.file != open) {
      reader = std::make_unique<CsvRecordReader>(path);
      if (!reader->Ok()) throw InputError(path + ": cannot be read");
      open = p.file;
    }
    auto changed = [&] { return InputError(path + ": changed while it was read (byte " + std::to_string(p.offset) + ")"); };
    std::string_view record;
    if (p.length == kLongLine) {
      uint64_t offset = 0;
      bool complete = false;
      reader->SkipTo(p.offset);
      if (!reader->Next(record, offset, complete)) throw changed();
      copied[order[k++]] = {text.size(), record.size()};
      text.append(record.data(), record.size());
      continue;
    }
    // The lines of this file that lie close behind this one come in the same read.
    size_t last = k;
    while (last + 1 < count) {
      const Place& q = places[first + order[last + 1]];
      const Place& prev = places[first + order[last]];
      if (q.file != p.file || q.length == kLongLine || q.offset + q.length - p.offset > kSpan ||
          q.offset - (prev.offset + prev.length) > kSpan / 16) {
        break;
      }
      ++last;
    }
    const Place& end = places[first + order[last]];
    std::string_view span;
    if (!reader->ReadAt(p.offset, size_t(end.offset + end.length - p.offset), span)) throw changed();
    for (; k <= last; ++k) {
      const Place& q = places[first + order[k]];
      copied[order[k]] = {text.size(), q.length};
      text.append(span.substr(size_t(q.offset - p.offset), q.length));
    }
  }
}

}  // namespace

int ShowLog(const std::vector<std::string>& dirs, const Report& report, std::ostream& out) {
  // The matching lines of several logs are merged in time order: a first pass keeps
  // where each one is, a second reads them again in that order.
  std::deque<Place> places;
  std::vector<File> files;
  std::vector<std::shared_ptr<const std::vector<std::string>>> headers;  // each a different one
  std::map<std::string, uint32_t, std::less<>> computers;
  std::pair<const std::string, uint32_t>* lastComputer = nullptr;
  LeftOut left;
  LineFields field(FilterColumns(report.filter));
  ForEachLine(dirs, report.filter, left, field.Names(), [&](const LogSet& log, const LogLine& line) {
    field.Use(line);
    if (!Passes(report.filter, field, left)) return;
    if (files.empty() || files.back().path != line.file) {
      // Files of one header share it, so that the writer maps its columns once.
      auto same = std::find_if(headers.begin(), headers.end(), [&](const auto& h) { return *h == *line.header; });
      if (same == headers.end()) same = headers.insert(headers.end(), line.header);
      files.push_back({line.file, log.name, *same});
    }
    // Lines of one computer come in runs: its name is looked up when it changes.
    std::string_view computer = field[kComputer];
    if (lastComputer == nullptr || lastComputer->first != computer) {
      auto c = computers.find(computer);
      if (c == computers.end()) c = computers.emplace(std::string(computer), uint32_t(computers.size())).first;
      lastComputer = &*c;
    }
    if (line.offset >> 44 != 0) throw InputError(line.file + ": larger than 16 TiB");
    places.push_back({TimeKey(BasisTime(report.filter, field[kTimeStamp])), line.offset,
                      std::min<uint64_t>(line.raw.size(), kLongLine), uint32_t(files.size() - 1),
                      lastComputer->second});
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
  // The lines are read again a window at a time: its places in the order of their files
  // and offsets, so that each file is read forwards once a window, lines close to each
  // other in one read, whatever the order of the times; then written in time order from
  // the window's copy of them.
  constexpr size_t kWindow = size_t(1) << 16, kWindowBytes = size_t(16) << 20;
  std::vector<uint32_t> order;
  std::vector<std::pair<size_t, size_t>> copied;  // of each place of the window in text
  std::string text;
  // Room for a window whose last line passes the bound, so that the copy never doubles.
  text.reserve(kWindowBytes + kLongLine);
  std::vector<std::string_view> fields;
  std::string scratch;
  for (size_t first = 0, count = 0; first < places.size(); first += count) {
    size_t bytes = 0;
    for (count = 0; first + count < places.size() && count < kWindow && bytes < kWindowBytes; ++count) {
      bytes += places[first + count].length;
    }
    order.resize(count);
    for (uint32_t i = 0; i < count; ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
      const Place& pa = places[first + a];
      const Place& pb = places[first + b];
      return pa.file != pb.file ? pa.file < pb.file : pa.offset < pb.offset;
    });
    CopyWindow(places, first, order, files, copied, text);
    for (size_t i = 0; i < count; ++i) {
      const File& f = files[places[first + i].file];
      SplitCsvViews(std::string_view(text).substr(copied[i].first, copied[i].second), fields, scratch);
      writer.Line(f.log, fields, *f.header);
    }
  }
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
  std::vector<std::string> values(ig.names.size()), key;
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
