// SPDX-License-Identifier: Apache-2.0
// The two databases behind the accounting database commands (SQLite and PostgreSQL):
// the lines table's columns, one connection each, and the batched store of log lines.
#pragma once

#include "tools/common/errors.h"
#include "tools/logread/log_fields.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace spoolgate {

// A database that cannot be opened, used or understood: exit status 2, one line.
struct DbError : InputError {
  using InputError::InputError;
};

// The version of the tables this program creates and reads (schema_version.version).
// Each version after the first is made from the one before by a step of log_db.cpp's
// kSchemaSteps, which an import runs on an older database.
constexpr int kSchemaVersion = 2;


using DbValue = std::optional<std::string>;  // nullopt is NULL
using DbRow = std::vector<DbValue>;

// One checked line, its values in LineColumns() order, in the form the database reads
// (integers in decimal, times as YYYY-MM-DDThh:mm:ss.sss).
struct LineRow {
  DbRow values;
  // Where the line is, for the report: the file (kept by the importer), record, offset.
  const std::string* file = nullptr;
  uint64_t recordNo = 0, offset = 0;
};

struct StoreResult {
  uint64_t added = 0;           // lines new to the database
  std::vector<size_t> clashes;  // batch positions whose key is stored with another checksum
};

class Database {
 public:
  virtual ~Database() = default;
  // Runs statements that return nothing.
  virtual void Exec(const std::string& sql) = 0;
  // Runs one statement with parameters $1, $2 ... given as text, calling row() for every
  // row as it arrives (rows are not collected).
  virtual void Query(const std::string& sql, const std::vector<std::string>& params,
                     const std::function<void(const DbRow&)>& row) = 0;
  // Starts a transaction that a second importer creating the schema waits for.
  virtual void BeginExclusive() = 0;
  virtual void Commit() = 0;
  virtual bool TableExists(const std::string& name) = 0;
  // The column type of a kind in this database.
  virtual const char* TypeName(ColumnKind kind) const = 0;
  // An SQL expression giving a time column as text in the log's form (utc: with its Z).
  virtual std::string TimeText(const std::string& column, bool utc = false) const = 0;
  // An SQL expression ordering a text by its bytes, whatever the database's collation.
  virtual std::string ByteOrder(const std::string& expr) const = 0;
  // The times a report goes by, as a time expression for TimeText: the local
  // time_stamp, or (utc) written_utc as a UTC time without its zone. The time indexes
  // are built on exactly these expressions, so that a range compared with them reads
  // only its rows.
  virtual std::string TimeColumn(bool utc) const = 0;
  // A parameter ($1 ...) holding a log time (YYYY-MM-DDThh:mm:ss.sss) as a value that
  // TimeColumn compares with as a time, without a function around the column that
  // would keep the index out.
  virtual std::string TimeValue(const std::string& param) const = 0;
  // An SQL expression multiplying two integer columns, exact past 2^63 (a product too
  // large is refused as a sum too large is).
  virtual std::string Product(const std::string& a, const std::string& b) const = 0;
  // Stores a batch in one transaction; lines whose key is already stored are left alone.
  virtual StoreResult Store(const std::vector<LineRow>& batch) = 0;
};

// Opens the database a URL names: sqlite:PATH or postgresql://... (postgres://...).
// An import creates an SQLite file that does not exist; the reports do not.
std::unique_ptr<Database> OpenDatabase(const std::string& url, bool create);

// path: the database file (created when create is set and it does not exist).
std::unique_ptr<Database> OpenSqlite(const std::string& path, bool create);
// url: a libpq connection URI (postgresql://...); shown is how messages name it (DatabaseName).
std::unique_ptr<Database> OpenPostgres(const std::string& url, const std::string& shown);

}  // namespace spoolgate
