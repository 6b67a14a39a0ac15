// SPDX-License-Identifier: Apache-2.0
// What the [directory] settings say to the reports.
#include "tools/reports/directory_settings.h"

#include <algorithm>

namespace spoolgate {

bool IsDirectoryAttribute(const DirectorySettings& settings, const std::string& name) {
  return settings.on && std::find(settings.attributes.begin(), settings.attributes.end(), name) != settings.attributes.end();
}

}  // namespace spoolgate
