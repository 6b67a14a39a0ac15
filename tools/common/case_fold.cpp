// SPDX-License-Identifier: Apache-2.0
// Unicode simple case folding: the table of runs (scripts/case-fold-table.py writes it)
// and the UTF-8 walk that applies it; bytes that are not UTF-8 pass through.
#include "tools/common/case_fold.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace spoolgate {
namespace {

// Characters first..last, every stride-th of them, fold to themselves plus delta.
struct FoldRun {
  uint32_t first, last;
  int32_t delta;
  uint32_t stride;
};

// The runs, from Unicode's own data (scripts/case-fold-table.py writes the file).
const FoldRun kRuns[] = {
#include "tools/common/case_fold_table.inc"
};

uint32_t Folded(uint32_t cp) {
  auto run = std::upper_bound(std::begin(kRuns), std::end(kRuns), cp,
                              [](uint32_t c, const FoldRun& r) { return c < r.first; });
  if (run == std::begin(kRuns)) return cp;
  --run;
  if (cp > run->last || (cp - run->first) % run->stride != 0) return cp;
  return uint32_t(int64_t(cp) + run->delta);
}

// The well-formed UTF-8 character at text[at] and its length; 0 for none.
size_t Decode(const std::string& text, size_t at, uint32_t* cp) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned c = byte(at);
  size_t more = c > 0xF4 ? 0 : c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 ? 1 : 0;
  if (more == 0 || at + more >= text.size()) return 0;
  uint32_t v = c & (0x3Fu >> more);
  for (size_t i = 1; i <= more; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    v = (v << 6) | (byte(at + i) & 0x3Fu);
  }
  if ((more == 2 && (v < 0x800 || (v >= 0xD800 && v <= 0xDFFF))) || (more == 3 && (v < 0x10000 || v > 0x10FFFF))) {
    return 0;
  }
  *cp = v;
  return more + 1;
}

void Encode(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::string FoldCase(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[at]);
    if (c < 0x80) {
      out += c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : char(c);
      ++at;
      continue;
    }
    uint32_t cp = 0;
    size_t n = Decode(text, at, &cp);
    if (n == 0) {
      out += char(c);
      ++at;
      continue;
    }
    Encode(Folded(cp), out);
    at += n;
  }
  return out;
}

}  // namespace spoolgate
