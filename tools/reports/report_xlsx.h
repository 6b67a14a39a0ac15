// SPDX-License-Identifier: Apache-2.0
// The XLSX workbooks of `log summary --xlsx` and `log report --xlsx`: a sheet per section,
// counts and costs as numbers, names and months as texts, a frozen header and a total row.
#pragma once

#include "tools/reports/log_report.h"

#include <string>

namespace spoolgate {

// The summary's rows (the user and printer lists, or the --by groups) and the notes, a
// sheet each, written to path through OutputFile; returns the notes, one a line, for
// standard error. InputError when the workbook cannot be written (and on Windows, where
// the command writes no XLSX).
std::string WriteSummaryXlsx(const Report& report, const Tallies& tallies, const std::string& path);
// The chart page's sections without the charts: months, top users, top printers per
// computer, each --by column, the nested keys as flat rows, and the notes.
std::string WriteReportXlsx(const Report& report, const Tallies& tallies, const std::string& path);

}  // namespace spoolgate
