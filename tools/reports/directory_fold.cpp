// SPDX-License-Identifier: Apache-2.0
// Folding what a source counted by user and day into the groups the directory names.
#include "tools/reports/directory_fold.h"

#include "tools/common/errors.h"

#include <algorithm>
#include <iterator>

namespace spoolgate {
namespace {

bool HasUser(const Grouping& g) {
  for (const GroupKey& k : g.leading) {
    if (k.kind == GroupKey::kUser) return true;
  }
  return false;
}

// The log column of the driver whose text a kept attribute fills or replaces: a column
// the settings or the log name as the attribute; nullptr for none.
const LineColumn* DriverColumn(const Report& report, const GroupKey& k) {
  if (k.kind != GroupKey::kUser || k.heading == "user") return nullptr;
  const LineColumn* c = ResolveColumn(report.settings, k.heading);
  return c != nullptr && c->csv != nullptr && c->kind == ColumnKind::kText ? c : nullptr;
}

}  // namespace

std::vector<Grouping> DirectoryGroupings(const Report& report, std::vector<Grouping> groupings) {
  for (Grouping& g : groupings) {
    if (!HasUser(g)) continue;
    std::vector<GroupKey> extra = {{GroupKey::kDay, "", nullptr}};
    for (const GroupKey& k : g.leading) {
      if (const LineColumn* c = DriverColumn(report, k)) extra.push_back({GroupKey::kColumn, "", c});
    }
    g.leading.insert(g.leading.end(), extra.begin(), extra.end());
  }
  return groupings;
}

void FoldDirectory(const Report& report, const DirectoryHistory& history, Tallies& tallies) {
  tallies.directory = true;
  if (history.snapshots.empty()) throw InputError("the directory keeps no snapshot yet (spoolgate directory import)");
  bool counted = false;  // the jobs of unknown users are counted in one grouping
  for (Grouping& g : tallies.groupings) {
    if (!HasUser(g)) continue;
    // The leading keys asked for, then the day, then the driver's columns.
    size_t asked = 0;
    while (g.leading[asked].kind != GroupKey::kDay || !g.leading[asked].heading.empty()) ++asked;
    std::vector<size_t> driverAt(asked, 0);
    for (size_t i = 0, next = asked + 1; i < asked; ++i) {
      if (DriverColumn(report, g.leading[i]) != nullptr) driverAt[i] = next++;
    }
    size_t user = 0;
    while (g.leading[user].kind != GroupKey::kUser) ++user;
    std::map<RowKey, LogTally> rows;
    RowKey key;
    for (const auto& [source, tally] : g.rows) {
      const std::string& name = source.leading[user];
      const DirectorySnapshot* snapshot = SnapshotAt(history, source.leading[asked]);
      std::string account = AccountKey(name);
      const DirectoryUser* entry = nullptr;
      if (snapshot != nullptr) {
        auto at = snapshot->users.find(account);
        if (at != snapshot->users.end()) entry = &at->second;
      }
      if (entry == nullptr && !counted) {
        tallies.unknownUsers += tally.jobs;
        if (tallies.unknownNames.insert(name).second && tallies.unknownNames.size() > kUnknownUserNames) {
          tallies.unknownNames.erase(std::prev(tallies.unknownNames.end()));
          tallies.moreUnknown = true;
        }
      }
      key.leading.clear();
      for (size_t i = 0; i < asked; ++i) {
        const GroupKey& k = g.leading[i];
        if (k.kind != GroupKey::kUser) {
          key.leading.push_back(source.leading[i]);
        } else if (k.heading == "user") {
          key.leading.push_back(entry != nullptr ? entry->name : account);
        } else {
          std::string value;
          // A name the snapshot never kept (a typing slip in the settings) would bill
          // every job to nobody without a word.
          if (snapshot != nullptr && std::find(snapshot->attributes.begin(), snapshot->attributes.end(), k.heading) ==
                                         snapshot->attributes.end()) {
            std::string kept;
            for (const std::string& a : snapshot->attributes) kept += (kept.empty() ? "" : ", ") + a;
            throw InputError("--by " + k.heading + ": the directory snapshot of " + snapshot->date +
                             " keeps no such attribute (it keeps: " + kept + ")");
          }
          if (entry != nullptr) {
            auto v = entry->values.find(k.heading);
            if (v != entry->values.end()) value = v->second;
          }
          if (driverAt[i] != 0) {
            const std::string& driver = source.leading[driverAt[i]];
            // replace: the directory's value, the driver's text for a user it does not
            // know; fill: the driver's text unless it is empty.
            if (report.settings.directory.replace ? entry == nullptr : !driver.empty()) value = driver;
          }
          key.leading.push_back(value);
        }
      }
      key.computer = source.computer;
      key.printer = source.printer;
      key.priceMatches = source.priceMatches;
      rows[key].Add(tally, report.measures);
    }
    g.leading.resize(asked);
    g.rows = std::move(rows);
    counted = true;
  }
}

}  // namespace spoolgate
