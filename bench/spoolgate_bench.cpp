// SPDX-License-Identifier: Apache-2.0
// Timed figures of the plug-in, each beside the write it adds to: pass-through, data
// routing, job start to close, overlay insertion and the accounting emission.
// CPU-bound figures are measured in the thread's CPU time, which a busy shared machine
// disturbs far less than wall time; the emission waits for the disk and is measured in
// wall time. scripts/bench.sh interleaves repetitions and compares medians.
#include "bench/bench_support.h"
#include "platform/host/host_tools.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

using namespace sgbench;

namespace {

HANDLE g_printer = nullptr;
// Data files are rewound after this many bytes, so that every writer overwrites the
// same range of the page cache instead of growing a file without bound.
constexpr uint64_t kRewindBytes = 16u << 20;
constexpr char16_t kRouteDirectory[] = u"C:\\Bench\\Route";
constexpr char16_t kTakenDirectory[] = u"C:\\Bench\\Taken";
constexpr char16_t kOverlayPath[] = u"C:\\Bench\\Overlay.ovl";
constexpr size_t kOverlayBody = 1u << 20;
std::string g_logLine;  // one line of the accounting log as the library writes it

void RemoveFilesIn(const std::u16string& windowsDirectory) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(HostMapPath(windowsDirectory), ec)) {
    std::filesystem::remove(entry.path(), ec);
  }
}

Bytes BlockOf(const benchmark::State& state) {
  return sgtest::Pattern(static_cast<size_t>(state.range(0)), 0x42);
}

void CountBytes(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// --- pass-through (state 1) and its baseline ----------------------------------------

void BM_PassThrough_Plugin(benchmark::State& state) {
  Bytes block = BlockOf(state);
  HANDLE job = StartPassThroughJob(g_printer);
  DWORD size = static_cast<DWORD>(block.size());
  for (auto _ : state) {
    DWORD written = 0;
    benchmark::DoNotOptimize(DrvSplWritePrinter(job, block.data(), size, &written));
  }
  DrvSplEndDoc(job);
  DrvSplClose(job);
  CountBytes(state);
}

void BM_PassThrough_Direct(benchmark::State& state) {
  Bytes block = BlockOf(state);
  DWORD size = static_cast<DWORD>(block.size());
  for (auto _ : state) {
    DWORD written = 0;
    benchmark::DoNotOptimize(WritePrinter(g_printer, block.data(), size, &written));
  }
  CountBytes(state);
}

// --- data routing in state 5 ----------------------------------------------------------

// To the printer, with the JobLogRecord recognition of an accounting job.
void BM_Route_State5Printer(benchmark::State& state) {
  Bytes block = BlockOf(state);
  HANDLE job = StartDataJob(g_printer, JOB_FLAG_ACCOUNTING);
  DWORD size = static_cast<DWORD>(block.size());
  for (auto _ : state) {
    DWORD written = 0;
    benchmark::DoNotOptimize(DrvSplWritePrinter(job, block.data(), size, &written));
  }
  DrvSplAbort(job);  // the emission is measured on its own
  DrvSplClose(job);
  CountBytes(state);
}

// Into the archive file (flags 6: both recognitions run on every block).
void BM_Route_Archive(benchmark::State& state) {
  Bytes block = BlockOf(state);
  HANDLE job = DrvSplStartDoc(g_printer, kJobId);
  SendBlock(job, sgtest::JobHeader(JOB_FLAG_ARCHIVE | JOB_FLAG_ACCOUNTING));
  SendBlock(job, sgtest::ArchiveLocation(kRouteDirectory, u"", u""));
  SendBlock(job, sgtest::ArchiveHeader());
  HANDLE file = static_cast<JobContext*>(job)->archiveFile;
  if (file == INVALID_HANDLE_VALUE) Die("no archive file");
  DWORD size = static_cast<DWORD>(block.size());
  uint64_t sinceRewind = 0;
  for (auto _ : state) {
    DWORD written = 0;
    benchmark::DoNotOptimize(DrvSplWritePrinter(job, block.data(), size, &written));
    if ((sinceRewind += size) >= kRewindBytes) {
      SetFilePointer(file, sizeof(ArchiveHeaderRecord), nullptr, FILE_BEGIN);
      sinceRewind = 0;
    }
  }
  DrvSplAbort(job);
  DrvSplClose(job);
  RemoveFilesIn(kRouteDirectory);
  CountBytes(state);
}

// The same blocks written straight through the host layer's WriteFile.
void BM_Route_HostWriteFile(benchmark::State& state) {
  Bytes block = BlockOf(state);
  std::u16string path = std::u16string(kRouteDirectory) + u"\\direct.bin";
  HANDLE file = CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_FLAG_RANDOM_ACCESS,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) Die("cannot create the direct file");
  // The archive's layout: a 380-byte header, then the blocks.
  DWORD headerWritten = 0;
  WriteFile(file, block.data(), sizeof(ArchiveHeaderRecord), &headerWritten, nullptr);
  DWORD size = static_cast<DWORD>(block.size());
  uint64_t sinceRewind = 0;
  for (auto _ : state) {
    DWORD written = 0;
    benchmark::DoNotOptimize(WriteFile(file, block.data(), size, &written, nullptr));
    if ((sinceRewind += size) >= kRewindBytes) {
      SetFilePointer(file, sizeof(ArchiveHeaderRecord), nullptr, FILE_BEGIN);
      sinceRewind = 0;
    }
  }
  CloseHandle(file);
  RemoveFilesIn(kRouteDirectory);
  CountBytes(state);
}

// The same blocks by plain POSIX write(), behind a 380-byte header as in the archive
// (aligned: without it, every block starts on a page boundary).
void PosixWrite(benchmark::State& state, bool aligned) {
  Bytes block = BlockOf(state);
  std::string path = HostMapPath(std::u16string(kRouteDirectory) + u"\\posix.bin");
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) Die("cannot create " + path);
  off_t start = aligned ? 0 : static_cast<off_t>(sizeof(ArchiveHeaderRecord));
  if (!aligned && ::write(fd, block.data(), sizeof(ArchiveHeaderRecord)) < 0) Die("write");
  uint64_t sinceRewind = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(::write(fd, block.data(), block.size()));
    if ((sinceRewind += block.size()) >= kRewindBytes) {
      ::lseek(fd, start, SEEK_SET);
      sinceRewind = 0;
    }
  }
  ::close(fd);
  RemoveFilesIn(kRouteDirectory);
  CountBytes(state);
}

void BM_Route_PosixWrite(benchmark::State& state) { PosixWrite(state, false); }
void BM_Route_PosixWriteAligned(benchmark::State& state) { PosixWrite(state, true); }

// --- job start to close -------------------------------------------------------------

void BM_Job_PassThrough(benchmark::State& state) {
  Bytes header = sgtest::JobHeader(0), block = sgtest::Pattern(4096, 3);
  for (auto _ : state) {
    HANDLE job = DrvSplStartDoc(g_printer, kJobId);
    SendBlock(job, header);
    SendBlock(job, block);
    DrvSplEndDoc(job);
    DrvSplClose(job);
  }
}

// The plain name and 00 to 98 exist: 101 existence tests before Report99.RUD is chosen.
void BM_Job_Archive101(benchmark::State& state) {
  Bytes header = sgtest::JobHeader(JOB_FLAG_ARCHIVE);
  Bytes location = sgtest::ArchiveLocation(kTakenDirectory, u"", u"Fallback");
  Bytes archiveHeader = sgtest::ArchiveHeader();
  std::string chosen = HostMapPath(std::u16string(kTakenDirectory) + u"\\Report99.RUD");
  for (auto _ : state) {
    HANDLE job = DrvSplStartDoc(g_printer, kJobId);
    SendBlock(job, header);
    SendBlock(job, location);
    SendBlock(job, archiveHeader);
    DrvSplEndDoc(job);
    DrvSplClose(job);
    state.PauseTiming();
    if (::unlink(chosen.c_str()) != 0) Die("the job did not create Report99.RUD");
    state.ResumeTiming();
  }
}

// One open and close of an existing file, as each existence test does it.
void BM_FileOpenClose(benchmark::State& state) {
  std::u16string path = std::u16string(kTakenDirectory) + u"\\Report.RUD";
  for (auto _ : state) {
    HANDLE file = CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_READ,
                              FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) Die("cannot open Report.RUD");
    CloseHandle(file);
  }
}

// --- overlay insertion ----------------------------------------------------------------

// A raw-insertion job: every marker block inserts the 1 MiB body before the marker.
void BM_Overlay_RawInsertion(benchmark::State& state) {
  HANDLE job = StartRawOverlayJob(g_printer, kOverlayPath);
  Bytes marker = sgtest::Marker();
  uint64_t before = HostPrinterData(g_printer).totalBytes;
  for (auto _ : state) SendBlock(job, marker);
  uint64_t inserted = HostPrinterData(g_printer).totalBytes - before;
  if (state.iterations() > 0 && inserted != state.iterations() * (kOverlayBody + marker.size())) {
    Die("the overlay body did not reach the printer whole");
  }
  DrvSplEndDoc(job);
  DrvSplClose(job);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kOverlayBody));
}

// The same file read once in 256-byte chunks by plain POSIX calls.
void BM_Overlay_Read256(benchmark::State& state) {
  std::string path = HostMapPath(kOverlayPath);
  for (auto _ : state) {
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) Die("cannot open the overlay");
    char chunk[256];
    while (::read(fd, chunk, sizeof chunk) > 0) benchmark::ClobberMemory();
    ::close(fd);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kOverlayBody));
}

// --- accounting emission ----------------------------------------------------------------

// An accounting job whose DrvSplEndDoc loads the logging library, fills the entry, has
// it formatted and appended with a flush, and unloads the library.
void BM_Emission_Logger(benchmark::State& state) {
  Bytes header = sgtest::JobHeader(JOB_FLAG_ACCOUNTING);
  JobLogRecord record = sgtest::NewJobLog();
  Bytes log = sgtest::AsBytes(record);
  for (auto _ : state) {
    HANDLE job = DrvSplStartDoc(g_printer, kJobId);
    SendBlock(job, header);
    SendBlock(job, log);
    DrvSplEndDoc(job);
    DrvSplClose(job);
  }
}

// The same line appended and flushed by the least a program can do.
void BM_Emission_MinimalAppend(benchmark::State& state) {
  std::string path = HostMapPath(u"C:\\Bench\\minimal.csv");
  for (auto _ : state) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (fd < 0) Die("cannot open " + path);
    if (::write(fd, g_logLine.data(), g_logLine.size()) != static_cast<ssize_t>(g_logLine.size()))
      Die("short write");
    ::fsync(fd);
    ::close(fd);
  }
}

// --- side-by-side pairs -------------------------------------------------------------------
//
// Each pair alternates batches of its two operations inside one benchmark, so that both
// see the same machine at the same moments; it reports the ratio of their summed times
// (counter "ratio") and each side's time per operation ("a_ns", "b_ns"). CPU-bound
// pairs sum the thread's CPU time, the emission pair wall time.

uint64_t NowNs(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// between runs after both batches, outside both sums (housekeeping such as a rewind).
template <typename A, typename B, typename Between>
void RunPair(benchmark::State& state, int batch, clockid_t clock, A&& a, B&& b,
             Between&& between) {
  uint64_t ta = 0, tb = 0;
  for (auto _ : state) {
    uint64_t t0 = NowNs(clock);
    for (int i = 0; i < batch; ++i) a();
    uint64_t t1 = NowNs(clock);
    for (int i = 0; i < batch; ++i) b();
    uint64_t t2 = NowNs(clock);
    ta += t1 - t0;
    tb += t2 - t1;
    between();
  }
  double ops = static_cast<double>(state.iterations()) * batch;
  state.counters["ratio"] = tb ? static_cast<double>(ta) / static_cast<double>(tb) : 0;
  state.counters["a_ns"] = static_cast<double>(ta) / ops;
  state.counters["b_ns"] = static_cast<double>(tb) / ops;
}

template <typename A, typename B>
void RunPair(benchmark::State& state, int batch, clockid_t clock, A&& a, B&& b) {
  RunPair(state, batch, clock, a, b, [] {});
}

// One block through the plug-in's pass-through against the same block straight to the
// printer, both into g_printer's sink; between() runs between rounds, untimed.
template <typename Between>
void RunPassThroughPair(benchmark::State& state, HANDLE job, Bytes& block, int batch,
                        Between&& between) {
  DWORD size = static_cast<DWORD>(block.size());
  RunPair(state, batch, CLOCK_THREAD_CPUTIME_ID,
          [&] {
            DWORD written = 0;
            benchmark::DoNotOptimize(DrvSplWritePrinter(job, block.data(), size, &written));
          },
          [&] {
            DWORD written = 0;
            benchmark::DoNotOptimize(WritePrinter(g_printer, block.data(), size, &written));
          },
          between);
}

// DrvSplWritePrinter in state 1 against WritePrinter, both into the count-only sink.
void BM_Pair_PassThrough(benchmark::State& state) {
  Bytes block = BlockOf(state);
  HANDLE job = StartPassThroughJob(g_printer);
  RunPassThroughPair(state, job, block, 4096, [] {});
  DrvSplAbort(job);
  DrvSplClose(job);
}

// The same pair against a printer whose sink does what a spooler does with each block:
// append it to the job's spool file with write(). The file is emptied between rounds,
// outside the timed batches, once it has grown by kRewindBytes.
void BM_Pair_PassThroughSpool(benchmark::State& state) {
  Bytes block = BlockOf(state);
  DWORD size = static_cast<DWORD>(block.size());
  std::string spool = HostMapPath(std::u16string(kRouteDirectory) + u"\\spool.spl");
  if (!HostSetPrinterSpoolFile(g_printer, spool)) Die("cannot create " + spool);
  HANDLE job = StartPassThroughJob(g_printer);
  int batch = static_cast<int>((1u << 20) / block.size());  // 1 MiB a side
  uint64_t sinceRewind = 0, spooled = 0;
  RunPassThroughPair(state, job, block, batch, [&] {
    if ((sinceRewind += 2u << 20) < kRewindBytes) return;
    spooled += std::filesystem::file_size(spool);
    if (::truncate(spool.c_str(), 0) != 0) Die("cannot empty " + spool);
    sinceRewind = 0;
  });
  DrvSplAbort(job);
  DrvSplClose(job);
  spooled += std::filesystem::file_size(spool);
  HostSetPrinterSpoolFile(g_printer, "");
  RemoveFilesIn(kRouteDirectory);
  if (spooled != 2 * state.iterations() * static_cast<uint64_t>(batch) * size) {
    Die("the spool file did not receive every block");
  }
}

// A file of the archive's layout written by plain write(), rewound like the archive.
struct PosixSink {
  int fd = -1;
  uint64_t sinceRewind = 0;
  explicit PosixSink(const Bytes& header) {
    std::string path = HostMapPath(std::u16string(kRouteDirectory) + u"\\pair.bin");
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::write(fd, header.data(), header.size()) < 0) Die("cannot create " + path);
  }
  ~PosixSink() { ::close(fd); }
  void Write(const Bytes& block) {
    benchmark::DoNotOptimize(::write(fd, block.data(), block.size()));
    if ((sinceRewind += block.size()) >= kRewindBytes) {
      ::lseek(fd, static_cast<off_t>(sizeof(ArchiveHeaderRecord)), SEEK_SET);
      sinceRewind = 0;
    }
  }
};

// Data routing in state 5 into the archive file (flags 6) against plain write() of the
// same blocks into a file of the same layout on the same disk.
void BM_Pair_ArchiveVsPosix(benchmark::State& state) {
  Bytes block = BlockOf(state);
  DWORD size = static_cast<DWORD>(block.size());
  HANDLE job = DrvSplStartDoc(g_printer, kJobId);
  SendBlock(job, sgtest::JobHeader(JOB_FLAG_ARCHIVE | JOB_FLAG_ACCOUNTING));
  SendBlock(job, sgtest::ArchiveLocation(kRouteDirectory, u"", u""));
  Bytes header = sgtest::ArchiveHeader();
  SendBlock(job, header);
  HANDLE file = static_cast<JobContext*>(job)->archiveFile;
  if (file == INVALID_HANDLE_VALUE) Die("no archive file");
  uint64_t sinceRewind = 0;
  {
    PosixSink posix(header);
    int batch = static_cast<int>((1u << 20) / block.size());  // 1 MiB a side
    RunPair(state, batch < 1 ? 1 : batch, CLOCK_THREAD_CPUTIME_ID,
            [&] {
              DWORD written = 0;
              benchmark::DoNotOptimize(DrvSplWritePrinter(job, block.data(), size, &written));
              if ((sinceRewind += size) >= kRewindBytes) {
                SetFilePointer(file, sizeof(ArchiveHeaderRecord), nullptr, FILE_BEGIN);
                sinceRewind = 0;
              }
            },
            [&] { posix.Write(block); });
  }
  DrvSplAbort(job);
  DrvSplClose(job);
  RemoveFilesIn(kRouteDirectory);
}

// Raw insertion of the 1 MiB overlay at a marker against one read of the file in
// 256-byte chunks.
void BM_Pair_OverlayVsRead(benchmark::State& state) {
  HANDLE job = StartRawOverlayJob(g_printer, kOverlayPath);
  Bytes marker = sgtest::Marker();
  std::string path = HostMapPath(kOverlayPath);
  RunPair(state, 1, CLOCK_THREAD_CPUTIME_ID, [&] { SendBlock(job, marker); },
          [&] {
            int fd = ::open(path.c_str(), O_RDONLY);
            if (fd < 0) Die("cannot open the overlay");
            char chunk[256];
            while (::read(fd, chunk, sizeof chunk) > 0) benchmark::ClobberMemory();
            ::close(fd);
          });
  DrvSplEndDoc(job);
  DrvSplClose(job);
}

// One accounting emission (a whole accounting job) against the minimal flushed append.
void BM_Pair_EmissionVsAppend(benchmark::State& state) {
  Bytes header = sgtest::JobHeader(JOB_FLAG_ACCOUNTING);
  JobLogRecord record = sgtest::NewJobLog();
  Bytes log = sgtest::AsBytes(record);
  std::string path = HostMapPath(u"C:\\Bench\\minimal.csv");
  RunPair(state, 1, CLOCK_MONOTONIC,
          [&] {
            HANDLE job = DrvSplStartDoc(g_printer, kJobId);
            SendBlock(job, header);
            SendBlock(job, log);
            DrvSplEndDoc(job);
            DrvSplClose(job);
          },
          [&] {
            int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
            if (fd < 0) Die("cannot open " + path);
            if (::write(fd, g_logLine.data(), g_logLine.size()) < 0) Die("write");
            ::fsync(fd);
            ::close(fd);
          });
}

// Everything the benchmarks share, made once before they run.
void SetUpBenchHost() {
  g_printer = ResetBenchHost();
  MakeWindowsDirectory(kRouteDirectory);
  MakeWindowsDirectory(kTakenDirectory);
  TouchWindowsFile(std::u16string(kTakenDirectory) + u"\\Report.RUD");
  for (int n = 0; n < 99; ++n) {
    char16_t digits[3] = {char16_t(u'0' + n / 10), char16_t(u'0' + n % 10), 0};
    TouchWindowsFile(std::u16string(kTakenDirectory) + u"\\Report" + digits + u".RUD");
  }
  WriteOverlayFile(kOverlayPath, kOverlayBody);
#ifdef SPOOLGATE_LOGGER_PATH
  HostMapLibrary(u"ruzoravu64.dll", SPOOLGATE_LOGGER_PATH);
#endif
  // A log that is never rotated while the benchmark runs: rotation is a separate cost.
  DWORD maxKib = 1u << 20;
  const auto* p = reinterpret_cast<const uint8_t*>(&maxKib);
  HostRegistrySetValue(u"SOFTWARE\\TALVOK\\PrintLog", u"MaxLogFileSize", REG_DWORD,
                       std::vector<uint8_t>(p, p + sizeof maxKib));
  // One emission to learn the line the library writes.
  HANDLE job = DrvSplStartDoc(g_printer, kJobId);
  SendBlock(job, sgtest::JobHeader(JOB_FLAG_ACCOUNTING));
  JobLogRecord record = sgtest::NewJobLog();
  SendBlock(job, sgtest::AsBytes(record));
  DrvSplEndDoc(job);
  DrvSplClose(job);
  std::ifstream in(HostMapPath(u"C:\\Windows\\temp\\PrintLog\\PrintLog.csv"), std::ios::binary);
  std::string line, last;
  while (std::getline(in, line)) last = line;
  if (last.empty()) Die("the accounting emission wrote no log line");
  g_logLine = last + "\n";
}

}  // namespace

BENCHMARK(BM_PassThrough_Plugin)->Arg(64)->Arg(4096)->Arg(65536);
BENCHMARK(BM_PassThrough_Direct)->Arg(64)->Arg(4096)->Arg(65536);
BENCHMARK(BM_Route_State5Printer)->Arg(64)->Arg(4096)->Arg(65536);
BENCHMARK(BM_Route_Archive)->Arg(64)->Arg(4096)->Arg(65536);
BENCHMARK(BM_Route_HostWriteFile)->Arg(64)->Arg(4096)->Arg(65536);
BENCHMARK(BM_Route_PosixWrite)->Arg(64)->Arg(4096)->Arg(65536);
BENCHMARK(BM_Route_PosixWriteAligned)->Arg(65536);
BENCHMARK(BM_Job_PassThrough);
BENCHMARK(BM_Job_Archive101);
BENCHMARK(BM_FileOpenClose);
BENCHMARK(BM_Overlay_RawInsertion);
BENCHMARK(BM_Overlay_Read256);
BENCHMARK(BM_Emission_Logger)->UseRealTime();
BENCHMARK(BM_Emission_MinimalAppend)->UseRealTime();
BENCHMARK(BM_Pair_PassThrough)->Arg(64)->Arg(4096)->Arg(65536);
BENCHMARK(BM_Pair_PassThroughSpool)->Arg(4096)->Arg(65536);
BENCHMARK(BM_Pair_ArchiveVsPosix)->Arg(64)->Arg(4096)->Arg(65536);
BENCHMARK(BM_Pair_OverlayVsRead);
BENCHMARK(BM_Pair_EmissionVsAppend)->UseRealTime();

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SetUpBenchHost();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
