// SPDX-License-Identifier: Apache-2.0
// The numbers of log columns: unsigned decimal values read strictly, and sums that are
// refused rather than wrapped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace spoolgate {

// An unsigned decimal column value; false for anything else (empty, signs, letters, or a
// number above 2^64-1).
bool ParseColumnNumber(std::string_view text, uint64_t* value);
// sum += value; InputError naming the column when the sum would pass 2^64-1.
void AddToSum(uint64_t& sum, uint64_t value, const std::string& column);

}  // namespace spoolgate
