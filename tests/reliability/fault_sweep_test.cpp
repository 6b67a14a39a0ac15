// SPDX-License-Identifier: Apache-2.0
// Fault sweeps: each job is run once clean to count its allocations (or file, printer,
// registry calls), then once for every k with the k-th call failing. Every run must
// end without a leak or an open handle, report each block the way the failure handling
// says, and lose no more than the failed call costs.
#include "tests/reliability/job_runner.h"

#include <cstdio>
#include <filesystem>

namespace {

using namespace sgtest;
using namespace sgrel;

#ifndef ERROR_PRINT_CANCELLED
#define ERROR_PRINT_CANCELLED 63L
#endif

const char16_t kCreateFailedText[] = u"ファイルの作成に失敗しました。";
// The "error" of a short write: the call writes the first byte only and succeeds.
constexpr DWORD kShortWrite = 0;

class FaultSweepTest : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    Prepare();
  }

  // A fresh host for every run of a sweep: sandbox, spooler, registry, the stored
  // overlay and the logging library.
  void Prepare() {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(root_, ignored)) {
      std::filesystem::remove_all(entry.path(), ignored);
    }
    HostReset(root_);
    printer_ = HostAddPrinter({std::nullopt, u"Wide Format", u"LPT1:"});
    HostAddJob(printer_, jobId_, {u"Drawing.plt", u"alice"});
    HostMapLibrary(u"ruzoravu64.dll", LOGGER_LIBRARY_PATH);
    MakeWindowsDirectory(u"C:\\Overlays");
    PutWindowsFile(kOverlayPath, Concat({OverlayHeader(), OverlayBody()}));
  }

  struct Outcome {
    RunRecord run;
    uint64_t liveBefore = 0;
  };

  Outcome Run(const ScenarioJob& job, HostOp op, uint64_t failAt, DWORD error) {
    Outcome out;
    HostResetCounters();
    out.liveBefore = HostLiveAllocations();
    if (failAt != 0 && error == kShortWrite) HostShortWriteNth(op, failAt, 1);
    if (failAt != 0 && error != kShortWrite) HostFailNth(op, failAt, error);
    out.run = RunJob(printer_, jobId_, job, op);
    HostClearFaults();
    return out;
  }

  // What must hold after every run, whichever call failed.
  void ExpectSoundEnd(const ScenarioJob& job, const Outcome& out, HostOp op, uint64_t k,
                      bool shortWrite = false) {
    SCOPED_TRACE("call " + std::to_string(k));
    EXPECT_EQ(HostOpenHandleCount(), 0u) << "a file or key is still open after DrvSplClose";
    EXPECT_EQ(HostLiveAllocations(), out.liveBefore) << "memory leaked";
    if (!out.run.started) return;

    bool archiveMade = WindowsFileExists(job.archivePath) ||
                       (!job.fallbackArchivePath.empty() && WindowsFileExists(job.fallbackArchivePath));
    for (size_t i = 0; i < job.steps.size(); ++i) {
      const Step& step = job.steps[i];
      const StepRecord& rec = out.run.steps[i];
      bool ownWriteFailed = k != 0 && !shortWrite && rec.after == k && rec.before < k &&
                            ((op == HostOp::WriteFile && step.route == Route::File) ||
                             (op == HostOp::WritePrinter && step.route == Route::Printer));
      bool expected = true;
      if (step.route == Route::File) expected = archiveMade && !ownWriteFailed;
      if (step.route == Route::Printer) expected = !ownWriteFailed;
      EXPECT_EQ(rec.result, expected ? TRUE : FALSE) << "step " << i;
    }

    // Only the archive's creation shows a message, and only when it failed.
    std::vector<HostMessageBox> boxes = HostMessageBoxes();
    if (job.archived && !archiveMade) {
      ASSERT_LE(boxes.size(), 1u);
      if (!boxes.empty()) {
        EXPECT_EQ(boxes[0].text, kCreateFailedText);
      }
    } else {
      EXPECT_TRUE(boxes.empty());
    }

    // A fault up to the archive's creation leaves the whole archive or none: never data
    // where the header belongs.
    if (job.archived && k != 0 && k <= out.run.steps[job.creationStep].after) {
      for (const std::u16string& path : {job.archivePath, job.fallbackArchivePath}) {
        if (!WindowsFileExists(path)) continue;
        EXPECT_EQ(Hex(WindowsFile(path), 100000), Hex(job.expectedArchive, 100000))
            << "an archive made despite a fault at its creation";
      }
    }
    // A fault at the end of the job costs at most the log line: the archive is whole.
    // The first write of the end is the header's rewrite, which is part of the archive.
    uint64_t firstLogCall = out.run.endDocBefore + (op == HostOp::WriteFile ? 2 : 1);
    if (job.archived && k >= firstLogCall && op != HostOp::SetFilePointer) {
      EXPECT_EQ(Hex(WindowsFile(job.archivePath), 100000), Hex(job.expectedArchive, 100000))
          << "the archive is byte-exact when only the log could fail";
    }
    if (job.accounted) {
      bool wellFormed = true;
      std::vector<std::string> lines = LogLinesWith(".plt", &wellFormed);
      EXPECT_TRUE(wellFormed) << "a torn log line";
      EXPECT_LE(lines.size(), 1u);
      // A fault before the end of the job never costs the log line.
      if (k != 0 && k <= out.run.endDocBefore) {
        EXPECT_EQ(lines.size(), 1u);
      }
    }
  }

  // Runs the job clean, then with the k-th call of op failing for every k.
  void Sweep(const ScenarioJob& job, HostOp op, DWORD error, uint64_t* total) {
    Outcome clean = Run(job, op, 0, 0);
    ExpectSoundEnd(job, clean, op, 0);
    if (job.archived) {
      ASSERT_EQ(Hex(WindowsFile(job.archivePath), 100000), Hex(job.expectedArchive, 100000));
    }
    if (job.accounted) {
      bool wellFormed = true;
      ASSERT_EQ(LogLinesWith("Drawing.plt", &wellFormed).size(), 1u);
    }
    uint64_t n = clean.run.endDocAfter;
    for (uint64_t k = 1; k <= n; ++k) {
      Prepare();
      Outcome out = Run(job, op, k, error);
      ExpectSoundEnd(job, out, op, k, error == kShortWrite);
      if (HasFatalFailure()) return;
    }
    *total = n;
    std::printf("  swept %llu calls\n", static_cast<unsigned long long>(n));
  }
};

struct SweepCase {
  const char* name;
  HostOp op;
  DWORD error;
};

const SweepCase kSweeps[] = {
    {"Alloc", HostOp::Alloc, ERROR_NOT_ENOUGH_MEMORY},
    {"WriteFile", HostOp::WriteFile, ERROR_DISK_FULL},
    {"WriteFile short", HostOp::WriteFile, kShortWrite},
    {"WritePrinter", HostOp::WritePrinter, ERROR_PRINT_CANCELLED},
    {"WritePrinter short", HostOp::WritePrinter, kShortWrite},
    {"CreateFile", HostOp::CreateFile, ERROR_ACCESS_DENIED},
    {"ReadFile", HostOp::ReadFile, ERROR_READ_FAULT},
    {"Registry", HostOp::Registry, ERROR_ACCESS_DENIED},
    {"CreateDirectory", HostOp::CreateDirectory, ERROR_DISK_FULL},
    {"SetFilePointer", HostOp::SetFilePointer, ERROR_NEGATIVE_SEEK},
    {"GetJob", HostOp::GetJob, ERROR_INVALID_PARAMETER},
    {"GetPrinter", HostOp::GetPrinter, ERROR_INVALID_HANDLE},
    {"LoadLibrary", HostOp::LoadLibrary, ERROR_MOD_NOT_FOUND},
    {"FlushFile", HostOp::FlushFile, ERROR_DISK_FULL},
    {"LockFile", HostOp::LockFile, ERROR_LOCK_VIOLATION},
};

TEST_F(FaultSweepTest, ArchiveJobWithFramedOverlayAndExtendedEntry) {
  ScenarioJob job = ArchiveOverlayAccountingJob();
  for (const SweepCase& sweep : kSweeps) {
    SCOPED_TRACE(sweep.name);
    std::printf("%s:\n", sweep.name);
    uint64_t total = 0;
    Prepare();
    Sweep(job, sweep.op, sweep.error, &total);
    if (HasFatalFailure()) return;
    RecordProperty(sweep.name, static_cast<int>(total));
  }
}

TEST_F(FaultSweepTest, PrintedJobWithRawOverlayAndStandardEntry) {
  ScenarioJob job = PrinterRawInsertionJob();
  for (const SweepCase& sweep : kSweeps) {
    if (sweep.op == HostOp::CreateDirectory) continue;  // the job makes no directory
    SCOPED_TRACE(sweep.name);
    std::printf("%s:\n", sweep.name);
    uint64_t total = 0;
    Prepare();
    Sweep(job, sweep.op, sweep.error, &total);
    if (HasFatalFailure()) return;
  }
}

TEST_F(FaultSweepTest, RegisterJob) {
  ScenarioJob job = RegisterJob();
  for (const SweepCase& sweep : kSweeps) {
    if (sweep.op != HostOp::Alloc && sweep.op != HostOp::WriteFile &&
        sweep.op != HostOp::CreateFile) {
      continue;
    }
    SCOPED_TRACE(sweep.name);
    std::printf("%s:\n", sweep.name);
    uint64_t total = 0;
    Prepare();
    Sweep(job, sweep.op, sweep.error, &total);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
