// SPDX-License-Identifier: Apache-2.0
// The tables of subcommands, for the Linux command and spoolgate.exe alike: a new
// subcommand is a registration function, declared here and listed in subcommands.cpp;
// each registers its own options, which no other subcommand shares.
#pragma once

#include "tools/cli/commands.h"

#include <CLI/CLI.hpp>

namespace spoolgate {

// Registers every subcommand of this platform's command, in the order the help lists them.
void AddSubcommands(CLI::App& app, Action& action);

// `log` and its subcommands, read from the folders and the database of this platform.
void AddLog(CLI::App& app, Action& action, const LogCommandsSetup& setup);
// The log subcommands, each in a file of its own (log_show.cpp, ...), registered under `log`.
void AddLogShow(CLI::App& log, Action& action, const LogCommandsSetup& setup);
void AddLogSummary(CLI::App& log, Action& action, const LogCommandsSetup& setup);
void AddLogReport(CLI::App& log, Action& action, const LogCommandsSetup& setup);
void AddLogVerify(CLI::App& log, Action& action, const LogCommandsSetup& setup);
void AddLogImport(CLI::App& log, Action& action, const LogCommandsSetup& setup);

#ifdef _WIN32
// spoolgate.exe's own (win_main.cpp): the log of this server, setup and check.
void AddLogOfThisServer(CLI::App& app, Action& action);
void AddSetup(CLI::App& app, Action& action);
void AddCheck(CLI::App& app, Action& action);
#else
// The Linux command's own (replay_commands.cpp): capture, run, and the sandbox's log.
void AddCapture(CLI::App& app, Action& action);
void AddRun(CLI::App& app, Action& action);
void AddLogOfTheSandbox(CLI::App& app, Action& action);
#endif

}  // namespace spoolgate
