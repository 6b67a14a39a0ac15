// SPDX-License-Identifier: Apache-2.0
// Bounded copies and conversions of record texts (see bounded_text.h), for the plug-in
// and the logging library alike: every text taken from a record or the spooler passes here.
#include "core/bounded_text.h"

size_t BoundedTextLength(const WCHAR* field, size_t fieldChars) {
  if (field == NULL) return 0;
  size_t n = 0;
  while (n < fieldChars && field[n] != 0) ++n;
  return n;
}

size_t CopyBoundedText(WCHAR* buffer, size_t bufferChars, const WCHAR* field, size_t fieldChars) {
  if (buffer == NULL || bufferChars == 0) return 0;
  size_t n = BoundedTextLength(field, fieldChars);
  if (n > bufferChars - 1) n = bufferChars - 1;
  if (n > 0) memcpy(buffer, field, n * sizeof(WCHAR));
  buffer[n] = 0;
  return n;
}

size_t BoundedAnsiLength(const char* field, size_t fieldBytes) {
  if (field == NULL) return 0;
  size_t n = 0;
  while (n < fieldBytes && field[n] != 0) ++n;
  return n;
}

size_t CopyBoundedAnsi(char* buffer, size_t bufferBytes, const char* field, size_t fieldBytes) {
  if (buffer == NULL || bufferBytes == 0) return 0;
  size_t n = BoundedAnsiLength(field, fieldBytes);
  if (n > bufferBytes - 1) n = bufferBytes - 1;
  if (n > 0) memcpy(buffer, field, n);
  buffer[n] = 0;
  return n;
}

// Output bytes for the first chars characters, or -1 when the converter refuses them.
// chars is a text length within a record field or buffer, so the (int) casts here and
// in ConvertTextToOem never cut it.
static int OemBytesFor(const WCHAR* text, size_t chars) {
  if (chars == 0) return 0;
  int n = WideCharToMultiByte(CP_OEMCP, 0, text, (int)chars, NULL, 0, NULL, NULL);
  return n > 0 ? n : -1;
}

size_t ConvertTextToOem(char* buffer, size_t bufferBytes, const WCHAR* field, size_t fieldChars) {
  if (buffer == NULL || bufferBytes == 0) return 0;
  buffer[0] = 0;
  size_t chars = BoundedTextLength(field, fieldChars);
  if (chars == 0) return 0;
  // Texts are at most a few hundred characters: shorten one character at a time
  // until the converted text leaves room for the terminator.
  int needed = OemBytesFor(field, chars);
  while (chars > 0 && (needed < 0 || (size_t)needed > bufferBytes - 1)) {
    --chars;
    // Never keep the first half of a surrogate pair without its second half.
    if (chars > 0 && field[chars - 1] >= 0xD800 && field[chars - 1] <= 0xDBFF) --chars;
    needed = OemBytesFor(field, chars);
  }
  if (chars == 0 || needed <= 0) return 0;
  int written = WideCharToMultiByte(CP_OEMCP, 0, field, (int)chars, buffer, needed, NULL, NULL);
  // GCOVR_EXCL_START: the converter has just measured these very characters.
  if (written <= 0) {
    buffer[0] = 0;
    return 0;
  }
  // GCOVR_EXCL_STOP
  buffer[written] = 0;
  return (size_t)written;
}

BOOL AppendTextChars(WCHAR* buffer, size_t bufferChars, const WCHAR* text, size_t chars) {
  size_t have = BoundedTextLength(buffer, bufferChars);
  if (have >= bufferChars) return FALSE;  // not terminated within its buffer
  if (chars > bufferChars - 1 - have) return FALSE;
  if (chars > 0) memcpy(buffer + have, text, chars * sizeof(WCHAR));
  buffer[have + chars] = 0;
  return TRUE;
}

BOOL AppendBoundedText(WCHAR* buffer, size_t bufferChars, const WCHAR* text) {
  // A text as long as the whole buffer cannot fit behind anything, so that is as far
  // as it needs to be measured.
  return AppendTextChars(buffer, bufferChars, text, BoundedTextLength(text, bufferChars));
}
