// SPDX-License-Identifier: Apache-2.0
// Counted figures: the JobContext's size and the heap allocations (GlobalAlloc and the
// product's malloc, as the host layer counts them) per data block and per control record.
#include "bench/bench_support.h"

#include <cstdio>
#include <functional>

using namespace sgbench;

namespace {

struct Delta {
  uint64_t calls;
  int64_t live;
};

// Allocation calls made by action, and the change of live blocks it leaves behind.
Delta Count(const std::function<void()>& action) {
  uint64_t calls = HostCallCount(HostOp::Alloc);
  int64_t live = static_cast<int64_t>(HostLiveAllocations());
  action();
  return {HostCallCount(HostOp::Alloc) - calls,
          static_cast<int64_t>(HostLiveAllocations()) - live};
}

// Allocations per block over many blocks, so that one stray allocation still shows.
void ReportPerBlock(const char* name, HANDLE job, const Bytes& block, int blocks) {
  Delta d = Count([&] {
    for (int i = 0; i < blocks; ++i) SendBlock(job, block);
  });
  std::printf("%s: %.3f\n", name, static_cast<double>(d.calls) / blocks);
}

void ReportOnce(const char* name, const std::function<void()>& action) {
  Delta d = Count(action);
  std::printf("%s: %llu\n", name, static_cast<unsigned long long>(d.calls));
  if (d.live != 0) std::printf("%s_live_blocks_left: %lld\n", name, static_cast<long long>(d.live));
}

}  // namespace

int main() {
  HANDLE printer = ResetBenchHost();
  std::printf("job_context_bytes: %zu\n", sizeof(JobContext));

  const int kBlocks = 1000;
  Bytes small = sgtest::Pattern(64, 1), large = sgtest::Pattern(65536, 2);

  HANDLE pass = StartPassThroughJob(printer);
  ReportPerBlock("alloc_per_block_pass_through_64", pass, small, kBlocks);
  ReportPerBlock("alloc_per_block_pass_through_65536", pass, large, kBlocks);
  DrvSplEndDoc(pass);
  DrvSplClose(pass);

  HANDLE data = StartDataJob(printer, JOB_FLAG_ACCOUNTING);
  ReportPerBlock("alloc_per_block_state5_printer_65536", data, large, kBlocks);
  JobLogRecord log = sgtest::NewJobLog();
  ReportPerBlock("alloc_per_record_job_log", data, sgtest::AsBytes(log), kBlocks);
  DrvSplAbort(data);  // no emission: only the stream is counted here
  DrvSplClose(data);

  HANDLE archive = StartArchiveJob(printer, JOB_FLAG_ACCOUNTING);
  ReportPerBlock("alloc_per_block_archive_65536", archive, large, 100);
  ReportPerBlock("alloc_per_record_tail", archive, sgtest::Tail(3, 12), kBlocks);
  DrvSplAbort(archive);
  DrvSplClose(archive);

  std::u16string overlay = u"C:\\Bench\\Overlay.ovl";
  WriteOverlayFile(overlay, 1 << 20);
  HANDLE raw = StartRawOverlayJob(printer, overlay);
  ReportPerBlock("alloc_per_overlay_insertion_1MiB", raw, sgtest::Marker(), 10);
  DrvSplEndDoc(raw);
  DrvSplClose(raw);

  // The records that are only copied into the context.
  HANDLE job = nullptr;
  ReportOnce("alloc_start_doc", [&] { job = DrvSplStartDoc(printer, kJobId); });
  ReportOnce("alloc_record_job_header", [&] {
    SendBlock(job, sgtest::JobHeader(JOB_FLAG_OVERLAY | JOB_FLAG_ARCHIVE));
  });
  ReportOnce("alloc_record_overlay_control", [&] {
    SendBlock(job, sgtest::OverlayControl(OVERLAY_MODE_RAW, overlay));
  });
  ReportOnce("alloc_record_archive_location", [&] {
    SendBlock(job, sgtest::ArchiveLocation(kArchiveDirectory, u"counted", u""));
  });
  // The archive header names and creates the file: its path buffer is fixed global
  // memory, taken and given back within the call.
  ReportOnce("alloc_record_archive_header", [&] { SendBlock(job, sgtest::ArchiveHeader()); });
  ReportOnce("alloc_end_doc_and_close", [&] {
    DrvSplEndDoc(job);
    DrvSplClose(job);
  });
  return 0;
}
