// SPDX-License-Identifier: Apache-2.0
// The lines of a listing put in time order in bounded memory: sorted runs of their text
// kept in memory, written to a scratch file when they pass the bound, merged at the end.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace spoolgate {

// Where a line goes in the listing: by time (none last), then by computer and log name,
// then in the order the lines were read (a log's files and lines in the order of their
// numbers).
struct LineOrder {
  int64_t time;       // YYYYMMDDhhmmssmmm; INT64_MAX for a line without a time
  uint32_t computer;  // names of OrderedLines::Name
  uint32_t log;
  uint64_t arrival;   // counts up as the lines are read
};
static_assert(sizeof(LineOrder) == 24, "a run's record has a fixed head");

// Memory holds at most about bound bytes of lines, whatever their number: lines past it
// go to an unnamed scratch file in the temporary folder, as runs sorted in memory, and
// at most kFanIn runs are merged at once (more are first merged into longer ones).
class OrderedLines {
 public:
  explicit OrderedLines(size_t bound = size_t(4) << 20);
  ~OrderedLines();
  OrderedLines(const OrderedLines&) = delete;
  OrderedLines& operator=(const OrderedLines&) = delete;

  // The number standing for a computer's or a log's name in a LineOrder.
  uint32_t Name(std::string_view name);
  const std::string& NameOf(uint32_t name) const { return names_[name]; }
  // Takes a copy of a line's text under its key; tag is the caller's, handed back with it.
  void Add(const LineOrder& key, uint32_t tag, std::string_view text);
  using Take = std::function<void(const LineOrder& key, uint32_t tag, std::string_view text)>;
  // Hands every line to take, in order. Throws std::runtime_error when the scratch file
  // cannot be made, written or read.
  void Drain(const Take& take);

  static constexpr size_t kFanIn = 64;

 private:
  struct Entry {
    LineOrder key;
    uint32_t tag, length;
    uint64_t start;  // in text_
  };
  struct Run {
    uint64_t begin, end;  // in the scratch file
  };
  // Ranks the names known so far (a subset of names keeps its order as more come).
  void RankNames();
  bool Less(const LineOrder& a, const LineOrder& b) const;
  void SortHeld();
  // Merges the runs [first, last) of the scratch file, and the lines held when held.
  void Merge(size_t first, size_t last, bool held, const Take& take);
  // Writes the lines held as one sorted run to the scratch file.
  void Spill();

  size_t bound_;
  std::string text_;
  std::vector<Entry> entries_;
  std::vector<std::string> names_;
  std::vector<uint32_t> rank_;  // of each name
  std::vector<Run> runs_;
  std::FILE* scratch_ = nullptr;
  uint64_t scratchEnd_ = 0;
};

}  // namespace spoolgate
