// SPDX-License-Identifier: Apache-2.0
// Numbers and byte runs in upper-case hexadecimal.
#include "tools/common/hex.h"

#include <cstdio>

namespace spoolgate {

std::string HexNumber(uint64_t value) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(value));
  return buf;
}

std::string HexBytes(const uint8_t* data, size_t size, size_t limit) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < size && i < limit; ++i) {
    std::snprintf(buf, sizeof buf, i == 0 ? "%02X" : " %02X", data[i]);
    out += buf;
  }
  if (size > limit) out += " ...";
  return out;
}

}  // namespace spoolgate
