// The subcommands that only read files (rud, overlay, log), registered alike by the
// Linux and the Windows command, and the parse that turns unusable arguments into one
// line and exit status 2.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <string>

namespace spoolgate {

// What differs between the platforms in the log subcommands.
struct LogCommandsSetup {
  std::string defaultDir;    // the directory read when DIR is not given
  std::string databaseNote;  // appended to the help of --db and import
};

// rud info|extract and overlay info|extract; a chosen subcommand sets action.
void AddStoredCommands(CLI::App& app, std::function<int()>& action);
// log show|summary|verify|import.
void AddLogCommands(CLI::App& app, const LogCommandsSetup& setup, std::function<int()>& action);
// Parses argv (UTF-8) and runs the chosen action; returns the exit status.
int ParseAndRun(CLI::App& app, int argc, char** argv, std::function<int()>& action);

}  // namespace spoolgate
