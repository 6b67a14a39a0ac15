// The JSON form of one accounting log line, shared by `log show --json` and the
// accounting lines of `run --json`: one member a column, numbers as numbers.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace spoolgate {

// header: the column names of the file; fields: the line split into its CSV fields.
// Numeric columns (sequence, level, format, content_flags, value_*) are numbers (null when
// empty or not a number), every other column a string; fields beyond the header are
// named "column_N".
nlohmann::ordered_json LogLineJson(const std::vector<std::string>& header,
                                   const std::vector<std::string>& fields);

}  // namespace spoolgate
