// SPDX-License-Identifier: Apache-2.0
// `log import`: the checked lines of log folders stored in the accounting database.
#include "tools/cli/subcommands.h"
#include "tools/database/log_db.h"

#include <iostream>
#include <memory>

namespace spoolgate {

void AddLogImport(CLI::App& log, Action& action, const LogCommandsSetup& setup) {
  struct Args {
    std::vector<std::string> dirs;
    std::string database = kDefaultDatabase;
    bool quiet = false;
  };
  auto a = std::make_shared<Args>();
  CLI::App* cmd = log.add_subcommand(
      "import", "store the checked lines of log directories in the accounting database "
                "(" + setup.databaseDoc + ")" + setup.databaseNote);
  cmd->add_option("DIR", a->dirs, "log directories, one per print server")->required();
  cmd->add_option("--db", a->database, "the database: sqlite:PATH or postgresql://...")->capture_default_str();
  cmd->add_flag("--no-progress", a->quiet, "no progress bar on standard error");
  cmd->callback([&action, a] {
    action = [a] { return ImportLogs(a->dirs, a->database, !a->quiet, std::cout); };
  });
}

}  // namespace spoolgate
