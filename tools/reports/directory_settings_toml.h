// SPDX-License-Identifier: Apache-2.0
// Reading the [directory] table, for the settings reader alone (toml++ stays out of the
// headers every report includes).
#pragma once

#include "tools/reports/directory_settings.h"

#include <toml++/toml.h>

#include <string>

namespace spoolgate {

// Reads [directory] of the settings file `file` (its folder is where a relative
// snapshots path starts); InputError "FILE:LINE: why".
void ReadDirectorySettings(const std::string& file, const toml::node& node, DirectorySettings& out);

}  // namespace spoolgate
