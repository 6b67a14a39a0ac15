// SPDX-License-Identifier: Apache-2.0
// A process that holds N concurrent open jobs (each started, its header taken and one
// block passed through) and prints its peak resident memory in bytes; bench.sh runs it
// for several N and works out the growth per job.
#include "bench/bench_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace sgbench;

namespace {

// VmHWM of /proc/self/status, in bytes.
long long PeakResidentBytes() {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) Die("no /proc/self/status");
  char line[256];
  long long kib = -1;
  while (std::fgets(line, sizeof line, status)) {
    if (std::strncmp(line, "VmHWM:", 6) == 0) kib = std::atoll(line + 6);
  }
  std::fclose(status);
  if (kib < 0) Die("no VmHWM");
  return kib * 1024;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) Die("usage: spoolgate_job_memory JOBS");
  long jobs = std::atol(argv[1]);
  if (jobs < 1) Die("JOBS must be at least 1");
  HANDLE printer = ResetBenchHost();
  Bytes header = sgtest::JobHeader(0);
  Bytes block = sgtest::Pattern(64, 9);
  // The job table is reserved up front so that only the jobs themselves grow the heap.
  std::vector<HANDLE> open;
  open.reserve(static_cast<size_t>(jobs));
  uint64_t liveBefore = HostLiveAllocations();
  for (long i = 0; i < jobs; ++i) {
    HANDLE job = DrvSplStartDoc(printer, kJobId);
    if (job == nullptr) Die("DrvSplStartDoc failed");
    SendBlock(job, header);
    SendBlock(job, block);
    open.push_back(job);
  }
  uint64_t liveBlocks = HostLiveAllocations() - liveBefore;
  long long peak = PeakResidentBytes();
  for (HANDLE job : open) {
    DrvSplEndDoc(job);
    DrvSplClose(job);
  }
  // harness_bytes: this program's own table of handles, taken off the growth per job.
  std::printf("jobs: %ld\nlive_blocks: %llu\npeak_rss_bytes: %lld\nharness_bytes: %zu\n", jobs,
              static_cast<unsigned long long>(liveBlocks), peak, open.capacity() * sizeof(HANDLE));
  return 0;
}
