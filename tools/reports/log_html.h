// SPDX-License-Identifier: Apache-2.0
// `spoolgate log report --html`: one self-contained page for a manager, with a bar
// chart (inline SVG) above each table, and nothing fetched from the network.
#pragma once

#include "tools/reports/log_report.h"

#include <string>
#include <vector>

namespace spoolgate {

// The page of groupings counted for PageGroupings(report): jobs per month, top users,
// top printers per computer, and one section per --by column.
std::string ReportPage(const Report& report, const Tallies& tallies);

}  // namespace spoolgate
