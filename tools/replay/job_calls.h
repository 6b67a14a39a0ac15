// SPDX-License-Identifier: Apache-2.0
// What the Win32 calls of one job did, read from the host layer's call record while the
// job runs: the bytes each destination took, the files made and changed, the message
// boxes, the accounting lines and where each was stored, and the calls that failed.
#pragma once

#include "platform/host/host_tools.h"
#include "plugin/job_context.h"
#include "tools/replay/call_text.h"
#include "tools/replay/capture.h"
#include "tools/replay/job_setup.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace spoolgate {

enum class FileRole { File, Archive, Overlay, Log, Pending };

// What the calls of one export of the plug-in did.
struct ExportCalls {
  const char* name = "";
  const CaptureEvent* event = nullptr;
  uint64_t block = 0;  // the block's number when the export is DrvSplWritePrinter
  uint64_t printerBytes = 0, archiveBytes = 0, overlayBytes = 0;
  uint64_t writes = 0;  // write calls tried, successful or not
  FileRole destination = FileRole::File;  // where the last write went; File: the printer
  bool overlayRead = false;
  uint64_t failures = 0;
  // Files an existence test found that this job did not make (Windows paths).
  std::vector<std::string> foundExisting;
};

class JobCalls {
 public:
  // Records the calls from here until the object goes, however the job ends.
  explicit JobCalls(const JobSetup& setup);
  ~JobCalls();
  JobCalls(const JobCalls&) = delete;
  JobCalls& operator=(const JobCalls&) = delete;

  // The plug-in's context, where its overlay path and its two files' handles are.
  void Watch(const JobContext* context) { context_ = context; }
  void Begin(const char* exportName, const CaptureEvent* event, uint64_t block);
  const ExportCalls& Current() const { return phase_; }
  void Fail(const std::string& call, const std::string& note);
  // Ends the export that returned result (empty for a void export).
  void End(const std::string& result);

  nlohmann::ordered_json Files() const;
  const nlohmann::ordered_json& Accounting() const { return accounting_; }
  const nlohmann::ordered_json& MessageBoxes() const { return boxes_; }
  const nlohmann::ordered_json& FailedCalls() const { return failures_; }
  uint64_t FailureCount() const { return failureCount_; }
  nlohmann::ordered_json TakeTrace() { return std::move(trace_); }

 private:
  // A file the plug-in or the logging library has open, by its handle.
  struct OpenFile {
    std::string hostPath;
    FileRole role = FileRole::File;
    bool logLines = false;  // a log or pending file: the lines appended are reported
    bool written = false;
    // Where the next write lands and how long the file is, as far as the calls tell.
    std::optional<uint64_t> position, size;
    std::optional<uint64_t> appendedFrom, lastAppend;  // offsets of the lines appended
  };
  // A file the job created or changed, for the report's "files".
  struct TouchedFile {
    std::string change;
    std::string windowsPath, hostPath, renamedFrom;
    FileRole role = FileRole::File;
  };
  // Where the last line of the logging library's current emission was stored.
  struct StoredLine {
    FileRole role = FileRole::File;  // Log, Pending, or File for the event log
    std::string where;               // the Windows path of the file, or of the log
  };

  static void Sink(const HostCall& call, void* self);
  void OnCall(const HostCall& call);
  void OnCreateFile(const HostCall& call);
  void OnWriteFile(const HostCall& call, OpenFile* file);
  void OnClose(OpenFile& file);
  void OnLibrary(const HostCall& call);
  void EndEmission();
  void ForgetPendingCreate(const std::string& hostPath);
  void FailPendingCreates();
  void Touch(const std::string& hostPath, const char* change, FileRole role);
  bool IsOverlayPath(const char16_t* name) const;
  std::string Windows(const std::string& hostPath) const;

  const JobSetup& s_;
  HandleNames ownHandles_;  // when the run does not name the handles across its jobs
  const JobContext* context_ = nullptr;
  std::string sinkError_;
  ExportCalls phase_;
  nlohmann::ordered_json phaseTrace_ = nlohmann::ordered_json::array();
  std::vector<std::pair<std::string, std::string>> pendingCreates_;  // host path, the failure
  std::unordered_map<const void*, OpenFile> open_;
  std::vector<TouchedFile> touched_;
  std::unordered_map<std::string, size_t> touchedIndex_;
  const void* logLibrary_ = nullptr;  // the logging library while it is loaded
  std::optional<StoredLine> stored_;
  uint64_t failuresAtLoad_ = 0;
  nlohmann::ordered_json accounting_ = nlohmann::ordered_json::array();
  nlohmann::ordered_json boxes_ = nlohmann::ordered_json::array();
  nlohmann::ordered_json failures_ = nlohmann::ordered_json::array();
  uint64_t failureCount_ = 0;
  nlohmann::ordered_json trace_ = nlohmann::ordered_json::array();
};

}  // namespace spoolgate
