// SPDX-License-Identifier: Apache-2.0
// What a job costs and what its computed units come to, from the raw values of its line,
// the same for every source: the logs hand over each line's values, the databases each
// group of lines that share them. A job's cost is rounded once to the bill's places.
#pragma once

#include "tools/reports/log_settings.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace spoolgate {

struct Report;  // log_report.h, which includes this file's users, not this file

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
// price's minimum. unit(i, value, places) gives the value of the price's i-th Price::Unit
// in units of 10^-places. InputError past 2^64-1 smallest units.
template <typename Unit>
uint64_t JobCost(const Settings& settings, const Price& price, Unit unit);


// What one job's line gives beyond the sums a source makes itself.
struct JobValues {
  std::vector<uint64_t> measures;  // by Report::measures: computed units' values (others 0)
  uint64_t cost = 0;               // priced job by job: the job's cost; else 0
  bool noValue = false;            // a computed unit measured or priced had no value
};

// The computing of JobValues from a line's raw values: a price is found once for each
// distinct computer, printer and selected values; units and costs, a few multiplications,
// are worked out line by line (a cache of them cost more than it saved).
class JobPricer {
 public:
  explicit JobPricer(const Report& report);
  // Whether there is anything to compute: a computed measure, or costs job by job.
  bool Active() const { return !inputs_.empty(); }
  // The columns of the log read, in the order Of takes their values.
  const std::vector<const LineColumn*>& Inputs() const { return inputs_; }
  // The values of a job whose line holds values (by Inputs()); valid until the next call.
  const JobValues& Of(const std::vector<std::string_view>& values);

 private:
  // The values of the units measured or priced, for one set of numbers.
  struct Units {
    std::vector<uint64_t> values;  // by units_
    bool noValue = false;
  };
  // A price found, with the place in units_ of each of its Price::Unit.
  struct Found {
    const Price* price = nullptr;
    std::vector<size_t> slots;
  };
  const Report& report_;
  bool priced_ = false;                        // costs job by job
  std::vector<const LineColumn*> inputs_;      // the place inputs first, then the numbers
  size_t placeInputs_ = 0;                     // computer, printer, the match columns
  std::vector<const LineColumn*> units_;       // measured or priced, each once
  std::vector<unsigned> places_;               // of units_
  std::vector<std::ptrdiff_t> measureSlot_;    // by Report::measures: its place in units_, or -1
  Units current_;
  std::unordered_map<std::string, Found> prices_;
  // The last places looked up: a log's lines come from one computer and printer, and
  // compared as they are they need no key packed and hashed.
  struct Recent {
    std::vector<std::string> values;
    const Found* found = nullptr;
  };
  Recent recent_[4];
  size_t nextRecent_ = 0;
  std::string packed_;
  JobValues job_;
  const Units& UnitsOf(const std::vector<std::string_view>& values);
  const Found& PriceOf(const std::vector<std::string_view>& values);
};

// ---------------------------------------------------------------------------------------

namespace pricing {
// A job's exact cost is counted in units of 10^-kExactPlaces: a price of up to 9 places
// times a unit of up to 9.
constexpr unsigned kExactPlaces = 18;
[[noreturn]] void CostOverflow();
// a * b, CostOverflow past 128 bits.
Uint128 Times(Uint128 a, Uint128 b);
// The exact cost (in units of 10^-exponent) rounded to the bill and raised to the minimum.
uint64_t Charged(const Settings& settings, const Price& price, Uint128 exact, unsigned exponent);
}  // namespace pricing

template <typename Unit>
uint64_t JobCost(const Settings& settings, const Price& price, Unit unit) {
  using pricing::Times;
  // Counted in units of 10^-exponent, the finest any term needs (at most kExactPlaces),
  // so that the common costs fit the machine's word.
  constexpr size_t kMost = 16;
  uint64_t values[kMost];
  unsigned places[kMost], exponent = std::max(price.jobExact.places, settings.decimals);
  size_t n = std::min(price.per.size(), kMost);
  bool fine = price.per.size() > kMost;
  for (size_t i = 0; i < n; ++i) {
    unit(i, values[i], places[i]);
    exponent = std::max(exponent, places[i] + price.per[i].exact.places);
  }
  if (fine) exponent = pricing::kExactPlaces;
  Uint128 exact = Times(price.jobExact.digits, PowerOfTen(exponent - price.jobExact.places));
  for (size_t i = 0; i < price.per.size(); ++i) {
    const Decimal& d = price.per[i].exact;
    uint64_t value = 0;
    unsigned at = 0;
    if (i < n) value = values[i], at = places[i];
    else unit(i, value, at);
    Uint128 term = Times(Times(value, d.digits), PowerOfTen(exponent - at - d.places));
    if (term > ~Uint128(0) - exact) pricing::CostOverflow();
    exact += term;
  }
  return pricing::Charged(settings, price, exact, exponent);
}

}  // namespace spoolgate
