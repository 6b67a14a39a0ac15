// SPDX-License-Identifier: Apache-2.0
// What a job costs and what its computed units come to, from the raw values of its line,
// the same for every source: the logs hand over each line's values, the databases each
// group of lines that share them. A job's cost is rounded once to the bill's places.
#pragma once

#include "tools/reports/log_report.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace spoolgate {

// A column's value for a job in units of 10^-places (ColumnPlaces): a column of the log
// or a product as read, a computed unit evaluated. kEmpty for an empty or non-numeric
// value, a division by zero, a value below zero; kOverflow past 2^64-1.
UnitStatus ColumnUnits(const Settings& settings, const LineColumn* column,
                       const std::function<std::string_view(const LineColumn*)>& field, uint64_t& units);
// The places of a column's values: a computed unit's, else 0.
unsigned ColumnPlaces(const Settings& settings, const LineColumn* column);
// The InputError of a computed unit whose value passes 2^64-1: its file and line, and
// the values it was computed from.
[[noreturn]] void ComputedOverflow(const Settings& settings, const LineColumn* column,
                                   const std::function<std::string_view(const LineColumn*)>& field);
// A computed unit's value as text ("0.840000"), "" when it has none.
std::string ComputedText(const Settings& settings, const LineColumn* column,
                         const std::function<std::string_view(const LineColumn*)>& field);

// A job's cost under its price: the price per job and each unit's value times its price,
// exact, rounded once to the bill's places by the settings' rule, then raised to the
// price's minimum. units: each Price::Unit's value in units of 10^-places. InputError
// past 2^64-1 smallest units.
uint64_t JobCost(const Settings& settings, const Price& price, const std::vector<uint64_t>& units,
                 const std::vector<unsigned>& places);

// The tax of a group: the sum of each net times its price's rate (Price::vat,
// millionths), rounded once by the settings' rule.
uint64_t RoundTax(const Settings& settings, Uint128 taxMillionths);

// What one job's line gives beyond the sums a source makes itself.
struct JobValues {
  std::vector<uint64_t> measures;  // by Report::measures: computed units' values (others 0)
  uint64_t cost = 0;               // priced job by job: the job's cost; else 0
  bool noValue = false;            // a computed unit measured or priced had no value
};

// The computing of JobValues from a line's raw values, each distinct set of them once.
class JobPricer {
 public:
  explicit JobPricer(const Report& report);
  // Whether there is anything to compute: a computed measure, or costs job by job.
  bool Active() const { return !inputs_.empty(); }
  // The columns of the log read, in the order Of takes their values.
  const std::vector<const LineColumn*>& Inputs() const { return inputs_; }
  // The values of a job whose line holds values (by Inputs()).
  const JobValues& Of(const std::vector<std::string_view>& values);

 private:
  const Report& report_;
  std::vector<const LineColumn*> inputs_;
  std::vector<bool> computedMeasure_;
  std::unordered_map<std::string, JobValues> cache_;
  std::string packed_;
  JobValues Compute(const std::vector<std::string_view>& values) const;
};

}  // namespace spoolgate
