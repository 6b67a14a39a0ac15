// `spoolgate run`: loads libspoolgate.so with dlopen, drives its eight exports with the
// events of each capture as the spooler would, and reports what each job did.
#include "tools/run.h"

#include "platform/host/host_control.h"
#include "platform/win32.h"
#include "plugin/job_context.h"
#include "tools/capture.h"
#include "tools/errors.h"
#include "tools/log_reader.h"
#include "tools/progress.h"
#include "tools/report.h"
#include "tools/text.h"

#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

namespace fs = std::filesystem;

namespace spoolgate {
namespace {

using Json = nlohmann::ordered_json;

// Failures are listed one by one up to this many per job, then only counted.
constexpr size_t kListedFailures = 50;
constexpr size_t kListedInsertions = 50;

struct PluginExports {
  HANDLE(WINAPI* startDoc)(HANDLE, DWORD);
  BOOL(WINAPI* writePrinter)(HANDLE, LPVOID, DWORD, LPDWORD);
  BOOL(WINAPI* startPage)(HANDLE);
  BOOL(WINAPI* endPage)(HANDLE);
  VOID(WINAPI* endDoc)(HANDLE);
  VOID(WINAPI* abort)(HANDLE);
  VOID(WINAPI* close)(HANDLE);
  PVOID(WINAPI* lastContext)(VOID);
};

std::string ExecutableDir() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.parent_path().string();
}

// The plug-in the spooler would load: --plugin, else the one built beside this command.
std::string FindPlugin(const std::string& given) {
  if (!given.empty()) return given;
  std::string beside = ExecutableDir() + "/../plugin/libspoolgate.so";
  if (fs::exists(beside)) return fs::canonical(beside).string();
  return SPOOLGATE_DEFAULT_PLUGIN;
}

template <typename F>
void Resolve(void* library, const std::string& path, const char* name, F& into) {
  void* symbol = dlsym(library, name);
  if (symbol == nullptr) throw InputError(path + ": the plug-in does not export " + name);
  into = reinterpret_cast<F>(symbol);
}

PluginExports LoadPlugin(const std::string& path) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) throw InputError(path + ": cannot load the plug-in: " + dlerror());
  PluginExports e{};
  Resolve(library, path, "DrvSplStartDoc", e.startDoc);
  Resolve(library, path, "DrvSplWritePrinter", e.writePrinter);
  Resolve(library, path, "DrvSplStartPage", e.startPage);
  Resolve(library, path, "DrvSplEndPage", e.endPage);
  Resolve(library, path, "DrvSplEndDoc", e.endDoc);
  Resolve(library, path, "DrvSplAbort", e.abort);
  Resolve(library, path, "DrvSplClose", e.close);
  Resolve(library, path, "MyDrvSplStartDoc", e.lastContext);
  return e;  // the library stays loaded for the life of the command, as in the spooler
}

struct FileState {
  uintmax_t size;
  fs::file_time_type mtime;
};

std::map<std::string, FileState> ScanSandbox(const std::string& root) {
  std::map<std::string, FileState> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    std::string path = it->path().string();
    if (WindowsPathOf(root, path).empty()) continue;  // registry.txt and our own files
    files[path] = {it->file_size(ec), it->last_write_time(ec)};
  }
  return files;
}

std::string ReadFileHead(const std::string& path, size_t bytes) {
  std::ifstream in(path, std::ios::binary);
  std::string out(bytes, '\0');
  in.read(out.data(), std::streamsize(bytes));
  out.resize(size_t(in.gcount()));
  return out;
}

// The accounting log directory under the sandbox: the registry's setting when the
// plug-in has written it, else the default it will write.
std::string LogDirectory() {
  auto value = HostRegistryGetValue(u"SOFTWARE\\TALVOK\\PrintLog", u"LogFileDirectory");
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
    windows = std::u16string(buffer, length) + u"\\temp\\PrintLog";
  }
  return HostMapPath(windows);
}

// Every record of every file in the log directory but the header each file starts with.
std::map<std::string, std::vector<std::string>> LogLines(const std::string& dir) {
  std::map<std::string, std::vector<std::string>> lines;
  std::error_code ec;
  if (dir.empty() || !fs::is_directory(dir, ec)) return lines;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (!entry.is_regular_file(ec) || entry.path().extension() == ".seq") continue;
    CsvRecordReader reader(entry.path().string());
    std::string record;
    uint64_t offset = 0;
    bool complete = false;
    auto& out = lines[entry.path().string()];
    while (reader.Ok() && reader.Next(record, offset, complete)) {
      if (offset != 0 && !record.empty()) out.push_back(record);
    }
  }
  return lines;
}

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

int64_t FilePosition(HANDLE file) {
  if (file == INVALID_HANDLE_VALUE || file == nullptr) return -1;
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  LARGE_INTEGER position;
  position.QuadPart = 0;
  if (!SetFilePointerEx(file, zero, &position, FILE_CURRENT)) return -1;
  return position.QuadPart;
}

struct ContextSnapshot {
  uint32_t state = 0;
  uint32_t pending = 0;
  uint32_t overlayInserted = 0;
  uint32_t pageCount = 0;
  HANDLE overlayFile = INVALID_HANDLE_VALUE;
  HANDLE archiveFile = INVALID_HANDLE_VALUE;
  int64_t overlayPosition = -1;
  int64_t archivePosition = -1;
};

ContextSnapshot Snapshot(const JobContext* c) {
  ContextSnapshot s;
  s.state = c->state;
  s.pending = c->pendingRecords;
  s.overlayInserted = c->overlayInserted;
  s.pageCount = c->pageCount;
  s.overlayFile = c->overlayFile;
  s.archiveFile = c->archiveFile;
  s.overlayPosition = FilePosition(c->overlayFile);
  s.archivePosition = FilePosition(c->archiveFile);
  return s;
}

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

struct Destination {
  uint64_t blocks = 0;
  uint64_t bytes = 0;
};

class JobRun {
 public:
  JobRun(const PluginExports& plugin, HANDLE printer, const std::string& printerName,
         FILE* printerOut)
      : plugin_(plugin), printer_(printer), printerName_(printerName), printerOut_(printerOut) {}

  Json Run(const std::string& capturePath, const std::string& document, const std::string& user,
           DWORD jobId, const std::string& root, bool progress);

 private:
  uint64_t PrinterDelta();
  void Block(JobContext* context, HANDLE job, CaptureEvent& event);
  void Fail(const std::string& call, const CaptureEvent& event, const std::string& note);

  const PluginExports& plugin_;
  HANDLE printer_;
  std::string printerName_;
  FILE* printerOut_;
  uint64_t printerSeen_ = 0;
  uint64_t blockIndex_ = 0;
  Json records_ = Json::array();
  Json insertions_ = Json::array();
  uint64_t insertionCount_ = 0;
  Json failures_ = Json::array();
  uint64_t failureCount_ = 0;
  Destination printerData_, archiveData_, overlayData_, discarded_;
  uint64_t startPages_ = 0, endPages_ = 0;
  std::string overlayPath_;
};

// Bytes that reached the printer since the last look; with --printer-out they are
// appended to that file and the sink is emptied, so memory stays bounded.
uint64_t JobRun::PrinterDelta() {
  HostPrinterOutput output = HostPrinterData(printer_);
  uint64_t delta = output.totalBytes - printerSeen_;
  if (printerOut_ != nullptr) {
    if (!output.bytes.empty() &&
        std::fwrite(output.bytes.data(), 1, output.bytes.size(), printerOut_) != output.bytes.size()) {
      throw InputError("--printer-out: write failed");
    }
    HostClearPrinterData(printer_);
    printerSeen_ = 0;
  } else {
    printerSeen_ = output.totalBytes;
  }
  return delta;
}

void JobRun::Fail(const std::string& call, const CaptureEvent& event, const std::string& note) {
  ++failureCount_;
  if (failures_.size() >= kListedFailures) return;
  Json f;
  f["call"] = call;
  if (event.kind == EventKind::Block) {
    f["block"] = blockIndex_;
    f["size"] = event.bytes.size();
  }
  f["captureOffset"] = event.offset;
  f["note"] = note;
  failures_.push_back(f);
}

void JobRun::Block(JobContext* context, HANDLE job, CaptureEvent& event) {
  ++blockIndex_;
  const ContextSnapshot before = Snapshot(context);
  DWORD written = 0xDEADBEEF;
  DWORD size = DWORD(event.bytes.size());
  BOOL result = plugin_.writePrinter(job, event.bytes.data(), size, &written);
  const ContextSnapshot after = Snapshot(context);
  uint64_t toPrinter = PrinterDelta();
  const uint8_t* bytes = event.bytes.data();
  const uint32_t flags = context->jobHeader.jobFlags;

  if (written != size) {
    Fail("DrvSplWritePrinter", event,
         "reported " + std::to_string(written) + " bytes written of " + std::to_string(size));
  }

  Json record;
  record["block"] = blockIndex_;
  std::string destination;
  switch (before.state) {
    case STATE_HEADER:
      record["record"] = "JobHeaderRecord";
      record["fields"]["jobFlags"] = flags;
      record["fields"]["jobFlagNames"] = FlagNames(flags);
      break;
    case STATE_FEATURE_RECORD:
      if (before.pending & JOB_FLAG_OVERLAY) {
        record["record"] = "OverlayControlRecord";
        record["fields"]["mode"] = context->overlayControl.mode;
        record["fields"]["overlayMode"] = OverlayModeName(context->overlayControl.mode);
        overlayPath_ = FieldToUtf8(context->overlayControl.overlayPath, OVERLAY_PATH_CHARS);
        record["fields"]["overlayPath"] = overlayPath_;
      } else if (before.pending & JOB_FLAG_ARCHIVE) {
        const ArchiveLocationRecord& l = context->archiveLocation;
        record["record"] = "ArchiveLocationRecord";
        record["fields"]["directory"] = FieldToUtf8(l.directory, ARCHIVE_TEXT_CHARS);
        record["fields"]["fileName"] = FieldToUtf8(l.fileName, ARCHIVE_TEXT_CHARS);
        record["fields"]["documentName"] = FieldToUtf8(l.documentName, ARCHIVE_TEXT_CHARS);
      } else {
        destination = "discarded";
      }
      break;
    case STATE_OVERLAY_HEADER:
      record["record"] = "OverlayHeaderRecord";
      record["note"] = after.overlayFile != INVALID_HANDLE_VALUE
                           ? "overlay file created"
                           : "the overlay file could not be created";
      break;
    case STATE_ARCHIVE_HEADER: {
      const ArchiveHeaderRecord& h = context->archiveHeader;
      record["record"] = "ArchiveHeaderRecord";
      record["fields"]["headerFlags"] = h.headerFlags;
      record["fields"]["tailBit0"] = h.tailBit0;
      record["fields"]["totalPages"] = h.totalPages;
      record["note"] = after.archiveFile != INVALID_HANDLE_VALUE
                           ? "archive file created"
                           : "the archive file could not be created";
      break;
    }
    case STATE_PASS_THROUGH:
      destination = "printer";
      break;
    default: {
      // Among the data, a block counts as a record only when the context shows it kept
      // and nothing of it went anywhere.
      int64_t archiveGrew = after.archivePosition - before.archivePosition;
      int64_t overlayGrew = after.overlayPosition - before.overlayPosition;
      bool wentNowhere = toPrinter == 0 && archiveGrew <= 0 && overlayGrew <= 0;
      if (wentNowhere && size == sizeof(JobLogRecord) &&
          std::memcmp(&context->jobLog, bytes, sizeof(JobLogRecord)) == 0 &&
          Le32(bytes) == JOB_LOG_RECORD_MAGIC) {
        const JobLogRecord& r = context->jobLog;
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
      } else if (wentNowhere && size == sizeof(TailRecord) && Le32(bytes) == TAIL_RECORD_MAGIC &&
                 context->pageCount == Le32(bytes + 8) && (flags & JOB_FLAG_ARCHIVE)) {
        record["record"] = "TailRecord";
        record["fields"]["tailFlags"] = Le32(bytes + 4);
        record["fields"]["tailPages"] = Le32(bytes + 8);
        record["note"] = "pageCount " + std::to_string(context->pageCount) + ", headerFlags " +
                         Hex32(context->archiveHeader.headerFlags) + ", tailBit0 " +
                         std::to_string(context->archiveHeader.tailBit0);
      } else {
        Destination* d = nullptr;
        uint64_t moved = 0;
        if (toPrinter > 0) {
          d = &printerData_;
          moved = toPrinter;
          destination = "printer";
        } else if (overlayGrew > 0) {
          d = &overlayData_;
          moved = uint64_t(overlayGrew);
          destination = "overlay";
        } else if (archiveGrew > 0) {
          d = &archiveData_;
          moved = uint64_t(archiveGrew);
          destination = "archive";
        } else if (flags & ~7u) {
          destination = "discarded";
        } else if ((flags & JOB_FLAG_OVERLAY) &&
                   (context->overlayControl.mode & OVERLAY_MODE_REGISTER)) {
          destination = "overlay";
          d = &overlayData_;
        } else {
          destination = (flags & JOB_FLAG_ARCHIVE) ? "archive" : "printer";
          d = destination == "archive" ? &archiveData_ : &printerData_;
        }
        if (d != nullptr) {
          d->blocks++;
          d->bytes += moved;
        }
        bool isMarker = size == sizeof kOverlayMarker &&
                        std::memcmp(bytes, kOverlayMarker, sizeof kOverlayMarker) == 0;
        if (isMarker && (flags & JOB_FLAG_OVERLAY) && moved > size) {
          ++insertionCount_;
          if (insertions_.size() < kListedInsertions) {
            Json ins;
            ins["block"] = blockIndex_;
            ins["mode"] = OverlayModeName(context->overlayControl.mode);
            ins["destination"] = destination;
            ins["bytes"] = moved - size;
            insertions_.push_back(ins);
          }
        }
        if (destination == "discarded") {
          discarded_.blocks++;
          discarded_.bytes += size;
        }
        destination.clear();
      }
      break;
    }
  }
  if (destination == "discarded" && before.state != STATE_DATA) {
    discarded_.blocks++;
    discarded_.bytes += size;
  } else if (destination == "printer") {
    printerData_.blocks++;
    printerData_.bytes += toPrinter;
  }
  if (record.contains("record")) {
    record["stateAfter"] = StateName(after.state);
    records_.push_back(record);
  }
  if (!result) {
    std::string where = record.contains("record") ? record["record"].get<std::string>()
                                                  : "data block";
    std::string route = (flags & JOB_FLAG_ARCHIVE) ? "archive file" : "printer";
    if ((flags & JOB_FLAG_OVERLAY) && (context->overlayControl.mode & OVERLAY_MODE_REGISTER)) {
      route = "overlay file";
    }
    if (before.state == STATE_PASS_THROUGH) route = "printer";
    Fail("DrvSplWritePrinter", event,
         where + " returned FALSE (the write to the " + route + " failed)");
  }
}

Json JobRun::Run(const std::string& capturePath, const std::string& document,
                 const std::string& user, DWORD jobId, const std::string& root, bool progress) {
  Json job;
  job["capture"] = capturePath;
  job["printer"] = printerName_;
  job["document"] = document;
  job["user"] = user;
  job["jobId"] = jobId;

  const auto filesBefore = ScanSandbox(root);
  const std::string logDirBefore = LogDirectory();
  const auto logBefore = LogLines(logDirBefore);
  const size_t boxesBefore = HostMessageBoxes().size();
  PrinterDelta();

  CaptureReader reader(capturePath);
  CaptureEvent event;
  Progress bar(progress, fs::path(capturePath).filename().string(), reader.Size());
  std::string end = "none";

  HANDLE handle = plugin_.startDoc(printer_, jobId);
  JobContext* context = static_cast<JobContext*>(plugin_.lastContext());
  if (handle == nullptr || context == nullptr || context != handle) {
    CaptureEvent start;
    Fail("DrvSplStartDoc", start,
         handle == nullptr ? "returned no job handle" : "MyDrvSplStartDoc did not give the new context");
  }
  if (handle != nullptr && context == handle) {
    while (reader.Next(event)) {
      switch (event.kind) {
        case EventKind::Block: Block(context, handle, event); break;
        case EventKind::StartPage:
          ++startPages_;
          if (!plugin_.startPage(handle)) Fail("DrvSplStartPage", event, "returned FALSE");
          break;
        case EventKind::EndPage:
          ++endPages_;
          if (!plugin_.endPage(handle)) Fail("DrvSplEndPage", event, "returned FALSE");
          break;
        case EventKind::EndDoc:
          plugin_.endDoc(handle);
          end = "DrvSplEndDoc";
          break;
        case EventKind::Abort:
          plugin_.abort(handle);
          end = "DrvSplAbort";
          break;
      }
      bar.Update(reader.Offset());
    }
    uint32_t flags = context->jobHeader.jobFlags;
    job["jobFlags"] = flags;
    job["jobFlagNames"] = FlagNames(flags);
    if (flags & JOB_FLAG_OVERLAY) job["overlayMode"] = OverlayModeName(context->overlayControl.mode);
    job["pageCount"] = context->pageCount;
    plugin_.close(handle);
  }
  PrinterDelta();

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

  // Files: every file under the sandbox that is new or changed, with its Windows path.
  Json files = Json::array();
  const std::string logDir = LogDirectory();
  const std::string overlayHost = overlayPath_.empty() ? "" : HostMapPath(Utf8ToUtf16(overlayPath_));
  for (const auto& [path, state] : ScanSandbox(root)) {
    auto old = filesBefore.find(path);
    if (old != filesBefore.end() && old->second.size == state.size &&
        old->second.mtime == state.mtime) {
      continue;
    }
    Json f;
    f["change"] = old == filesBefore.end() ? "created" : "changed";
    f["windowsPath"] = WindowsPathOf(root, path);
    f["hostPath"] = path;
    f["size"] = state.size;
    std::string ext = fs::path(path).extension().string();
    for (auto& ch : ext) ch = char(std::tolower(static_cast<unsigned char>(ch)));
    if (!logDir.empty() && fs::path(path).parent_path() == fs::path(logDir)) {
      f["role"] = "accounting log";
    } else if (path == overlayHost) {
      f["role"] = "overlay";
      if (state.size >= sizeof(OverlayHeaderRecord)) {
        f["overlay"] = {{"bodyBytes", state.size - sizeof(OverlayHeaderRecord)}};
      }
    } else if (ext == ".rud") {
      f["role"] = "archive";
      std::string head = ReadFileHead(path, sizeof(ArchiveHeaderRecord));
      if (head.size() == sizeof(ArchiveHeaderRecord)) {
        ArchiveHeaderRecord h;
        std::memcpy(&h, head.data(), sizeof h);
        f["archive"] = {{"headerFlags", h.headerFlags},
                        {"tailBit0", h.tailBit0},
                        {"totalPages", h.totalPages},
                        {"dataBytes", state.size - sizeof h}};
      }
    } else {
      f["role"] = "file";
    }
    files.push_back(f);
  }
  job["files"] = files;

  Json boxes = Json::array();
  auto allBoxes = HostMessageBoxes();
  for (size_t i = boxesBefore; i < allBoxes.size(); ++i) {
    Json b;
    b["text"] = Utf16ToUtf8(allBoxes[i].text);
    b["caption"] = allBoxes[i].caption ? Json(Utf16ToUtf8(*allBoxes[i].caption)) : Json(nullptr);
    b["style"] = Hex32(allBoxes[i].style);
    b["owner"] = allBoxes[i].owner == nullptr ? "none" : "a window";
    boxes.push_back(b);
  }
  job["messageBoxes"] = boxes;

  // Accounting: the lines of the log directory that were not there before the job,
  // matched as lines so that a rotation between the two looks does not repeat old ones.
  std::set<std::string> seen;
  for (const auto& [file, lines] : logBefore) seen.insert(lines.begin(), lines.end());
  Json accounting = Json::array();
  for (const auto& [file, lines] : LogLines(logDir)) {
    for (const std::string& line : lines) {
      if (seen.count(line)) continue;
      accounting.push_back({{"file", WindowsPathOf(root, file)}, {"line", line}});
    }
  }
  job["accounting"] = accounting;
  job["failedCalls"] = failures_;
  job["failedCallCount"] = failureCount_;
  job["result"] = failureCount_ == 0 ? "ok" : "a call failed";
  return job;
}

}  // namespace

int RunCaptures(const std::vector<std::string>& captures, const RunOptions& options,
                std::ostream& out) {
  if (captures.empty()) throw InputError("run: no capture given");
  // Every capture is read through before any job runs, so unusable input stops the
  // command with nothing done.
  for (const std::string& capture : captures) ValidateCapture(capture);

  const std::string pluginPath = FindPlugin(options.plugin);
  if (!fs::exists(pluginPath)) throw InputError(pluginPath + ": plug-in library not found (use --plugin)");
  PluginExports plugin = LoadPlugin(pluginPath);

  std::error_code ec;
  fs::create_directories(options.root, ec);
  if (ec) throw InputError(options.root + ": cannot create the sandbox root: " + ec.message());
  const std::string root = fs::canonical(options.root).string();
  HostReset(root);
  const std::string registryFile = root + "/registry.txt";
  if (fs::exists(registryFile)) {
    std::ifstream in(registryFile, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!HostRegistryImport(text)) throw InputError(registryFile + ": not a registry export");
  }
  // LoadLibraryW looks in the calling plug-in's own directory first, where the build
  // puts the logging library; naming that directory again keeps it found if the
  // plug-in was given by a path with symbolic links.
  HostSetLibrarySearchPath({fs::path(pluginPath).parent_path().string()});

  HANDLE printer = HostAddPrinter({std::nullopt, Utf8ToUtf16(options.printer), Utf8ToUtf16(options.port)});
  FILE* printerOut = nullptr;
  if (!options.printerOut.empty()) {
    printerOut = std::fopen(options.printerOut.c_str(), "wb");
    if (printerOut == nullptr) throw InputError(options.printerOut + ": " + std::strerror(errno));
  } else {
    HostSetPrinterCountOnly(printer, true);
  }

  Json report;
  report["plugin"] = pluginPath;
  report["root"] = root;
  report["printer"] = options.printer;
  report["jobs"] = Json::array();
  bool failed = false;
  DWORD jobId = options.jobId;
  for (const std::string& capture : captures) {
    std::string document =
        options.document.empty() ? fs::path(capture).stem().string() : options.document;
    HostAddJob(printer, jobId, {Utf8ToUtf16(document), Utf8ToUtf16(options.user)});
    JobRun run(plugin, printer, options.printer, printerOut);
    Json job = run.Run(capture, document, options.user, jobId, root, options.progress);
    failed = failed || job["failedCallCount"].get<uint64_t>() != 0;
    if (!options.json) WriteJobReport(job, out);
    report["jobs"].push_back(job);
    ++jobId;
  }
  if (printerOut != nullptr) std::fclose(printerOut);

  std::ofstream registry(registryFile, std::ios::binary | std::ios::trunc);
  registry << HostRegistryExport();

  if (options.json) out << report.dump(2) << "\n";
  return failed ? kExitStepFailed : kExitOk;
}

}  // namespace spoolgate
