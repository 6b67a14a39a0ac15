// SPDX-License-Identifier: Apache-2.0
// Decimal column values up to 2^64-1 and sums that stop there with an error naming the
// column.
#include "tools/common/numbers.h"

#include "tools/common/errors.h"

#include <cctype>

namespace spoolgate {

bool ParseColumnNumber(std::string_view text, uint64_t* value) {
  if (text.empty()) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    unsigned d = unsigned(c - '0');
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  *value = v;
  return true;
}

void AddToSum(uint64_t& sum, uint64_t value, const std::string& column) {
  if (value > UINT64_MAX - sum) {
    throw InputError("--sum " + column + ": the sum passes 18446744073709551615");
  }
  sum += value;
}

}  // namespace spoolgate
