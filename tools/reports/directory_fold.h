// SPDX-License-Identifier: Apache-2.0
// Groupings by the directory: a source counts by user and day, and the directory of
// each day names the group (a kept attribute, the account of --by user), so that every
// source bills a job to the department its user belonged to at the job's time.
#pragma once

#include "tools/directory/directory_snapshot.h"
#include "tools/reports/log_report.h"

#include <vector>

namespace spoolgate {

// The groupings a source counts for a report with a directory: each grouping that has a
// user key gains keys of its own after its leading ones (the day, and the driver's
// text of a column a kept attribute shares its name with), which FoldDirectory removes.
std::vector<Grouping> DirectoryGroupings(const Report& report, std::vector<Grouping> groupings);

// Turns the counted groupings back into those asked for: a kept attribute's key becomes
// the value of the snapshot of the job's day (SnapshotAt), merged with the driver's text
// as driver_text says; a user key becomes the directory's spelling of the account (a
// user it does not know: the account's folded short name). Counts the jobs of unknown
// users and names the first kUnknownUserNames of them.
void FoldDirectory(const Report& report, const DirectoryHistory& history, Tallies& tallies);

}  // namespace spoolgate
