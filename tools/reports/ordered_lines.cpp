// SPDX-License-Identifier: Apache-2.0
// Time order for `log show` in bounded memory: an external merge sort of the log
// records, so that every log is read once whatever the order of its times.
#include "tools/reports/ordered_lines.h"

#include "tools/common/file_system.h"
#include "tools/common/portable.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace spoolgate {

namespace {

// A line of a run in the scratch file: its head, then its text.
struct Head {
  LineOrder key;
  uint32_t tag, length;
};
static_assert(sizeof(Head) == 32, "a run's line starts with a fixed head");
// What the runs' read buffers may take together during a merge, and each one's share.
constexpr size_t kMergeBuffers = size_t(8) << 20;
constexpr size_t kLeastBuffer = size_t(64) << 10, kMostBuffer = size_t(1) << 20;

[[noreturn]] void ScratchFailed(const char* what, const std::string& why) {
  throw std::runtime_error(std::string("the listing's scratch file in the temporary folder cannot be ") + what +
                           ": " + why);
}

// A run read back from the scratch file, one line at a time.
struct RunReader {
  uint64_t at, end;
  std::vector<char> buffer;
  size_t begin = 0, fill = 0;

  // Makes need bytes of the run readable at buffer[begin]; false at the run's end.
  bool Ensure(std::FILE* file, size_t need) {
    size_t have = fill - begin;
    if (have >= need) return true;
    if (have == 0 && at == end) return false;
    std::memmove(buffer.data(), buffer.data() + begin, have);
    begin = 0;
    fill = have;
    if (buffer.size() < need) buffer.resize(need);
    size_t want = size_t(std::min<uint64_t>(buffer.size() - fill, end - at));
    if (!SeekTo(file, at) || std::fread(buffer.data() + fill, 1, want, file) != want) {
      ScratchFailed("read", std::ferror(file) ? std::strerror(errno) : "it ends before what was written");
    }
    at += want;
    fill += want;
    if (fill < need) ScratchFailed("read", "a run ends inside a line");
    return true;
  }

  bool Next(std::FILE* file, Head& head, std::string_view& text) {
    if (!Ensure(file, sizeof head)) return false;
    std::memcpy(&head, buffer.data() + begin, sizeof head);
    begin += sizeof head;
    if (head.length != 0) Ensure(file, head.length);
    text = std::string_view(buffer.data() + begin, head.length);
    begin += head.length;
    return true;
  }
};

// Appends lines to the scratch file from at on, gathered into large writes: the file
// system takes them faster than many small ones.
struct RunWriter {
  std::FILE* file;
  uint64_t at;
  std::string staging;

  void Flush() {
    if (staging.empty()) return;
    if (!SeekTo(file, at) || std::fwrite(staging.data(), 1, staging.size(), file) != staging.size()) {
      ScratchFailed("written", std::strerror(errno));
    }
    at += staging.size();
    staging.clear();
  }
  void Put(const LineOrder& key, uint32_t tag, std::string_view text) {
    Head head{key, tag, uint32_t(text.size())};
    if (staging.size() + sizeof head + text.size() > kMostBuffer) Flush();
    staging.append(reinterpret_cast<const char*>(&head), sizeof head);
    staging.append(text.data(), text.size());
  }
};

}  // namespace

OrderedLines::OrderedLines(size_t bound) : bound_(bound) {
  // Address room only: memory is taken as the lines come.
  text_.reserve(bound_ + kLeastBuffer);
}

OrderedLines::~OrderedLines() {
  if (scratch_ != nullptr) std::fclose(scratch_);
}

uint32_t OrderedLines::Name(std::string_view name) {
  // Few names, met in long runs of the same one.
  for (size_t i = names_.size(); i-- > 0;) {
    if (names_[i] == name) return uint32_t(i);
  }
  names_.emplace_back(name);
  return uint32_t(names_.size() - 1);
}

void OrderedLines::RankNames() {
  // Names compare by their bytes; their ranks are what the sort compares.
  std::vector<uint32_t> order(names_.size());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return names_[a] < names_[b]; });
  rank_.resize(names_.size());
  for (uint32_t r = 0; r < order.size(); ++r) rank_[order[r]] = r;
}

bool OrderedLines::Less(const LineOrder& a, const LineOrder& b) const {
  if (a.time != b.time) return a.time < b.time;
  if (a.computer != b.computer) return rank_[a.computer] < rank_[b.computer];
  if (a.log != b.log) return rank_[a.log] < rank_[b.log];
  return a.arrival < b.arrival;
}

void OrderedLines::SortHeld() {
  RankNames();
  std::sort(entries_.begin(), entries_.end(), [&](const Entry& a, const Entry& b) { return Less(a.key, b.key); });
}

void OrderedLines::Add(const LineOrder& key, uint32_t tag, std::string_view text) {
  if (text.size() > UINT32_MAX) throw std::runtime_error("a log line of 4 GiB or more cannot be listed");
  entries_.push_back({key, tag, uint32_t(text.size()), text_.size()});
  text_.append(text.data(), text.size());
  if (text_.size() >= bound_) Spill();
}

void OrderedLines::Spill() {
  if (scratch_ == nullptr) {
    scratch_ = OpenScratchFile();
    if (scratch_ == nullptr) ScratchFailed("made", LastErrorText());
  }
  SortHeld();
  RunWriter writer{scratch_, scratchEnd_, {}};
  writer.staging.reserve(kMostBuffer);
  for (const Entry& e : entries_) writer.Put(e.key, e.tag, std::string_view(text_).substr(e.start, e.length));
  writer.Flush();
  runs_.push_back({scratchEnd_, writer.at});
  scratchEnd_ = writer.at;
  entries_.clear();
  text_.clear();
}

void OrderedLines::Merge(size_t first, size_t last, bool held, const Take& take) {
  // A heap of the sources' next lines; the lines held in memory are source last - first.
  size_t runs = last - first;
  size_t share = runs == 0 ? 0 : std::clamp(kMergeBuffers / runs, kLeastBuffer, kMostBuffer);
  std::vector<RunReader> readers;
  for (size_t r = first; r < last; ++r) readers.push_back({runs_[r].begin, runs_[r].end, std::vector<char>(share)});
  std::vector<Head> heads(runs + 1);
  std::vector<std::string_view> texts(runs + 1);
  size_t nextHeld = 0;
  auto advance = [&](size_t i) {
    if (i < runs) return readers[i].Next(scratch_, heads[i], texts[i]);
    if (!held || nextHeld == entries_.size()) return false;
    const Entry& e = entries_[nextHeld++];
    heads[i] = {e.key, e.tag, e.length};
    texts[i] = std::string_view(text_).substr(e.start, e.length);
    return true;
  };
  auto later = [&](size_t a, size_t b) { return Less(heads[b].key, heads[a].key); };
  std::vector<size_t> heap;
  for (size_t i = 0; i <= runs; ++i) {
    if (advance(i)) heap.push_back(i);
  }
  std::make_heap(heap.begin(), heap.end(), later);
  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), later);
    size_t i = heap.back();
    take(heads[i].key, heads[i].tag, texts[i]);
    if (advance(i)) {
      std::push_heap(heap.begin(), heap.end(), later);
    } else {
      heap.pop_back();
    }
  }
}

void OrderedLines::Drain(const Take& take) {
  SortHeld();
  // Too many runs to read at once: the first ones are merged into one behind the others,
  // until few enough are left for one last merge.
  while (runs_.size() > kFanIn) {
    RunWriter writer{scratch_, scratchEnd_, {}};
    Merge(0, kFanIn, false, [&](const LineOrder& key, uint32_t tag, std::string_view text) { writer.Put(key, tag, text); });
    writer.Flush();
    runs_.erase(runs_.begin(), runs_.begin() + kFanIn);
    runs_.push_back({scratchEnd_, writer.at});
    scratchEnd_ = writer.at;
  }
  Merge(0, runs_.size(), true, take);
}

}  // namespace spoolgate
