// SPDX-License-Identifier: Apache-2.0
// The subcommands that read stored files (rud, overlay), registered alike by the Linux
// and the Windows command, what the log subcommands need of the platform, and the parse
// that turns unusable arguments into one line and exit status 2.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <string>

namespace spoolgate {

// What the chosen subcommand does once the arguments are parsed.
using Action = std::function<int()>;

// What differs between the platforms in the log subcommands.
struct LogCommandsSetup {
  std::string defaultDir;    // the directory read when DIR is not given
  std::string databaseNote;  // appended to the help of --db and import
  // Where the help sends the reader for the settings file and the database.
  std::string databaseDoc = "docs/accounting-database.md";
};

// Each subcommand registers itself: its options live in an object its callbacks share,
// so that nothing outlives or is shared with another subcommand.
void AddRud(CLI::App& app, Action& action);
void AddOverlay(CLI::App& app, Action& action);
// Parses argv (UTF-8) and runs the chosen action; returns the exit status.
int ParseAndRun(CLI::App& app, int argc, char** argv, Action& action);

}  // namespace spoolgate
