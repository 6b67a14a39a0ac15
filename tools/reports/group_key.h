// SPDX-License-Identifier: Apache-2.0
// What a report groups by: the groupings known by name (for --by, the settings' names
// and the messages alike), and the key of a grouping's row, made of named parts.
#pragma once

#include "tools/logread/log_fields.h"

#include <string>
#include <tuple>
#include <vector>

namespace spoolgate {

struct GroupKey {
  enum Kind { kUser, kPrinter, kComputer, kDay, kWeek, kMonth, kYear, kColumn } kind;
  std::string heading;                 // as reports name it: "user", "month", "department"
  const LineColumn* column = nullptr;  // kColumn
};

// A grouping --by takes by its name; a name of the settings may not be one of these.
struct GroupingName {
  const char* name;
  GroupKey::Kind kind;
};
inline constexpr GroupingName kGroupingNames[] = {
    {"user", GroupKey::kUser}, {"printer", GroupKey::kPrinter}, {"computer", GroupKey::kComputer},
    {"day", GroupKey::kDay},   {"week", GroupKey::kWeek},       {"month", GroupKey::kMonth},
    {"year", GroupKey::kYear}};
// The grouping of that name; nullptr for none (a column's name, perhaps).
const GroupingName* FindGrouping(const std::string& name);
// Their names as help and messages list them: "user, printer, ..., year".
std::string GroupingNames();

// The key of a row of a grouping (see Grouping in log_report.h): rows of equal keys are
// one row. Ordered part by part, the leading values first.
struct RowKey {
  std::vector<std::string> leading;  // the value of each of the grouping's leading keys
  std::string computer, printer;     // where the jobs printed; empty unless grouped by place
  std::string priceMatch;            // with --cost: the value of the column prices may name
  bool operator<(const RowKey& other) const {
    return std::tie(leading, computer, printer, priceMatch) <
           std::tie(other.leading, other.computer, other.printer, other.priceMatch);
  }
};

}  // namespace spoolgate
