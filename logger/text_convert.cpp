// SPDX-License-Identifier: Apache-2.0
// Text conversions of the logging library: OEM and UTF-16 slot texts to the log's
// UTF-8, and the caller's OEM directory and name to UTF-16 paths.
#include "logger/logger_internal.h"
#include "core/bounded_text.h"

// The longest slot the entries have (512 bytes), in characters after conversion.
#define LOG_SLOT_MAX_CHARS 512

// MultiByteToWideChar of the first bytes of text. A text cut at its slot's end can stop
// inside a double-byte character; one byte less then still converts the rest.
static size_t OemBytesToWide(const char* text, size_t bytes, WCHAR* out, size_t outChars) {
  if (bytes == 0 || outChars == 0) return 0;
  for (int attempt = 0; attempt < 2 && bytes > 0; ++attempt, --bytes) {
    int n = MultiByteToWideChar(CP_OEMCP, 0, text, (int)bytes, out, (int)outChars);
    if (n > 0) return (size_t)n;
  }
  return 0;
}

size_t OemSlotToUtf8(const char* slot, size_t slotBytes, char* out, size_t outBytes) {
  if (slotBytes > LOG_SLOT_MAX_CHARS) slotBytes = LOG_SLOT_MAX_CHARS;
  size_t bytes = BoundedAnsiLength(slot, slotBytes);
  WCHAR wide[LOG_SLOT_MAX_CHARS];
  size_t chars = OemBytesToWide(slot, bytes, wide, LOG_SLOT_MAX_CHARS);
  return WideSlotToUtf8(wide, chars, out, outBytes);
}

size_t WideSlotToUtf8(const WCHAR* slot, size_t slotChars, char* out, size_t outBytes) {
  size_t chars = BoundedTextLength(slot, slotChars);
  if (chars == 0 || out == NULL || outBytes == 0) return 0;
  // For CP_UTF8 the default-character arguments must be null.
  int n = WideCharToMultiByte(CP_UTF8, 0, slot, (int)chars, out, (int)outBytes, NULL, NULL);
  return n > 0 ? (size_t)n : 0;
}

size_t OemTextToWide(const char* text, size_t textBytes, WCHAR* out, size_t outChars) {
  if (out == NULL || outChars == 0) return 0;
  size_t bytes = BoundedAnsiLength(text, textBytes);
  size_t chars = OemBytesToWide(text, bytes, out, outChars - 1);
  out[chars] = 0;
  return chars;
}
