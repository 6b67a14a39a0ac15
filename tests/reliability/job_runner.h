// SPDX-License-Identifier: Apache-2.0
// The jobs the reliability suite drives: each a list of steps (blocks and page calls)
// that knows which blocks are print data and what their own write goes to, and a
// runner that records, for every step, the fault-counted calls made while it ran.
#pragma once

#include "tests/support/sandbox.h"

#include <string>
#include <vector>

namespace sgrel {

using sgtest::Bytes;

enum class Route { Control, Printer, File, Register };

struct Step {
  enum Kind { Block, StartPage, EndPage } kind = Block;
  Bytes bytes;
  Route route = Route::Control;  // where a block's own write goes (its last write)
};

struct ScenarioJob {
  std::vector<Step> steps;
  bool archived = false;
  std::u16string archivePath;          // the archive's usual path
  std::u16string fallbackArchivePath;  // its path when the spooler gives no name
  Bytes expectedArchive;               // the archive after a clean run
  size_t creationStep = 0;             // the step that creates the archive
  bool accounted = false;
};

inline const std::u16string kOverlayPath = u"C:\\Overlays\\form.ovl";
inline const std::u16string kLogDirectory = u"C:\\Windows\\temp\\PrintLog";

// The stored overlay's body, 600 bytes: three chunks when copied.
Bytes OverlayBody();
// An archive job with framed overlay insertion and an extended accounting entry whose
// directory has to be created first.
ScenarioJob ArchiveOverlayAccountingJob(const std::string& tag = "");
// A register job: its data only into the overlay file.
ScenarioJob RegisterJob();
// A printed job with raw insertion at two markers and a standard accounting entry.
ScenarioJob PrinterRawInsertionJob(const std::string& tag = "");

struct StepRecord {
  uint64_t before = 0, after = 0;  // HostCallCount(op) around the step
  BOOL result = TRUE;
};
struct RunRecord {
  bool started = false;
  std::vector<StepRecord> steps;
  uint64_t endDocBefore = 0, endDocAfter = 0;
};

// Starts the job, runs its steps counting op, ends it with DrvSplEndDoc, closes it.
RunRecord RunJob(HANDLE printer, DWORD jobId, const ScenarioJob& job, HostOp op);

// Every accounting log line (without CRLF) that holds text; lines are split at CRLF
// and the log must end with one.
std::vector<std::string> LogLinesWith(const std::string& text, bool* wellFormed);

}  // namespace sgrel
