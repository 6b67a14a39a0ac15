// SPDX-License-Identifier: Apache-2.0
// Safe log file names: the caller's name becomes one file name component that can
// neither leave the log directory nor name a device.
#include "logger/logger_internal.h"
#include "core/bounded_text.h"

// Characters Windows forbids in file names, path separators among them. Controls
// (below 0x20, and DEL) are refused as well.
static BOOL IsForbiddenNameChar(WCHAR c) {
  if (c < 0x20 || c == 0x7F) return TRUE;
  switch (c) {
    case '<': case '>': case ':': case '"': case '/': case '\\': case '|': case '?': case '*':
      return TRUE;
    default:
      return FALSE;
  }
}

static WCHAR UpperAscii(WCHAR c) { return (c >= 'a' && c <= 'z') ? (WCHAR)(c - 'a' + 'A') : c; }

// TRUE when the first chars characters of text equal the ASCII word, ignoring case.
static BOOL MatchesWord(const WCHAR* text, size_t chars, const char* word) {
  size_t i = 0;
  for (; i < chars && word[i] != 0; ++i) {
    if (UpperAscii(text[i]) != (WCHAR)word[i]) return FALSE;
  }
  return i == chars && word[i] == 0;
}

// Windows opens a device, not a file, for these base names whatever extension follows
// ("CON.csv" is the console), and ignores spaces before the extension.
static BOOL IsReservedDeviceName(const WCHAR* name) {
  size_t base = 0;
  while (name[base] != 0 && name[base] != '.') ++base;
  while (base > 0 && name[base - 1] == ' ') --base;
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (size_t i = 0; i < sizeof(kDevices) / sizeof(kDevices[0]); ++i) {
    if (MatchesWord(name, base, kDevices[i])) return TRUE;
  }
  if (base == 4 && (MatchesWord(name, 3, "COM") || MatchesWord(name, 3, "LPT"))) {
    WCHAR digit = name[3];
    // Windows counts the superscript digits 1, 2 and 3 as port numbers too.
    if ((digit >= '0' && digit <= '9') || digit == 0x00B9 || digit == 0x00B2 || digit == 0x00B3)
      return TRUE;
  }
  return FALSE;
}

// Digits that end at end, counted backwards; 0 when the character before end is none.
// TRUE when the first n characters end like the stamp of a generation file (the
// format's own rule, asked of the name's last characters; any other character is no
// digit or separator of a stamp).
static BOOL EndsLikeGeneration(const WCHAR* name, size_t n) {
  char tail[LOG_NAME_MAX_CHARS + 28];
  size_t count = n < sizeof(tail) ? n : sizeof(tail);
  for (size_t i = 0; i < count; ++i) {
    WCHAR c = name[n - count + i];
    tail[i] = c < 0x80 ? (char)c : '?';
  }
  size_t base = 0;
  return LogIsGenerationStem(tail, count, &base);
}

void MakeSafeLogName(const char* oemName, WCHAR* name, size_t nameChars) {
  if (name == NULL || nameChars == 0) return;
  WCHAR raw[MAX_PATH + 1];
  size_t rawChars = OemTextToWide(oemName, MAX_PATH, raw, MAX_PATH + 1);

  // Keep at most LOG_NAME_MAX_CHARS characters, and one fewer than the caller's
  // buffer (room for the terminator and a device-name prefix).
  size_t limit = LOG_NAME_MAX_CHARS;
  if (nameChars < 2) limit = 0;
  else if (limit > nameChars - 2) limit = nameChars - 2;

  size_t n = 0;
  for (size_t i = 0; i < rawChars && n < limit; ++i) {
    WCHAR c = raw[i];
    if (n == 0 && c == ' ') continue;  // Leading spaces are easy to miss in a listing.
    if (IsForbiddenNameChar(c)) c = '_';
    // No "..": a dot right after a dot, and a leading dot, become '_'.
    if (c == '.' && (n == 0 || name[n - 1] == '.')) c = '_';
    // A high surrogate cut off at the limit would leave half a character.
    if (c >= 0xD800 && c <= 0xDBFF && n + 1 >= limit) break;
    name[n++] = c;
  }
  // Windows drops trailing dots and spaces from file names, so "a." and "a" would
  // be one file.
  while (n > 0 && (name[n - 1] == '.' || name[n - 1] == ' ')) --n;
  name[n] = 0;

  if (n == 0) {
    CopyBoundedText(name, nameChars, LOG_DEFAULT_NAME, LOG_NAME_MAX_CHARS);
    return;
  }
  // "Jobs-20261207-221537.csv" is a generation of the log "Jobs": a log of that name
  // would write into it. A trailing "_" makes it a name of its own.
  if (EndsLikeGeneration(name, n)) {
    name[n++] = '_';
    name[n] = 0;
  }
  if (IsReservedDeviceName(name)) {
    memmove(name + 1, name, (n + 1) * sizeof(WCHAR));
    name[0] = '_';
  }
}
