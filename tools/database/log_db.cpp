// SPDX-License-Identifier: Apache-2.0
// The accounting database: its versioned schema, the import of checked log lines in
// batches, and `log summary` / `log show` computed by the database with GROUP BY.
#include "tools/database/log_db.h"

#include "logger/log_format.h"
#include "tools/database/batch_store.h"
#include "tools/database/db_url.h"
#include "tools/database/line_check.h"
#include "tools/database/log_db_backend.h"
#include "tools/logread/csv_lines.h"
#include "tools/logread/log_folder.h"
#include "tools/common/case_fold.h"
#include "tools/reports/log_listing.h"
#include "tools/common/progress.h"
#include "tools/common/numbers.h"
#include "tools/common/text.h"

#include <algorithm>
#include <deque>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <string_view>

namespace fs = std::filesystem;

namespace spoolgate {

namespace {

constexpr size_t kBatchLines = 5000;
constexpr size_t kDetailedProblems = 20;

// ---------------------------------------------------------------------------------------
// Opening the database, its schema and the steps from one version to the next

// The indexes of the two time bases, on exactly the expressions a report's range
// compares (Database::TimeColumn), so that a month's bill reads the month and not the
// history. Named so that a user's own index of the same name from the days before them
// (the docs suggested `log_lines_time ON log_lines (time_stamp)`) is taken as it is.
constexpr const char* kTimeIndexes[] = {"log_lines_time", "log_lines_utc"};

void CreateTimeIndexes(Database& db) {
  for (bool utc : {false, true}) {
    db.Exec(std::string("CREATE INDEX IF NOT EXISTS ") + kTimeIndexes[utc] + " ON log_lines (" + db.TimeColumn(utc) +
            ")");
  }
}

void DropTimeIndexes(Database& db) {
  for (const char* index : kTimeIndexes) db.Exec(std::string("DROP INDEX IF EXISTS ") + index);
}

// A column added to the log (LineColumns) reaches an existing table by a step that calls
// this: {N, false, [](Database& db) { AddLineColumn(db, "value_700"); }}. The rows
// stored before it hold NULL there, as the lines of a log whose header lacks it do.
[[maybe_unused]] void AddLineColumn(Database& db, const char* csvName) {
  const LineColumn* c = FindLineColumn(csvName);
  if (c == nullptr) throw DbError(std::string("no column ") + csvName + " in the log's table");
  db.Exec(std::string("ALTER TABLE log_lines ADD COLUMN ") + c->db + " " + db.TypeName(c->kind));
}

// One step of the schema: what makes version `version` from the one before. Each runs
// once, in the import's exclusive transaction together with the new version number, so
// that two importers meeting an old database upgrade it once between them and a step cut
// short leaves the version before it.
struct SchemaStep {
  int version;
  // Whether the reports read a database still without this step as they read one with it
  // (the step adds only indexes): otherwise they ask for an import first.
  bool readsAsBefore;
  void (*apply)(Database& db);
};

const SchemaStep kSchemaSteps[] = {
    // 2: the time indexes.
    {2, true, CreateTimeIndexes},
};
static_assert(std::size(kSchemaSteps) == kSchemaVersion - 1, "a step for every version after the first");

// The tables of the newest version, in a database that has none: the tables version 1
// made with every step since applied (the upgrade test of log_db_test checks that a
// version-1 database gains the same indexes by name).
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
  CreateTimeIndexes(db);
  db.Exec("CREATE TABLE schema_version (version INTEGER NOT NULL)");
  db.Exec("INSERT INTO schema_version (version) VALUES (" + std::to_string(kSchemaVersion) + ")");
}

// The database opened for an import or a report.
struct Opened {
  std::unique_ptr<Database> db;
  int upgradedFrom = 0;        // the version an import found, when it upgraded it
  bool indexesLater = false;   // the table was empty: the time indexes are built at the end
};

// Opens the database and makes sure it holds tables this program reads: an import
// creates them in a database that has none and upgrades an older version step by step;
// a report reads an older version whose missing steps change nothing it reads, and asks
// for an import otherwise. A newer version, or one that is no version, is refused.
Opened OpenChecked(const std::string& url, bool create) {
  Opened opened;
  opened.db = OpenDatabase(url, create);
  Database& db = *opened.db;
  std::string shown = DatabaseName(url);
  // Only an import may create or upgrade the tables, and two importers must not both do it.
  if (create) db.BeginExclusive();
  bool hasVersion = db.TableExists("schema_version");
  bool hasLines = db.TableExists("log_lines");
  if (!hasVersion && !hasLines) {
    if (!create) throw DbError(shown + ": no accounting tables (spoolgate log import creates them)");
    CreateSchema(db);
  } else if (!hasVersion) {
    throw DbError(shown + ": a log_lines table without a schema version, not one this spoolgate made");
  } else {
    std::vector<std::string> versions;
    db.Query("SELECT version FROM schema_version", {},
             [&](const DbRow& r) { versions.push_back(r[0].value_or("NULL")); });
    uint64_t version = 0;
    bool known = versions.size() == 1 && ParseColumnNumber(versions[0], &version) && version >= 1 && hasLines;
    if (known && version > uint64_t(kSchemaVersion)) {
      throw DbError(shown + ": database schema version " + versions[0] + " is newer than this command's " +
                    std::to_string(kSchemaVersion) + " (a newer spoolgate made it; use that one)");
    }
    if (!known) {
      std::string found = versions.empty() ? "none" : versions[0];
      if (versions.size() > 1) found += " and " + std::to_string(versions.size() - 1) + " more";
      throw DbError(shown + ": schema version " + found + " is not one this spoolgate knows (" +
                    std::to_string(kSchemaVersion) + ")");
    }
    for (const SchemaStep& step : kSchemaSteps) {
      if (uint64_t(step.version) <= version) continue;
      if (create) {
        step.apply(db);
        db.Exec("UPDATE schema_version SET version = " + std::to_string(step.version));
        if (opened.upgradedFrom == 0) opened.upgradedFrom = int(version);
      } else if (!step.readsAsBefore) {
        throw DbError(shown + ": database schema version " + versions[0] + " is older than this command's " +
                      std::to_string(kSchemaVersion) + "; the next spoolgate log import into it upgrades it");
      }
    }
  }
  if (create) {
    // What an import refused, by where it was, so that reports from the database name
    // those lines as reports from the folders name damaged ones. Added beside the lines of
    // version 1; a program that does not know it leaves it alone.
    db.Exec("CREATE TABLE IF NOT EXISTS refused_lines (file TEXT NOT NULL, byte_offset BIGINT NOT NULL, "
            "reason TEXT NOT NULL, time_stamp TEXT, written_utc TEXT, PRIMARY KEY (file, byte_offset))");
    // Into an empty table the lines go faster without the time indexes, which are then
    // built once from the stored lines (sorted, not updated line by line). A table with
    // lines gets them back here should an earlier first import have been cut short.
    bool empty = true;
    db.Query("SELECT 1 FROM log_lines LIMIT 1", {}, [&](const DbRow&) { empty = false; });
    opened.indexesLater = empty;
    if (empty) DropTimeIndexes(db);
    else CreateTimeIndexes(db);
    db.Commit();
  }
  return opened;
}

// A line the import did not store: where it is, why, and its time when one can be read.
struct RefusedLine {
  std::string file;
  uint64_t offset;
  std::string reason, time, utc;  // the times: "" when none can be read
};

// The local or UTC time of what is left of a line in the form of a log time, "" when
// it holds none.
std::string ReadableTime(const LogEntry& line, bool utc) {
  LogFilter basis;
  basis.utc = utc;
  std::string_view t = BasisTime(basis, HeaderField(line.fields, *line.header, TimeColumn(basis)));
  return IsLogTime(t) ? std::string(t) : std::string();
}

// Stores the lines gathered once a batch is full, or with all at the end, so that a
// folder of foreign files never fills the memory.
void RecordRefused(Database& db, std::vector<RefusedLine>& lines, bool all) {
  if (lines.empty() || (!all && lines.size() < kBatchLines)) return;
  db.Exec("BEGIN");
  for (const RefusedLine& r : lines) {
    db.Query("INSERT INTO refused_lines (file, byte_offset, reason, time_stamp, written_utc) "
             "VALUES ($1, $2, $3, NULLIF($4, ''), NULLIF($5, '')) ON CONFLICT (file, byte_offset) DO NOTHING",
             {r.file, std::to_string(r.offset), r.reason, r.time, r.utc}, [](const DbRow&) {});
  }
  db.Commit();
  lines.clear();
}

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

// The time range of the filter (PrepareLogFilter called) as SQL terms on a time, its
// bounds as parameters: FitTimeRange's test, for the database, whose stored times are
// all times (or NULL). typed: the bounds as that database's time values (TimeValue),
// for a TimeColumn; without it they compare as texts in the form of a log time.
std::vector<std::string> RangeSql(const LogFilter& f, const std::string& time, std::vector<std::string>& params,
                                  const Database* typed = nullptr) {
  std::vector<std::string> terms;
  for (auto [bound, op] : {std::pair{&f.fromTime, " >= "}, std::pair{&f.toTime, " <= "}}) {
    if (bound->empty()) continue;
    params.push_back(*bound);
    std::string value = "$" + std::to_string(params.size());
    terms.push_back(time + op + (typed != nullptr ? typed->TimeValue(value) : value));
  }
  return terms;
}

// The WHERE clause of the filter (PrepareLogFilter called), with its values as parameters:
// the same matches as on the CSV logs, times compared as times (TimeColumn, TimeValue).
// untimed: instead of the time range, the lines it leaves out for having no time.
// With -i a name matches every stored spelling that folds as it does (FoldCase): the
// spellings are looked up and folded here, so that both databases match exactly as the
// logs do, whatever their own idea of case.
std::string Where(Database& db, const LogFilter& f, std::vector<std::string>& params, bool untimed = false) {
  std::vector<std::string> terms;
  auto param = [&](const std::string& value) {
    params.push_back(value);
    return "$" + std::to_string(params.size());
  };
  // The time terms, the column itself on the left so that the time index serves the
  // range, their values numbered in the list given.
  std::string time = db.TimeColumn(f.utc);
  auto timeTerms = [&](std::vector<std::string>& values) {
    if (untimed) return time + " IS NULL";
    std::string t;
    for (const std::string& term : RangeSql(f, time, values, &db)) t += (t.empty() ? "" : " AND ") + term;
    return t;
  };
  auto same = [&](const char* column, const std::string& value) {
    if (!f.ignoreCase) return column + std::string(" = ") + param(value);
    // The spellings of the rows of the range only: a month's bill does not read the
    // names of the whole history.
    std::vector<std::string> values;
    std::string range = timeTerms(values), folded = FoldCase(value), spellings;
    db.Query(std::string("SELECT DISTINCT ") + column + " FROM log_lines" + (range.empty() ? "" : " WHERE " + range),
             values, [&](const DbRow& r) {
               if (r[0] && FoldCase(*r[0]) == folded) spellings += (spellings.empty() ? "" : ", ") + param(*r[0]);
             });
    return spellings.empty() ? std::string("1 = 0") : column + std::string(" IN (") + spellings + ")";
  };
  if (!f.user.empty()) terms.push_back(same("user_name", f.user));
  if (!f.printer.empty()) terms.push_back(same("printer", f.printer));
  if (!f.computer.empty()) terms.push_back(same("computer", f.computer));
  std::string range = timeTerms(params);
  if (!range.empty()) terms.push_back(range);
  std::string where;
  for (const auto& t : terms) where += (where.empty() ? " WHERE " : " AND ") + t;
  return where;
}

// A count or sum the database computed; a sum past 2^64-1 is refused as on the CSV logs.
uint64_t Count(const DbValue& v, const std::string& column) {
  uint64_t n = 0;
  if (v && !ParseColumnNumber(*v, &n)) {
    throw InputError("--sum " + column + ": the sum passes 18446744073709551615");
  }
  return n;
}

// What a report leaves out from the database: only checked lines are stored, so only
// the lines a time range cannot place.
LeftOut DatabaseLeftOut(Database& db, const LogFilter& filter) {
  LeftOut left;
  if (db.TableExists("refused_lines")) {
    // Refused lines of the period, and those whose time could not be read.
    left.refused = true;
    std::vector<std::string> params;
    std::string period, t = TimeColumn(filter);  // both stored in the form of a log time
    for (const std::string& term : RangeSql(filter, t, params)) period += (period.empty() ? "" : " AND ") + term;
    std::string where = period.empty() ? "" : " WHERE " + t + " IS NULL OR (" + period + ")";
    db.Query("SELECT count(*), COALESCE(sum(CASE WHEN " + t + " IS NULL THEN 1 ELSE 0 END), 0) FROM refused_lines" +
                 where, params, [&](const DbRow& r) {
               left.damaged = Count(r[0], "count");
               if (!period.empty()) left.timeUnknown = Count(r[1], "count");
             });
  }
  if (filter.fromTime.empty() && filter.toTime.empty()) return left;
  std::vector<std::string> params;
  db.Query("SELECT count(*) FROM log_lines" + Where(db, filter, params, true), params,
           [&](const DbRow& r) { left.untimed = Count(r[0], "count"); });
  return left;
}

// The SQL of a column's value: a product of the settings computed.
std::string ColumnSql(const Database& db, const Settings& settings, const LineColumn* c) {
  const Settings::Product* p = ProductOf(settings, c);
  return p == nullptr ? std::string(c->db) : db.Product(p->factors[0]->db, p->factors[1]->db);
}

// The SQL of a grouping's key, the same values LineKey takes from a line of the logs.
std::string KeyExpression(const Database& db, const Report& report, const GroupKey& k) {
  std::string time = db.TimeColumn(report.filter.utc), stamp = db.TimeText(time);
  std::string e;
  switch (k.kind) {
    // The day: its week, month or year is DayGroup's, as on the logs.
    case GroupKey::kDay:
    case GroupKey::kWeek:
    case GroupKey::kMonth:
    case GroupKey::kYear: return "substr(" + stamp + ", 1, 10)";
    case GroupKey::kUser: e = "user_name"; break;
    case GroupKey::kComputer: e = "computer"; break;
    case GroupKey::kPrinter: e = "printer"; break;
    case GroupKey::kColumn: e = ColumnSql(db, report.settings, k.column); break;
  }
  if (k.kind == GroupKey::kColumn && k.column->kind != ColumnKind::kText) e = "CAST(" + e + " AS TEXT)";
  return e;
}

// The jobs whose names hold the '?' of a character the server could not spell.
void CountUnspelled(Database& db, const Report& report, Tallies& tallies) {
  std::vector<const LineColumn*> columns = SpelledColumns(report);
  std::vector<std::string> params;
  std::string where = Where(db, report.filter, params), select, any, group;
  for (size_t i = 0; i < columns.size(); ++i) {
    select += std::string(i ? ", " : "") + columns[i]->db;
    any += std::string(i ? " OR " : "") + columns[i]->db + " LIKE '%?%'";
    group += (i ? ", " : "") + std::to_string(i + 1);
  }
  where += (where.empty() ? " WHERE (" : " AND (") + any + ")";
  std::string value;
  db.Query("SELECT " + select + ", count(*) FROM log_lines" + where + " GROUP BY " + group, params,
           [&](const DbRow& r) {
             NoteUnspelled(columns, [&](const LineColumn* c) -> const std::string& {
               size_t i = size_t(std::find(columns.begin(), columns.end(), c) - columns.begin());
               return value = r[i].value_or("");
             }, Count(r[columns.size()], "count"), tallies);
           });
}

}  // namespace

std::string ReportWhere(Database& db, const LogFilter& filter, std::vector<std::string>& params) {
  return Where(db, filter, params);
}

void TallyDatabase(const std::string& url, const Report& report, Tallies& tallies) {
  std::unique_ptr<Database> db = OpenChecked(url, false).db;
  std::vector<std::string> params;
  std::string where = Where(*db, report.filter, params);
  // The first grouping's rows tell whether a name holds a '?' (its keys, and a count of
  // the other names), so that CountUnspelled reads the table again only when one does.
  std::vector<const LineColumn*> spelled = SpelledColumns(report);
  bool unspelled = tallies.groupings.empty();
  for (Grouping& g : tallies.groupings) {
    std::vector<GroupKey> keys = g.leading;
    // Without them, computer and printer are the empty values LineKey gives.
    if (g.byPlace) keys.insert(keys.end(), {{GroupKey::kComputer, "computer"}, {GroupKey::kPrinter, "printer"}});
    if (report.cost && report.settings.matchColumn != nullptr) {
      keys.push_back({GroupKey::kColumn, "", report.settings.matchColumn});
    }
    std::string select, group;
    for (size_t i = 0; i < keys.size(); ++i) {
      select += (i ? ", " : "") + KeyExpression(*db, report, keys[i]);
      group += (i ? ", " : "") + std::to_string(i + 1);
    }
    select += ", count(*)";
    for (const LineColumn* m : report.measures) select += ", COALESCE(sum(" + ColumnSql(*db, report.settings, m) + "), 0)";
    std::vector<size_t> spelledKeys;
    std::string others;
    for (const LineColumn* c : spelled) {
      size_t i = 0;
      while (i < keys.size() && KeyExpression(*db, report, keys[i]) != c->db) ++i;
      if (i < keys.size()) spelledKeys.push_back(i);
      else others += (others.empty() ? "" : " OR ") + std::string(c->db) + " LIKE '%?%'";
    }
    spelled.clear();
    if (!others.empty()) select += ", count(CASE WHEN " + others + " THEN 1 END)";
    RowKey key;
    key.leading.resize(g.leading.size());
    LogTally tally;
    db->Query("SELECT " + select + " FROM log_lines" + where + " GROUP BY " + group, params, [&](const DbRow& r) {
      for (size_t i : spelledKeys) unspelled = unspelled || (r[i] && r[i]->find('?') != std::string::npos);
      if (!others.empty()) unspelled = unspelled || Count(r.back(), "count") != 0;
      size_t at = 0;
      for (; at < g.leading.size(); ++at) {
        const GroupKey& k = g.leading[at];
        bool time = k.kind != GroupKey::kUser && k.kind != GroupKey::kColumn;
        key.leading[at] = time ? DayGroup(k.kind, r[at].value_or("")) : r[at].value_or("");
      }
      if (g.byPlace) {
        key.computer = r[at++].value_or("");
        key.printer = r[at++].value_or("");
      }
      if (at < keys.size()) key.priceMatch = r[at].value_or("");
      if (report.filter.ignoreCase) FoldKeyCase(g, key);
      tally.jobs = Count(r[keys.size()], "count");
      tally.sums.resize(report.measures.size());
      for (size_t i = 0; i < report.measures.size(); ++i) tally.sums[i] = Count(r[keys.size() + 1 + i], report.measures[i]->csv);
      // Text keys that differ in the database fold to one here, as on the logs.
      g.rows[key].Add(tally, report.measures);
    });
  }
  tallies.left = DatabaseLeftOut(*db, report.filter);
  if (unspelled) CountUnspelled(*db, report, tallies);
  tallies.source = {"database", DatabaseName(url)};
}

int ShowDatabase(const std::string& url, const Report& report, std::ostream& out) {
  std::unique_ptr<Database> db = OpenChecked(url, false).db;
  LeftOut left = DatabaseLeftOut(*db, report.filter);
  std::vector<std::string> params;
  std::string where = Where(*db, report.filter, params);
  // Every column of the log under its name in the log, the sequence first as in the files.
  std::vector<std::string> header;
  std::string sql = "SELECT log_name";
  const auto& columns = LineColumns();
  for (size_t pass = 0; pass < 2; ++pass) {
    for (size_t i = 0; i < columns.size(); ++i) {
      const LineColumn& c = columns[i];
      bool sequence = i == kKeyColumns - 1;
      if (c.csv == nullptr || sequence != (pass == 0)) continue;
      header.push_back(c.csv);
      bool time = c.kind == ColumnKind::kTime || c.kind == ColumnKind::kUtcTime;
      sql += ", " + (time ? db->TimeText(c.db, c.kind == ColumnKind::kUtcTime) : std::string(c.db));
    }
  }
  // Time order as on the CSV logs: lines without a time last, one time by server and log
  // in byte order whatever the database's collation.
  std::string time = db->TimeColumn(report.filter.utc);
  sql += " FROM log_lines" + where + " ORDER BY " + time + " IS NULL, " + time + ", " + db->ByteOrder("computer") +
         ", " + db->ByteOrder("log_name") + ", sequence";
  LineWriter writer({"database", DatabaseName(url)}, report, out);
  std::vector<std::string_view> fields;
  db->Query(sql, params, [&](const DbRow& r) {
    fields.resize(r.size() - 1);
    for (size_t i = 1; i < r.size(); ++i) fields[i - 1] = r[i] ? std::string_view(*r[i]) : std::string_view();
    writer.Line(r[0] ? std::string_view(*r[0]) : std::string_view(), fields, header);
  });
  writer.End(left);
  return kExitOk;
}


std::unique_ptr<Database> OpenDatabase(const std::string& url, bool create) {
  if (url.compare(0, 7, "sqlite:") == 0 && url.size() > 7) {
    std::string path = url.substr(7);
    if (!create && !fs::exists(path)) throw DbError(url + ": no such database file");
    return OpenSqlite(path, create);
  }
  if (url.compare(0, 13, "postgresql://") == 0 || url.compare(0, 11, "postgres://") == 0) {
    return OpenPostgres(url, DatabaseName(url));
  }
  throw DbError("the --db URL is not a database URL (sqlite:PATH or postgresql://...)");
}

namespace {

struct ImportCounts {
  uint64_t read, added, torn, altered, foreign, clashes, waiting, files, folders;
};

// The import's last lines: how many refused lines were not named, and what it read,
// stored and refused.
void PrintImportCounts(const ImportCounts& c, uint64_t problemLines, std::ostream& out) {
  if (problemLines > kDetailedProblems) {
    out << "... and " << Grouped(problemLines - kDetailedProblems) << " more lines not stored\n";
  }
  uint64_t refused = c.torn + c.altered + c.foreign + c.clashes + c.waiting;
  out << "read " << Grouped(c.read) << (c.read == 1 ? " line" : " lines") << " in " << c.files
      << (c.files == 1 ? " file" : " files") << " of " << c.folders << (c.folders == 1 ? " folder" : " folders")
      << ": " << Grouped(c.added) << " new, " << Grouped(c.read - c.added - refused) << " already stored";
  if (refused != 0) {
    out << ", " << Grouped(refused) << " not stored (" << c.torn << " torn, " << c.altered << " altered, "
        << c.foreign << " foreign, " << c.clashes << " clashing";
    if (c.waiting != 0) out << ", " << c.waiting << " pending without a number yet";
    out << ")";
  }
  out << "\n";
}

}  // namespace

int ImportLogs(const std::vector<std::string>& dirs, const std::string& url, bool progress,
               std::ostream& out) {
  std::error_code ec;
  // Every folder is looked at before the database is opened (or created): a wrong path
  // is an error, not an import of nothing.
  std::vector<LogFolder> folders;
  for (const std::string& dir : dirs) folders.push_back(FindLogFolder(dir, true));
  Opened opened = OpenChecked(url, true);
  std::unique_ptr<Database> db = std::move(opened.db);
  Progress bar(progress, "import", LogBytes(dirs));

  ImportCounts c{};
  c.folders = dirs.size();
  uint64_t bytesBefore = 0;
  std::ostringstream problems;
  uint64_t problemLines = 0;
  std::vector<RefusedLine> refusedLines;
  auto problem = [&](const std::string& file, uint64_t recordNo, uint64_t offset, const std::string& what,
                     const std::string& time, const std::string& utc) {
    refusedLines.push_back({file, offset, what, time, utc});
    RecordRefused(*db, refusedLines, false);
    if (++problemLines > kDetailedProblems) return;
    problems << file << ":" << recordNo << " (byte " << offset << "): " << what << ", not stored\n";
  };
  // The files of the lines in a batch, for its report (a batch spans a few files).
  std::deque<std::string> batchFiles;
  const size_t timeColumn = size_t(FindLineColumn("time_stamp") - LineColumns().data());
  const size_t utcColumn = size_t(FindLineColumn("written_utc") - LineColumns().data());
  std::vector<LineRow> batch;
  batch.reserve(kBatchLines);
  // Each batch is stored while the next is read; what it found is reported before any
  // line read after it, in the order of the lines.
  BatchStore store(*db, [&](const std::vector<LineRow>& stored, const StoreResult& r) {
    c.added += r.added;
    for (size_t i : r.clashes) {
      ++c.clashes;
      const LineRow& row = stored[i];
      problem(*row.file, row.recordNo, row.offset, "sequence " + *row.values[2] + " of log '" + *row.values[1] +
                                   "' from '" + *row.values[0] +
                                   "' is stored with another checksum", row.values[timeColumn].value_or(""),
              row.values[utcColumn].value_or("").substr(0, 23));
    }
    while (batchFiles.size() > 1 && (batch.empty() || batch.front().file != &batchFiles.front())) batchFiles.pop_front();
  });

  LineChecker checker;
  std::string why;
  uint64_t strayFiles = 0;
  std::ostringstream strays;  // printed once the progress bar is gone
  for (const LogFolder& folder : folders) {
    // A log whose sequence file is gone is found by no reader: named, so nothing is lost
    // without a word.
    for (const std::string& file : folder.strayFiles) {
      ++strayFiles;
      strays << file << ": belongs to no log (no .seq file beside it), not read\n";
    }
    for (const LogSet& log : folder.logs) {
      ForEachLogEntry(log, [&](const LogEntry& line) {
        if (batchFiles.empty() || line.file != batchFiles.back()) {
          if (!batchFiles.empty()) bytesBefore += fs::file_size(batchFiles.back(), ec);
          batchFiles.push_back(line.file);
          ++c.files;
        }
        ++c.read;
        batch.emplace_back();
        LineRow& row = batch.back();
        Verdict v = checker.Check(line, row.values, why);
        if (v == Verdict::kStored) {
          row.values[1] = log.name;
          row.file = &batchFiles.back();
          row.recordNo = line.recordNo;
          row.offset = line.offset;
          if (batch.size() == kBatchLines) store.Send(batch);
        } else {
          batch.pop_back();
          if (v == Verdict::kWaiting) {
            ++c.waiting;
          } else {
            (v == Verdict::kTorn ? c.torn : v == Verdict::kAltered ? c.altered : c.foreign)++;
            store.Settle();
            problem(line.file, line.recordNo, line.offset, why, ReadableTime(line, false), ReadableTime(line, true));
          }
        }
        bar.Update(bytesBefore + line.offset);
      });
    }
  }
  store.Send(batch);
  store.Settle();
  RecordRefused(*db, refusedLines, true);
  if (opened.indexesLater) {
    db->BeginExclusive();
    CreateTimeIndexes(*db);
    db->Commit();
  }

  uint64_t refused = c.torn + c.altered + c.foreign + c.clashes + c.waiting;
  bar.Clear();
  if (opened.upgradedFrom != 0) {
    out << "upgraded the database from schema version " << opened.upgradedFrom << " to " << kSchemaVersion << "\n";
  }
  out << strays.str() << problems.str();
  PrintImportCounts(c, problemLines, out);
  if (checker.badTimes != 0) {
    out << Grouped(checker.badTimes) << " time stamps were not times and are stored as NULL\n";
  }
  // A pending line waiting for its number is stored by a later import: not a fault.
  return refused == c.waiting && strayFiles == 0 ? kExitOk : kExitStepFailed;
}

}  // namespace spoolgate
