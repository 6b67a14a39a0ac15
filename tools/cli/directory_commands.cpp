// SPDX-License-Identifier: Apache-2.0
// `spoolgate directory`: taking a dated snapshot of the directory (from LDAP or a CSV
// export) into the accounting database or a snapshot file, and listing those kept.
#include "tools/cli/subcommands.h"

#include "tools/common/errors.h"
#include "tools/database/directory_db.h"
#include "tools/directory/directory_csv.h"
#include "tools/directory/directory_snapshot.h"
#include "tools/directory/ldap_read.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

namespace spoolgate {
namespace {

struct DirectoryArgs {
  LdapQuery ldap;
  std::string csv, db, file, date, passwordFile, passwordEnv;
  std::vector<std::string> keep;
  bool json = false;
};

// The time now in strftime's form, local or UTC.
std::string Now(const char* form, bool utc) {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  if (utc) {
    gmtime_r(&now, &parts);
  } else {
    localtime_r(&now, &parts);
  }
  char text[32];
  std::strftime(text, sizeof text, form, &parts);
  return text;
}

// The bind's password: the first line of a file, or a variable of the environment;
// never an argument, which every user of the machine can read in the process list.
std::string Password(const DirectoryArgs& a) {
  if (!a.passwordEnv.empty()) {
    const char* value = std::getenv(a.passwordEnv.c_str());
    if (value == nullptr) throw InputError("--password-env " + a.passwordEnv + ": no such variable in the environment");
    return value;
  }
  if (a.passwordFile.empty()) return "";
  std::ifstream in(a.passwordFile, std::ios::binary);
  if (!in) throw InputError(a.passwordFile + ": cannot read the password file");
  std::string line;
  char c;
  while (in.get(c) && c != '\n') {
    if (line.size() >= 4096) throw InputError(a.passwordFile + ": the first line is longer than a password");
    line += c;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// --keep NAME=ATTRIBUTE (or NAME alone: the attribute of that name).
std::vector<KeptAttribute> Kept(const std::vector<std::string>& keep) {
  std::vector<KeptAttribute> out;
  for (const std::string& k : keep) {
    size_t eq = k.find('=');
    KeptAttribute a{k.substr(0, eq), eq == std::string::npos ? k : k.substr(eq + 1)};
    if (a.name.empty() || a.source.empty()) throw InputError("--keep " + k + ": NAME=ATTRIBUTE, department=department");
    for (const KeptAttribute& other : out) {
      if (other.name == a.name) throw InputError("--keep " + a.name + " is given twice");
    }
    out.push_back(a);
  }
  return out;
}

int Import(DirectoryArgs& a) {
  std::string date = a.date.empty() ? Now("%Y-%m-%d", false) : a.date;
  if (!IsSnapshotDate(date)) throw InputError("--date " + date + ": not a date YYYY-MM-DD");
  a.ldap.fields.keep = Kept(a.keep.empty() ? std::vector<std::string>{"department"} : a.keep);
  std::vector<std::string> conflicts;
  DirectorySnapshot snapshot;
  if (!a.csv.empty()) {
    snapshot = ReadDirectoryCsv(a.csv, a.ldap.fields, conflicts);
  } else {
    a.ldap.password = Password(a);
    // A simple bind with a DN and no password is an unauthenticated bind, which a server
    // may answer as an anonymous one: a missing password would read as nobody.
    if (!a.ldap.bindDn.empty() && a.ldap.password.empty()) {
      throw InputError("--bind-dn " + a.ldap.bindDn + ": no password (--password-file FILE or --password-env NAME)");
    }
    snapshot = ReadLdap(a.ldap, conflicts);
  }
  if (!conflicts.empty()) {
    std::string names;
    for (size_t i = 0; i < conflicts.size() && i < 20; ++i) names += " " + conflicts[i];
    if (conflicts.size() > 20) names += " ...";
    std::cerr << "spoolgate: " << conflicts.size() << (conflicts.size() == 1 ? " account has" : " accounts have")
              << " two entries that disagree, so no snapshot is stored (narrow the filter or mend the directory):"
              << names << "\n";
    return kExitStepFailed;
  }
  snapshot.date = date;
  snapshot.taken = Now("%Y-%m-%dT%H:%M:%SZ", true);
  if (!a.db.empty()) {
    StoreDirectorySnapshot(a.db, snapshot);
  } else {
    DirectoryHistory history;
    if (std::filesystem::exists(a.file)) history = ReadSnapshotFile(a.file);
    AddSnapshot(history, snapshot);
    WriteSnapshotFile(a.file, history);
  }
  std::cout << "directory snapshot of " << date << ": " << snapshot.users.size()
            << (snapshot.users.size() == 1 ? " user" : " users") << " from " << snapshot.source << "\n";
  return kExitOk;
}

int List(const DirectoryArgs& a) {
  DirectoryHistory history = a.db.empty() ? ReadSnapshotFile(a.file) : LoadDirectorySnapshots(a.db);
  nlohmann::ordered_json j = nlohmann::ordered_json::array();
  for (const DirectorySnapshot& s : history.snapshots) {
    if (a.json) {
      j.push_back({{"date", s.date}, {"taken", s.taken}, {"source", s.source}, {"attributes", s.attributes},
                   {"users", s.users.size()}});
    } else {
      std::cout << s.date << "  " << s.users.size() << " users  taken " << s.taken << " from " << s.source << "\n";
    }
  }
  if (a.json) std::cout << j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
  return kExitOk;
}

// --db or --file, one of them; the check is for the subcommand's callback.
std::function<void()> AddStore(CLI::App* cmd, DirectoryArgs& a) {
  CLI::Option* db = cmd->add_option("--db", a.db, "the accounting database: sqlite:PATH or postgresql://...");
  CLI::Option* file = cmd->add_option("--file", a.file, "the snapshot file of reports from log folders");
  db->excludes(file);
  return [db, file] {
    if (db->count() == 0 && file->count() == 0) throw InputError("--db URL or --file PATH is required");
  };
}

}  // namespace

void AddDirectory(CLI::App& app, Action& action) {
  auto a = std::make_shared<DirectoryArgs>();
  CLI::App* dir = app.add_subcommand("directory", "snapshots of the directory that reports bill departments by");
  dir->require_subcommand(1);
  CLI::App* import = dir->add_subcommand(
      "import", "read the directory's users (LDAP or a CSV export) and keep them as a snapshot of a date");
  CLI::Option* ldap = import->add_option("--ldap", a->ldap.url, "the LDAP server: ldap://HOST[:PORT] or ldaps://...");
  CLI::Option* csv = import->add_option("--csv", a->csv, "a CSV export of the directory (Export-Csv)");
  ldap->excludes(csv);
  import->add_flag("--starttls", a->ldap.startTls, "StartTLS on an ldap:// connection");
  import->add_option("--bind-dn", a->ldap.bindDn, "the DN of the simple bind (none: anonymous)");
  CLI::Option* pf = import->add_option("--password-file", a->passwordFile, "the bind's password: the first line of FILE");
  CLI::Option* pe = import->add_option("--password-env", a->passwordEnv, "the bind's password: this environment variable");
  pf->excludes(pe);
  import->add_option("--base", a->ldap.base, "the search base, DC=corp,DC=example");
  import->add_option("--filter", a->ldap.filter, "the search filter")->capture_default_str();
  a->ldap.fields.userAttribute = "sAMAccountName";
  import->add_option("--user-attribute", a->ldap.fields.userAttribute, "the attribute or column of the user name (uid)")
      ->capture_default_str();
  import->add_option("--keep", a->keep, "keep an attribute as NAME=ATTRIBUTE (repeat; default department)")
      ->type_name("NAME=ATTR");
  import->add_option("--date", a->date, "the first day of jobs the snapshot applies to (default: today)");
  import->add_option("--timeout", a->ldap.timeoutSeconds, "seconds to wait for the server's every answer")
      ->capture_default_str()->check(CLI::Range(1, 3600));
  import->add_option("--max-entries", a->ldap.maxEntries, "refuse a directory of more entries than this")
      ->capture_default_str()->check(CLI::Range(1, 10000000));
  import->add_option("--page-size", a->ldap.pageSize, "entries a page of the search asks for (at most the server's "
                                                     "own limit: 1000 on a Windows domain)")
      ->capture_default_str()->check(CLI::Range(1, 100000));
  auto importStore = AddStore(import, *a);
  import->callback([&action, a, ldap, csv, importStore] {
    importStore();
    if (ldap->count() == 0 && csv->count() == 0) throw InputError("--ldap URL or --csv FILE is required");
    action = [a] { return Import(*a); };
  });
  CLI::App* list = dir->add_subcommand("list", "the snapshots kept: date, users, when and where taken");
  list->add_flag("--json", a->json, "print the list as JSON");
  auto listStore = AddStore(list, *a);
  list->callback([&action, a, listStore] {
    listStore();
    action = [a] { return List(*a); };
  });
}

}  // namespace spoolgate
