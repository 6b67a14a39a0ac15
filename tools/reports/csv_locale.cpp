// SPDX-License-Identifier: Apache-2.0
// The separator and decimal mark of the reports' CSV, for spreadsheets of every locale.
#include "tools/reports/csv_locale.h"

#include "tools/common/errors.h"

#include <algorithm>

namespace spoolgate {

char ParseCsvSeparator(const std::string& name) {
  if (name == "," || name == "comma") return ',';
  if (name == ";" || name == "semicolon") return ';';
  if (name == "tab" || name == "\t") return '\t';
  throw InputError("--separator " + name + ": one of , ; tab (a German or French spreadsheet takes ;)");
}

std::string CsvNumberText(const std::string& number, const CsvStyle& style) {
  if (!style.decimalComma) return number;
  // Only a plain decimal is changed: a cell that holds something else (a formula a
  // damaged line carries, guarded later) keeps its bytes.
  bool plain = !number.empty() && std::all_of(number.begin(), number.end(), [](char c) {
    return (c >= '0' && c <= '9') || c == '.';
  }) && std::count(number.begin(), number.end(), '.') <= 1;
  if (!plain) return number;
  std::string out = number;
  std::replace(out.begin(), out.end(), '.', ',');
  return out;
}

}  // namespace spoolgate
