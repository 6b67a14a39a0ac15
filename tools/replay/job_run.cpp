// SPDX-License-Identifier: Apache-2.0
// One job of `spoolgate run`: the exports are called as the spooler calls them, and the
// report is put together from what the plug-in kept in its context (the records it
// took) and from the record of its Win32 calls (where every byte and line went).
#include "tools/replay/job_run.h"

#include "tools/replay/capture.h"
#include "tools/replay/job_calls.h"
#include "tools/common/progress.h"
#include "tools/replay/record_decoder.h"
#include "tools/common/text.h"

#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

namespace spoolgate {
namespace {

using Json = nlohmann::ordered_json;

// Insertions are listed one by one up to this many per job, then only counted.
constexpr size_t kListedInsertions = 50;

const char* StateName(uint32_t state) {
  static const char* names[] = {"STATE_HEADER",         "STATE_PASS_THROUGH",
                                "STATE_FEATURE_RECORD", "STATE_OVERLAY_HEADER",
                                "STATE_ARCHIVE_HEADER", "STATE_DATA"};
  return state < 6 ? names[state] : "unknown state";
}

// The record as the plug-in took it: its copy in the context where it keeps one (a
// short block's missing bytes are zeros there), else the block itself.
const void* KeptRecord(RecordKind kind, const JobContext& c, const CaptureEvent& event) {
  switch (kind) {
    case RecordKind::JobHeader: return &c.jobHeader;
    case RecordKind::OverlayControl: return &c.overlayControl;
    case RecordKind::OverlayHeader: return &c.overlayHeader;
    case RecordKind::ArchiveLocation: return &c.archiveLocation;
    case RecordKind::ArchiveHeader: return &c.archiveHeader;
    case RecordKind::JobLog: return &c.jobLog;
    case RecordKind::Tail: break;
  }
  return event.bytes.data();
}

struct Destination {
  uint64_t blocks = 0;
  uint64_t bytes = 0;
};

Json DestinationJson(const Destination& d) { return Json{{"blocks", d.blocks}, {"bytes", d.bytes}}; }

class JobRun {
 public:
  explicit JobRun(const JobSetup& setup) : s_(setup), calls_(setup) {}
  Json Run(const std::string& capturePath);

 private:
  void Block(CaptureEvent& event);
  std::optional<RecordKind> TakenRecord(uint32_t stateBefore, uint32_t pendingBefore,
                                        const CaptureEvent& event, BOOL result) const;
  void CountData(uint64_t size);
  void EndExport(const char* name, BOOL ok);

  const JobSetup& s_;
  JobCalls calls_;
  JobContext* context_ = nullptr;
  uint64_t blockIndex_ = 0;
  Json records_ = Json::array();
  Json insertions_ = Json::array();
  uint64_t insertionCount_ = 0;
  Destination printerData_, archiveData_, overlayData_, discarded_;
  uint64_t startPages_ = 0, endPages_ = 0;
};

// The record the plug-in took from a block, from what the block changed in its context:
// a record moves the stream on or is copied where the plug-in keeps it; a record among
// the print data is a block that went nowhere, named by its magic.
std::optional<RecordKind> JobRun::TakenRecord(uint32_t stateBefore, uint32_t pendingBefore,
                                              const CaptureEvent& event, BOOL result) const {
  switch (stateBefore) {
    case STATE_HEADER: return RecordKind::JobHeader;
    case STATE_OVERLAY_HEADER: return RecordKind::OverlayHeader;
    case STATE_ARCHIVE_HEADER: return RecordKind::ArchiveHeader;
    case STATE_FEATURE_RECORD: {
      const uint32_t taken = pendingBefore & ~context_->pendingRecords;
      if (taken & JOB_FLAG_OVERLAY) return RecordKind::OverlayControl;
      if (taken & JOB_FLAG_ARCHIVE) return RecordKind::ArchiveLocation;
      return std::nullopt;
    }
    default:
      if (calls_.Current().writes != 0 || !result) return std::nullopt;
      return RecordByMagic(event.bytes.data(), event.bytes.size());
  }
}

void JobRun::CountData(uint64_t size) {
  const ExportCalls& c = calls_.Current();
  if (c.writes == 0) {
    discarded_.blocks++;
    discarded_.bytes += size;
    return;
  }
  const uint64_t moved = c.printerBytes + c.archiveBytes + c.overlayBytes;
  Destination& d = c.destination == FileRole::Archive   ? archiveData_
                   : c.destination == FileRole::Overlay ? overlayData_
                                                        : printerData_;
  d.blocks++;
  d.bytes += moved;
  if (!c.overlayRead) return;
  ++insertionCount_;
  if (insertions_.size() >= kListedInsertions) return;
  const bool toFile = c.destination == FileRole::Archive || c.destination == FileRole::Overlay;
  Json ins;
  ins["block"] = blockIndex_;
  ins["mode"] = OverlayModeName(context_->overlayControl.mode);
  ins["destination"] = toFile ? (c.destination == FileRole::Archive ? "archive" : "overlay") : "printer";
  ins["bytes"] = moved >= size ? moved - size : moved;
  insertions_.push_back(ins);
}

void JobRun::Block(CaptureEvent& event) {
  ++blockIndex_;
  const uint32_t stateBefore = context_->state, pendingBefore = context_->pendingRecords;
  calls_.Begin("DrvSplWritePrinter", &event, blockIndex_);
  DWORD written = 0xDEADBEEF;
  const DWORD size = DWORD(event.bytes.size());
  BOOL result = s_.plugin->WritePrinter(context_, event.bytes.data(), size, &written);
  if (written != size) {
    calls_.Fail("DrvSplWritePrinter",
                "reported " + std::to_string(written) + " bytes written of " + std::to_string(size));
  }

  std::optional<RecordKind> kind = TakenRecord(stateBefore, pendingBefore, event, result);
  if (!kind) {
    CountData(size);
  } else {
    const JobContext& c = *context_;
    Json record;
    record["block"] = blockIndex_;
    record["record"] = RecordName(*kind);
    Json fields = RecordFields(*kind, KeptRecord(*kind, c, event));
    if (!fields.empty()) record["fields"] = std::move(fields);
    if (*kind == RecordKind::OverlayHeader) {
      record["note"] = c.overlayFile != INVALID_HANDLE_VALUE ? "overlay file created"
                                                             : "the overlay file could not be created";
    } else if (*kind == RecordKind::ArchiveHeader) {
      const auto& found = calls_.Current().foundExisting;
      record["note"] = c.archiveFile != INVALID_HANDLE_VALUE ? "archive file created"
                       : found.empty() ? "the archive file could not be created"
                                       : "the archive file could not be created: '" + found.back() +
                                             "' exists from an earlier job or run";
    } else if (*kind == RecordKind::Tail) {
      char flags[16];
      std::snprintf(flags, sizeof flags, "0x%X", c.archiveHeader.headerFlags);
      record["note"] = "pageCount " + std::to_string(c.pageCount) + ", headerFlags " + flags + ", tailBit0 " +
                       std::to_string(c.archiveHeader.tailBit0);
    }
    record["stateAfter"] = StateName(c.state);
    records_.push_back(record);
  }
  if (!result && calls_.Current().failures == 0) {
    calls_.Fail("DrvSplWritePrinter", calls_.Current().writes == 0
                                          ? "returned FALSE; the block was written nowhere (no file open for it)"
                                          : "returned FALSE");
  }
  calls_.End(result ? "TRUE" : "FALSE");
}

// Ends an export that returned ok: FALSE is a failure of the job.
void JobRun::EndExport(const char* name, BOOL ok) {
  if (!ok) calls_.Fail(name, "returned FALSE");
  calls_.End(ok ? "TRUE" : "FALSE");
}

Json JobRun::Run(const std::string& capturePath) {
  Json job;
  job["capture"] = capturePath;
  job["printer"] = s_.printerName;
  job["document"] = s_.document;
  job["user"] = s_.user;
  job["jobId"] = s_.jobId;
  if (s_.traceText != nullptr) *s_.traceText << "job " << s_.jobId << ": " << capturePath << ": trace\n";

  CaptureReader reader(capturePath);
  CaptureEvent event;
  Progress bar(s_.progress, fs::path(capturePath).filename().string(), reader.Size());
  std::string end = "none";
  const PluginExports& plugin = *s_.plugin;

  calls_.Begin("DrvSplStartDoc", nullptr, 0);
  HANDLE handle = plugin.StartDoc(s_.printer, s_.jobId);
  context_ = static_cast<JobContext*>(plugin.MyStartDoc());
  if (handle == nullptr || context_ != handle) {
    calls_.Fail("DrvSplStartDoc", handle == nullptr ? "returned no job handle"
                                                    : "MyDrvSplStartDoc did not give the new context");
    context_ = nullptr;
  }
  calls_.Watch(context_);
  calls_.End(handle == nullptr ? "NULL" : "a job handle");
  if (context_ != nullptr) {
    while (reader.Next(event)) {
      switch (event.kind) {
        case EventKind::Block: Block(event); break;
        case EventKind::StartPage:
          ++startPages_;
          calls_.Begin("DrvSplStartPage", &event, 0);
          EndExport("DrvSplStartPage", plugin.StartPage(handle));
          break;
        case EventKind::EndPage:
          ++endPages_;
          calls_.Begin("DrvSplEndPage", &event, 0);
          EndExport("DrvSplEndPage", plugin.EndPage(handle));
          break;
        case EventKind::EndDoc:
          calls_.Begin("DrvSplEndDoc", &event, 0);
          plugin.EndDoc(handle);
          calls_.End("");
          end = "DrvSplEndDoc";
          break;
        case EventKind::Abort:
          calls_.Begin("DrvSplAbort", &event, 0);
          plugin.Abort(handle);
          calls_.End("");
          end = "DrvSplAbort";
          break;
      }
      bar.Update(reader.Offset());
    }
    uint32_t flags = context_->jobHeader.jobFlags;
    job["jobFlags"] = flags;
    job["jobFlagNames"] = JobFlagNames(flags);
    if (flags & JOB_FLAG_OVERLAY) job["overlayMode"] = OverlayModeName(context_->overlayControl.mode);
    job["pageCount"] = context_->pageCount;
    calls_.Begin("DrvSplClose", nullptr, 0);
    plugin.Close(handle);
    context_ = nullptr;
    calls_.Watch(nullptr);
    calls_.End("");
  }

  job["records"] = records_;
  job["data"] = {{"printer", DestinationJson(printerData_)},
                 {"archive", DestinationJson(archiveData_)},
                 {"overlay", DestinationJson(overlayData_)},
                 {"discarded", DestinationJson(discarded_)}};
  job["insertions"] = insertions_;
  job["insertionCount"] = insertionCount_;
  job["calls"] = {{"DrvSplWritePrinter", blockIndex_},
                  {"DrvSplStartPage", startPages_},
                  {"DrvSplEndPage", endPages_},
                  {"end", end}};
  job["files"] = calls_.Files();
  job["messageBoxes"] = calls_.MessageBoxes();
  job["accounting"] = calls_.Accounting();
  job["failedCalls"] = calls_.FailedCalls();
  job["failedCallCount"] = calls_.FailureCount();
  job["result"] = calls_.FailureCount() == 0 ? "ok" : "failed";
  if (s_.traceJson) job["trace"] = calls_.TakeTrace();
  return job;
}

}  // namespace

Json RunJob(const std::string& capturePath, const JobSetup& setup) {
  JobRun run(setup);
  return run.Run(capturePath);
}

}  // namespace spoolgate
