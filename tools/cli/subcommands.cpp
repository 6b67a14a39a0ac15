// SPDX-License-Identifier: Apache-2.0
// Which subcommands each platform's command has, and in which order: the file readers
// (rud, overlay, log) on both, the replay on Linux, the server's kit on Windows; and the
// subcommands of `log`, the same on both.
#include "tools/cli/subcommands.h"

namespace spoolgate {
namespace {

constexpr void (*kSubcommands[])(CLI::App&, Action&) = {
#ifndef _WIN32
    AddCapture, AddRun,
#endif
    AddRud, AddOverlay,
#ifdef _WIN32
    AddLogOfThisServer, AddSetup, AddCheck,
#else
    AddLogOfTheSandbox,
#endif
};

constexpr void (*kLogSubcommands[])(CLI::App&, Action&, const LogCommandsSetup&) = {
    AddLogShow, AddLogSummary, AddLogReport, AddLogVerify, AddLogImport,
};

}  // namespace

void AddSubcommands(CLI::App& app, Action& action) {
  for (auto add : kSubcommands) add(app, action);
}

void AddLog(CLI::App& app, Action& action, const LogCommandsSetup& setup) {
  CLI::App* log = app.add_subcommand(
      "log", "the accounting CSV logs and the accounting database: show, summary, report, verify, import");
  log->require_subcommand(1);
  for (auto add : kLogSubcommands) add(*log, action, setup);
}

}  // namespace spoolgate
