// The accounting database: its versioned schema, the import of checked log lines in
// batches, and `log summary` / `log show` computed by the database with GROUP BY.
#include "tools/log_db.h"

#include "logger/sequence_number.h"
#include "tools/db_url.h"
#include "tools/log_db_backend.h"
#include "tools/log_folder.h"
#include "tools/progress.h"
#include "tools/text.h"

#include <algorithm>
#include <deque>
#include <filesystem>
#include <sstream>
#include <string_view>

namespace fs = std::filesystem;

namespace spoolgate {

const std::vector<LineColumn>& LineColumns() {
  using K = ColumnKind;
  static const std::vector<LineColumn> columns = {
      {"computer", "computer", K::kText},         {nullptr, "log_name", K::kText},
      {"sequence", "sequence", K::kInteger},      {"level", "level", K::kInteger},
      {"format", "format", K::kInteger},          {"content_flags", "content_flags", K::kInteger},
      {"time_stamp", "time_stamp", K::kTime},
      // "user" is a reserved word in SQL (and a function in PostgreSQL).
      {"user", "user_name", K::kText},            {"document", "document", K::kText},
      {"printer", "printer", K::kText},           {"port", "port", K::kText},
      {"text_200", "text_200", K::kText},         {"text_216", "text_216", K::kText},
      {"text_240", "text_240", K::kText},         {"value_248", "value_248", K::kInteger},
      {"value_252", "value_252", K::kInteger},    {"value_256", "value_256", K::kInteger},
      {"block_260", "block_260", K::kText},       {"value_388", "value_388", K::kInteger},
      {"value_392", "value_392", K::kInteger},    {"value_396", "value_396", K::kInteger},
      {"value_400", "value_400", K::kInteger},    {"value_404", "value_404", K::kInteger},
      {"value_408", "value_408", K::kInteger},    {"text_416", "text_416", K::kText},
      {"text_424", "text_424", K::kText},         {"value_432", "value_432", K::kInteger},
      {"value_436", "value_436", K::kInteger},    {"text_440", "text_440", K::kText},
      {"value_448", "value_448", K::kInteger},    {"value_452", "value_452", K::kInteger},
      {"value_456", "value_456", K::kInteger},    {"text_464", "text_464", K::kText},
      {"value_472", "value_472", K::kInteger},    {"text_480", "text_480", K::kText},
      {"value_488", "value_488", K::kInteger},    {"value_492", "value_492", K::kInteger},
      {"value_496", "value_496", K::kInteger},    {"value_500", "value_500", K::kInteger},
      {"block_504", "block_504", K::kText},       {"value_632", "value_632", K::kInteger},
      {"text_640", "text_640", K::kText},
      // The moment the line was written, from logs that have the column.
      {"written_utc", "written_utc", K::kUtcTime},
      // Last, so that the stores find it at a fixed place.
      {"crc32", "crc32", K::kText},
  };
  return columns;
}

namespace {

constexpr size_t kBatchLines = 5000;
constexpr size_t kDetailedProblems = 20;

// ---------------------------------------------------------------------------------------
// Opening the database and checking its schema

void CreateSchema(Database& db) {
  std::string sql = "CREATE TABLE log_lines (";
  const auto& columns = LineColumns();
  for (size_t i = 0; i < columns.size(); ++i) {
    // The key and the checksum (the last column) are in every stored line.
    bool required = i < kKeyColumns || i + 1 == columns.size();
    sql += std::string(columns[i].db) + " " + db.TypeName(columns[i].kind) + (required ? " NOT NULL, " : ", ");
  }
  sql += "PRIMARY KEY (computer, log_name, sequence))";
  db.Exec(sql);
  db.Exec("CREATE TABLE schema_version (version INTEGER NOT NULL)");
  db.Exec("INSERT INTO schema_version (version) VALUES (" + std::to_string(kSchemaVersion) + ")");
}

// Opens the database and makes sure it holds tables of the version this program knows:
// an import creates them in a database that has none; anything else is refused.
std::unique_ptr<Database> OpenChecked(const std::string& url, bool create) {
  std::unique_ptr<Database> db = OpenDatabase(url, create);
  std::string shown = ShownUrl(url);
  // Only an import may create the tables, and two importers must not both do it.
  if (create) db->BeginExclusive();
  bool hasVersion = db->TableExists("schema_version");
  bool hasLines = db->TableExists("log_lines");
  if (!hasVersion && !hasLines) {
    if (!create) throw DbError(shown + ": no accounting tables (spoolgate log import creates them)");
    CreateSchema(*db);
  } else if (!hasVersion) {
    throw DbError(shown + ": a log_lines table without a schema version, not one this spoolgate made");
  } else {
    std::vector<std::string> versions;
    db->Query("SELECT version FROM schema_version", {},
              [&](const DbRow& r) { versions.push_back(r[0].value_or("NULL")); });
    if (versions.size() != 1 || versions[0] != std::to_string(kSchemaVersion) || !hasLines) {
      std::string found = versions.empty() ? "none" : versions[0];
      if (versions.size() > 1) found += " and " + std::to_string(versions.size() - 1) + " more";
      throw DbError(shown + ": schema version " + found + " is not one this spoolgate knows (" +
                    std::to_string(kSchemaVersion) + ")");
    }
  }
  if (create) db->Commit();
  return db;
}

// ---------------------------------------------------------------------------------------
// Checking a line

bool IsTime(std::string_view t) {
  // YYYY-MM-DDThh:mm:ss.sss, a real date and time of day.
  if (t.size() != 23) return false;
  for (size_t i = 0; i < t.size(); ++i) {
    char want = "dddd-dd-ddTdd:dd:dd.ddd"[i];
    if (want == 'd' ? (t[i] < '0' || t[i] > '9') : t[i] != want) return false;
  }
  auto num = [&](size_t at, size_t n) {
    int value = 0;
    for (size_t i = at; i < at + n; ++i) value = value * 10 + (t[i] - '0');
    return value;
  };
  int year = num(0, 4), month = num(5, 2), day = num(8, 2);
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || month < 1 || month > 12 || day < 1) return false;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day > days[month - 1] + (month == 2 && leap ? 1 : 0)) return false;
  return num(11, 2) < 24 && num(14, 2) < 60 && num(17, 2) < 60;
}

// A decimal that fits the databases' 64-bit signed integers.
// The bound of a signed 64-bit column, which is also the limit of sequence numbers:
// a line the readers count is a line the database stores.
static_assert(LOG_SEQUENCE_MAX == 9223372036854775807ull, "one limit for the log and the database");
bool IsInteger(const std::string& v) {
  if (v.empty() || v.size() > 19) return false;
  if (!std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
  return v.size() < 19 || v <= "9223372036854775807";
}

// Well-formed UTF-8 without NUL, as the logging library writes every text.
bool IsText(const std::string& v) {
  const auto* p = reinterpret_cast<const unsigned char*>(v.data());
  const auto* end = p + v.size();
  while (p < end) {
    unsigned c = *p++;
    if (c == 0) return false;
    if (c < 0x80) continue;
    int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 ? 1 : -1;
    if (more < 0 || c > 0xF4 || end - p < more) return false;
    unsigned cp = c & (0x3Fu >> more);
    for (int i = 0; i < more; ++i, ++p) {
      if ((*p & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (*p & 0x3Fu);
    }
    if ((more == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (more == 3 && (cp < 0x10000 || cp > 0x10FFFF))) {
      return false;
    }
  }
  return true;
}

enum class Verdict { kStored, kTorn, kAltered, kForeign, kWaiting };

// Turns the records of one file after another into rows, mapping each file's header
// to the table's columns once.
class LineChecker {
 public:
  // Fills row (values only, but for log_name) for a line to store; else says why not.
  Verdict Check(const LogEntry& line, DbRow& row, std::string& why) {
    if (!line.complete) {
      why = "torn line: the file ends inside it";
      return Verdict::kTorn;
    }
    if (!line.checksumOk) {
      bool hasCrc = HasChecksumField(line.raw);
      why = hasCrc ? "altered line: its checksum does not match"
                   : "no checksum at the end of the line (torn or altered)";
      return hasCrc ? Verdict::kAltered : Verdict::kTorn;
    }
    if (line.pending && line.sequence == 0) {
      why = "waits in the pending file without its number yet";
      return Verdict::kWaiting;
    }
    const std::vector<std::string>& header = *line.header;
    if (line.file != file_) Map(line.file, line.headerMissing ? std::vector<std::string>() : header);
    if (!mapError_.empty()) {
      why = mapError_;
      return Verdict::kForeign;
    }
    const std::vector<std::string>& fields = line.fields;
    if (fields.size() != header.size()) {
      why = std::to_string(fields.size()) + " fields where the header has " +
            std::to_string(header.size());
      return Verdict::kForeign;
    }
    const auto& columns = LineColumns();
    row.assign(columns.size(), std::nullopt);
    for (size_t i = 0; i < columns.size(); ++i) {
      // log_name is the caller's to fill.
      if (columns[i].csv == nullptr || index_[i] == SIZE_MAX) continue;
      const std::string& v = fields[index_[i]];
      switch (columns[i].kind) {
        case ColumnKind::kInteger:
          if (v.empty() && i >= kKeyColumns) continue;
          if (!IsInteger(v)) {
            why = std::string(columns[i].csv) + " '" + v.substr(0, 24) + "' is not a number";
            return Verdict::kForeign;
          }
          break;
        case ColumnKind::kTime:
          // A time the driver never set (an all-zero record) is kept as NULL.
          if (!IsTime(v)) {
            ++badTimes;
            continue;
          }
          break;
        case ColumnKind::kUtcTime:
          if (v.empty()) continue;
          if (v.size() != 24 || v[23] != 'Z' || !IsTime(std::string_view(v).substr(0, 23))) {
            why = std::string(columns[i].csv) + " '" + v.substr(0, 24) + "' is not a UTC time";
            return Verdict::kForeign;
          }
          break;
        case ColumnKind::kText:
          if (!IsText(v)) {
            why = std::string(columns[i].csv) + " is not UTF-8 text";
            return Verdict::kForeign;
          }
          break;
      }
      row[i] = v;
    }
    if (row[2] == "0") {
      why = "sequence number 0";
      return Verdict::kForeign;
    }
    return Verdict::kStored;
  }

  uint64_t badTimes = 0;

 private:
  void Map(const std::string& file, const std::vector<std::string>& header) {
    file_ = file;
    mapError_.clear();
    const auto& columns = LineColumns();
    index_.assign(columns.size(), SIZE_MAX);
    if (header.empty()) {
      mapError_ = "its file has no header line";
      return;
    }
    for (size_t i = 0; i < columns.size(); ++i) {
      if (columns[i].csv == nullptr) continue;
      auto it = std::find(header.begin(), header.end(), columns[i].csv);
      if (it != header.end()) index_[i] = size_t(it - header.begin());
    }
    for (const char* required : {"computer", "sequence", "crc32"}) {
      if (std::find(header.begin(), header.end(), required) == header.end()) {
        mapError_ = std::string("its file's header has no ") + required + " column";
      }
    }
  }

  std::string file_;
  std::string mapError_;
  std::vector<size_t> index_;
};

uint64_t LogBytes(const std::vector<std::string>& dirs) {
  uint64_t total = 0;
  std::error_code ec;
  for (const std::string& dir : dirs) {
    for (const auto& e : fs::directory_iterator(dir, ec)) {
      if (e.is_regular_file(ec)) total += e.file_size(ec);
    }
  }
  return total;
}

// ---------------------------------------------------------------------------------------
// Reports

// The WHERE clause of the filter (PrepareLogFilter called), with its values as parameters:
// the same matches as on the CSV logs, times compared as times in their canonical text.
std::string Where(const Database& db, const LogFilter& f, std::vector<std::string>& params) {
  std::vector<std::string> terms;
  auto param = [&](const std::string& value) {
    params.push_back(value);
    return "$" + std::to_string(params.size());
  };
  auto same = [&](const char* column, const std::string& value) {
    return f.ignoreCase ? db.AsciiLower(column) + " = " + db.AsciiLower(param(value))
                        : column + std::string(" = ") + param(value);
  };
  if (!f.user.empty()) terms.push_back(same("user_name", f.user));
  if (!f.printer.empty()) terms.push_back(same("printer", f.printer));
  std::string stamp = db.TimeText("time_stamp");
  if (!f.fromTime.empty()) terms.push_back(stamp + " >= " + param(f.fromTime));
  if (!f.toTime.empty()) terms.push_back(stamp + " <= " + param(f.toTime));
  std::string where;
  for (const auto& t : terms) where += (where.empty() ? " WHERE " : " AND ") + t;
  return where;
}

// The table columns of --sum: numeric columns, by their names in the log.
std::vector<std::string> SumColumns(const LogFilter& f) {
  std::vector<std::string> out;
  for (const std::string& s : f.sums) {
    auto& columns = LineColumns();
    auto it = std::find_if(columns.begin(), columns.end(), [&](const LineColumn& c) {
      return c.csv != nullptr && s == c.csv && c.kind == ColumnKind::kInteger;
    });
    if (it == columns.end()) {
      std::string names;
      for (const auto& c : columns) {
        if (c.kind == ColumnKind::kInteger && c.csv != nullptr) names += (names.empty() ? "" : " ") + std::string(c.csv);
      }
      throw InputError("--sum " + s + ": no such numeric column (columns: " + names + ")");
    }
    out.push_back(it->db);
  }
  return out;
}

// A count or sum the database computed; a sum past 2^64-1 is refused as on the CSV logs.
uint64_t Count(const DbValue& v, const std::string& column) {
  uint64_t n = 0;
  if (v && !ParseColumnNumber(*v, &n)) {
    throw InputError("--sum " + column + ": the sum passes 18446744073709551615");
  }
  return n;
}

}  // namespace

std::string ShownUrl(const std::string& url) { return RedactedDatabaseUrl(url); }

std::unique_ptr<Database> OpenDatabase(const std::string& url, bool create) {
  if (url.compare(0, 7, "sqlite:") == 0 && url.size() > 7) {
    std::string path = url.substr(7);
    if (!create && !fs::exists(path)) throw DbError(url + ": no such database file");
    return OpenSqlite(path, create);
  }
  if (url.compare(0, 13, "postgresql://") == 0 || url.compare(0, 11, "postgres://") == 0) {
    return OpenPostgres(url, ShownUrl(url));
  }
  throw DbError("--db " + ShownUrl(url) + ": not a database URL (sqlite:PATH or postgresql://...)");
}

int ImportLogs(const std::vector<std::string>& dirs, const std::string& url, bool progress,
               std::ostream& out) {
  std::error_code ec;
  for (const std::string& dir : dirs) {
    if (!fs::is_directory(dir, ec)) throw InputError(dir + ": no such directory");
  }
  std::unique_ptr<Database> db = OpenChecked(url, true);
  Progress bar(progress, "import", LogBytes(dirs));

  uint64_t read = 0, added = 0, torn = 0, altered = 0, foreign = 0, clashes = 0, files = 0;
  uint64_t bytesBefore = 0;
  std::ostringstream problems;
  uint64_t problemLines = 0;
  auto problem = [&](const std::string& file, uint64_t recordNo, uint64_t offset, const std::string& what) {
    if (++problemLines > kDetailedProblems) return;
    problems << file << ":" << recordNo << " (byte " << offset << "): " << what << ", not stored\n";
  };
  // The files of the lines in a batch, for its report (a batch spans a few files).
  std::deque<std::string> batchFiles;
  std::vector<LineRow> batch;
  batch.reserve(kBatchLines);
  auto flush = [&] {
    if (batch.empty()) return;
    StoreResult r = db->Store(batch);
    added += r.added;
    for (size_t i : r.clashes) {
      ++clashes;
      const LineRow& row = batch[i];
      problem(*row.file, row.recordNo, row.offset, "sequence " + *batch[i].values[2] + " of log '" + *batch[i].values[1] +
                                   "' from '" + *batch[i].values[0] +
                                   "' is stored with another checksum");
    }
    batch.clear();
    batchFiles.erase(batchFiles.begin(), batchFiles.end() - 1);
  };

  LineChecker checker;
  std::string why;
  uint64_t waiting = 0, strayFiles = 0;
  for (const std::string& dir : dirs) {
    LogFolder folder = FindLogFolder(dir);
    // A log whose sequence file is gone is found by no reader: named, so nothing is lost
    // without a word.
    for (const std::string& file : folder.strayFiles) {
      ++strayFiles;
      out << file << ": belongs to no log (no .seq file beside it), not read\n";
    }
    for (const LogSet& log : folder.logs) {
      ForEachLogEntry(log, [&](const LogEntry& line) {
        if (batchFiles.empty() || line.file != batchFiles.back()) {
          if (!batchFiles.empty()) bytesBefore += fs::file_size(batchFiles.back(), ec);
          batchFiles.push_back(line.file);
          ++files;
        }
        ++read;
        batch.emplace_back();
        LineRow& row = batch.back();
        Verdict v = checker.Check(line, row.values, why);
        if (v == Verdict::kStored) {
          row.values[1] = log.name;
          row.file = &batchFiles.back();
          row.recordNo = line.recordNo;
          row.offset = line.offset;
          if (batch.size() == kBatchLines) flush();
        } else {
          batch.pop_back();
          if (v == Verdict::kWaiting) {
            ++waiting;
          } else {
            (v == Verdict::kTorn ? torn : v == Verdict::kAltered ? altered : foreign)++;
            problem(line.file, line.recordNo, line.offset, why);
          }
        }
        bar.Update(bytesBefore + line.offset);
      });
    }
  }
  flush();

  uint64_t refused = torn + altered + foreign + clashes + waiting;
  out << problems.str();
  if (problemLines > kDetailedProblems) {
    out << "... and " << Grouped(problemLines - kDetailedProblems) << " more lines not stored\n";
  }
  out << "read " << Grouped(read) << (read == 1 ? " line" : " lines") << " in " << files
      << (files == 1 ? " file" : " files") << " of " << dirs.size()
      << (dirs.size() == 1 ? " folder" : " folders") << ": " << Grouped(added) << " new, "
      << Grouped(read - added - refused) << " already stored";
  if (refused != 0) {
    out << ", " << Grouped(refused) << " not stored (" << torn << " torn, " << altered << " altered, "
        << foreign << " foreign, " << clashes << " clashing";
    if (waiting != 0) out << ", " << waiting << " pending without a number yet";
    out << ")";
  }
  out << "\n";
  if (checker.badTimes != 0) {
    out << Grouped(checker.badTimes) << " time stamps were not times and are stored as NULL\n";
  }
  // A pending line waiting for its number is stored by a later import: not a fault.
  return refused == waiting && strayFiles == 0 ? kExitOk : kExitStepFailed;
}

int SummarizeDatabase(const std::string& url, const LogFilter& given, bool json, std::ostream& out) {
  LogFilter filter = given;
  PrepareLogFilter(filter);
  std::vector<std::string> sums = SumColumns(filter);
  std::unique_ptr<Database> db = OpenChecked(url, false);
  std::vector<std::string> params;
  std::string where = Where(*db, filter, params);
  std::string select = "count(*)";
  for (const auto& s : sums) select += ", COALESCE(sum(" + s + "), 0)";
  LogSummary summary;
  auto tally = [&](const DbRow& r, size_t first) {
    LogTally t{Count(r[first], "count"), {}};
    for (size_t i = 0; i < sums.size(); ++i) t.sums.push_back(Count(r[first + 1 + i], filter.sums[i]));
    return t;
  };
  for (const auto& group : {std::pair{"user_name", &summary.byUser}, {"printer", &summary.byPrinter}}) {
    auto* map = group.second;  // a structured binding cannot be captured in C++17
    db->Query(std::string("SELECT ") + group.first + ", " + select + " FROM log_lines" + where +
                  " GROUP BY " + group.first,
              params, [&](const DbRow& r) { (*map)[r[0].value_or("")] = tally(r, 1); });
  }
  db->Query("SELECT " + select + " FROM log_lines" + where, params,
            [&](const DbRow& r) { summary.total = tally(r, 0); });
  // Only checked lines are stored, and only numbers in numeric columns: nothing is left out.
  PrintSummary({"database", ShownUrl(url)}, summary, filter, LeftOut{}, json, out);
  return kExitOk;
}

int ShowDatabase(const std::string& url, const LogFilter& given, bool json, std::ostream& out) {
  LogFilter filter = given;
  PrepareLogFilter(filter);
  SumColumns(filter);
  std::unique_ptr<Database> db = OpenChecked(url, false);
  std::vector<std::string> params;
  std::string where = Where(*db, filter, params);
  // Every column of the log under its name in the log, the sequence first as in the files.
  auto header = std::make_shared<std::vector<std::string>>();
  std::string sql = "SELECT log_name";
  const auto& columns = LineColumns();
  for (size_t pass = 0; pass < 2; ++pass) {
    for (size_t i = 0; i < columns.size(); ++i) {
      const LineColumn& c = columns[i];
      bool sequence = i == kKeyColumns - 1;
      if (c.csv == nullptr || sequence != (pass == 0)) continue;
      header->push_back(c.csv);
      bool time = c.kind == ColumnKind::kTime || c.kind == ColumnKind::kUtcTime;
      sql += ", " + (time ? db->TimeText(c.db, c.kind == ColumnKind::kUtcTime) : std::string(c.db));
    }
  }
  // Time order as on the CSV logs: lines without a time last, one time by server and log.
  sql += " FROM log_lines" + where +
         " ORDER BY time_stamp IS NULL, time_stamp, computer, log_name, sequence";
  std::vector<ShownLine> lines;
  db->Query(sql, params, [&](const DbRow& r) {
    ShownLine line{r[0].value_or(""), {}, header};
    line.fields.reserve(r.size() - 1);
    for (size_t i = 1; i < r.size(); ++i) line.fields.push_back(r[i].value_or(""));
    lines.push_back(std::move(line));
  });
  PrintLines({"database", ShownUrl(url)}, lines, filter, LeftOut{}, json, out);
  return kExitOk;
}

}  // namespace spoolgate
