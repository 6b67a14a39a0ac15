// SPDX-License-Identifier: Apache-2.0
// Units a site computes from the log's numbers ("width_mm * length_mm * copies / 1000000"):
// the expression read once into steps, evaluated exactly in 128-bit fractions and rounded
// once, by the settings' rule, to the places of the unit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace spoolgate {

__extension__ typedef unsigned __int128 Uint128;

// How a value between two steps of the last place is rounded: half up (0.125 -> 0.13)
// or half to even (0.125 -> 0.12, 0.135 -> 0.14). Values are never below zero here.
enum class Rounding { kHalfUp, kHalfEven };

// num / den rounded to a whole number by the rule (den > 0).
Uint128 RoundQuotient(Uint128 num, Uint128 den, Rounding rule);
// 10^n for n <= 38.
Uint128 PowerOfTen(unsigned n);

// An expression in postfix order: operands pushed, operators applied to the two on top.
struct UnitExpression {
  struct Step {
    enum Kind { kName, kConstant, kAdd, kSubtract, kMultiply, kDivide } kind;
    std::string name;     // kName: as written
    uint64_t digits = 0;  // kConstant: digits / 10^places
    unsigned places = 0;
  };
  std::vector<Step> steps;
  bool divides = false;  // a '/' or a constant with places: the value may be no whole number
};
// The most values an expression holds at once while it is evaluated (ParseUnitExpression
// refuses more).
constexpr size_t kExpressionDepth = 32;

// Reads "a * (b + 2.5) / 1000"; false with why set for anything else (a sign before a
// number, an unknown character, a missing operand or parenthesis, a constant past 2^64-1).
bool ParseUnitExpression(const std::string& text, UnitExpression& out, std::string& why);

// A value while an expression is evaluated: sign * num / den, den > 0. No initial
// values, so that an evaluation's stack costs nothing to set up: every Fraction is
// given all three.
struct Fraction {
  Uint128 num, den;
  bool negative;
};

// What an evaluation gives: a value, none (an operand without a value, a division by
// zero, a value below zero: counted as SQL counts a NULL), or a value past 2^64-1 at the
// unit's places (or past 128 bits on the way there), which the caller refuses.
enum class UnitStatus { kValue, kEmpty, kOverflow };

// Operand values for an evaluation: operand(i, f) sets f to the value of the step i
// (a kName) and returns kValue, or returns why it has none.
template <typename Operand>
UnitStatus EvaluateExpression(const UnitExpression& e, Operand operand, Fraction& result);
bool AddFractions(const Fraction& a, const Fraction& b, bool subtract, Fraction& out);
bool MultiplyFractions(const Fraction& a, const Fraction& b, bool divide, Fraction& out);

// The value in units of 10^-places, rounded once by the rule; kEmpty below zero,
// kOverflow past 2^64-1.
UnitStatus ScaleFraction(const Fraction& f, unsigned places, Rounding rule, uint64_t& scaled);

// ---------------------------------------------------------------------------------------

template <typename Operand>
UnitStatus EvaluateExpression(const UnitExpression& e, Operand operand, Fraction& result) {
  // A fixed stack, so that an evaluation allocates nothing.
  Fraction stack[kExpressionDepth];
  size_t depth = 0;
  UnitStatus status = UnitStatus::kValue;
  for (size_t i = 0; i < e.steps.size(); ++i) {
    const UnitExpression::Step& s = e.steps[i];
    if (s.kind == UnitExpression::Step::kName || s.kind == UnitExpression::Step::kConstant) {
      Fraction f{0, 1, false};
      if (s.kind == UnitExpression::Step::kConstant) {
        f.num = s.digits;
        f.den = PowerOfTen(s.places);
      } else {
        UnitStatus got = operand(i, f);
        // An empty operand makes the value empty; an overflow anywhere is refused, so
        // that it wins over an empty one.
        if (got == UnitStatus::kOverflow) return got;
        if (got == UnitStatus::kEmpty) status = got;
      }
      stack[depth++] = f;
      continue;
    }
    Fraction b = stack[--depth];
    Fraction& a = stack[depth - 1];
    if (status == UnitStatus::kEmpty) continue;  // only an overflow of an operand can follow
    bool ok = true;
    switch (s.kind) {
      case UnitExpression::Step::kAdd: ok = AddFractions(a, b, false, a); break;
      case UnitExpression::Step::kSubtract: ok = AddFractions(a, b, true, a); break;
      case UnitExpression::Step::kMultiply: ok = MultiplyFractions(a, b, false, a); break;
      default:
        if (b.num == 0) {
          status = UnitStatus::kEmpty;
          continue;
        }
        ok = MultiplyFractions(a, b, true, a);
        break;
    }
    if (!ok) return UnitStatus::kOverflow;
  }
  if (status == UnitStatus::kValue) result = stack[0];
  return status;
}

}  // namespace spoolgate
