// SPDX-License-Identifier: Apache-2.0
// Unicode simple case folding: the table of runs (scripts/case-fold-table.py writes it)
// and the UTF-8 walk that applies it; bytes that are not UTF-8 pass through.
#include "tools/common/case_fold.h"

#include "tools/common/text.h"

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
    size_t n = Utf8CharAt(text, at, &cp);
    if (n == 0) {
      out += char(c);
      ++at;
      continue;
    }
    AppendUtf8(Folded(cp), out);
    at += n;
  }
  return out;
}

}  // namespace spoolgate
