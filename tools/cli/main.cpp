// SPDX-License-Identifier: Apache-2.0
// The spoolgate command: subcommands capture, run, rud, overlay and log, parsed with
// CLI11; unusable input ends with a one-line message and exit status 2.
#include "tools/cli/subcommands.h"

#include <CLI/CLI.hpp>

using namespace spoolgate;

int main(int argc, char** argv) {
  CLI::App app{
      "spoolgate: replay captured print jobs through the plug-in, inspect archive and overlay\n"
      "files, read the accounting log. Exit status: 0 ok, 1 a job ran but a step failed,\n"
      "2 unusable arguments or input.",
      "spoolgate"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "spoolgate " SPOOLGATE_VERSION);
  Action action;
  AddSubcommands(app, action);
  return ParseAndRun(app, argc, argv, action);
}
