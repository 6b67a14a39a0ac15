// SPDX-License-Identifier: Apache-2.0
// The spooler double of the host layer: printers and their jobs as the control interface
// defines them, GetJobW/GetPrinterW at level 2, and WritePrinter into a per-printer sink.
#include "platform/host/call_record.h"
#include "platform/host/file_internal.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

namespace {

// The driver name every printer of the double reports.
const char16_t kDriverName[] = u"Spoolgate Host Driver";
const char16_t kPrintProcessor[] = u"winprint";
const char16_t kDatatype[] = u"RAW";

struct Job {
  HostJobSetup setup;
  SYSTEMTIME submitted{};
};

struct Printer {
  HANDLE handle = nullptr;
  HostPrinterSetup setup;
  std::mutex mutex;  // guards everything below
  std::map<DWORD, Job> jobs;
  bool countOnly = false;
  int spoolFd = -1;  // a spool file that every block is appended to, when set
  HostPrinterOutput output;
  ~Printer() {
    if (spoolFd >= 0) close(spoolFd);
  }
};

// Appends a block to a spool file with write(), as a spooler writes its spool file.
bool AppendToSpoolFile(int fd, const void* data, size_t size) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    ssize_t n = write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Printer handles are opaque values that encode a slot of this table and the generation
// of the table (bumped by every reset), so that WritePrinter finds its printer without a
// global lock and a handle kept from before a reset is refused.
constexpr size_t kMaxPrinters = 4095;
constexpr uintptr_t kHandleTag = 0x5B00000000000000ULL;
std::array<std::atomic<Printer*>, kMaxPrinters + 1> g_printers{};
std::mutex g_tableMutex;  // serialises adding printers and resets
size_t g_printerCount = 0;
uint32_t g_generation = 1;

Printer* FindPrinter(HANDLE handle) {
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  if ((value & 0xFF00000000000000ULL) != kHandleTag) return nullptr;
  size_t slot = value & 0xFFF;
  if (slot == 0 || slot > kMaxPrinters) return nullptr;
  Printer* p = g_printers[slot].load(std::memory_order_acquire);
  return (p != nullptr && p->handle == handle) ? p : nullptr;
}

// A record with its strings packed behind it in the caller's buffer, as the spooler
// returns them. Sizes are worked out first so that the size query and the fill agree.
class Packer {
 public:
  Packer(size_t recordSize, LPBYTE buffer) : size_(recordSize), buffer_(buffer) {}
  void Count(const std::u16string* text) {
    if (text) size_ += (text->size() + 1) * sizeof(WCHAR);
  }
  size_t Needed() const { return size_; }
  // Copies text behind the record and returns where it went in the caller's buffer.
  LPWSTR Put(const std::u16string* text) {
    if (!text) return nullptr;
    size_t bytes = (text->size() + 1) * sizeof(WCHAR);
    LPBYTE at = buffer_ + offset_;
    std::memcpy(at, text->c_str(), bytes);
    offset_ += bytes;
    return reinterpret_cast<LPWSTR>(at);
  }
  void StartStrings(size_t recordSize) { offset_ = recordSize; }

 private:
  size_t size_;
  size_t offset_ = 0;
  LPBYTE buffer_;
};

// Common checks of GetJobW/GetPrinterW; false with the last error set when they fail.
bool CheckInfoCall(HostOp op, Printer** printer, HANDLE handle, DWORD level, LPDWORD needed) {
  if (DWORD error = hostimpl::CountCall(op)) {
    hostimpl::SetError(error);
    return false;
  }
  *printer = FindPrinter(handle);
  if (*printer == nullptr) {
    hostimpl::SetError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (level != 2) {
    hostimpl::SetError(ERROR_INVALID_LEVEL);
    return false;
  }
  if (needed == nullptr) {
    hostimpl::SetError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return true;
}

}  // namespace

// WritePrinter - appends the block to the printer's sink and reports it all written
// (only its first bytes after HostShortWriteNth). A failure (injected, or a bad handle)
// reports 0 bytes written.
BOOL hostimpl::plain::WritePrinter(HANDLE printer, LPVOID data, DWORD size, LPDWORD written) {
  if (written) *written = 0;
  if (DWORD error = hostimpl::CountWrite(HostOp::WritePrinter, &size)) {
    hostimpl::SetError(error);
    return FALSE;
  }
  Printer* p = FindPrinter(printer);
  if (p == nullptr) {
    hostimpl::SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (written == nullptr || (data == nullptr && size != 0)) {
    hostimpl::SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  {
    std::lock_guard<std::mutex> lock(p->mutex);
    if (p->spoolFd >= 0 && !AppendToSpoolFile(p->spoolFd, data, size)) {
      hostimpl::SetError(hostimpl::ErrnoToError(errno));
      return FALSE;
    }
    if (!p->countOnly) {
      const uint8_t* bytes = static_cast<const uint8_t*>(data);
      p->output.bytes.insert(p->output.bytes.end(), bytes, bytes + size);
      p->output.writeSizes.push_back(size);
    }
    p->output.totalBytes += size;
    p->output.totalWrites += 1;
  }
  *written = size;
  return TRUE;
}

// GetJobW - JOB_INFO_2W of a job, its strings packed behind the record in the caller's
// buffer. Level 2 only. Without a buffer, or with one that is too small, the call fails
// with ERROR_INSUFFICIENT_BUFFER and reports the bytes needed.
BOOL hostimpl::plain::GetJobW(HANDLE printer, DWORD jobId, DWORD level, LPBYTE buffer,
                              DWORD bufferSize, LPDWORD needed) {
  Printer* p = nullptr;
  if (!CheckInfoCall(HostOp::GetJob, &p, printer, level, needed)) return FALSE;
  std::lock_guard<std::mutex> lock(p->mutex);
  auto it = p->jobs.find(jobId);
  if (it == p->jobs.end()) {
    hostimpl::SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const Job& job = it->second;
  const std::u16string machine = u"\\\\" + hostimpl::ComputerName();
  const std::u16string driver = kDriverName, processor = kPrintProcessor, datatype = kDatatype;
  const std::u16string parameters;
  const std::u16string* user = job.setup.userName ? &*job.setup.userName : nullptr;
  const std::u16string* document = job.setup.document ? &*job.setup.document : nullptr;

  Packer pack(sizeof(JOB_INFO_2W), buffer);
  pack.Count(&p->setup.printerName);
  pack.Count(&machine);
  pack.Count(user);
  pack.Count(document);
  pack.Count(user);  // pNotifyName: the spooler notifies the submitting user
  pack.Count(&datatype);
  pack.Count(&processor);
  pack.Count(&parameters);
  pack.Count(&driver);
  *needed = static_cast<DWORD>(pack.Needed());
  if (buffer == nullptr || bufferSize < pack.Needed()) {
    hostimpl::SetError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  JOB_INFO_2W info{};
  pack.StartStrings(sizeof(JOB_INFO_2W));
  info.JobId = jobId;
  info.pPrinterName = pack.Put(&p->setup.printerName);
  info.pMachineName = pack.Put(&machine);
  info.pUserName = pack.Put(user);
  info.pDocument = pack.Put(document);
  info.pNotifyName = pack.Put(user);
  info.pDatatype = pack.Put(&datatype);
  info.pPrintProcessor = pack.Put(&processor);
  info.pParameters = pack.Put(&parameters);
  info.pDriverName = pack.Put(&driver);
  info.Status = JOB_STATUS_SPOOLING | JOB_STATUS_PRINTING;
  info.Priority = 1;
  info.Position = static_cast<DWORD>(std::distance(p->jobs.begin(), it) + 1);
  info.Size = static_cast<DWORD>(p->output.totalBytes);
  info.Submitted = job.submitted;
  // The caller's buffer need not be aligned for the record.
  std::memcpy(buffer, &info, sizeof info);
  return TRUE;
}

// GetPrinterW - PRINTER_INFO_2W of the printer, packed like GetJobW's record. A printer
// defined without a server name reports a null pServerName, as a local printer does.
BOOL hostimpl::plain::GetPrinterW(HANDLE printer, DWORD level, LPBYTE buffer, DWORD bufferSize,
                                  LPDWORD needed) {
  Printer* p = nullptr;
  if (!CheckInfoCall(HostOp::GetPrinter, &p, printer, level, needed)) return FALSE;
  std::lock_guard<std::mutex> lock(p->mutex);
  const std::u16string* server = p->setup.serverName ? &*p->setup.serverName : nullptr;
  const std::u16string driver = kDriverName, processor = kPrintProcessor, datatype = kDatatype;
  const std::u16string empty;

  Packer pack(sizeof(PRINTER_INFO_2W), buffer);
  pack.Count(server);
  pack.Count(&p->setup.printerName);
  pack.Count(&empty);  // share name
  pack.Count(&p->setup.portName);
  pack.Count(&driver);
  pack.Count(&empty);  // comment
  pack.Count(&empty);  // location
  pack.Count(&empty);  // separator file
  pack.Count(&processor);
  pack.Count(&datatype);
  pack.Count(&empty);  // parameters
  *needed = static_cast<DWORD>(pack.Needed());
  if (buffer == nullptr || bufferSize < pack.Needed()) {
    hostimpl::SetError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  PRINTER_INFO_2W info{};
  pack.StartStrings(sizeof(PRINTER_INFO_2W));
  info.pServerName = pack.Put(server);
  info.pPrinterName = pack.Put(&p->setup.printerName);
  info.pShareName = pack.Put(&empty);
  info.pPortName = pack.Put(&p->setup.portName);
  info.pDriverName = pack.Put(&driver);
  info.pComment = pack.Put(&empty);
  info.pLocation = pack.Put(&empty);
  info.pSepFile = pack.Put(&empty);
  info.pPrintProcessor = pack.Put(&processor);
  info.pDatatype = pack.Put(&datatype);
  info.pParameters = pack.Put(&empty);
  info.Attributes = server ? PRINTER_ATTRIBUTE_NETWORK : PRINTER_ATTRIBUTE_LOCAL;
  info.Priority = 1;
  info.cJobs = static_cast<DWORD>(p->jobs.size());
  std::memcpy(buffer, &info, sizeof info);
  return TRUE;
}

namespace hostimpl {

// ResetSpooler - no printers; handles from before the reset are refused from now on.
void ResetSpooler() {
  std::lock_guard<std::mutex> lock(g_tableMutex);
  for (size_t slot = 1; slot <= g_printerCount; ++slot) {
    delete g_printers[slot].exchange(nullptr, std::memory_order_acq_rel);
  }
  g_printerCount = 0;
  g_generation = (g_generation + 1) & 0xFFFFFFFFU;
  if (g_generation == 0) g_generation = 1;
}

}  // namespace hostimpl

// HostAddPrinter - defines a printer; its handle is distinct from every other printer's.
HANDLE HostAddPrinter(const HostPrinterSetup& printer) {
  std::lock_guard<std::mutex> lock(g_tableMutex);
  if (g_printerCount == kMaxPrinters) {
    std::fprintf(stderr, "host spooler: more than %zu printers\n", kMaxPrinters);
    std::abort();
  }
  size_t slot = ++g_printerCount;
  auto* p = new Printer;
  p->setup = printer;
  p->handle = reinterpret_cast<HANDLE>(kHandleTag | (static_cast<uintptr_t>(g_generation) << 12) |
                                       static_cast<uintptr_t>(slot));
  g_printers[slot].store(p, std::memory_order_release);
  return p->handle;
}

// HostAddJob - defines (or redefines) a job of the printer, submitted now.
void HostAddJob(HANDLE printer, DWORD jobId, const HostJobSetup& job) {
  Printer* p = FindPrinter(printer);
  if (p == nullptr) return;
  std::lock_guard<std::mutex> lock(p->mutex);
  Job& entry = p->jobs[jobId];
  entry.setup = job;
  GetSystemTime(&entry.submitted);
}

// HostRemoveJob - the spooler forgets the job; GetJobW then fails for it.
void HostRemoveJob(HANDLE printer, DWORD jobId) {
  Printer* p = FindPrinter(printer);
  if (p == nullptr) return;
  std::lock_guard<std::mutex> lock(p->mutex);
  p->jobs.erase(jobId);
}

// HostSetPrinterCountOnly - with countOnly, WritePrinter keeps only the totals.
void HostSetPrinterCountOnly(HANDLE printer, bool countOnly) {
  Printer* p = FindPrinter(printer);
  if (p == nullptr) return;
  std::lock_guard<std::mutex> lock(p->mutex);
  p->countOnly = countOnly;
}

// HostSetPrinterSpoolFile - from now on WritePrinter also appends every block to the
// host file (created or emptied here); an empty path stops it.
bool HostSetPrinterSpoolFile(HANDLE printer, const std::string& hostPath) {
  Printer* p = FindPrinter(printer);
  if (p == nullptr) return false;
  std::lock_guard<std::mutex> lock(p->mutex);
  if (p->spoolFd >= 0) close(p->spoolFd);
  p->spoolFd = -1;
  if (hostPath.empty()) return true;
  p->spoolFd = open(hostPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  return p->spoolFd >= 0;
}

// HostPrinterData - a copy of what reached the printer; empty for an unknown handle.
HostPrinterOutput HostPrinterData(HANDLE printer) {
  Printer* p = FindPrinter(printer);
  if (p == nullptr) return HostPrinterOutput{};
  std::lock_guard<std::mutex> lock(p->mutex);
  return p->output;
}

// HostClearPrinterData - empties the sink and its counters.
void HostClearPrinterData(HANDLE printer) {
  Printer* p = FindPrinter(printer);
  if (p == nullptr) return;
  std::lock_guard<std::mutex> lock(p->mutex);
  p->output = HostPrinterOutput{};
}
