// SPDX-License-Identifier: Apache-2.0
// `log report`: the HTML page with charts of the logs or the database.
#include "tools/cli/log_options.h"
#include "tools/cli/subcommands.h"
#include "tools/common/errors.h"
#include "tools/reports/log_html.h"
#include "tools/reports/report_xlsx.h"

#include <iostream>

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
  cmd->add_option("--html", *html, "the HTML file to write (- for standard output)");
  AddLogXlsx(cmd, *a, "write the page's tables as an XLSX workbook, a sheet per section and one of the notes");
  cmd->callback([&action, a, html] {
    action = [a, html] {
      if (html->empty() && a->xlsx.empty()) throw InputError("log report: --html FILE or --xlsx FILE is required");
      Report report = PrepareLogReport(*a);
      Tallies tallies = TallyLogs(*a, report, PageGroupings(report));
      if (!a->xlsx.empty()) std::cerr << WriteReportXlsx(report, tallies, a->xlsx);
      if (html->empty()) return int(kExitOk);
      std::string page = ReportPage(report, tallies);
      return WriteLogReport(*a, *html, [&](std::ostream& out) {
        out << page;
        return int(kExitOk);
      });
    };
  });
}

}  // namespace spoolgate
