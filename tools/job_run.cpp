// One job of `spoolgate run`: the exports are called as the spooler calls them, and the
// report is built from the host layer's record of the Win32 calls the plug-in (and the
// logging library it loads) made — what was written where, what was created, which call
// failed — so the command never works out for itself where the plug-in sends a block.
#include "tools/job_run.h"

#include "accounting/log_settings.h"
#include "platform/host/host_tools.h"
#include "plugin/job_context.h"
#include "tools/call_text.h"
#include "tools/capture.h"
#include "tools/errors.h"
#include "tools/log_fields.h"
#include "tools/log_reader.h"
#include "tools/progress.h"
#include "tools/text.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <unordered_map>

namespace fs = std::filesystem;

namespace spoolgate {
namespace {

using Json = nlohmann::ordered_json;

// Failures and insertions are listed one by one up to this many per job, then only counted.
constexpr size_t kListedFailures = 50;
constexpr size_t kListedInsertions = 50;

std::string Hex32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

Json FlagNames(uint32_t flags) {
  Json names = Json::array();
  if (flags & JOB_FLAG_OVERLAY) names.push_back("JOB_FLAG_OVERLAY");
  if (flags & JOB_FLAG_ARCHIVE) names.push_back("JOB_FLAG_ARCHIVE");
  if (flags & JOB_FLAG_ACCOUNTING) names.push_back("JOB_FLAG_ACCOUNTING");
  if (flags & ~7u) names.push_back("bits above 2: " + Hex32(flags & ~7u));
  return names;
}

const char* OverlayModeName(uint8_t mode) {
  if (mode & OVERLAY_MODE_REGISTER) return "register";
  if (mode & OVERLAY_MODE_RAW) return "raw insertion";
  return "framed insertion";
}

const char* StateName(uint32_t state) {
  static const char* names[] = {"STATE_HEADER",         "STATE_PASS_THROUGH",
                                "STATE_FEATURE_RECORD", "STATE_OVERLAY_HEADER",
                                "STATE_ARCHIVE_HEADER", "STATE_DATA"};
  return state < 6 ? names[state] : "unknown state";
}

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool Is(const HostCall& call, const char* function) {
  return std::strcmp(call.function, function) == 0;
}

// The accounting log directory on the host: the registry's setting when the plug-in has
// written it, else the default it will write.
std::string LogDirectory() {
  auto value = HostRegistryGetValue(LOG_SETTINGS_KEY, LOG_DIRECTORY_VALUE);
  std::u16string windows;
  if (value && value->data.size() >= 2) {
    for (size_t i = 0; i + 1 < value->data.size(); i += 2) {
      char16_t c = char16_t(value->data[i] | value->data[i + 1] << 8);
      if (c == 0) break;
      windows.push_back(c);
    }
  } else {
    WCHAR buffer[MAX_PATH] = {};
    UINT length = GetWindowsDirectoryW(buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    windows = std::u16string(buffer, length) + LOG_DEFAULT_DIRECTORY_TAIL;
  }
  return HostMapPath(windows);
}

// The records of text the logging library appended: whole CSV records (a line end
// inside quotes stays in its record), without the byte order mark and the header line.
std::vector<std::string> AppendedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  bool quoted = false;
  for (char c : text) {
    if (c == '"') quoted = !quoted;
    if (c == '\n' && !quoted) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
      if (!line.empty() && line.compare(0, 9, "sequence,") != 0) lines.push_back(line);
      line.clear();
      continue;
    }
    line.push_back(c);
  }
  return lines;
}

// The column names of a log file: its first line.
std::vector<std::string> LogHeader(const std::string& hostPath) {
  std::ifstream in(hostPath, std::ios::binary);
  std::string line;
  std::getline(in, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
  if (line.compare(0, 9, "sequence,") != 0) return {};
  return SplitCsv(line);
}

enum class Role { File, Archive, Overlay, Log };

const char* RoleName(Role role) {
  switch (role) {
    case Role::Archive: return "archive";
    case Role::Overlay: return "overlay";
    case Role::Log: return "accounting log";
    case Role::File: break;
  }
  return "file";
}

// A file the plug-in has open, by its handle.
struct OpenFile {
  std::string hostPath;
  Role role = Role::File;
  bool csv = false;
  bool written = false;
  std::string appended;  // text written to an accounting log, taken at the close
};

// A file the job created or changed, for the report's "files".
struct TouchedFile {
  std::string change;
  std::string windowsPath, hostPath, renamedFrom;
  Role role = Role::File;
};

struct Destination {
  uint64_t blocks = 0;
  uint64_t bytes = 0;
};

// What happened during the current export call.
struct Phase {
  const char* name = "";
  const CaptureEvent* event = nullptr;
  uint64_t block = 0;  // the block's number when the call is DrvSplWritePrinter
  uint64_t printerBytes = 0, archiveBytes = 0, overlayBytes = 0;
  uint64_t writes = 0;  // write calls tried, successful or not
  Role destination = Role::File;  // where the last write went; File: the printer
  bool overlayRead = false;
  uint64_t failures = 0;
  std::vector<std::pair<std::string, std::string>> pendingCreates;  // host path, the failure
  Json trace;
};

class JobRun {
 public:
  explicit JobRun(const JobSetup& setup) : s_(setup) {}
  Json Run(const std::string& capturePath);

 private:
  static void Sink(const HostCall& call, void* self);
  void OnCall(const HostCall& call);
  void OnCreateFile(const HostCall& call);
  void ForgetPendingCreate(const std::string& hostPath);
  void BeginPhase(const char* name, const CaptureEvent* event, uint64_t block);
  void EndPhase(const std::string& result);
  void Fail(const std::string& call, const std::string& note);
  void Touch(const std::string& hostPath, const char* change, Role role);
  void Block(CaptureEvent& event);
  Json FilesReport();
  bool IsOverlayPath(const char16_t* name) const;

  const JobSetup& s_;
  JobContext* context_ = nullptr;
  std::string logDir_;
  std::string sinkError_;
  Phase phase_;
  uint64_t blockIndex_ = 0;
  std::unordered_map<const void*, OpenFile> open_;
  std::vector<TouchedFile> touched_;
  std::unordered_map<std::string, size_t> touchedIndex_;
  Json records_ = Json::array();
  Json insertions_ = Json::array();
  uint64_t insertionCount_ = 0;
  Json failures_ = Json::array();
  uint64_t failureCount_ = 0;
  Json boxes_ = Json::array();
  Json accounting_ = Json::array();
  Json trace_ = Json::array();
  Destination printerData_, archiveData_, overlayData_, discarded_;
  uint64_t startPages_ = 0, endPages_ = 0;
};

void JobRun::Sink(const HostCall& call, void* self) {
  auto* run = static_cast<JobRun*>(self);
  // An exception must not pass through the plug-in's frames: it is kept and thrown
  // once the export has returned.
  try {
    run->OnCall(call);
  } catch (const std::exception& e) {
    if (run->sinkError_.empty()) run->sinkError_ = e.what();
  }
}

bool JobRun::IsOverlayPath(const char16_t* name) const {
  if (context_ == nullptr || name == nullptr) return false;
  const WCHAR* overlay = context_->overlayControl.overlayPath;
  size_t n = 0;
  while (n < OVERLAY_PATH_CHARS && overlay[n] != 0) ++n;
  return n != 0 && std::u16string(name) == std::u16string(overlay, overlay + n);
}

void JobRun::Fail(const std::string& call, const std::string& note) {
  ++failureCount_;
  ++phase_.failures;
  if (failures_.size() >= kListedFailures) return;
  Json f;
  f["call"] = call;
  f["during"] = phase_.name;
  if (phase_.block != 0) {
    f["block"] = phase_.block;
    f["size"] = phase_.event->bytes.size();
  }
  if (phase_.event != nullptr) f["captureOffset"] = phase_.event->offset;
  f["note"] = note;
  failures_.push_back(f);
}

void JobRun::Touch(const std::string& hostPath, const char* change, Role role) {
  auto [it, added] = touchedIndex_.emplace(hostPath, touched_.size());
  // The first change a job makes to a file names it: a file it created and then wrote
  // stays "created".
  if (added) touched_.push_back({change, WindowsPathOf(s_.root, hostPath), hostPath, "", role});
  if (role != Role::File) touched_[it->second].role = role;
}

void JobRun::ForgetPendingCreate(const std::string& hostPath) {
  auto& pending = phase_.pendingCreates;
  pending.erase(std::remove_if(pending.begin(), pending.end(),
                               [&](const auto& p) { return p.first == hostPath; }),
                pending.end());
}

void JobRun::OnCreateFile(const HostCall& call) {
  std::string hostPath = call.name != nullptr ? HostMapPath(call.name) : std::string();
  const uint64_t disposition = call.args[2];
  if (call.failed) {
    std::string path = "'" + FieldToUtf8(call.name, SIZE_MAX) + "'";
    std::string note = path + ": " + ErrorName(call.error);
    bool missing = call.error == ERROR_FILE_NOT_FOUND || call.error == ERROR_PATH_NOT_FOUND;
    if (IsOverlayPath(call.name) && disposition == OPEN_EXISTING) {
      Fail("CreateFileW", "the overlay " + path + " could not be opened for insertion: " +
                              ErrorName(call.error));
    } else if (disposition == OPEN_EXISTING && missing) {
      // An existence test: not finding the file is its answer.
    } else if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
      Fail("CreateFileW", note);
    } else {
      // A creation that the plug-in may repeat once the directories are made; a repeat
      // that fails as well is the same failure.
      ForgetPendingCreate(hostPath);
      phase_.pendingCreates.emplace_back(hostPath, note);
    }
    return;
  }
  ForgetPendingCreate(hostPath);
  OpenFile f;
  f.hostPath = hostPath;
  if (!logDir_.empty() && fs::path(hostPath).parent_path() == fs::path(logDir_)) {
    f.role = Role::Log;
    std::string ext = fs::path(hostPath).extension().string();
    f.csv = ext.size() == 4 && strcasecmp(ext.c_str(), ".csv") == 0;
  } else if (IsOverlayPath(call.name)) {
    f.role = Role::Overlay;
  }
  bool existed = call.error == ERROR_ALREADY_EXISTS;
  if (disposition == CREATE_NEW || ((disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) && !existed)) {
    Touch(hostPath, "created", f.role);
  } else if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) {
    Touch(hostPath, "replaced", f.role);
  }
  open_[call.handle] = f;
}

void JobRun::OnCall(const HostCall& call) {
  if (s_.traceText != nullptr || s_.traceJson) {
    Json j = CallJson(call);
    if (s_.traceText != nullptr) *s_.traceText << "      " << CallText(j) << "\n";
    if (s_.traceJson) phase_.trace.push_back(j);
  }
  auto file = open_.find(call.handle);
  if (Is(call, "WritePrinter")) {
    ++phase_.writes;
    phase_.destination = Role::File;
    if (call.failed) {
      Fail("WritePrinter", std::to_string(call.size) + " bytes: " + ErrorName(call.error));
      return;
    }
    phase_.printerBytes += call.size;
    if (s_.printerOut != nullptr) s_.printerOut->Write(call.data, call.size);
  } else if (Is(call, "WriteFile")) {
    ++phase_.writes;
    if (file != open_.end()) phase_.destination = file->second.role;
    std::string where = file != open_.end() ? WindowsPathOf(s_.root, file->second.hostPath) : "?";
    if (call.failed) {
      Fail("WriteFile", "'" + where + "', " + std::to_string(call.size) + " bytes: " + ErrorName(call.error));
      return;
    }
    if (file == open_.end()) return;
    OpenFile& f = file->second;
    if (!f.written) Touch(f.hostPath, "changed", f.role);
    f.written = true;
    phase_.destination = f.role;
    if (f.role == Role::Archive) phase_.archiveBytes += call.size;
    if (f.role == Role::Overlay) phase_.overlayBytes += call.size;
    if (f.csv) f.appended.append(static_cast<const char*>(call.data), call.size);
  } else if (Is(call, "CreateFileW")) {
    OnCreateFile(call);
    if (!call.failed && IsOverlayPath(call.name) && (call.args[0] & GENERIC_WRITE) == 0) {
      phase_.overlayRead = true;
    }
  } else if (Is(call, "CloseHandle")) {
    if (file == open_.end()) return;
    std::vector<std::string> lines = AppendedLines(file->second.appended);
    if (!lines.empty()) {
      const std::vector<std::string> header = LogHeader(file->second.hostPath);
      for (const std::string& line : lines) {
        accounting_.push_back({{"file", WindowsPathOf(s_.root, file->second.hostPath)},
                               {"line", line},
                               {"fields", LogLineJson(header, SplitCsv(line))}});
      }
    }
    open_.erase(file);
  } else if (Is(call, "SetEndOfFile")) {
    // The logging library cuts a line it could not flush back off the log.
    if (file != open_.end()) file->second.appended.clear();
    if (call.failed) Fail(call.function, ErrorName(call.error));
  } else if (Is(call, "MoveFileExW")) {
    if (!call.failed) {
      std::string to = HostMapPath(call.name2);
      Touch(to, "renamed", fs::path(to).parent_path() == fs::path(logDir_) ? Role::Log : Role::File);
      touched_[touchedIndex_[to]].renamedFrom = FieldToUtf8(call.name, SIZE_MAX);
    } else if (call.error != ERROR_ALREADY_EXISTS && call.error != ERROR_FILE_EXISTS) {
      Fail(call.function, "'" + FieldToUtf8(call.name, SIZE_MAX) + "': " + ErrorName(call.error));
    }
  } else if (Is(call, "MessageBoxW")) {
    Json b;
    b["text"] = call.name != nullptr ? FieldToUtf8(call.name, SIZE_MAX) : "";
    b["caption"] = call.name2 != nullptr ? Json(FieldToUtf8(call.name2, SIZE_MAX)) : Json(nullptr);
    b["style"] = Hex32(uint32_t(call.args[0]));
    b["owner"] = call.handle == nullptr ? "none" : "a window";
    boxes_.push_back(b);
  } else if (call.failed) {
    // The calls whose failure is an answer the plug-in expects: size queries of the
    // spooler, a registry key or value not there yet, a directory that exists, a file's
    // attributes when it is missing.
    if (call.kind == HostCallKind::Spooler || Is(call, "RegOpenKeyExW") ||
        Is(call, "RegQueryValueExW") || Is(call, "CreateDirectoryW") ||
        Is(call, "GetFileAttributesW")) {
      return;
    }
    std::string what = call.name != nullptr ? "'" + FieldToUtf8(call.name, SIZE_MAX) + "': "
                       : call.procedure != nullptr ? std::string("'") + call.procedure + "': "
                                                   : "";
    Fail(call.function, what + ErrorName(call.error));
  }
}

void JobRun::BeginPhase(const char* name, const CaptureEvent* event, uint64_t block) {
  phase_ = Phase();
  phase_.name = name;
  phase_.event = event;
  phase_.block = block;
  if (s_.traceText != nullptr) {
    *s_.traceText << "    " << name;
    if (block != 0) *s_.traceText << " block " << block << " (" << event->bytes.size() << " bytes)";
    if (event != nullptr) *s_.traceText << " at capture byte " << event->offset;
    *s_.traceText << "\n";
  }
}

void JobRun::EndPhase(const std::string& result) {
  if (!sinkError_.empty()) throw InputError(sinkError_);
  for (const auto& [path, note] : phase_.pendingCreates) Fail("CreateFileW", note);
  phase_.pendingCreates.clear();
  // The files the plug-in keeps in its context are its archive and its overlay.
  if (context_ != nullptr) {
    for (auto [handle, role] : {std::pair{context_->archiveFile, Role::Archive},
                                std::pair{context_->overlayFile, Role::Overlay}}) {
      auto it = open_.find(handle);
      if (it == open_.end()) continue;
      it->second.role = role;
      auto touched = touchedIndex_.find(it->second.hostPath);
      if (touched != touchedIndex_.end()) touched_[touched->second].role = role;
    }
  }
  if (s_.traceText != nullptr && !result.empty()) *s_.traceText << "      = " << result << "\n";
  if (s_.traceJson) {
    Json t;
    t["export"] = phase_.name;
    if (phase_.block != 0) t["block"] = phase_.block;
    t["calls"] = std::move(phase_.trace);
    if (!result.empty()) t["result"] = result;
    trace_.push_back(std::move(t));
  }
}

void JobRun::Block(CaptureEvent& event) {
  ++blockIndex_;
  const uint32_t before = context_->state;
  const uint32_t pending = context_->pendingRecords;
  BeginPhase("DrvSplWritePrinter", &event, blockIndex_);
  DWORD written = 0xDEADBEEF;
  const DWORD size = DWORD(event.bytes.size());
  BOOL result = s_.plugin->WritePrinter(context_, event.bytes.data(), size, &written);
  const uint8_t* bytes = event.bytes.data();
  const uint32_t flags = context_->jobHeader.jobFlags;
  if (written != size) {
    Fail("DrvSplWritePrinter",
         "reported " + std::to_string(written) + " bytes written of " + std::to_string(size));
  }

  Json record;
  record["block"] = blockIndex_;
  switch (before) {
    case STATE_HEADER:
      record["record"] = "JobHeaderRecord";
      record["fields"]["jobFlags"] = flags;
      record["fields"]["jobFlagNames"] = FlagNames(flags);
      break;
    case STATE_FEATURE_RECORD:
      if (pending & JOB_FLAG_OVERLAY) {
        record["record"] = "OverlayControlRecord";
        record["fields"]["mode"] = context_->overlayControl.mode;
        record["fields"]["overlayMode"] = OverlayModeName(context_->overlayControl.mode);
        record["fields"]["overlayPath"] =
            FieldToUtf8(context_->overlayControl.overlayPath, OVERLAY_PATH_CHARS);
      } else if (pending & JOB_FLAG_ARCHIVE) {
        const ArchiveLocationRecord& l = context_->archiveLocation;
        record["record"] = "ArchiveLocationRecord";
        record["fields"]["directory"] = FieldToUtf8(l.directory, ARCHIVE_TEXT_CHARS);
        record["fields"]["fileName"] = FieldToUtf8(l.fileName, ARCHIVE_TEXT_CHARS);
        record["fields"]["documentName"] = FieldToUtf8(l.documentName, ARCHIVE_TEXT_CHARS);
      } else {
        discarded_.blocks++;
        discarded_.bytes += size;
      }
      break;
    case STATE_OVERLAY_HEADER:
      record["record"] = "OverlayHeaderRecord";
      record["note"] = context_->overlayFile != INVALID_HANDLE_VALUE
                           ? "overlay file created"
                           : "the overlay file could not be created";
      break;
    case STATE_ARCHIVE_HEADER: {
      const ArchiveHeaderRecord& h = context_->archiveHeader;
      record["record"] = "ArchiveHeaderRecord";
      record["fields"]["headerFlags"] = h.headerFlags;
      record["fields"]["tailBit0"] = h.tailBit0;
      record["fields"]["totalPages"] = h.totalPages;
      record["note"] = context_->archiveFile != INVALID_HANDLE_VALUE
                           ? "archive file created"
                           : "the archive file could not be created";
      break;
    }
    default: {
      // Print data, or a record the plug-in kept among it: where the bytes went is what
      // the recorded calls wrote.
      const uint64_t moved = phase_.printerBytes + phase_.archiveBytes + phase_.overlayBytes;
      if (phase_.writes == 0 && result && size == sizeof(JobLogRecord) &&
          std::memcmp(&context_->jobLog, bytes, sizeof(JobLogRecord)) == 0) {
        const JobLogRecord& r = context_->jobLog;
        record["record"] = "JobLogRecord";
        record["fields"]["leadingText"] = FieldToUtf8(r.leadingText, 257);
        record["fields"]["fallbackDocumentName"] = FieldToUtf8(r.fallbackDocumentName, 256);
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u.%03u", r.year, r.month,
                      r.day, r.hour, r.minute, r.second, r.milliseconds);
        record["fields"]["timeStamp"] = stamp;
        record["fields"]["logFlags"] = r.logFlags;
        record["note"] = (r.logFlags & LOG_FLAG_EXTENDED_MASK) ? "extended entry at the end of the job"
                                                               : "standard entry at the end of the job";
      } else if (phase_.writes == 0 && result && size == sizeof(TailRecord) &&
                 Le32(bytes) == TAIL_RECORD_MAGIC && context_->pageCount == Le32(bytes + 8)) {
        record["record"] = "TailRecord";
        record["fields"]["tailFlags"] = Le32(bytes + 4);
        record["fields"]["tailPages"] = Le32(bytes + 8);
        record["note"] = "pageCount " + std::to_string(context_->pageCount) + ", headerFlags " +
                         Hex32(context_->archiveHeader.headerFlags) + ", tailBit0 " +
                         std::to_string(context_->archiveHeader.tailBit0);
      } else if (phase_.writes == 0) {
        discarded_.blocks++;
        discarded_.bytes += size;
      } else {
        const bool toFile = phase_.destination == Role::Archive || phase_.destination == Role::Overlay;
        const char* destination = toFile ? RoleName(phase_.destination) : "printer";
        Destination& d = phase_.destination == Role::Archive   ? archiveData_
                         : phase_.destination == Role::Overlay ? overlayData_
                                                               : printerData_;
        d.blocks++;
        d.bytes += moved;
        if (phase_.overlayRead) {
          ++insertionCount_;
          if (insertions_.size() < kListedInsertions) {
            Json ins;
            ins["block"] = blockIndex_;
            ins["mode"] = OverlayModeName(context_->overlayControl.mode);
            ins["destination"] = destination;
            ins["bytes"] = moved >= size ? moved - size : moved;
            insertions_.push_back(ins);
          }
        }
      }
      break;
    }
  }
  if (record.contains("record")) {
    record["stateAfter"] = StateName(context_->state);
    records_.push_back(record);
  }
  if (!result && phase_.failures == 0) {
    Fail("DrvSplWritePrinter", phase_.writes == 0
                                   ? "returned FALSE; the block was written nowhere (no file open for it)"
                                   : "returned FALSE");
  }
  EndPhase(result ? "TRUE" : "FALSE");
}

Json JobRun::FilesReport() {
  Json files = Json::array();
  for (const TouchedFile& t : touched_) {
    Json f;
    f["change"] = t.change;
    f["role"] = RoleName(t.role);
    f["windowsPath"] = t.windowsPath;
    f["hostPath"] = t.hostPath;
    if (!t.renamedFrom.empty()) f["renamedFrom"] = t.renamedFrom;
    struct stat info;
    uint64_t size = stat(t.hostPath.c_str(), &info) == 0 ? uint64_t(info.st_size) : 0;
    f["size"] = size;
    if (t.role == Role::Overlay && size >= sizeof(OverlayHeaderRecord)) {
      f["overlay"] = {{"bodyBytes", size - sizeof(OverlayHeaderRecord)}};
    } else if (t.role == Role::Archive && size >= sizeof(ArchiveHeaderRecord)) {
      ArchiveHeaderRecord h;
      std::ifstream in(t.hostPath, std::ios::binary);
      if (in.read(reinterpret_cast<char*>(&h), sizeof h)) {
        f["archive"] = {{"headerFlags", h.headerFlags},
                        {"tailBit0", h.tailBit0},
                        {"totalPages", h.totalPages},
                        {"dataBytes", size - sizeof h}};
      }
    }
    files.push_back(f);
  }
  return files;
}

// Records the calls of one job while it lives, and stops when it ends, however it ends.
struct CallRecording {
  CallRecording(HostCallSink sink, void* context) { HostSetCallSink(sink, context); }
  ~CallRecording() { HostSetCallSink(nullptr, nullptr); }
};

Json JobRun::Run(const std::string& capturePath) {
  Json job;
  job["capture"] = capturePath;
  job["printer"] = s_.printerName;
  job["document"] = s_.document;
  job["user"] = s_.user;
  job["jobId"] = s_.jobId;
  if (s_.traceText != nullptr) *s_.traceText << "job " << s_.jobId << ": " << capturePath << ": trace\n";

  logDir_ = LogDirectory();
  CaptureReader reader(capturePath);
  CaptureEvent event;
  Progress bar(s_.progress, fs::path(capturePath).filename().string(), reader.Size());
  std::string end = "none";
  CallRecording recording(&JobRun::Sink, this);
  const PluginExports& plugin = *s_.plugin;

  BeginPhase("DrvSplStartDoc", nullptr, 0);
  HANDLE handle = plugin.StartDoc(s_.printer, s_.jobId);
  context_ = static_cast<JobContext*>(plugin.MyStartDoc());
  if (handle == nullptr || context_ != handle) {
    Fail("DrvSplStartDoc", handle == nullptr ? "returned no job handle"
                                             : "MyDrvSplStartDoc did not give the new context");
    context_ = nullptr;
  }
  EndPhase(handle == nullptr ? "NULL" : "a job handle");
  if (context_ != nullptr) {
    while (reader.Next(event)) {
      switch (event.kind) {
        case EventKind::Block: Block(event); break;
        case EventKind::StartPage: {
          ++startPages_;
          BeginPhase("DrvSplStartPage", &event, 0);
          BOOL ok = plugin.StartPage(handle);
          if (!ok) Fail("DrvSplStartPage", "returned FALSE");
          EndPhase(ok ? "TRUE" : "FALSE");
          break;
        }
        case EventKind::EndPage: {
          ++endPages_;
          BeginPhase("DrvSplEndPage", &event, 0);
          BOOL ok = plugin.EndPage(handle);
          if (!ok) Fail("DrvSplEndPage", "returned FALSE");
          EndPhase(ok ? "TRUE" : "FALSE");
          break;
        }
        case EventKind::EndDoc:
          BeginPhase("DrvSplEndDoc", &event, 0);
          plugin.EndDoc(handle);
          EndPhase("");
          end = "DrvSplEndDoc";
          break;
        case EventKind::Abort:
          BeginPhase("DrvSplAbort", &event, 0);
          plugin.Abort(handle);
          EndPhase("");
          end = "DrvSplAbort";
          break;
      }
      bar.Update(reader.Offset());
    }
    uint32_t flags = context_->jobHeader.jobFlags;
    job["jobFlags"] = flags;
    job["jobFlagNames"] = FlagNames(flags);
    if (flags & JOB_FLAG_OVERLAY) job["overlayMode"] = OverlayModeName(context_->overlayControl.mode);
    job["pageCount"] = context_->pageCount;
    BeginPhase("DrvSplClose", nullptr, 0);
    plugin.Close(handle);
    context_ = nullptr;
    EndPhase("");
  }

  job["records"] = records_;
  auto dest = [](const Destination& d) { return Json{{"blocks", d.blocks}, {"bytes", d.bytes}}; };
  job["data"] = {{"printer", dest(printerData_)},
                 {"archive", dest(archiveData_)},
                 {"overlay", dest(overlayData_)},
                 {"discarded", dest(discarded_)}};
  job["insertions"] = insertions_;
  job["insertionCount"] = insertionCount_;
  job["calls"] = {{"DrvSplWritePrinter", blockIndex_},
                  {"DrvSplStartPage", startPages_},
                  {"DrvSplEndPage", endPages_},
                  {"end", end}};
  job["files"] = FilesReport();
  job["messageBoxes"] = boxes_;
  job["accounting"] = accounting_;
  job["failedCalls"] = failures_;
  job["failedCallCount"] = failureCount_;
  job["result"] = failureCount_ == 0 ? "ok" : "failed";
  if (s_.traceJson) job["trace"] = std::move(trace_);
  return job;
}

}  // namespace

Json RunJob(const std::string& capturePath, const JobSetup& setup) {
  JobRun run(setup);
  return run.Run(capturePath);
}

}  // namespace spoolgate
