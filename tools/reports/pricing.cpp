// SPDX-License-Identifier: Apache-2.0
// Job costs and computed units from a line's raw values: exact to the last place of the
// finest price, rounded once per job (costs) or per group (taxes), every step checked.
#include "tools/reports/pricing.h"

#include "tools/reports/log_report.h"

#include "tools/common/errors.h"
#include "tools/common/numbers.h"

#include <algorithm>
#include <cstring>

namespace spoolgate {

namespace {

// Distinct sets of values remembered at most; past it the memory starts again.
constexpr size_t kCachedJobs = size_t(1) << 16;

}  // namespace

namespace pricing {

void CostOverflow() { throw InputError("--cost: a cost passes 18446744073709551615 units"); }

Uint128 Times(Uint128 a, Uint128 b) {
  if (a != 0 && b > ~Uint128(0) / a) CostOverflow();
  return a * b;
}

uint64_t Charged(const Settings& settings, const Price& price, Uint128 exact, unsigned exponent) {
  Uint128 cost = RoundQuotient(exact, PowerOfTen(exponent - settings.decimals), settings.rounding);
  if (cost > UINT64_MAX) CostOverflow();
  return std::max(uint64_t(cost), price.minimum);
}

}  // namespace pricing

unsigned ColumnPlaces(const Settings& settings, const LineColumn* column) {
  const Settings::Computed* u = ComputedOf(settings, column);
  return u == nullptr ? 0 : u->places;
}

namespace {

UnitStatus ProductUnits(const Settings::Product& p, const std::function<std::string_view(const LineColumn*)>& field,
                        uint64_t& units) {
  uint64_t a = 0, b = 0;
  if (!ParseColumnNumber(field(p.factors[0]), &a) || !ParseColumnNumber(field(p.factors[1]), &b)) {
    return UnitStatus::kEmpty;
  }
  if (a != 0 && b > UINT64_MAX / a) return UnitStatus::kOverflow;
  units = a * b;
  return UnitStatus::kValue;
}

UnitStatus ComputedUnits(const Settings& settings, const Settings::Computed& u,
                         const std::function<std::string_view(const LineColumn*)>& field, uint64_t& units) {
  Fraction value{0, 1, false};
  UnitStatus status = EvaluateExpression(u.expression, [&](size_t step, Fraction& f) {
    uint64_t operand = 0;
    UnitStatus got;
    if (const Settings::Computed* inner = u.operandUnits[step]) {
      got = ComputedUnits(settings, *inner, field, operand);
      f.den = PowerOfTen(inner->places);
    } else if (const Settings::Product* p = u.operandProducts[step]) {
      got = ProductUnits(*p, field, operand);
    } else {
      got = ParseColumnNumber(field(u.operands[step]), &operand) ? UnitStatus::kValue : UnitStatus::kEmpty;
    }
    f.num = operand;
    return got;
  }, value);
  return status == UnitStatus::kValue ? ScaleFraction(value, u.places, settings.rounding, units) : status;
}

}  // namespace

UnitStatus ColumnUnits(const Settings& settings, const LineColumn* column,
                       const std::function<std::string_view(const LineColumn*)>& field, uint64_t& units) {
  if (const Settings::Product* p = ProductOf(settings, column)) return ProductUnits(*p, field, units);
  const Settings::Computed* u = ComputedOf(settings, column);
  if (u == nullptr) return ParseColumnNumber(field(column), &units) ? UnitStatus::kValue : UnitStatus::kEmpty;
  return ComputedUnits(settings, *u, field, units);
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

JobPricer::JobPricer(const Report& report) : report_(report) {
  const Settings& s = report.settings;
  priced_ = report.cost && s.perJob;
  auto add = [](std::vector<const LineColumn*>& list, const LineColumn* c) {
    if (std::find(list.begin(), list.end(), c) == list.end()) list.push_back(c);
  };
  if (priced_) {
    add(inputs_, FindLineColumn("computer"));
    add(inputs_, FindLineColumn("printer"));
    for (const LineColumn* c : s.matchColumns) add(inputs_, c);
  }
  placeInputs_ = inputs_.size();
  for (const LineColumn* m : report.measures) {
    if (ComputedOf(s, m) != nullptr) add(units_, m);
  }
  if (priced_) {
    for (const Price& p : s.prices) {
      for (const Price::Unit& u : p.per) add(units_, u.column);
    }
  }
  for (const LineColumn* u : units_) {
    places_.push_back(ColumnPlaces(s, u));
    for (const LineColumn* c : InputColumns(s, u)) {
      if (std::find(inputs_.begin() + long(placeInputs_), inputs_.end(), c) == inputs_.end()) inputs_.push_back(c);
    }
  }
  for (const LineColumn* m : report.measures) {
    auto at = std::find(units_.begin(), units_.end(), m);
    measureSlot_.push_back(ComputedOf(s, m) != nullptr ? at - units_.begin() : -1);
  }
  job_.measures.assign(report.measures.size(), 0);
}

namespace {

void Pack(std::string& packed, const std::vector<std::string_view>& values, size_t from, size_t to) {
  packed.clear();
  for (size_t i = from; i < to; ++i) {
    uint32_t size = uint32_t(values[i].size());
    packed.append(reinterpret_cast<const char*>(&size), sizeof size);
    packed.append(values[i].data(), values[i].size());
  }
}

}  // namespace

const JobPricer::Units& JobPricer::UnitsOf(const std::vector<std::string_view>& values) {
  const Settings& s = report_.settings;
  auto field = [&](const LineColumn* c) -> std::string_view {
    size_t i = size_t(std::find(inputs_.begin(), inputs_.end(), c) - inputs_.begin());
    return i < values.size() ? values[i] : std::string_view();
  };
  Units& u = current_;
  u.values.clear();
  u.noValue = false;
  for (const LineColumn* c : units_) {
    uint64_t v = 0;
    UnitStatus status = ColumnUnits(s, c, field, v);
    if (status == UnitStatus::kOverflow) ComputedOverflow(s, c, field);
    // Only a computed unit's lack of a value is news: an empty column of the log counts
    // as nothing, as it always has.
    if (status == UnitStatus::kEmpty && ComputedOf(s, c) != nullptr) u.noValue = true;
    u.values.push_back(status == UnitStatus::kValue ? v : 0);
  }
  return u;
}

const JobPricer::Found& JobPricer::PriceOf(const std::vector<std::string_view>& values) {
  for (const Recent& r : recent_) {
    if (r.found != nullptr && std::equal(r.values.begin(), r.values.end(), values.begin())) return *r.found;
  }
  Recent& slot = recent_[nextRecent_++ % std::size(recent_)];
  slot.found = nullptr;
  slot.values.assign(values.begin(), values.begin() + long(placeInputs_));
  Pack(packed_, values, 0, placeInputs_);
  auto it = prices_.find(packed_);
  if (it != prices_.end()) return *(slot.found = &it->second);
  if (prices_.size() >= kCachedJobs) {
    prices_.clear();
    for (Recent& r : recent_) r.found = nullptr;
  }
  const Settings& s = report_.settings;
  std::vector<std::string> matches;
  for (size_t i = 2; i < placeInputs_; ++i) matches.emplace_back(values[i]);
  Found f;
  f.price = FindPrice(s, std::string(values[0]), std::string(values[1]), matches);
  if (f.price != nullptr) {
    for (const Price::Unit& u : f.price->per) {
      f.slots.push_back(size_t(std::find(units_.begin(), units_.end(), u.column) - units_.begin()));
    }
  }
  return *(slot.found = &prices_.emplace(packed_, std::move(f)).first->second);
}

const JobValues& JobPricer::Of(const std::vector<std::string_view>& values) {
  const Units& u = UnitsOf(values);
  job_.noValue = u.noValue;
  for (size_t i = 0; i < measureSlot_.size(); ++i) {
    if (measureSlot_[i] >= 0) job_.measures[i] = u.values[size_t(measureSlot_[i])];
  }
  job_.cost = 0;
  if (!priced_) return job_;
  const Found& f = PriceOf(values);
  if (f.price == nullptr) return job_;
  job_.cost = JobCost(report_.settings, *f.price, [&](size_t i, uint64_t& value, unsigned& places) {
    value = u.values[f.slots[i]];
    places = places_[f.slots[i]];
  });
  return job_;
}

}  // namespace spoolgate
