// SPDX-License-Identifier: Apache-2.0
// `log summary`: jobs counted and columns summed by user and printer, or by --by.
#include "tools/cli/log_options.h"
#include "tools/cli/subcommands.h"
#include "tools/common/errors.h"

#include <memory>

namespace spoolgate {

void AddLogSummary(CLI::App& log, Action& action, const LogCommandsSetup& setup) {
  auto a = std::make_shared<LogReportArgs>();
  CLI::App* cmd = log.add_subcommand(
      "summary", "count jobs and sum columns by user and printer, or by the keys of --by");
  AddLogSource(cmd, *a, setup);
  AddLogForms(cmd, *a);
  AddLogGrouping(cmd, *a);
  cmd->add_flag("--total", a->report.total, "add a total row to the CSV of --by");
  AddLogOutputFile(cmd, *a);
  cmd->callback([&action, a] {
    action = [a] {
      Report report = PrepareLogReport(*a);
      Tallies tallies = TallyLogs(*a, report, SummaryGroupings(report));
      return WriteLogReport(*a, a->output, [&](std::ostream& out) {
        PrintSummary(report, tallies, out);
        return int(kExitOk);
      });
    };
  });
}

}  // namespace spoolgate
