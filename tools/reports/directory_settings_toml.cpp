// SPDX-License-Identifier: Apache-2.0
// The [directory] table of the settings file, every mistake named with its line.
#include "tools/reports/directory_settings_toml.h"

#include "tools/common/errors.h"

#include <algorithm>
#include <filesystem>

namespace spoolgate {
namespace {

const char* const kReserved[] = {"user", "printer", "computer", "day", "week", "month", "year"};

[[noreturn]] void Fail(const std::string& file, const toml::node& at, const std::string& why) {
  throw InputError(file + ":" + std::to_string(at.source().begin.line) + ": " + why);
}

}  // namespace

void ReadDirectorySettings(const std::string& file, const toml::node& node, DirectorySettings& out) {
  const toml::table* table = node.as_table();
  if (table == nullptr) Fail(file, node, "directory must be a table, [directory]");
  out.on = true;
  for (auto&& [key, value] : *table) {
    std::string k(key.str());
    if (k == "snapshots") {
      if (!value.is_string()) Fail(file, value, "snapshots must be a file name in quotes");
      std::filesystem::path p(std::string(*value.as_string()));
      out.snapshots = (p.is_relative() ? std::filesystem::path(file).parent_path() / p : p).string();
    } else if (k == "driver_text") {
      std::string mode = value.is_string() ? std::string(*value.as_string()) : "";
      if (mode != "fill" && mode != "replace") Fail(file, value, "driver_text must be \"fill\" or \"replace\"");
      out.replace = mode == "replace";
    } else if (k == "attributes") {
      const toml::array* list = value.as_array();
      if (list == nullptr) Fail(file, value, "attributes must be a list of names, [\"department\"]");
      for (auto&& item : *list) {
        if (!item.is_string()) Fail(file, item, "each attribute is a name in quotes");
        std::string name(*item.as_string());
        if (name.empty() || std::find(std::begin(kReserved), std::end(kReserved), name) != std::end(kReserved)) {
          Fail(file, item, "'" + name + "' cannot name an attribute (it is a report grouping of its own)");
        }
        out.attributes.push_back(name);
      }
    } else {
      Fail(file, value, "unknown directory setting '" + k + "' (snapshots, attributes, driver_text)");
    }
  }
}

}  // namespace spoolgate
