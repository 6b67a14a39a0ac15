// SPDX-License-Identifier: Apache-2.0
// Shared set-up of the benchmarks: a sandbox with one count-only printer, and helpers
// that drive jobs through the plug-in's exports as the spooler does.
#pragma once

#include "platform/host/host_control.h"
#include "platform/win32.h"
#include "plugin/exports.h"
#include "plugin/job_context.h"
#include "tests/support/records_builder.h"

#include <string>

namespace sgbench {

using sgtest::Bytes;

// The job id every benchmark job uses, and the document name the spooler reports.
inline constexpr DWORD kJobId = 7;
inline constexpr char16_t kDocument[] = u"Report";
// Where archive jobs put their files.
inline constexpr char16_t kArchiveDirectory[] = u"C:\\Bench\\Archive";

// The sandbox root: $SPOOLGATE_BENCH_ROOT, else ./bench-root under the current directory.
std::string BenchRoot();

// A fresh host under BenchRoot() (emptied first) with one printer whose sink only
// counts, and one job on it. Returns the printer handle.
HANDLE ResetBenchHost();

// Sends one block; aborts the process if the plug-in does not report it all written,
// since a benchmark of a failing path would measure the wrong thing.
BOOL SendBlock(HANDLE job, const void* data, DWORD size);
inline BOOL SendBlock(HANDLE job, const Bytes& block) {
  return SendBlock(job, block.data(), static_cast<DWORD>(block.size()));
}

// Starts a job and sends its control records: a pass-through job (flags 0), one in
// state 5 (flags 4), an archive job (flags | JOB_FLAG_ARCHIVE, archived under
// kArchiveDirectory with the spooler's document name), or a raw-insertion overlay job.
HANDLE StartPassThroughJob(HANDLE printer);
HANDLE StartDataJob(HANDLE printer, uint32_t flags);
HANDLE StartArchiveJob(HANDLE printer, uint32_t flags);
HANDLE StartRawOverlayJob(HANDLE printer, const std::u16string& overlayPath);

// Writes an overlay file (444-byte header, then bodyBytes of data) at a Windows path.
void WriteOverlayFile(const std::u16string& windowsPath, size_t bodyBytes);
// Creates the directories of a Windows directory path under the sandbox.
void MakeWindowsDirectory(const std::u16string& windowsPath);
// Creates an empty file at a Windows path.
void TouchWindowsFile(const std::u16string& windowsPath);

// Aborts with a message: a benchmark whose set-up failed must not print figures.
[[noreturn]] void Die(const std::string& what);

}  // namespace sgbench
