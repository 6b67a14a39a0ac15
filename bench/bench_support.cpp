// SPDX-License-Identifier: Apache-2.0
// Shared set-up of the benchmarks: sandbox, count-only printer, job drivers.
#include "bench/bench_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace sgbench {

std::string BenchRoot() {
  const char* env = std::getenv("SPOOLGATE_BENCH_ROOT");
  std::filesystem::path root = env && *env ? env : "bench-root";
  return std::filesystem::absolute(root).string();
}

void Die(const std::string& what) {
  std::fprintf(stderr, "bench: %s\n", what.c_str());
  std::exit(2);
}

HANDLE ResetBenchHost() {
  std::string root = BenchRoot();
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  std::filesystem::create_directories(root, ec);
  HostReset(root);
  HostPrinterSetup setup;
  setup.printerName = u"Wide Format";
  HANDLE printer = HostAddPrinter(setup);
  HostSetPrinterCountOnly(printer, true);
  HostJobSetup job;
  job.document = std::u16string(kDocument);
  job.userName = u"alice";
  HostAddJob(printer, kJobId, job);
  MakeWindowsDirectory(kArchiveDirectory);
  return printer;
}

BOOL SendBlock(HANDLE job, const void* data, DWORD size) {
  DWORD written = 0;
  BOOL ok = DrvSplWritePrinter(job, const_cast<void*>(data), size, &written);
  if (written != size) Die("a block was not reported written");
  return ok;
}

static HANDLE Start(HANDLE printer) {
  HANDLE job = DrvSplStartDoc(printer, kJobId);
  if (job == nullptr) Die("DrvSplStartDoc failed");
  return job;
}

HANDLE StartPassThroughJob(HANDLE printer) {
  HANDLE job = Start(printer);
  SendBlock(job, sgtest::JobHeader(0));
  return job;
}

HANDLE StartDataJob(HANDLE printer, uint32_t flags) {
  HANDLE job = Start(printer);
  SendBlock(job, sgtest::JobHeader(flags));
  return job;
}

HANDLE StartArchiveJob(HANDLE printer, uint32_t flags) {
  HANDLE job = Start(printer);
  SendBlock(job, sgtest::JobHeader(flags | JOB_FLAG_ARCHIVE));
  SendBlock(job, sgtest::ArchiveLocation(kArchiveDirectory, u"", u"Fallback"));
  SendBlock(job, sgtest::ArchiveHeader());
  if (static_cast<JobContext*>(job)->archiveFile == INVALID_HANDLE_VALUE) {
    Die("the archive file was not created");
  }
  return job;
}

HANDLE StartRawOverlayJob(HANDLE printer, const std::u16string& overlayPath) {
  HANDLE job = Start(printer);
  SendBlock(job, sgtest::JobHeader(JOB_FLAG_OVERLAY));
  SendBlock(job, sgtest::OverlayControl(OVERLAY_MODE_RAW, overlayPath));
  return job;
}

void MakeWindowsDirectory(const std::u16string& windowsPath) {
  std::error_code ec;
  std::filesystem::create_directories(HostMapPath(windowsPath), ec);
  if (ec) Die("cannot create " + HostMapPath(windowsPath));
}

static void WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) Die("cannot create " + path);
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) Die("cannot write " + path);
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

void WriteOverlayFile(const std::u16string& windowsPath, size_t bodyBytes) {
  Bytes file = sgtest::OverlayHeader();
  Bytes body = sgtest::Pattern(bodyBytes, 0x5A);
  file.insert(file.end(), body.begin(), body.end());
  WriteWholeFile(HostMapPath(windowsPath), file);
}

void TouchWindowsFile(const std::u16string& windowsPath) {
  WriteWholeFile(HostMapPath(windowsPath), {});
}

}  // namespace sgbench
