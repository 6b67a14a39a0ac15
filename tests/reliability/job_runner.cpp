// SPDX-License-Identifier: Apache-2.0
// The reliability suite's jobs and the runner that counts faultable calls per step.
#include "tests/reliability/job_runner.h"

#include <filesystem>

namespace sgrel {

using namespace sgtest;

namespace {

Step Block(Bytes bytes, Route route) { return Step{Step::Block, std::move(bytes), route}; }
Step Page(Step::Kind kind) { return Step{kind, {}, Route::Control}; }

Bytes FinalHeader(uint32_t headerFlags, uint32_t tailBit0, uint32_t pages) {
  return AsBytes(MakeArchiveHeader(headerFlags, tailBit0, pages));
}

}  // namespace

Bytes OverlayBody() { return Pattern(600, 0x5E); }

ScenarioJob ArchiveOverlayAccountingJob(const std::string& tag) {
  ScenarioJob job;
  std::u16string dir = u"C:\\Jobs\\New\\Sub";
  std::u16string fallback = u"Fallback" + std::u16string(tag.begin(), tag.end());
  Bytes data1 = Concat({Data("IN;" + tag), Pattern(1000, 1)});
  Bytes data2 = Concat({Pattern(3000, 2), Data("PG;" + tag)});
  JobLogRecord log = NewJobLog();
  log.logFlags = LOG_FLAG_EXTENDED_MASK & 1;
  log.logFlags |= LOG_FLAG_SANITIZE | LOG_FLAG_EXTRA_TEXT | LOG_FLAG_EXTRA_BLOCK;
  SetText(log.extraText, u"extra");
  job.steps = {
      Block(JobHeader(JOB_FLAG_OVERLAY | JOB_FLAG_ARCHIVE | JOB_FLAG_ACCOUNTING), Route::Control),
      Block(OverlayControl(0, kOverlayPath), Route::Control),
      Block(ArchiveLocation(dir, u"", fallback), Route::Control),
      Block(ArchiveHeader(1, 1, 0), Route::Control),
      Page(Step::StartPage),
      Block(data1, Route::File),
      Block(Marker(), Route::File),
      Block(data2, Route::File),
      Page(Step::EndPage),
      Block(AsBytes(log), Route::Control),
      Block(Tail(2, 5), Route::Control),
  };
  job.archived = true;
  job.creationStep = 3;
  job.accounted = true;
  job.archivePath = dir + u"\\Drawing.plt.RUD";
  job.fallbackArchivePath = dir + u"\\" + fallback + u".RUD";
  job.expectedArchive = Concat({FinalHeader(3, 0, 5), data1, BeginCommand(), OverlayBody(),
                                EndCommand(), Marker(), data2});
  return job;
}

ScenarioJob RegisterJob() {
  ScenarioJob job;
  job.steps = {
      Block(JobHeader(JOB_FLAG_OVERLAY), Route::Control),
      Block(OverlayControl(OVERLAY_MODE_REGISTER, u"C:\\Overlays\\new.ovl"), Route::Control),
      Block(OverlayHeader(0x22), Route::Control),
      Block(Pattern(700, 3), Route::Register),
      Block(Marker(), Route::Register),
      Block(Pattern(100, 4), Route::Register),
  };
  return job;
}

ScenarioJob PrinterRawInsertionJob(const std::string& tag) {
  ScenarioJob job;
  JobLogRecord log = NewJobLog();
  job.steps = {
      Block(JobHeader(JOB_FLAG_OVERLAY | JOB_FLAG_ACCOUNTING), Route::Control),
      Block(OverlayControl(OVERLAY_MODE_RAW, kOverlayPath), Route::Control),
      Block(Data("IN;" + tag), Route::Printer),
      Block(Marker(), Route::Printer),
      Page(Step::StartPage),
      Block(Pattern(2000, 5), Route::Printer),
      Block(Marker(), Route::Printer),
      Page(Step::EndPage),
      Block(AsBytes(log), Route::Control),
  };
  job.accounted = true;
  return job;
}

RunRecord RunJob(HANDLE printer, DWORD jobId, const ScenarioJob& job, HostOp op) {
  RunRecord run;
  HANDLE handle = DrvSplStartDoc(printer, jobId);
  if (handle == nullptr) return run;
  run.started = true;
  for (const Step& step : job.steps) {
    StepRecord record;
    record.before = HostCallCount(op);
    if (step.kind == Step::StartPage) {
      record.result = DrvSplStartPage(handle);
    } else if (step.kind == Step::EndPage) {
      record.result = DrvSplEndPage(handle);
    } else {
      DWORD written = 0xDEADBEEF;
      record.result = DrvSplWritePrinter(handle, const_cast<uint8_t*>(step.bytes.data()),
                                         static_cast<DWORD>(step.bytes.size()), &written);
      EXPECT_EQ(written, step.bytes.size()) << "bytes written is always the block size";
    }
    record.after = HostCallCount(op);
    run.steps.push_back(record);
  }
  run.endDocBefore = HostCallCount(op);
  DrvSplEndDoc(handle);
  run.endDocAfter = HostCallCount(op);
  DrvSplClose(handle);
  return run;
}

std::vector<std::string> LogLinesWith(const std::string& text, bool* wellFormed) {
  std::vector<std::string> lines;
  *wellFormed = true;
  std::error_code ec;
  std::string dir = HostMapPath(kLogDirectory);
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    if (entry.path().extension() != ".csv") continue;
    std::string content = ReadHostFile(entry.path().string());
    // Even a file shorter than a line end (the first byte of a new log) is torn.
    if (!content.empty() &&
        (content.size() < 2 || content.compare(content.size() - 2, 2, "\r\n") != 0)) {
      *wellFormed = false;
    }
    size_t at = 0;
    while (at < content.size()) {
      size_t end = content.find("\r\n", at);
      if (end == std::string::npos) end = content.size();
      std::string line = content.substr(at, end - at);
      if (line.find(text) != std::string::npos) lines.push_back(line);
      at = end + 2;
    }
  }
  return lines;
}

}  // namespace sgrel
