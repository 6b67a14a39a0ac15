// SPDX-License-Identifier: Apache-2.0
// Which subcommands each platform's command has, and in which order: the file readers
// (rud, overlay, log) on both, the replay on Linux, the server's kit on Windows.
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
    AddLogOfTheSandbox, AddDirectory,
#endif
};

}  // namespace

void AddSubcommands(CLI::App& app, Action& action) {
  for (auto add : kSubcommands) add(app, action);
}

}  // namespace spoolgate
