// SPDX-License-Identifier: Apache-2.0
// The [directory] table of the settings: which attributes of the directory's snapshots
// reports may group by, where the snapshots of log folders are kept, and whether the
// directory's value replaces the driver's text of a column of the same name.
#pragma once

#include <string>
#include <vector>

namespace spoolgate {

struct DirectorySettings {
  bool on = false;
  std::string snapshots;                // the snapshot file of reports from log folders
  std::vector<std::string> attributes;  // department, cost_centre, display_name ...
  bool replace = false;                 // driver_text = "replace"; the default "fill"
};

// Whether --by NAME names a kept attribute of the directory.
bool IsDirectoryAttribute(const DirectorySettings& settings, const std::string& name);

}  // namespace spoolgate
