// SPDX-License-Identifier: Apache-2.0
// The "(others)" row of a list cut by --top: what the rows left out hold, so that the
// rows shown add up to the total shown under them.
#pragma once

#include "tools/reports/log_report.h"

#include <vector>

namespace spoolgate {

// The name of the others row in its first key column: in parentheses, as "(none)", so
// that no user, printer or column value of a log reads the same.
constexpr const char* kOthersKey = "(others)";

// Appends to rows the row of total minus every row (jobs, sums, net, unpriced jobs; its
// tax rounded from its own net as every row's is)
// when that is not nothing, its first of keys kOthersKey and the others empty; nothing
// when the rows hold the whole total already (a list --top did not cut).
void AddOthersRow(const Settings& settings, const ReportRow& total, size_t keys, std::vector<ReportRow>& rows);

}  // namespace spoolgate
