// SPDX-License-Identifier: Apache-2.0
// The CSV of the reports as a spreadsheet of another locale reads it: the field
// separator (';' where the decimal mark is a comma) and the decimal mark of amounts.
#pragma once

#include <string>

namespace spoolgate {

// How the CSV forms separate cells and write decimals. The default is RFC 4180's comma
// and a decimal point, which every CSV reader and every English spreadsheet takes.
struct CsvStyle {
  char separator = ',';
  bool decimalComma = false;  // amounts as 12,50: the cell is quoted when ',' also separates
};

// The separator --separator names: "," ";" or "tab"; InputError for anything else (a
// letter, a digit, a quote or a point would make cells ambiguous).
char ParseCsvSeparator(const std::string& name);

// A number of a numeric column as the style writes it: the decimal point of an amount
// ("12.50") becomes a comma when asked; any other text is returned as it is.
std::string CsvNumberText(const std::string& number, const CsvStyle& style);

}  // namespace spoolgate
