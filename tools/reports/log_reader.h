// SPDX-License-Identifier: Apache-2.0
// `spoolgate log`: listing and summing the lines of the accounting CSV logs of a
// directory (every generation).
#pragma once

#include "tools/logread/log_folder.h"
#include "tools/reports/log_report.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace spoolgate {

// The lines of the folders' logs that pass the report's filter, in time order (lines
// of one time by computer, log and sequence, lines without a time last). Each log is
// read once; memory holds a bounded share of the listing, the rest waits in a scratch
// file of the temporary folder.
int ShowLog(const std::vector<std::string>& dirs, const Report& report, std::ostream& out);
// Counts and sums the lines of the folders' logs by each of tallies.groupings.
void TallyLog(const std::vector<std::string>& dirs, const Report& report, Tallies& tallies);

}  // namespace spoolgate
