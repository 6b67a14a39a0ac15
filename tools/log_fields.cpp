// Log lines as JSON objects: the column decides the type, never the value, so every line
// of every log has the same shape.
#include "tools/log_fields.h"

#include "tools/log_filter.h"

namespace spoolgate {
namespace {

bool IsNumericColumn(const std::string& name) {
  return name == "sequence" || name == "level" || name == "format" || name == "content_flags" ||
         name.compare(0, 6, "value_") == 0;
}

}  // namespace

nlohmann::ordered_json LogLineJson(const std::vector<std::string>& header,
                                   const std::vector<std::string>& fields) {
  nlohmann::ordered_json line = nlohmann::ordered_json::object();
  for (size_t i = 0; i < fields.size(); ++i) {
    std::string name = i < header.size() ? header[i] : "column_" + std::to_string(i + 1);
    uint64_t number = 0;
    if (!IsNumericColumn(name)) {
      line[name] = fields[i];
    } else if (ParseColumnNumber(fields[i], &number)) {
      line[name] = number;
    } else {
      line[name] = nullptr;
    }
  }
  return line;
}

}  // namespace spoolgate
