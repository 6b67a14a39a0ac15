// SPDX-License-Identifier: Apache-2.0
// Reading the record of a job's Win32 calls: every outcome the report gives comes from
// a call the plug-in or the logging library made, never from the command's own idea of
// where a block or a line should go.
#include "tools/replay/job_calls.h"

#include "core/log_entry.h"
#include "tools/common/hex.h"
#include "tools/common/errors.h"
#include "tools/logread/log_fields.h"
#include "tools/logread/csv_lines.h"
#include "tools/logread/log_folder.h"
#include "tools/common/text.h"
#include "tools/replay/sandbox_paths.h"

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace spoolgate {
namespace {

using Json = nlohmann::ordered_json;

// Failures are listed one by one up to this many per job, then only counted.
constexpr size_t kListedFailures = 50;

bool Is(const HostCall& call, const char* function) {
  return std::strcmp(call.function, function) == 0;
}

std::string Quoted(const char16_t* name) { return "'" + FieldToUtf8(name, SIZE_MAX) + "'"; }

const char* RoleName(FileRole role) {
  switch (role) {
    case FileRole::Archive: return "archive";
    case FileRole::Overlay: return "overlay";
    case FileRole::Log: return "accounting log";
    case FileRole::Pending: return "pending file";
    case FileRole::File: break;
  }
  return "file";
}

bool HasExtension(const std::string& path, const char* ext) {
  std::string e = fs::path(path).extension().string();
  return strcasecmp(e.c_str(), ext) == 0;
}

// The library a load names, by its last path component.
bool IsLogLibrary(const char16_t* name) {
  if (name == nullptr) return false;
  std::u16string path(name);
  size_t slash = path.find_last_of(u"\\/");
  std::string last = Utf16ToUtf8(slash == std::u16string::npos ? path : path.substr(slash + 1));
  return strcasecmp(last.c_str(), Utf16ToUtf8(LOG_LIBRARY_NAME).c_str()) == 0;
}

}  // namespace

JobCalls::JobCalls(const JobSetup& setup) : s_(setup) { HostSetCallSink(&JobCalls::Sink, this); }

JobCalls::~JobCalls() { HostSetCallSink(nullptr, nullptr); }

void JobCalls::Sink(const HostCall& call, void* self) {
  auto* calls = static_cast<JobCalls*>(self);
  // An exception must not pass through the plug-in's frames: it is kept and thrown
  // once the export has returned.
  try {
    calls->OnCall(call);
  } catch (const std::exception& e) {
    if (calls->sinkError_.empty()) calls->sinkError_ = e.what();
  }
}

std::string JobCalls::Windows(const std::string& hostPath) const {
  return WindowsPathOf(s_.root, hostPath);
}

bool JobCalls::IsOverlayPath(const char16_t* name) const {
  if (context_ == nullptr || name == nullptr) return false;
  const WCHAR* overlay = context_->overlayControl.overlayPath;
  size_t n = 0;
  while (n < OVERLAY_PATH_CHARS && overlay[n] != 0) ++n;
  return n != 0 && std::u16string(name) == std::u16string(overlay, overlay + n);
}

void JobCalls::Fail(const std::string& call, const std::string& note) {
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

void JobCalls::Touch(const std::string& hostPath, const char* change, FileRole role) {
  auto [it, added] = touchedIndex_.emplace(hostPath, touched_.size());
  // The first change a job makes to a file names it: a file it created and then wrote
  // stays "created".
  if (added) touched_.push_back({change, Windows(hostPath), hostPath, "", role});
  if (role != FileRole::File) touched_[it->second].role = role;
}

void JobCalls::ForgetPendingCreate(const std::string& hostPath) {
  auto& pending = pendingCreates_;
  pending.erase(std::remove_if(pending.begin(), pending.end(),
                               [&](const auto& p) { return p.first == hostPath; }),
                pending.end());
}

void JobCalls::OnCreateFile(const HostCall& call) {
  std::string hostPath = call.name != nullptr ? HostMapPath(call.name) : std::string();
  const uint64_t disposition = call.args[2];
  if (call.failed) {
    std::string note = Quoted(call.name) + ": " + ErrorName(call.error);
    bool missing = call.error == ERROR_FILE_NOT_FOUND || call.error == ERROR_PATH_NOT_FOUND;
    if (IsOverlayPath(call.name) && disposition == OPEN_EXISTING) {
      Fail("CreateFileW", "the overlay " + Quoted(call.name) + " could not be opened for insertion: " +
                              ErrorName(call.error));
    } else if (disposition == OPEN_EXISTING && missing) {
      // An existence test: not finding the file is its answer.
    } else if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
      Fail("CreateFileW", note);
    } else {
      // A creation that the plug-in may repeat once the directories are made; a repeat
      // that fails as well is the same failure.
      ForgetPendingCreate(hostPath);
      pendingCreates_.emplace_back(hostPath, note);
    }
    return;
  }
  ForgetPendingCreate(hostPath);
  OpenFile f;
  f.hostPath = hostPath;
  if (logLibrary_ != nullptr) {
    // Every file the logging library opens belongs to the log: its generations, its
    // sequence file and its pending file.
    f.role = HasExtension(hostPath, ".pending") ? FileRole::Pending : FileRole::Log;
    f.logLines = f.role == FileRole::Pending || HasExtension(hostPath, ".csv");
  } else if (IsOverlayPath(call.name)) {
    f.role = FileRole::Overlay;
  }
  bool existed = call.error == ERROR_ALREADY_EXISTS;
  if (disposition == CREATE_NEW || ((disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) && !existed)) {
    Touch(hostPath, "created", f.role);
    f.size = 0;
  } else if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) {
    Touch(hostPath, "replaced", f.role);
    f.size = 0;
  } else if (disposition == OPEN_EXISTING && (call.args[0] & GENERIC_WRITE) == 0 &&
             touchedIndex_.count(hostPath) == 0) {
    phase_.foundExisting.push_back(Windows(hostPath));
  }
  f.position = 0;
  open_[call.handle] = f;
}

void JobCalls::OnWriteFile(const HostCall& call, OpenFile* file) {
  ++phase_.writes;
  if (file != nullptr) phase_.destination = file->role;
  if (call.failed) {
    std::string where = file != nullptr ? Windows(file->hostPath) : "?";
    Fail("WriteFile", "'" + where + "', " + std::to_string(call.size) + " bytes: " + ErrorName(call.error));
    return;
  }
  if (file == nullptr) return;
  OpenFile& f = *file;
  if (!f.written) Touch(f.hostPath, "changed", f.role);
  f.written = true;
  if (f.role == FileRole::Archive) phase_.archiveBytes += call.size;
  if (f.role == FileRole::Overlay) phase_.overlayBytes += call.size;
  const uint64_t written = call.args[0];
  if (f.logLines && written != 0) {
    // A write at or past the end appends; one inside the file rewrites lines that were
    // there (a pending file keeps the lines that were not moved).
    const uint64_t at = f.position.value_or(f.size.value_or(0));
    if (!f.size || at >= *f.size) {
      f.appendedFrom = std::min(f.appendedFrom.value_or(at), at);
      f.lastAppend = at;
      stored_ = StoredLine{f.role, Windows(f.hostPath)};
    }
  }
  if (f.position) {
    *f.position += written;
    f.size = std::max(f.size.value_or(0), *f.position);
  }
}

// The lines appended to a log or pending file while it was open, read back through the
// log reader once the library has closed it: the header, then from the first append on,
// so that a long log costs no more than a short one.
void JobCalls::OnClose(OpenFile& f) {
  if (!f.logLines || !f.appendedFrom) return;
  CsvRecordReader reader(f.hostPath);
  std::string record;
  uint64_t offset = 0;
  bool complete = false;
  if (!reader.Next(record, offset, complete)) return;
  const std::vector<std::string> header = HeaderColumns(record);
  reader.SkipTo(*f.appendedFrom);
  const std::string file = Windows(f.hostPath);
  while (reader.Next(record, offset, complete)) {
    if (offset == 0 && !header.empty()) continue;
    accounting_.push_back({{"file", file},
                           {"stored", RoleName(f.role)},
                           {"line", ValidUtf8(record)},
                           {"fields", LogLineJson(header, SplitCsv(record))}});
  }
}

void JobCalls::OnLibrary(const HostCall& call) {
  if (Is(call, "LoadLibraryExW") && logLibrary_ == nullptr &&
      IsLogLibrary(call.name)) {
    logLibrary_ = call.handle;
    stored_.reset();
    failuresAtLoad_ = failureCount_;
  } else if (Is(call, "FreeLibrary") && call.handle == logLibrary_ && logLibrary_ != nullptr) {
    logLibrary_ = nullptr;
    EndEmission();
  }
}

// The emission ends with the library unloaded: the last line it stored is this job's,
// and anywhere but the log it has not reached the log.
void JobCalls::EndEmission() {
  FailPendingCreates();
  if (!stored_) {
    if (failureCount_ == failuresAtLoad_) {
      Fail("QenDrvLogWriteRecord", "the logging library stored no accounting line");
    }
    return;
  }
  if (stored_->role == FileRole::Pending) {
    Fail("QenDrvLogWriteRecord", "the accounting line reached only the pending file '" +
                                     stored_->where + "'; a later line moves it into the log");
  } else if (stored_->role == FileRole::File) {
    Fail("QenDrvLogWriteRecord", "the accounting line reached no file; it was reported to the "
                                 "event log for the log '" + stored_->where + "'");
  }
}

void JobCalls::OnCall(const HostCall& call) {
  if (s_.traceText != nullptr || s_.traceJson) {
    Json j = CallJson(call, s_.handles != nullptr ? *s_.handles : ownHandles_);
    if (s_.traceText != nullptr) *s_.traceText << "      " << CallText(j) << "\n";
    if (s_.traceJson) phaseTrace_.push_back(j);
  }
  auto found = open_.find(call.handle);
  OpenFile* file = found != open_.end() ? &found->second : nullptr;
  if (Is(call, "WritePrinter")) {
    ++phase_.writes;
    phase_.destination = FileRole::File;
    if (call.failed) {
      Fail("WritePrinter", std::to_string(call.size) + " bytes: " + ErrorName(call.error));
      return;
    }
    phase_.printerBytes += call.size;
    if (s_.printerOut != nullptr) s_.printerOut->Write(call.data, call.size);
  } else if (Is(call, "WriteFile")) {
    OnWriteFile(call, file);
  } else if (Is(call, "CreateFileW")) {
    OnCreateFile(call);
    if (!call.failed && IsOverlayPath(call.name) && (call.args[0] & GENERIC_WRITE) == 0) {
      phase_.overlayRead = true;
    }
  } else if (Is(call, "SetFilePointerEx") || Is(call, "SetFilePointer")) {
    if (file == nullptr) return;
    // Positions are followed from the start or the end; a move by the current position
    // leaves the position unknown, and the next write is taken as an append.
    const int64_t distance = int64_t(call.args[0]);
    if (call.failed || call.args[1] == FILE_CURRENT) {
      file->position.reset();
    } else if (call.args[1] == FILE_BEGIN) {
      file->position = uint64_t(distance);
    } else {
      file->position = file->size ? std::optional<uint64_t>(*file->size + distance) : std::nullopt;
    }
    if (call.failed) Fail(call.function, ErrorName(call.error));
  } else if (Is(call, "GetFileSizeEx")) {
    if (file != nullptr && !call.failed) file->size = call.result;
    if (call.failed) Fail(call.function, ErrorName(call.error));
  } else if (Is(call, "SetEndOfFile")) {
    // The logging library cuts a line it could not write whole back off its file.
    if (file != nullptr && !call.failed) {
      file->size = file->position;
      if (file->lastAppend && (!file->position || *file->position <= *file->lastAppend)) {
        if (stored_ && stored_->where == Windows(file->hostPath)) stored_.reset();
        file->lastAppend.reset();
        if (file->appendedFrom && (!file->position || *file->position <= *file->appendedFrom)) {
          file->appendedFrom.reset();
        }
      }
    }
    if (call.failed) Fail(call.function, ErrorName(call.error));
  } else if (Is(call, "CloseHandle")) {
    if (file == nullptr) return;
    OnClose(*file);
    open_.erase(found);
  } else if (Is(call, "MoveFileExW")) {
    if (!call.failed) {
      std::string to = HostMapPath(call.name2);
      Touch(to, "renamed", logLibrary_ != nullptr ? FileRole::Log : FileRole::File);
      touched_[touchedIndex_[to]].renamedFrom = FieldToUtf8(call.name, SIZE_MAX);
    } else if (call.error != ERROR_ALREADY_EXISTS && call.error != ERROR_FILE_EXISTS) {
      Fail(call.function, Quoted(call.name) + ": " + ErrorName(call.error));
    }
  } else if (Is(call, "MessageBoxW")) {
    Json b;
    b["text"] = call.name != nullptr ? FieldToUtf8(call.name, SIZE_MAX) : "";
    b["caption"] = call.name2 != nullptr ? Json(FieldToUtf8(call.name2, SIZE_MAX)) : Json(nullptr);
    b["style"] = HexNumber(call.args[0]);
    b["owner"] = call.handle == nullptr ? "none" : "a window";
    boxes_.push_back(b);
  } else if (Is(call, "ReportEventW") && logLibrary_ != nullptr && !call.failed) {
    std::string line = call.name2 != nullptr ? FieldToUtf8(call.name2, SIZE_MAX) : "";
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    std::string log = call.name != nullptr ? FieldToUtf8(call.name, SIZE_MAX) : "";
    // The event carries the line alone: its columns are named by position.
    accounting_.push_back({{"file", log},
                           {"stored", "event log"},
                           {"line", line},
                           {"fields", LogLineJson({}, SplitCsv(line))}});
    stored_ = StoredLine{FileRole::File, log};
  } else if (call.kind == HostCallKind::Library && !call.failed) {
    OnLibrary(call);
  } else if (call.failed) {
    // The calls whose failure is an answer the caller expects: size queries of the
    // spooler, a registry key or value not there yet, a directory that exists, a file's
    // attributes when it is missing, a lock held by another writer (tried again).
    if (call.kind == HostCallKind::Spooler || Is(call, "RegOpenKeyExW") ||
        Is(call, "RegQueryValueExW") || Is(call, "CreateDirectoryW") ||
        Is(call, "GetFileAttributesW") ||
        (Is(call, "LockFileEx") && call.error == ERROR_LOCK_VIOLATION)) {
      return;
    }
    std::string what = call.name != nullptr ? Quoted(call.name) + ": "
                       : call.procedure != nullptr ? std::string("'") + call.procedure + "': "
                                                   : "";
    Fail(call.function, what + ErrorName(call.error));
  }
}

void JobCalls::Begin(const char* exportName, const CaptureEvent* event, uint64_t block) {
  phase_ = ExportCalls();
  phase_.name = exportName;
  phase_.event = event;
  phase_.block = block;
  phaseTrace_ = Json::array();
  if (s_.traceText != nullptr) {
    *s_.traceText << "    " << exportName;
    if (block != 0) *s_.traceText << " block " << block << " (" << event->bytes.size() << " bytes)";
    if (event != nullptr) *s_.traceText << " at capture byte " << event->offset;
    *s_.traceText << "\n";
  }
}

void JobCalls::FailPendingCreates() {
  for (const auto& [path, note] : pendingCreates_) Fail("CreateFileW", note);
  pendingCreates_.clear();
}

void JobCalls::End(const std::string& result) {
  if (!sinkError_.empty()) throw InputError(sinkError_);
  FailPendingCreates();
  // The files the plug-in keeps in its context are its archive and its overlay.
  if (context_ != nullptr) {
    for (auto [handle, role] : {std::pair{context_->archiveFile, FileRole::Archive},
                                std::pair{context_->overlayFile, FileRole::Overlay}}) {
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
    t["calls"] = std::move(phaseTrace_);
    phaseTrace_ = Json::array();
    if (!result.empty()) t["returned"] = result;
    trace_.push_back(std::move(t));
  }
}

Json JobCalls::Files() const {
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
    if (t.role == FileRole::Overlay && size >= sizeof(OverlayHeaderRecord)) {
      f["overlay"] = {{"bodyBytes", size - sizeof(OverlayHeaderRecord)}};
    } else if (t.role == FileRole::Archive && size >= sizeof(ArchiveHeaderRecord)) {
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

}  // namespace spoolgate
