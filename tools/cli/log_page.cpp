// SPDX-License-Identifier: Apache-2.0
// `log report`: the HTML page with charts of the logs or the database.
#include "tools/cli/log_options.h"
#include "tools/cli/subcommands.h"
#include "tools/common/errors.h"
#include "tools/reports/log_html.h"

#include <memory>

namespace spoolgate {

void AddLogReport(CLI::App& log, Action& action, const LogCommandsSetup& setup) {
  auto a = std::make_shared<LogReportArgs>();
  auto html = std::make_shared<std::string>();
  CLI::App* cmd = log.add_subcommand(
      "report", "write a page with charts: jobs per month, top users, top printers per computer, "
                "and per --by column");
  AddLogSource(cmd, *a, setup);
  AddLogGrouping(cmd, *a);
  cmd->add_option("--html", *html, "the HTML file to write (- for standard output)")->required();
  cmd->callback([&action, a, html] {
    action = [a, html] {
      Report report = PrepareLogReport(*a);
      std::string page = ReportPage(report, TallyLogs(*a, report, PageGroupings(report)));
      return WriteLogReport(*a, *html, [&](std::ostream& out) {
        out << page;
        return int(kExitOk);
      });
    };
  });
}

}  // namespace spoolgate
