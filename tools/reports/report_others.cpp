// SPDX-License-Identifier: Apache-2.0
// The others row of lists cut by --top.
#include "tools/reports/report_others.h"

namespace spoolgate {

void AddOthersRow(const Settings& settings, const ReportRow& total, size_t keys, std::vector<ReportRow>& rows) {
  ReportRow others;
  others.tally = total.tally;
  others.cost = total.cost;
  others.taxMillionths = total.taxMillionths;
  others.unpriced = total.unpriced;
  // The rows are a part of the total, each of their figures at most the total's: the
  // differences cannot wrap.
  for (const ReportRow& r : rows) {
    others.tally.jobs -= r.tally.jobs;
    for (size_t i = 0; i < others.tally.sums.size() && i < r.tally.sums.size(); ++i) {
      others.tally.sums[i] -= r.tally.sums[i];
    }
    others.cost -= r.cost;
    others.taxMillionths -= r.taxMillionths;
    others.unpriced -= r.unpriced;
  }
  // Taxed on its own net by the rule every row is, not the total's tax less the rows'.
  others.tax = RoundTax(settings, others.taxMillionths);
  bool nothing = others.tally.jobs == 0 && others.cost == 0;
  for (uint64_t s : others.tally.sums) nothing = nothing && s == 0;
  if (nothing) return;
  others.keys.assign(keys, "");
  if (keys != 0) others.keys[0] = kOthersKey;
  rows.push_back(std::move(others));
}

}  // namespace spoolgate
