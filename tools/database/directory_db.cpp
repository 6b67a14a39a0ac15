// SPDX-License-Identifier: Apache-2.0
// The directory's tables: one row a snapshot (its date the key), one row a user of a
// snapshot with its kept attributes as a JSON object.
#include "tools/database/directory_db.h"

#include "tools/database/db_url.h"
#include "tools/database/log_db_backend.h"

#include <nlohmann/json.hpp>

namespace spoolgate {
namespace {

void CreateDirectoryTables(Database& db) {
  db.Exec("CREATE TABLE IF NOT EXISTS directory_snapshots (snapshot_date TEXT PRIMARY KEY, taken_utc TEXT NOT NULL, "
          "source TEXT NOT NULL, attributes TEXT NOT NULL)");
  db.Exec("CREATE TABLE IF NOT EXISTS directory_users (snapshot_date TEXT NOT NULL, account TEXT NOT NULL, "
          "user_name TEXT NOT NULL, attribute_values TEXT NOT NULL, PRIMARY KEY (snapshot_date, account))");
}

}  // namespace

void StoreDirectorySnapshot(const std::string& url, const DirectorySnapshot& s) {
  std::unique_ptr<Database> db = OpenDatabase(url, true);
  db->BeginExclusive();
  CreateDirectoryTables(*db);
  auto none = [](const DbRow&) {};
  db->Query("DELETE FROM directory_users WHERE snapshot_date = $1", {s.date}, none);
  db->Query("DELETE FROM directory_snapshots WHERE snapshot_date = $1", {s.date}, none);
  db->Query("INSERT INTO directory_snapshots (snapshot_date, taken_utc, source, attributes) VALUES ($1, $2, $3, $4)",
            {s.date, s.taken, s.source, nlohmann::json(s.attributes).dump()}, none);
  for (const auto& [account, user] : s.users) {
    db->Query("INSERT INTO directory_users (snapshot_date, account, user_name, attribute_values) VALUES ($1, $2, $3, $4)",
              {s.date, account, user.name, UserValuesJson(user)}, none);
  }
  db->Commit();
}

DirectoryHistory LoadDirectorySnapshots(const std::string& url) {
  std::unique_ptr<Database> db = OpenDatabase(url, false);
  std::string shown = DatabaseName(url);
  if (!db->TableExists("directory_snapshots")) {
    throw DbError(shown + ": no directory snapshots (spoolgate directory import --db stores them)");
  }
  DirectoryHistory history;
  db->Query("SELECT snapshot_date, taken_utc, source, attributes FROM directory_snapshots", {}, [&](const DbRow& r) {
    DirectorySnapshot s{r[0].value_or(""), r[1].value_or(""), r[2].value_or(""), {}, {}};
    nlohmann::json a = nlohmann::json::parse(r[3].value_or(""), nullptr, false);
    if (!a.is_array()) throw DbError(shown + ": directory snapshot " + s.date + ": damaged attributes");
    for (const auto& name : a) s.attributes.push_back(name.is_string() ? name.get<std::string>() : std::string());
    AddSnapshot(history, std::move(s));
  });
  if (history.snapshots.empty()) throw DbError(shown + ": no directory snapshots (spoolgate directory import --db stores them)");
  db->Query("SELECT snapshot_date, account, user_name, attribute_values FROM directory_users", {}, [&](const DbRow& r) {
    std::string date = r[0].value_or("");
    for (DirectorySnapshot& s : history.snapshots) {
      if (s.date != date) continue;
      s.users[r[1].value_or("")] =
          DirectoryUser{r[2].value_or(""), UserValuesFromJson(r[3].value_or(""), shown + ": directory user")};
    }
  });
  return history;
}

}  // namespace spoolgate
