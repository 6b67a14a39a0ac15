// SPDX-License-Identifier: Apache-2.0
// The accounting database on a PostgreSQL server through libpq: new lines copied into
// log_lines with COPY, a batch with stored keys through a session table and ON CONFLICT.
#include "tools/database/db_url.h"
#include "tools/database/log_db_backend.h"

#include "tools/database/pq_library.h"

namespace spoolgate {

namespace {

// A failed statement with its SQLSTATE, so that a deadlock between two importers can be
// told from a real failure.
struct PgError : DbError {
  PgError(const std::string& what, const std::string& sqlState) : DbError(what), state(sqlState) {}
  std::string state;
};

// The first line of a libpq message: every error of the command is one line.
std::string FirstLine(const char* message) {
  std::string text = message != nullptr ? message : "";
  text = text.substr(0, text.find('\n'));
  return text.empty() ? "unknown error" : text;
}

// Appends a value in COPY's text form: \N for NULL, backslash escapes for the bytes
// that would end the field or the row.
void AppendCopyValue(std::string& out, const DbValue& v) {
  if (!v) {
    out += "\\N";
    return;
  }
  // Appended in runs between the bytes to escape, which most values do not hold.
  const char* p = v->data();
  const char* end = p + v->size();
  for (;;) {
    const char* q = p;
    while (q < end && *q != '\\' && *q != '\t' && *q != '\n' && *q != '\r') ++q;
    out.append(p, q);
    if (q == end) return;
    out += '\\';
    out += *q == '\\' ? '\\' : *q == '\t' ? 't' : *q == '\n' ? 'n' : 'r';
    p = q + 1;
  }
}

class Postgres final : public Database {
 public:
  Postgres(const std::string& url, const std::string& shown) : shown_(shown) {
    conn_ = Pq().PQconnectdb(url.c_str());
    if (conn_ == nullptr || Pq().PQstatus(conn_) != CONNECTION_OK) {
      // libpq quotes what it could not use, which may be a piece of a mistyped password.
      std::string why = ConnectionMessage(FirstLine(conn_ != nullptr ? Pq().PQerrorMessage(conn_) : "out of memory"), url);
      Pq().PQfinish(conn_);
      throw DbError(shown_ + ": " + why);
    }
    // Notices ("already exists, skipping") are not the user's business.
    Pq().PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
    if (Pq().PQsetClientEncoding(conn_, "UTF8") != 0) {
      std::string why = FirstLine(Pq().PQerrorMessage(conn_));
      Pq().PQfinish(conn_);
      throw DbError(shown_ + ": " + why);
    }
  }
  ~Postgres() override { Pq().PQfinish(conn_); }

  void Exec(const std::string& sql) override { Check(Pq().PQexec(conn_, sql.c_str()), PGRES_COMMAND_OK); }

  void Query(const std::string& sql, const std::vector<std::string>& params,
             const std::function<void(const DbRow&)>& row) override {
    std::vector<const char*> values;
    for (const auto& p : params) values.push_back(p.c_str());
    if (!Pq().PQsendQueryParams(conn_, sql.c_str(), int(values.size()), nullptr, values.data(), nullptr,
                           nullptr, 0)) {
      throw PgError(shown_ + ": " + FirstLine(Pq().PQerrorMessage(conn_)), "");
    }
    // One row at a time, so that a long listing is never held whole in memory.
    Pq().PQsetSingleRowMode(conn_);
    std::string failure, state;
    DbRow v;
    while (PGresult* r = Pq().PQgetResult(conn_)) {
      ExecStatusType status = Pq().PQresultStatus(r);
      if (status == PGRES_SINGLE_TUPLE && failure.empty()) {
        int n = Pq().PQnfields(r);
        v.assign(size_t(n), std::nullopt);
        for (int c = 0; c < n; ++c) {
          if (!Pq().PQgetisnull(r, 0, c)) v[size_t(c)] = std::string(Pq().PQgetvalue(r, 0, c), size_t(Pq().PQgetlength(r, 0, c)));
        }
        try {
          row(v);
        } catch (...) {
          Pq().PQclear(r);
          while (PGresult* rest = Pq().PQgetResult(conn_)) Pq().PQclear(rest);
          throw;
        }
      } else if (status != PGRES_SINGLE_TUPLE && status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK &&
                 failure.empty()) {
        failure = FirstLine(Pq().PQresultErrorMessage(r));
        const char* s = Pq().PQresultErrorField(r, PG_DIAG_SQLSTATE);
        state = s != nullptr ? s : "";
      }
      Pq().PQclear(r);
    }
    if (!failure.empty()) throw PgError(shown_ + ": " + failure, state);
  }

  void BeginExclusive() override {
    Exec("BEGIN");
    // Held to the end of the transaction: a second importer waits here, then finds the
    // tables the first one created.
    Query("SELECT pg_advisory_xact_lock(7370666174)", {}, [](const DbRow&) {});
  }
  void Commit() override { Exec("COMMIT"); }

  bool TableExists(const std::string& name) override {
    bool found = false;
    Query("SELECT to_regclass($1) IS NOT NULL", {name},
          [&](const DbRow& r) { found = r[0] && *r[0] == "t"; });
    return found;
  }

  const char* TypeName(ColumnKind kind) const override {
    switch (kind) {
      case ColumnKind::kInteger: return "bigint";
      case ColumnKind::kTime: return "timestamp(3) without time zone";
      case ColumnKind::kUtcTime: return "timestamp(3) with time zone";
      default: return "text";
    }
  }
  std::string TimeText(const std::string& column, bool utc) const override {
    return utc ? "to_char(" + column + " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')"
               : "to_char(" + column + ", 'YYYY-MM-DD\"T\"HH24:MI:SS.MS')";
  }
  std::string ByteOrder(const std::string& expr) const override { return expr + " COLLATE \"C\""; }
  // In UTC whatever the session's time zone.
  // numeric: exact, where bigint would fail at 2^63.
  std::string Product(const std::string& a, const std::string& b) const override {
    return "(" + a + "::numeric * " + b + ")";
  }
  std::string TimeColumn(bool utc) const override { return utc ? "(written_utc AT TIME ZONE 'UTC')" : "time_stamp"; }
  // Compared as timestamps: to_char() of the column, which the reports compared before,
  // is no immutable function, so no index could serve it.
  std::string TimeValue(const std::string& param) const override { return "CAST(" + param + " AS timestamp(3))"; }

  StoreResult Store(const std::vector<LineRow>& batch) override {
    // Two importers that reach the same keys in a different order can deadlock; the
    // server ends one of them, which then stores its batch again.
    for (int attempt = 1;; ++attempt) {
      try {
        return StoreOnce(batch);
      } catch (const PgError& e) {
        Pq().PQclear(Pq().PQexec(conn_, "ROLLBACK"));
        bool retry = e.state == "40P01" || e.state == "40001";
        if (!retry || attempt == 5) throw;
      }
    }
  }

 private:
  StoreResult StoreOnce(const std::vector<LineRow>& batch) {
    const auto& columns = LineColumns();
    std::string names;
    for (size_t i = 0; i < columns.size(); ++i) names += std::string(i ? ", " : "") + columns[i].db;
    Exec("BEGIN");
    // A batch of lines new to the table (a first import, the lines after the last one)
    // is copied straight in. One that holds a stored key (a second import, another
    // importer at work) fails on the key and goes through the session table instead;
    // the batches after it do so too until one finds nothing stored.
    if (direct_) {
      Exec("SAVEPOINT direct");
      try {
        Copy("log_lines (" + names + ")", batch, false);
        Exec("COMMIT");
        StoreResult all;
        all.added = batch.size();
        return all;
      } catch (const PgError& e) {
        if (e.state != "23505") throw;
        Exec("ROLLBACK TO SAVEPOINT direct");
        direct_ = false;
      }
    }
    std::string defs;
    for (const auto& c : columns) defs += std::string(", ") + c.db + " " + TypeName(c.kind);
    Exec("CREATE TEMP TABLE IF NOT EXISTS spoolgate_staging (batch_row integer" + defs +
         ") ON COMMIT DELETE ROWS");
    Copy("spoolgate_staging (batch_row, " + names + ")", batch, true);

    StoreResult result;
    PGresult* inserted = Check(
        Pq().PQexec(conn_, ("INSERT INTO log_lines (" + names + ") SELECT " + names +
                       " FROM spoolgate_staging ON CONFLICT (computer, log_name, sequence) DO NOTHING")
                          .c_str()),
        PGRES_COMMAND_OK, false);
    result.added = std::stoull(Pq().PQcmdTuples(inserted));
    Pq().PQclear(inserted);
    Query("SELECT s.batch_row FROM spoolgate_staging s JOIN log_lines l ON l.computer = s.computer"
          " AND l.log_name = s.log_name AND l.sequence = s.sequence"
          " WHERE l.crc32 IS DISTINCT FROM s.crc32 ORDER BY s.batch_row",
          {}, [&](const DbRow& r) { result.clashes.push_back(size_t(std::stoull(*r[0]))); });
    Exec("COMMIT");
    direct_ = result.added == batch.size();
    return result;
  }

  // COPY of a batch into table (with its column list), each row led by its position in
  // the batch when numbered.
  void Copy(const std::string& table, const std::vector<LineRow>& batch, bool numbered) {
    Check(Pq().PQexec(conn_, ("COPY " + table + " FROM STDIN").c_str()), PGRES_COPY_IN);
    std::string buffer;
    bool sent = true;
    for (size_t r = 0; r < batch.size() && sent; ++r) {
      if (numbered) buffer += std::to_string(r) + '\t';
      for (size_t i = 0; i < batch[r].values.size(); ++i) {
        if (i != 0) buffer += '\t';
        AppendCopyValue(buffer, batch[r].values[i]);
      }
      buffer += '\n';
      if (buffer.size() >= (1u << 20) || r + 1 == batch.size()) {
        sent = Pq().PQputCopyData(conn_, buffer.data(), int(buffer.size())) == 1;
        buffer.clear();
      }
    }
    if (Pq().PQputCopyEnd(conn_, nullptr) != 1) throw PgError(shown_ + ": " + FirstLine(Pq().PQerrorMessage(conn_)), "");
    // The server's answer names the failure (a stored key, for one); every result is
    // read before the next statement can be sent.
    PGresult* failed = nullptr;
    while (PGresult* r = Pq().PQgetResult(conn_)) {
      if (failed == nullptr && Pq().PQresultStatus(r) != PGRES_COMMAND_OK) failed = r;
      else Pq().PQclear(r);
    }
    if (failed != nullptr) Check(failed, PGRES_COMMAND_OK);
  }

  // Throws for a result other than expected; returns it when free is false, else frees it.
  PGresult* Check(PGresult* r, ExecStatusType expected, bool free = true) {
    if (r == nullptr || Pq().PQresultStatus(r) != expected) {
      std::string why = FirstLine(r != nullptr ? Pq().PQresultErrorMessage(r) : Pq().PQerrorMessage(conn_));
      const char* s = r != nullptr ? Pq().PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
      std::string state = s != nullptr ? s : "";
      Pq().PQclear(r);
      throw PgError(shown_ + ": " + why, state);
    }
    if (free) {
      Pq().PQclear(r);
      return nullptr;
    }
    return r;
  }

  std::string shown_;
  PGconn* conn_ = nullptr;
  bool direct_ = true;
};

}  // namespace

std::unique_ptr<Database> OpenPostgres(const std::string& url, const std::string& shown) {
  return std::make_unique<Postgres>(url, shown);
}

}  // namespace spoolgate
