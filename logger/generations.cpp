// SPDX-License-Identifier: Apache-2.0
// The earlier generations of a log as the writer sees them when its number file tells
// nothing: the highest number their names carry, checked at that one's end, and the ends
// of the few whose names carry none.
#include "logger/logger_internal.h"
#include "core/bounded_text.h"

// Generations whose names carry no number (rotated by an earlier version, named by
// hand, or given a counter because the numbered name was taken) read at most, newest
// first by the stamp in their names: every generation this version rotates carries its
// number, so their count does not grow with the log, and the bound keeps a folder of
// thousands of old ones from being read whole.
#define LOG_GENERATIONS_READ 16u

// Where a generation stands among the others: its stamp's digits, then its counter.
struct GenerationKey {
  uint64_t stamp;    // YYYYMMDDHHMMSS
  uint64_t counter;  // 1 without "-N"
};

static BOOL IsNewer(const GenerationKey* a, const GenerationKey* b) {
  return a->stamp != b->stamp ? a->stamp > b->stamp : a->counter > b->counter;
}

// The key of a found file whose name is <name><rest>, and the number its name carries
// (0 for none); FALSE when rest is not a generation's stamp and ".csv" (a directory
// never is one).
static BOOL ReadGenerationKey(const WIN32_FIND_DATAW* found, size_t nameChars, GenerationKey* key,
                              uint64_t* number) {
  if ((found->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return FALSE;
  size_t length = BoundedTextLength(found->cFileName, MAX_PATH);
  size_t suffix = sizeof(LOG_CURRENT_SUFFIX) - 1;
  char rest[LOG_GENERATION_STAMP_MAX + 24];
  if (length < nameChars + suffix || length - nameChars > sizeof(rest)) return FALSE;
  size_t count = length - nameChars;
  for (size_t i = 0; i < count; ++i) {
    WCHAR c = found->cFileName[nameChars + i];
    if (c == 0 || c > 0x7F) return FALSE;
    rest[i] = (char)c;
  }
  size_t base = 0;
  count -= suffix;
  if (memcmp(rest + count, LOG_CURRENT_SUFFIX, suffix) != 0 || !LogIsGenerationStem(rest, count, &base) ||
      base != 0)
    return FALSE;
  // "-YYYYMMDD-HHMMSS", then "Z" and "-N" where the name has them.
  key->stamp = LogParseNumber(rest + 1, 8, NULL) * 1000000u + LogParseNumber(rest + 10, 6, NULL);
  size_t at = rest[16] == 'Z' ? 17 : 16;
  key->counter = at < count ? LogParseNumber(rest + at + 1, count - at - 1, NULL) : 1;
  *number = LogGenerationNumber(rest, count);
  return TRUE;
}

// The highest number at the end of one generation; 0 when it cannot be read.
static uint64_t LastNumberIn(const WCHAR* path) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return 0;
  uint64_t size = 0;
  LogTail tail;
  uint64_t last = GetSize(file, &size) && ReadLogTail(file, size, &tail) ? tail.lastNumber : 0;
  CloseHandle(file);
  return last;
}

uint64_t HighestGenerationNumber(const WCHAR* directory, const WCHAR* name) {
  WCHAR path[LOG_PATH_CHARS];
  path[0] = 0;
  if (!AppendBoundedText(path, LOG_PATH_CHARS, directory) || !AppendBoundedText(path, LOG_PATH_CHARS, WTEXT("\\")))
    return 0;
  size_t directoryChars = BoundedTextLength(path, LOG_PATH_CHARS);
  size_t nameChars = BoundedTextLength(name, LOG_NAME_MAX_CHARS + 2);
  if (!AppendBoundedText(path, LOG_PATH_CHARS, name) || !AppendBoundedText(path, LOG_PATH_CHARS, WTEXT("-*.csv")))
    return 0;

  // The name that carries the highest number, and the newest few that carry none,
  // kept in order by a bounded insertion.
  WIN32_FIND_DATAW found;
  GenerationKey keys[LOG_GENERATIONS_READ + 1];
  WCHAR names[LOG_GENERATIONS_READ + 1][MAX_PATH];
  size_t kept = 0;
  uint64_t highest = 0;
  HANDLE search = FindFirstFileW(path, &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  do {
    GenerationKey key;
    uint64_t number = 0;
    if (!ReadGenerationKey(&found, nameChars, &key, &number)) continue;
    if (number != 0) {
      if (number > highest) {
        highest = number;
        memcpy(names[LOG_GENERATIONS_READ], found.cFileName, sizeof(names[0]));
      }
      continue;
    }
    size_t at = kept;
    while (at > 0 && IsNewer(&key, &keys[at - 1])) --at;
    if (at == LOG_GENERATIONS_READ) continue;
    if (kept < LOG_GENERATIONS_READ) ++kept;
    for (size_t i = kept - 1; i > at; --i) {
      keys[i] = keys[i - 1];
      memcpy(names[i], names[i - 1], sizeof(names[i]));
    }
    keys[at] = key;
    memcpy(names[at], found.cFileName, sizeof(names[at]));
  } while (FindNextFileW(search, &found));
  FindClose(search);

  // The numbered one is read too (its name's slot is the last): its end tells the
  // number should its name be wrong.
  size_t numbered = highest != 0 ? 1 : 0;
  for (size_t j = 0; j < kept + numbered; ++j) {
    size_t i = j < kept ? j : LOG_GENERATIONS_READ;
    path[directoryChars] = 0;
    if (!AppendTextChars(path, LOG_PATH_CHARS, names[i], BoundedTextLength(names[i], MAX_PATH))) continue;
    uint64_t last = LastNumberIn(path);
    if (last > highest) highest = last;
  }
  return highest;
}
