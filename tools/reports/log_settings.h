// SPDX-License-Identifier: Apache-2.0
// The site's accounting settings for the reports: names for the log's carried columns
// (only the site knows that value_252 is pages), units computed from them, and prices
// per job and per unit, by printer, computer and named text columns, with a minimum and
// a tax, in exact decimal money.
#pragma once

#include "tools/logread/log_fields.h"
#include "tools/reports/unit_expression.h"
#include "tools/reports/directory_settings.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace spoolgate {

// An amount as written: digits / 10^places ("12.375": 12375, 3).
struct Decimal {
  uint64_t digits = 0;
  unsigned places = 0;
};

// One [[price]] of the settings file: what it applies to, and what it costs.
struct Price {
  std::string printer, computer;  // case-folded (FoldCase); empty: any
  bool hasPrinter = false, hasComputer = false;
  // The named text columns it asks for, each with its place in Settings::matchColumns.
  struct Selector {
    const LineColumn* column;
    size_t index;
    std::string value;  // case-folded
  };
  std::vector<Selector> selectors;
  uint64_t job = 0;  // per job, in the smallest unit (see Settings::decimals), when exact
  Decimal jobExact;  // as written
  struct Unit {
    const LineColumn* column;
    uint64_t price;  // per unit of the column, in the smallest unit, when exact
    Decimal exact;   // as written, possibly finer than the bill
  };
  std::vector<Unit> per;
  uint64_t minimum = 0;  // the least a job costs, in the smallest unit (0: none)
  uint32_t vat = 0;      // tax in millionths (19 % is 190000)
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
  // A [columns] name for an expression over numeric columns, constants and other such
  // names, area_m2 = "width_mm * length_mm * copies / 1000000": a numeric column of its
  // own whose values are exact to its places.
  struct Computed {
    LineColumn column;  // csv and db: the name
    std::string name;
    UnitExpression expression;
    std::vector<const LineColumn*> operands;  // of each kName step, by step
    // The same when it is a computed unit or a product of the settings, else nullptr.
    std::vector<const Computed*> operandUnits;
    std::vector<const Product*> operandProducts;
    unsigned places = 0;  // [places], else 6 when it divides, else 0
    int line = 0;
  };
  std::shared_ptr<std::deque<Computed>> computed = std::make_shared<std::deque<Computed>>();
  std::string currency;        // shown beside costs ("EUR"); may be empty
  unsigned decimals = 2;       // places of every cost of the bill
  Rounding rounding = Rounding::kHalfUp;  // of job costs, taxes and computed units
  // The text columns prices name besides printer and computer, in the order first named.
  std::vector<const LineColumn*> matchColumns;
  std::vector<Price> prices;   // in file order
  bool hasVat = false;         // some price has a tax: net, tax and gross columns
  // Jobs are priced one by one and each cost rounded to the bill (a minimum, a price
  // finer than the bill, a priced unit with places); otherwise a group's cost is its
  // jobs and sums times the prices, exactly as each job's would add up.
  bool perJob = false;
  std::vector<std::string> warnings;  // "FILE:LINE: why", for the user, not refusals
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
// The computed unit a column of the settings stands for; nullptr for any other.
const Settings::Computed* ComputedOf(const Settings& settings, const LineColumn* column);
// The columns of the log a column's value is read from: its own, a product's factors,
// or every column a computed unit reads, each once.
std::vector<const LineColumn*> InputColumns(const Settings& settings, const LineColumn* column);
// The name a report shows for a log column: its [columns] name, else the column.
std::string ColumnHeading(const Settings& settings, const LineColumn* column);

// The price that applies to a job: the one naming the most of printer, computer and the
// match columns' values (matches: by Settings::matchColumns; compared case-folded), the
// first of those in the file on a tie (only a file that prices by at most one more
// column may hold one); nullptr when none applies and there is no default.
const Price* FindPrice(const Settings& settings, const std::string& computer,
                       const std::string& printer, const std::vector<std::string>& matches);

// money += a * b, InputError when the cost would pass 2^64-1 smallest units.
void AddCost(uint64_t& money, uint64_t a, uint64_t b);
// "1234.50" for 123450 with two decimals.
std::string MoneyText(uint64_t units, unsigned decimals);
// The tax of a group: the sum of each net times its price's rate (Price::vat,
// millionths), rounded once by the settings' rule; InputError past 2^64-1 units.
uint64_t RoundTax(const Settings& settings, Uint128 taxMillionths);

}  // namespace spoolgate
