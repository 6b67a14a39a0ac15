// SPDX-License-Identifier: Apache-2.0
// A progress bar on standard error for long runs of the spoolgate command, shown only
// when standard error is a terminal and the work is long enough to wait for.
#pragma once

#include "tools/common/text.h"

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace spoolgate {

class Progress {
 public:
  // total is in bytes; runs shorter than 8 MiB finish before a bar would help.
  Progress(bool enabled, const std::string& name, uint64_t total)
      : enabled_(enabled && isatty(STDERR_FILENO) && total >= (8u << 20)), name_(name),
        total_(total) {}
  ~Progress() { Clear(); }
  // Takes the bar off the terminal, so that the result line after it stands alone.
  void Clear() {
    if (enabled_) std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    enabled_ = false;
  }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Update(uint64_t done) {
    if (!enabled_) return;
    auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    if (done > total_) done = total_;
    int width = 30;
    int filled = int(width * done / total_);
    std::fprintf(stderr, "\r%s [%.*s%*s] %3d%% %s/%s MiB", name_.c_str(), filled,
                 "##############################", width - filled, "", int(100 * done / total_),
                 Grouped(done >> 20).c_str(), Grouped(total_ >> 20).c_str());
    std::fflush(stderr);
  }

 private:
  bool enabled_;
  std::string name_;
  uint64_t total_;
  std::chrono::steady_clock::time_point last_{};
};

}  // namespace spoolgate
