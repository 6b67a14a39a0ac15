// SPDX-License-Identifier: Apache-2.0
// Numbers as the log writes them: decimal for sequence numbers, values, times and
// generation names, upper-case hex for checksums and carried blocks.
#include "logger/logger_internal.h"

size_t FormatDecimal(uint64_t value, unsigned minDigits, char* out, size_t outBytes) {
  char digits[24];
  size_t n = 0;
  do {
    digits[n++] = (char)('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n < minDigits && n < sizeof(digits)) digits[n++] = '0';
  if (out == NULL || n > outBytes) return n;
  for (size_t i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
  return n;
}

void FormatHex(uint64_t value, unsigned digits, char* out) {
  static const char kHex[] = "0123456789ABCDEF";
  for (unsigned i = 0; i < digits; ++i) out[i] = kHex[(value >> (4 * (digits - 1 - i))) & 0x0F];
}
