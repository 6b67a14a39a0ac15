// SPDX-License-Identifier: Apache-2.0
// Snapshots of the directory: accounts by their folded short name, the choice of the
// snapshot a job's day is billed by, and the snapshot file of the log folders.
#include "tools/directory/directory_snapshot.h"

#include "tools/common/case_fold.h"
#include "tools/common/errors.h"
#include "tools/common/output_file.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

namespace spoolgate {

using Json = nlohmann::ordered_json;

std::string AccountKey(const std::string& name) {
  std::string shortName = name;
  size_t slash = shortName.rfind('\\');
  if (slash != std::string::npos) shortName.erase(0, slash + 1);
  size_t at = shortName.find('@');
  if (at != std::string::npos) shortName.erase(at);
  return FoldCase(shortName);
}

void AddDirectoryEntry(DirectorySnapshot& snapshot, const std::string& name,
                       const std::map<std::string, std::string>& values, std::vector<std::string>& conflicts) {
  std::string key = AccountKey(name);
  if (key.empty()) return;  // an entry without a user name bills nobody
  auto [at, added] = snapshot.users.emplace(key, DirectoryUser{name, values});
  if (!added && at->second.values != values &&
      std::find(conflicts.begin(), conflicts.end(), at->second.name) == conflicts.end()) {
    conflicts.push_back(at->second.name);
  }
}

void AddSnapshot(DirectoryHistory& history, DirectorySnapshot snapshot) {
  auto& list = history.snapshots;
  auto at = std::lower_bound(list.begin(), list.end(), snapshot.date,
                             [](const DirectorySnapshot& s, const std::string& d) { return s.date < d; });
  if (at != list.end() && at->date == snapshot.date) *at = std::move(snapshot);
  else list.insert(at, std::move(snapshot));
}

const DirectorySnapshot* SnapshotAt(const DirectoryHistory& history, const std::string& day) {
  const auto& list = history.snapshots;
  if (list.empty()) return nullptr;
  if (day.empty()) return &list.back();
  auto after = std::upper_bound(list.begin(), list.end(), day,
                                [](const std::string& d, const DirectorySnapshot& s) { return d < s.date; });
  return after == list.begin() ? &list.front() : &*std::prev(after);
}

bool IsSnapshotDate(const std::string& t) {
  if (t.size() != 10 || t[4] != '-' || t[7] != '-') return false;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (t[i] < '0' || t[i] > '9') return false;
  }
  int y = std::stoi(t.substr(0, 4)), m = std::stoi(t.substr(5, 2)), d = std::stoi(t.substr(8, 2));
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m < 1 || m > 12 || d < 1) return false;
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return d <= kDays[m - 1] + (m == 2 && leap ? 1 : 0);
}

std::string UserValuesJson(const DirectoryUser& user) {
  Json j = Json::object();
  for (const auto& [k, v] : user.values) j[k] = v;
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::map<std::string, std::string> UserValuesFromJson(const std::string& text, const std::string& where) {
  Json j = Json::parse(text, nullptr, false);
  if (!j.is_object()) throw InputError(where + ": the attributes are not a JSON object");
  std::map<std::string, std::string> values;
  for (auto& [k, v] : j.items()) {
    if (!v.is_string()) throw InputError(where + ": attribute " + k + " is not a text");
    values[k] = v.get<std::string>();
  }
  return values;
}

std::string ReadLimitedFile(const std::string& path, const std::string& what) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw InputError(path + ": cannot read the " + what);
  in.seekg(0, std::ios::end);
  auto size = in.tellg();
  if (size < 0 || uint64_t(size) > kSnapshotFileLimit) {
    throw InputError(path + ": a " + what + " larger than " + std::to_string(kSnapshotFileLimit >> 20) + " MiB");
  }
  in.seekg(0);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

DirectoryHistory ReadSnapshotFile(const std::string& path) {
  std::string text = ReadLimitedFile(path, "directory snapshot file");
  Json j = Json::parse(text, nullptr, false);
  if (!j.is_object() || j.value("format", "") != "spoolgate-directory" || !j.contains("snapshots") ||
      !j["snapshots"].is_array()) {
    throw InputError(path + ": not a directory snapshot file of spoolgate");
  }
  if (!j["version"].is_number_integer() || j["version"].get<int>() != 1) {
    throw InputError(path + ": a directory snapshot file of a version this spoolgate does not know");
  }
  DirectoryHistory history;
  try {
    for (const Json& s : j["snapshots"]) {
      DirectorySnapshot snap;
      snap.date = s.at("date").get<std::string>();
      if (!IsSnapshotDate(snap.date)) throw InputError(path + ": snapshot date '" + snap.date + "' is not a date");
      snap.taken = s.at("taken").get<std::string>();
      snap.source = s.at("source").get<std::string>();
      snap.attributes = s.at("attributes").get<std::vector<std::string>>();
      for (const Json& u : s.at("users")) {
        DirectoryUser user{u.at("name").get<std::string>(), u.at("values").get<std::map<std::string, std::string>>()};
        std::string key = AccountKey(user.name);
        snap.users.emplace(key, std::move(user));
      }
      AddSnapshot(history, std::move(snap));
    }
  } catch (const Json::exception& e) {
    throw InputError(path + ": a damaged directory snapshot file (" + e.what() + ")");
  }
  return history;
}

void WriteSnapshotFile(const std::string& path, const DirectoryHistory& history) {
  Json j;
  j["format"] = "spoolgate-directory";
  j["version"] = 1;
  j["snapshots"] = Json::array();
  for (const DirectorySnapshot& s : history.snapshots) {
    Json snap;
    snap["date"] = s.date;
    snap["taken"] = s.taken;
    snap["source"] = s.source;
    snap["attributes"] = s.attributes;
    snap["users"] = Json::array();
    for (const auto& [key, user] : s.users) snap["users"].push_back({{"name", user.name}, {"values", user.values}});
    j["snapshots"].push_back(std::move(snap));
  }
  // Names not in UTF-8 (a Latin-1 export) are kept readable rather than refused.
  std::string text = j.dump(1, ' ', false, Json::error_handler_t::replace) + "\n";
  OutputFile out(path, {});
  out.Write(text.data(), text.size());
  out.Commit();
}

}  // namespace spoolgate
