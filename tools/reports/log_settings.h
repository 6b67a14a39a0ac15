// SPDX-License-Identifier: Apache-2.0
// The site's accounting settings for the reports: names for the log's carried columns
// (only the site knows that value_252 is pages) and prices per job and per unit, by
// printer and optionally by one more column, in exact decimal money.
#pragma once

#include "tools/logread/log_fields.h"
#include "tools/reports/directory_settings.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace spoolgate {

// One [[price]] of the settings file: what it applies to, and what it costs.
struct Price {
  std::string printer, computer, match;  // case-folded (FoldCase); empty: any
  bool hasPrinter = false, hasComputer = false, hasMatch = false;
  uint64_t job = 0;  // per job, in the smallest unit (see Settings::decimals)
  struct Unit {
    const LineColumn* column;
    uint64_t price;  // per unit of the column, in the smallest unit
  };
  std::vector<Unit> per;
  int line = 0;
};

struct Settings {
  std::string file;  // empty: no settings file
  struct Name {
    std::string name;
    const LineColumn* column;
  };
  std::vector<Name> names;     // [columns], in file order (products too)
  // A [columns] name for the product of two numeric columns, sheets = "pages * copies":
  // a numeric column of its own for every report, computed from the factors.
  struct Product {
    LineColumn column;  // csv and db: the name
    std::string name;
    const LineColumn* factors[2];
  };
  // Shared, so that a copy of the settings keeps the columns' addresses.
  std::shared_ptr<std::deque<Product>> products = std::make_shared<std::deque<Product>>();
  std::string currency;        // shown beside costs ("EUR"); may be empty
  unsigned decimals = 2;       // places of every price and cost
  const LineColumn* matchColumn = nullptr;  // the column a price may name besides the printer
  std::vector<Price> prices;   // in file order
  DirectorySettings directory;  // [directory]
};

// Reads a settings file (TOML; docs/accounting-database.md). InputError "FILE:LINE: why"
// for an unknown name, a malformed price, a price file that names no column.
Settings LoadSettings(const std::string& path);

// The log column a report name stands for: a name of [columns], else a column of the
// log ("value_252"); nullptr for neither.
const LineColumn* ResolveColumn(const Settings& settings, const std::string& name);
// The product a column of the settings stands for; nullptr for a column of the log.
const Settings::Product* ProductOf(const Settings& settings, const LineColumn* column);
// The name a report shows for a log column: its [columns] name, else the column.
std::string ColumnHeading(const Settings& settings, const LineColumn* column);

// The price that applies to a job: the one naming the most of printer, computer and the
// match column's value (compared case-folded), the first of those in
// the file on a tie; nullptr when none applies and there is no default.
const Price* FindPrice(const Settings& settings, const std::string& computer,
                       const std::string& printer, const std::string& match);

// money += a * b, InputError when the cost would pass 2^64-1 smallest units.
void AddCost(uint64_t& money, uint64_t a, uint64_t b);
// "1234.50" for 123450 with two decimals.
std::string MoneyText(uint64_t units, unsigned decimals);

}  // namespace spoolgate
