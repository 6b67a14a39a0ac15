// SPDX-License-Identifier: Apache-2.0
// What the log reports (show, summary, report) share on the command line: where the
// lines come from, the filter, the report's forms and groupings, the checks that turn
// them into a Report, and the file the result goes to.
#pragma once

#include "tools/cli/commands.h"
#include "tools/reports/log_report.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace spoolgate {

// The options of one log report, as given; the checks read them and never change them.
struct LogReportArgs {
  std::string defaultDir;         // read when no DIR is given
  std::vector<std::string> dirs;  // DIR..., one per print server
  std::string database;           // --db
  LogFilter filter;
  ReportOptions report;
  bool json = false, csv = false;
  std::string output;  // -o: the file the result goes to; empty: standard output
};

// DIR..., --db and the filter with its sums, settings and prices.
void AddLogSource(CLI::App* cmd, LogReportArgs& a, const LogCommandsSetup& setup);
// --json, --csv and --bom.
void AddLogForms(CLI::App* cmd, LogReportArgs& a);
// --by, --top and --rank.
void AddLogGrouping(CLI::App* cmd, LogReportArgs& a);
// -o FILE, for what would go to standard output.
void AddLogOutputFile(CLI::App* cmd, LogReportArgs& a);

// The folders read: those given, else the default one.
std::vector<std::string> LogDirs(const LogReportArgs& a);
// The report as the options ask for it, or InputError.
Report PrepareLogReport(const LogReportArgs& a);
// Counts the report's groupings, from the folders or the database.
Tallies TallyLogs(const LogReportArgs& a, const Report& report, std::vector<Grouping> groupings);
// Runs write on standard output, or with -o on the output file, which then replaces
// the file named only once write has finished; the files the report reads are never
// its output. Returns write's exit status.
int WriteLogReport(const LogReportArgs& a, const std::string& output, const std::function<int(std::ostream&)>& write);

}  // namespace spoolgate
