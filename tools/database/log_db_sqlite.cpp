// SPDX-License-Identifier: Apache-2.0
// The accounting database in an SQLite file: batches stored in one write transaction
// each, the key's clashes found by reading the stored checksum back.
#include "tools/database/log_db_backend.h"

#include <sqlite3.h>

#include <charconv>

namespace spoolgate {

namespace {

class Sqlite final : public Database {
 public:
  Sqlite(const std::string& path, bool create) : path_(path) {
    // One thread uses the connection: SQLite's own mutexes would only cost.
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
      std::string why = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      db_ = nullptr;
      throw DbError("sqlite:" + path + ": " + why);
    }
    // Importers running at once take turns on the write lock instead of failing.
    sqlite3_busy_timeout(db_, 120000);
  }
  ~Sqlite() override {
    for (sqlite3_stmt* s : {insert_, stored_}) sqlite3_finalize(s);
    sqlite3_close(db_);
  }

  void Exec(const std::string& sql) override {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
      std::string why = message != nullptr ? message : sqlite3_errmsg(db_);
      sqlite3_free(message);
      throw Fail(why);
    }
  }

  void Query(const std::string& sql, const std::vector<std::string>& params,
             const std::function<void(const DbRow&)>& row) override {
    sqlite3_stmt* s = Prepare(sql);
    for (size_t i = 0; i < params.size(); ++i) {
      int at = sqlite3_bind_parameter_index(s, ("$" + std::to_string(i + 1)).c_str());
      if (at != 0) sqlite3_bind_text(s, at, params[i].data(), int(params[i].size()), SQLITE_TRANSIENT);
    }
    DbRow values;
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      int n = sqlite3_column_count(s);
      values.assign(size_t(n), std::nullopt);
      for (int c = 0; c < n; ++c) {
        if (sqlite3_column_type(s, c) == SQLITE_NULL) continue;
        const char* text = reinterpret_cast<const char*>(sqlite3_column_text(s, c));
        values[size_t(c)] = std::string(text, size_t(sqlite3_column_bytes(s, c)));
      }
      row(values);
    }
    sqlite3_finalize(s);
    if (rc != SQLITE_DONE) throw Fail(sqlite3_errmsg(db_));
  }

  void BeginExclusive() override { Exec("BEGIN IMMEDIATE"); }
  void Commit() override { Exec("COMMIT"); }

  bool TableExists(const std::string& name) override {
    bool found = false;
    Query("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = $1", {name},
          [&](const DbRow&) { found = true; });
    return found;
  }

  const char* TypeName(ColumnKind kind) const override {
    // Times stay ISO 8601 text, which SQLite's date and time functions read.
    return kind == ColumnKind::kInteger ? "INTEGER" : "TEXT";
  }
  std::string TimeText(const std::string& column, bool) const override { return column; }
  // The stored text without its Z compares with the canonical times of a range.
  // SQLite turns an integer product past 2^63-1 into a real, whose sum is then no
  // integer and refused.
  std::string Product(const std::string& a, const std::string& b) const override { return "(" + a + " * " + b + ")"; }
  std::string TimeColumn(bool utc) const override { return utc ? "substr(written_utc, 1, 23)" : "time_stamp"; }
  // Both sides texts of one fixed form: text order is time order.
  std::string TimeValue(const std::string& param) const override { return param; }
  // SQLite compares texts by their bytes unless told otherwise.
  std::string ByteOrder(const std::string& expr) const override { return expr; }

  StoreResult Store(const std::vector<LineRow>& batch) override {
    const auto& columns = LineColumns();
    if (insert_ == nullptr) {
      // The tables are ours by now. A write-ahead log appends each batch and lets reports
      // read while an import writes; a lost power supply can take back only the last
      // batches, which the next import stores again. The cache keeps the key's index
      // pages between batches (32 MiB at most, whatever the number of lines).
      Exec("PRAGMA journal_mode = WAL");
      Exec("PRAGMA synchronous = NORMAL");
      Exec("PRAGMA cache_size = -32768");
      std::string names, marks;
      for (size_t i = 0; i < columns.size(); ++i) {
        names += std::string(i ? ", " : "") + columns[i].db;
        marks += i ? ", ?" : "?";
      }
      insert_ = Prepare("INSERT INTO log_lines (" + names + ") VALUES (" + marks +
                        ") ON CONFLICT (computer, log_name, sequence) DO NOTHING");
      stored_ = Prepare(
          "SELECT crc32 FROM log_lines WHERE computer = ? AND log_name = ? AND sequence = ?");
    }
    size_t crc = columns.size() - 1;
    StoreResult result;
    Exec("BEGIN IMMEDIATE");
    for (size_t r = 0; r < batch.size(); ++r) {
      const DbRow& v = batch[r].values;
      sqlite3_reset(insert_);
      for (size_t i = 0; i < columns.size(); ++i) Bind(insert_, int(i + 1), columns[i].kind, v[i]);
      if (sqlite3_step(insert_) != SQLITE_DONE) Abort();
      if (sqlite3_changes(db_) == 1) {
        ++result.added;
        continue;
      }
      sqlite3_reset(stored_);
      for (size_t i = 0; i < kKeyColumns; ++i) Bind(stored_, int(i + 1), columns[i].kind, v[i]);
      if (sqlite3_step(stored_) != SQLITE_ROW) Abort();
      const char* have = reinterpret_cast<const char*>(sqlite3_column_text(stored_, 0));
      if (have == nullptr || !v[crc] || *v[crc] != have) result.clashes.push_back(r);
    }
    sqlite3_reset(insert_);
    sqlite3_reset(stored_);
    Exec("COMMIT");
    return result;
  }

 private:
  DbError Fail(const std::string& why) const { return DbError("sqlite:" + path_ + ": " + why); }

  [[noreturn]] void Abort() {
    std::string why = sqlite3_errmsg(db_);
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw Fail(why);
  }

  sqlite3_stmt* Prepare(const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), int(sql.size()), &s, nullptr) != SQLITE_OK) {
      throw Fail(sqlite3_errmsg(db_));
    }
    return s;
  }

  static void Bind(sqlite3_stmt* s, int at, ColumnKind kind, const DbValue& v) {
    if (!v) {
      sqlite3_bind_null(s, at);
    } else if (kind == ColumnKind::kInteger) {
      // A decimal the line check found to fit 64 bits.
      int64_t n = 0;
      std::from_chars(v->data(), v->data() + v->size(), n);
      sqlite3_bind_int64(s, at, sqlite3_int64(n));
    } else {
      sqlite3_bind_text(s, at, v->data(), int(v->size()), SQLITE_STATIC);
    }
  }

  std::string path_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* stored_ = nullptr;
};

}  // namespace

std::unique_ptr<Database> OpenSqlite(const std::string& path, bool create) {
  return std::make_unique<Sqlite>(path, create);
}

}  // namespace spoolgate
