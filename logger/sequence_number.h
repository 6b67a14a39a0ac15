// SPDX-License-Identifier: Apache-2.0
// The one limit of a log's sequence numbers, and the parse every writer and reader of
// the log applies to them, so that none of them reads a number the others do not.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The largest sequence number a log holds: 2^63 - 1, what a signed 64-bit column of a
// database stores. A line that would need a larger one is stored nowhere.
#define LOG_SEQUENCE_MAX 9223372036854775807ull
// What ParseSequenceNumber gives for digits that name a number above the limit.
#define LOG_SEQUENCE_OVER (LOG_SEQUENCE_MAX + 1u)

// ParseSequenceNumber() - The number written by the leading decimal digits of text: 0
// when there are none, LOG_SEQUENCE_OVER when they exceed LOG_SEQUENCE_MAX (however
// many). digits, when not null, receives how many digits there were.
static inline uint64_t ParseSequenceNumber(const char* text, size_t count, size_t* digits) {
  uint64_t value = 0;
  size_t i = 0;
  for (; i < count && text[i] >= '0' && text[i] <= '9'; ++i) {
    unsigned digit = (unsigned)(text[i] - '0');
    if (value > (LOG_SEQUENCE_MAX - digit) / 10) value = LOG_SEQUENCE_OVER;
    if (value != LOG_SEQUENCE_OVER) value = value * 10 + digit;
  }
  if (digits != NULL) *digits = i;
  return value;
}
