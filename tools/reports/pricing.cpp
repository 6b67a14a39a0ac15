// SPDX-License-Identifier: Apache-2.0
// Job costs and computed units from a line's raw values: exact to the last place of the
// finest price, rounded once per job (costs) or per group (taxes), every step checked.
#include "tools/reports/pricing.h"

#include "tools/common/errors.h"
#include "tools/common/numbers.h"

#include <algorithm>
#include <cstring>

namespace spoolgate {

namespace {

// A job's exact cost is counted in units of 10^-kExactPlaces: a price of up to 9 places
// times a unit of up to 9.
constexpr unsigned kExactPlaces = 18;
// Distinct sets of values remembered at most; past it the memory starts again.
constexpr size_t kCachedJobs = size_t(1) << 16;

[[noreturn]] void CostOverflow() { throw InputError("--cost: a cost passes 18446744073709551615 units"); }

Uint128 Times(Uint128 a, Uint128 b) {
  if (a != 0 && b > ~Uint128(0) / a) CostOverflow();
  return a * b;
}

}  // namespace

unsigned ColumnPlaces(const Settings& settings, const LineColumn* column) {
  const Settings::Computed* u = ComputedOf(settings, column);
  return u == nullptr ? 0 : u->places;
}

UnitStatus ColumnUnits(const Settings& settings, const LineColumn* column,
                       const std::function<std::string_view(const LineColumn*)>& field, uint64_t& units) {
  if (const Settings::Product* p = ProductOf(settings, column)) {
    uint64_t a = 0, b = 0;
    if (!ParseColumnNumber(field(p->factors[0]), &a) || !ParseColumnNumber(field(p->factors[1]), &b)) {
      return UnitStatus::kEmpty;
    }
    if (a != 0 && b > UINT64_MAX / a) return UnitStatus::kOverflow;
    units = a * b;
    return UnitStatus::kValue;
  }
  const Settings::Computed* u = ComputedOf(settings, column);
  if (u == nullptr) return ParseColumnNumber(field(column), &units) ? UnitStatus::kValue : UnitStatus::kEmpty;
  Fraction value;
  UnitStatus status = EvaluateExpression(u->expression, [&](size_t step, Fraction& f) {
    uint64_t operand = 0;
    UnitStatus got = ColumnUnits(settings, u->operands[step], field, operand);
    f.num = operand;
    f.den = PowerOfTen(ColumnPlaces(settings, u->operands[step]));
    return got;
  }, value);
  return status == UnitStatus::kValue ? ScaleFraction(value, u->places, settings.rounding, units) : status;
}

void ComputedOverflow(const Settings& settings, const LineColumn* column,
                      const std::function<std::string_view(const LineColumn*)>& field) {
  const Settings::Computed* u = ComputedOf(settings, column);
  std::string values;
  for (const LineColumn* c : InputColumns(settings, column)) {
    values += (values.empty() ? "" : ", ") + ColumnHeading(settings, c) + " " + std::string(field(c));
  }
  std::string name = u != nullptr ? u->name : ColumnHeading(settings, column);
  int line = u != nullptr ? u->line : 0;
  throw InputError(settings.file + ":" + std::to_string(line) + ": " + name + " passes 18446744073709551615" +
                   (u != nullptr && u->places != 0 ? " in units of its " + std::to_string(u->places) + " places" : "") +
                   " for a job of " + values);
}

std::string ComputedText(const Settings& settings, const LineColumn* column,
                         const std::function<std::string_view(const LineColumn*)>& field) {
  uint64_t units = 0;
  UnitStatus status = ColumnUnits(settings, column, field, units);
  if (status == UnitStatus::kOverflow) ComputedOverflow(settings, column, field);
  return status == UnitStatus::kEmpty ? std::string() : MoneyText(units, ColumnPlaces(settings, column));
}

uint64_t JobCost(const Settings& settings, const Price& price, const std::vector<uint64_t>& units,
                 const std::vector<unsigned>& places) {
  Uint128 exact = Times(price.jobExact.digits, PowerOfTen(kExactPlaces - price.jobExact.places));
  for (size_t i = 0; i < price.per.size(); ++i) {
    const Decimal& d = price.per[i].exact;
    Uint128 term = Times(Times(units[i], d.digits), PowerOfTen(kExactPlaces - places[i] - d.places));
    if (term > ~Uint128(0) - exact) CostOverflow();
    exact += term;
  }
  Uint128 cost = RoundQuotient(exact, PowerOfTen(kExactPlaces - settings.decimals), settings.rounding);
  if (cost > UINT64_MAX) CostOverflow();
  return std::max(uint64_t(cost), price.minimum);
}

uint64_t RoundTax(const Settings& settings, Uint128 taxMillionths) {
  Uint128 tax = RoundQuotient(taxMillionths, 1000000, settings.rounding);
  if (tax > UINT64_MAX) CostOverflow();
  return uint64_t(tax);
}

JobPricer::JobPricer(const Report& report) : report_(report) {
  const Settings& s = report.settings;
  auto add = [&](const LineColumn* c) {
    if (std::find(inputs_.begin(), inputs_.end(), c) == inputs_.end()) inputs_.push_back(c);
  };
  for (const LineColumn* m : report.measures) {
    bool computed = ComputedOf(s, m) != nullptr;
    computedMeasure_.push_back(computed);
    if (computed) {
      for (const LineColumn* c : InputColumns(s, m)) add(c);
    }
  }
  if (report.cost && s.perJob) {
    add(FindLineColumn("computer"));
    add(FindLineColumn("printer"));
    for (const LineColumn* c : s.matchColumns) add(c);
    for (const Price& p : s.prices) {
      for (const Price::Unit& u : p.per) {
        for (const LineColumn* c : InputColumns(s, u.column)) add(c);
      }
    }
  }
}

const JobValues& JobPricer::Of(const std::vector<std::string_view>& values) {
  packed_.clear();
  for (std::string_view v : values) {
    uint32_t size = uint32_t(v.size());
    packed_.append(reinterpret_cast<const char*>(&size), sizeof size);
    packed_.append(v.data(), v.size());
  }
  auto it = cache_.find(packed_);
  if (it != cache_.end()) return it->second;
  if (cache_.size() >= kCachedJobs) cache_.clear();
  return cache_.emplace(packed_, Compute(values)).first->second;
}

JobValues JobPricer::Compute(const std::vector<std::string_view>& values) const {
  const Settings& s = report_.settings;
  auto field = [&](const LineColumn* c) -> std::string_view {
    size_t i = size_t(std::find(inputs_.begin(), inputs_.end(), c) - inputs_.begin());
    return i < values.size() ? values[i] : std::string_view();
  };
  JobValues job;
  job.measures.assign(report_.measures.size(), 0);
  auto unitValue = [&](const LineColumn* c) {
    uint64_t units = 0;
    UnitStatus status = ColumnUnits(s, c, field, units);
    if (status == UnitStatus::kOverflow) ComputedOverflow(s, c, field);
    // Only a computed unit's lack of a value is news: an empty column of the log counts
    // as nothing, as it always has.
    if (status == UnitStatus::kEmpty && ComputedOf(s, c) != nullptr) job.noValue = true;
    return status == UnitStatus::kValue ? units : 0;
  };
  for (size_t i = 0; i < report_.measures.size(); ++i) {
    if (computedMeasure_[i]) job.measures[i] = unitValue(report_.measures[i]);
  }
  if (!report_.cost || !s.perJob) return job;
  std::vector<std::string> matches;
  for (const LineColumn* c : s.matchColumns) matches.emplace_back(field(c));
  const Price* price = FindPrice(s, std::string(field(FindLineColumn("computer"))),
                                 std::string(field(FindLineColumn("printer"))), matches);
  if (price == nullptr) return job;
  std::vector<uint64_t> units;
  std::vector<unsigned> places;
  for (const Price::Unit& u : price->per) {
    units.push_back(unitValue(u.column));
    places.push_back(ColumnPlaces(s, u.column));
  }
  job.cost = JobCost(s, *price, units, places);
  return job;
}

}  // namespace spoolgate
