// SPDX-License-Identifier: Apache-2.0
// The expressions of computed units: read by recursive descent, evaluated in fractions of
// 128-bit numerators and denominators kept in lowest terms, every step checked, so that
// a value is exact or refused, never wrapped.
#include "tools/reports/unit_expression.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace spoolgate {

namespace {

const Uint128 kMax = ~Uint128(0);

Uint128 Gcd(Uint128 a, Uint128 b) {
  while (b != 0) {
    Uint128 t = a % b;
    a = b;
    b = t;
  }
  return a;
}

bool Multiply(Uint128 a, Uint128 b, Uint128& out) {
  if (a != 0 && b > kMax / a) return false;
  out = a * b;
  return true;
}

void Reduce(Fraction& f) {
  Uint128 g = Gcd(f.num, f.den);
  if (g > 1) f.num /= g, f.den /= g;
  if (f.num == 0) f.den = 1, f.negative = false;
}

// Recursive descent over the text: expression = term {(+|-) term}, term = factor
// {(*|/) factor}, factor = number | name | ( expression ).
struct Parser {
  const std::string& text;
  size_t at = 0;
  UnitExpression& out;
  std::string& why;

  void Skip() {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  }
  bool Expression(int depth) {
    if (!Term(depth)) return false;
    for (Skip(); at < text.size() && (text[at] == '+' || text[at] == '-'); Skip()) {
      char op = text[at++];
      if (!Term(depth)) return false;
      out.steps.push_back({op == '+' ? UnitExpression::Step::kAdd : UnitExpression::Step::kSubtract, {}, 0, 0});
    }
    return true;
  }
  bool Term(int depth) {
    if (!Factor(depth)) return false;
    for (Skip(); at < text.size() && (text[at] == '*' || text[at] == '/'); Skip()) {
      char op = text[at++];
      if (!Factor(depth)) return false;
      if (op == '/') out.divides = true;
      out.steps.push_back({op == '*' ? UnitExpression::Step::kMultiply : UnitExpression::Step::kDivide, {}, 0, 0});
    }
    return true;
  }
  bool Factor(int depth) {
    Skip();
    if (at >= text.size()) return Fail("an operand is missing at the end");
    char c = text[at];
    if (c == '(') {
      // Bounded, so that a pathological text cannot exhaust the stack.
      if (depth >= 32) return Fail("parentheses nested more than 32 deep");
      ++at;
      if (!Expression(depth + 1)) return false;
      Skip();
      if (at >= text.size() || text[at] != ')') return Fail("a '(' is not closed");
      ++at;
      return true;
    }
    if (std::isdigit(static_cast<unsigned char>(c))) {
      UnitExpression::Step s{UnitExpression::Step::kConstant, {}, 0, 0};
      bool point = false;
      for (; at < text.size(); ++at) {
        char d = text[at];
        if (d == '.' && !point) {
          point = true;
          continue;
        }
        if (!std::isdigit(static_cast<unsigned char>(d))) break;
        if (s.digits > (UINT64_MAX - 9) / 10) return Fail("a number past 18446744073709551615");
        s.digits = s.digits * 10 + uint64_t(d - '0');
        if (point && ++s.places > 18) return Fail("a number of more than 18 decimals");
      }
      if (text[at - 1] == '.') return Fail("a number ends in a point");
      if (s.places != 0) out.divides = true;
      out.steps.push_back(s);
      return true;
    }
    if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      size_t start = at;
      while (at < text.size() && (std::isalnum(static_cast<unsigned char>(text[at])) || text[at] == '_')) ++at;
      out.steps.push_back({UnitExpression::Step::kName, text.substr(start, at - start), 0, 0});
      return true;
    }
    if (c == '-' || c == '+') return Fail("a sign before an operand (values are never below zero)");
    return Fail(std::string("'") + c + "' is no operand");
  }
  bool Fail(const std::string& reason) {
    why = reason;
    return false;
  }
};

}  // namespace

Uint128 PowerOfTen(unsigned n) {
  // A table: costs take several powers a job.
  static const auto table = [] {
    std::array<Uint128, 39> t{};
    t[0] = 1;
    for (size_t i = 1; i < t.size(); ++i) t[i] = t[i - 1] * 10;
    return t;
  }();
  return table[n];
}

Uint128 RoundQuotient(Uint128 num, Uint128 den, Rounding rule) {
  Uint128 q, r;
  if ((num >> 64) == 0 && (den >> 64) == 0) {
    // The common case in the machine's own width: a 128-bit division is several times
    // slower.
    uint64_t n = uint64_t(num), d = uint64_t(den);
    q = n / d, r = n % d;
  } else {
    q = num / den;
    r = num - q * den;
  }
  // r compared with den - r: no doubling, so no overflow near 2^128.
  Uint128 rest = den - r;
  if (r > rest || (r == rest && (rule == Rounding::kHalfUp || q % 2 == 1))) ++q;
  return q;
}

bool ParseUnitExpression(const std::string& text, UnitExpression& out, std::string& why) {
  out = UnitExpression{};
  Parser p{text, 0, out, why};
  if (!p.Expression(0)) return false;
  p.Skip();
  if (p.at < text.size()) return p.Fail(text[p.at] == ')' ? "a ')' without its '('" : "an operator is missing before '" +
                                                                                         text.substr(p.at, 1) + "'");
  size_t depth = 0, most = 0;
  for (const UnitExpression::Step& s : out.steps) {
    bool operand = s.kind == UnitExpression::Step::kName || s.kind == UnitExpression::Step::kConstant;
    depth = operand ? depth + 1 : depth - 1;
    most = std::max(most, depth);
  }
  if (most > kExpressionDepth) return p.Fail("nested too deep (more than " + std::to_string(kExpressionDepth) +
                                             " values at once)");
  return true;
}

// Fractions are kept as they come (an integer's denominator stays 1, a constant's a
// power of ten) and brought to lowest terms only when a step would not fit otherwise,
// so that the common units cost a few multiplications a job.
namespace {

bool AddOnce(const Fraction& a, const Fraction& b, bool subtract, Fraction& out) {
  bool bNegative = b.negative != subtract && b.num != 0;
  Uint128 left, right, den;
  if (a.den == b.den) {
    left = a.num, right = b.num, den = a.den;
  } else {
    // a/x + b/y over the least common denominator.
    Uint128 g = Gcd(a.den, b.den);
    if (!Multiply(a.num, b.den / g, left) || !Multiply(b.num, a.den / g, right) || !Multiply(a.den / g, b.den, den)) {
      return false;
    }
  }
  Fraction f{0, den, false};
  if (a.negative == bNegative) {
    if (left > kMax - right) return false;
    f.num = left + right;
    f.negative = a.negative;
  } else if (left >= right) {
    f.num = left - right;
    f.negative = a.negative;
  } else {
    f.num = right - left;
    f.negative = bNegative;
  }
  if (f.num == 0) f.den = 1, f.negative = false;
  out = f;
  return true;
}

}  // namespace

bool AddFractions(const Fraction& a, const Fraction& b, bool subtract, Fraction& out) {
  if (AddOnce(a, b, subtract, out)) return true;
  // Past 128 bits only if lowest terms do not help either.
  Fraction ra = a, rb = b;
  Reduce(ra), Reduce(rb);
  return AddOnce(ra, rb, subtract, out);
}

bool MultiplyFractions(const Fraction& a, const Fraction& b, bool divide, Fraction& out) {
  Uint128 bNum = divide ? b.den : b.num, bDen = divide ? b.num : b.den;
  Fraction f{0, 1, a.negative != b.negative};
  if (Multiply(a.num, bNum, f.num) && Multiply(a.den, bDen, f.den)) {
    if (f.num == 0) f.den = 1, f.negative = false;
    out = f;
    return true;
  }
  // Crossed factors out first, so that a product in lowest terms that fits is never
  // refused.
  Uint128 g1 = Gcd(a.num, bDen), g2 = Gcd(bNum, a.den);
  if (g1 == 0) g1 = 1;
  if (g2 == 0) g2 = 1;
  Fraction ra{a.num / g1, a.den / g2, false}, rb{bNum / g2, bDen / g1, false};
  Reduce(ra), Reduce(rb);
  if (!Multiply(ra.num, rb.num, f.num) || !Multiply(ra.den, rb.den, f.den)) return false;
  Reduce(f);
  out = f;
  return true;
}

UnitStatus ScaleFraction(const Fraction& f, unsigned places, Rounding rule, uint64_t& scaled) {
  if (f.negative && f.num != 0) return UnitStatus::kEmpty;
  Uint128 num;
  if (!Multiply(f.num, PowerOfTen(places), num)) return UnitStatus::kOverflow;
  Uint128 q = RoundQuotient(num, f.den, rule);
  if (q > UINT64_MAX) return UnitStatus::kOverflow;
  scaled = uint64_t(q);
  return UnitStatus::kValue;
}

}  // namespace spoolgate
