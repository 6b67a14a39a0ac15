// SPDX-License-Identifier: Apache-2.0
// spoolgate.exe, the print server's kit: the registration of its own subcommands (the
// log of this server, setup and check) and its main, parsed with CLI11.
#include "tools/cli/subcommands.h"
#include "tools/common/errors.h"
#include "tools/winkit/win_console.h"
#include "tools/winkit/win_kit.h"
#include "tools/winkit/win_system.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>

namespace spoolgate {

// The log the plug-in writes on this server, as its settings say.
void AddLogOfThisServer(CLI::App& app, Action& action) {
  AddLog(app, action,
         {Utf8(ReadEffectiveSettings().directory),
          " (Linux build only: copy the log directory to a Linux computer)",
          "accounting-database.md beside spoolgate.exe"});
}

namespace {

// The options setup and check share: where the driver's DLLs are, and the account the
// spooler runs the plug-in as. Only the Wine suite, whose jobs run in its own account,
// names another account than SYSTEM, so that option is left out of the help.
void AddServerOptions(CLI::App* cmd, std::string& driverDir, std::string& spoolerAccount) {
  cmd->add_option("--driver-dir", driverDir, "the directory of the driver's DLLs (default: the x64 driver directory)");
  cmd->add_option("--spooler-account", spoolerAccount)->group("");
}

}  // namespace

void AddSetup(CLI::App& app, Action& action) {
  auto setup = std::make_shared<SetupOptions>();
  CLI::App* setupCmd = app.add_subcommand(
      "setup", "as an administrator: create the log directory (owned by the Administrators, "
               "written by SYSTEM and the Administrators only), write the accounting settings, "
               "register the event source; --remove undoes the registry entries");
  setupCmd->add_option("DIR", setup->directory, "the log directory, e.g. D:\\Accounting\\PrintLog");
  setupCmd->add_option("--max-size", setup->maxKib, "MaxLogFileSize in KiB (1 to 4294967295)")
      ->capture_default_str();
  // One name per --printer, so that a name is never taken for DIR or DIR for a name.
  setupCmd->add_option("--printer", setup->printers,
                       "also set this printer's SPLUserModePrinterDriver to spoolgate.dll (its driver "
                       "must ship spoolgate.dll); may be given several times; without DIR, only the "
                       "printers are set up")
      ->allow_extra_args(false);
  AddServerOptions(setupCmd, setup->driverDir, setup->spoolerAccount);
  setupCmd->add_flag("--dry-run", setup->dryRun, "only say what would be done");
  setupCmd->add_flag("--remove", setup->remove,
                     "remove the settings, the event source and (with --printer) the printer's "
                     "value; the log directory and its logs stay, and the plug-in goes back to its "
                     "default directory, which users may change");
  setupCmd->callback([&action, setup] { action = [setup] { return RunSetup(*setup, std::cout); }; });
}

void AddCheck(CLI::App& app, Action& action) {
  auto check = std::make_shared<CheckOptions>();
  CLI::App* checkCmd = app.add_subcommand(
      "check", "say what is wrong with this server's accounting: the DLLs, the settings, the "
               "log directory, pending lines, the log itself and the printers");
  AddServerOptions(checkCmd, check->driverDir, check->spoolerAccount);
  checkCmd->add_option("--printer", check->printer,
                       "judge this printer; without it, every printer whose driver or value uses the plug-in");
  checkCmd->add_flag("--json", check->json, "print the findings as JSON");
  checkCmd->callback([&action, check] { action = [check] { return CheckServer(*check, std::cout); }; });
}

}  // namespace spoolgate

using namespace spoolgate;

int wmain(int argc, wchar_t** argv) {
  UseConsoleForText();
  std::vector<std::string> args = Utf8Arguments(argc, argv);
  // Windows programs take /? and -? for help, wherever --help is taken.
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "/?" || args[i] == "-?") args[i] = "--help";
  }
  std::vector<char*> pointers;
  for (std::string& arg : args) pointers.push_back(arg.data());

  CLI::App app{
      "spoolgate.exe: install and check the accounting of a print server, read its\n"
      "accounting log, inspect archive and overlay files. Exit status: 0 ok, 1 a step\n"
      "failed or a check found a fault, 2 unusable arguments or input. /? or --help after a\n"
      "subcommand tells more; deployment.md beside spoolgate.exe tells the whole story."};
  // "/x" is a path on the command line, never an option.
  app.allow_windows_style_options(false);
  app.name("spoolgate.exe");
  app.require_subcommand(1);
  app.set_version_flag("--version", "spoolgate " SPOOLGATE_VERSION);
  Action action;
  AddSubcommands(app, action);
  return ParseAndRun(app, int(pointers.size()), pointers.data(), action);
}
