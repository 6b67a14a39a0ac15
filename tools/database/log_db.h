// SPDX-License-Identifier: Apache-2.0
// `spoolgate log import` and the reports from the accounting database: the checked lines
// of many servers' logs in SQLite or PostgreSQL, summed there by the same filters.
#pragma once

#include "tools/reports/log_report.h"

#include <ostream>
#include <string>
#include <vector>

namespace spoolgate {

// The database `log import` uses when --db is not given.
constexpr const char* kDefaultDatabase = "sqlite:spoolgate.db";

// Stores every line of the logs in dirs whose checksum is right, once per (computer,
// log name, sequence). Returns 0, or 1 when lines were torn, altered, foreign or clash
// with a stored line of the same number (reported, not stored); throws InputError (exit
// 2) for an unusable folder, database or schema version.
int ImportLogs(const std::vector<std::string>& dirs, const std::string& url, bool progress,
               std::ostream& out);
// The reports computed by the database (GROUP BY, sum) from the same Report as on the
// CSV logs, into tallies.groupings; the source is {"database", URL without its password}.
void TallyDatabase(const std::string& url, const Report& report, Tallies& tallies);
int ShowDatabase(const std::string& url, const Report& report, std::ostream& out);

class Database;
// The WHERE clause of the reports' queries of log_lines for a filter (PrepareLogFilter
// called), its values appended to params as $1, $2 ...: what the plan of a report's
// range is made of.
std::string ReportWhere(Database& db, const LogFilter& filter, std::vector<std::string>& params);

}  // namespace spoolgate
