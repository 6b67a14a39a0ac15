// SPDX-License-Identifier: Apache-2.0
// Snapshots of the directory: each user's kept attributes on a date, the history of
// them that a report bills by, and the snapshot file that keeps them for log folders.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace spoolgate {

// The account a logged or directory user name stands for: without its domain
// ("CORP\alice", "alice@corp" and "alice" are one) and case-folded, as Windows matches
// accounts. A site of several domains with one short name in two of them is one account.
std::string AccountKey(const std::string& name);

// An attribute a snapshot keeps: the name reports group by ("department",
// "cost_centre") and the directory's attribute or CSV column it is read from.
struct KeptAttribute {
  std::string name, source;
};
// What a reading takes from each entry: its user name and the kept attributes.
struct DirectoryFields {
  std::string userAttribute;  // sAMAccountName, uid
  std::vector<KeptAttribute> keep;
};

struct DirectoryUser {
  std::string name;                           // as the directory spells it
  std::map<std::string, std::string> values;  // kept attribute -> value ("" when absent)
};

struct DirectorySnapshot {
  std::string date;    // YYYY-MM-DD: the first day of jobs it applies to
  std::string taken;   // when it was read, UTC, 2026-12-08T15:00:00Z
  std::string source;  // the LDAP URL or the CSV file it was read from (no password)
  std::vector<std::string> attributes;        // the kept attributes, by the names reports use
  std::map<std::string, DirectoryUser> users;  // by AccountKey
};

// Adds an entry read from the directory. A second entry of the same account that agrees
// on every kept attribute is the same person twice and is dropped; one that disagrees
// is named in conflicts (the caller refuses the snapshot: whichever entry we took, some
// jobs would be billed to a department chosen by the order the server answered in).
void AddDirectoryEntry(DirectorySnapshot& snapshot, const std::string& name,
                       const std::map<std::string, std::string>& values, std::vector<std::string>& conflicts);

// Every snapshot kept, oldest first, one a date.
struct DirectoryHistory {
  std::vector<DirectorySnapshot> snapshots;
};

// Adds a snapshot to the history; one of the same date is replaced (a second reading on
// one day corrects the first).
void AddSnapshot(DirectoryHistory& history, DirectorySnapshot snapshot);
// The snapshot that applies to a job of a day (YYYY-MM-DD): the newest dated on or before
// it; the oldest for a day before every snapshot (the directory as first known); the
// newest for a job without a time (day ""). nullptr for an empty history.
const DirectorySnapshot* SnapshotAt(const DirectoryHistory& history, const std::string& day);

// Whether a text is a date YYYY-MM-DD of the calendar.
bool IsSnapshotDate(const std::string& text);

// The snapshot file: JSON, {"format": "spoolgate-directory", "version": 1, "snapshots":
// [...]}. Read whole; InputError for a file larger than kSnapshotFileLimit or not of
// this form.
constexpr uint64_t kSnapshotFileLimit = 512ull << 20;
// The whole of a file of at most kSnapshotFileLimit bytes; InputError naming the file as
// what ("a directory export") when it cannot be read or is larger.
std::string ReadLimitedFile(const std::string& path, const std::string& what);
DirectoryHistory ReadSnapshotFile(const std::string& path);
// Writes it anew beside the old and renames it over (common/output_file).
void WriteSnapshotFile(const std::string& path, const DirectoryHistory& history);
// The JSON text of one snapshot's users (the database keeps it as text), and back.
std::string UserValuesJson(const DirectoryUser& user);
std::map<std::string, std::string> UserValuesFromJson(const std::string& text, const std::string& where);

}  // namespace spoolgate
