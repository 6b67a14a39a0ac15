// SPDX-License-Identifier: Apache-2.0
// Hexadecimal in the command's reports, one form everywhere: upper-case digits, numbers
// with "0x" ("0x1A"), bytes as pairs ("1B 12 55").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace spoolgate {

// A number as "0x1A".
std::string HexNumber(uint64_t value);
// Bytes as "1B 12 55 ..." (space separated), at most limit bytes then "...".
std::string HexBytes(const uint8_t* data, size_t size, size_t limit = SIZE_MAX);

}  // namespace spoolgate
