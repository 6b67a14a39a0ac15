// SPDX-License-Identifier: Apache-2.0
// `log show`: the jobs of the logs or the database, one a line, in time order.
#include "tools/cli/log_options.h"
#include "tools/cli/subcommands.h"
#include "tools/database/log_db.h"
#include "tools/reports/log_reader.h"

#include <memory>

namespace spoolgate {

void AddLogShow(CLI::App& log, Action& action, const LogCommandsSetup& setup) {
  auto a = std::make_shared<LogReportArgs>();
  CLI::App* cmd = log.add_subcommand("show", "list the jobs of the logs, in time order");
  AddLogSource(cmd, *a, setup);
  AddLogForms(cmd, *a);
  AddLogOutputFile(cmd, *a);
  cmd->callback([&action, a] {
    action = [a] {
      Report report = PrepareLogReport(*a);
      return WriteLogReport(*a, a->output, [&](std::ostream& out) {
        return a->database.empty() ? ShowLog(LogDirs(*a), report, out) : ShowDatabase(a->database, report, out);
      });
    };
  });
}

}  // namespace spoolgate
