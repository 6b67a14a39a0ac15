// SPDX-License-Identifier: Apache-2.0
// The spooler double for the Windows end-to-end suite: WritePrinter, GetJobW and
// GetPrinterW over printers and jobs that the test program defines, plus its controls.
#include "tests/wine/spoolss/spool_double.h"

#include <winspool.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

struct Job {
  std::optional<std::wstring> document;
  std::optional<std::wstring> user;
};

struct Printer {
  std::optional<std::wstring> server;
  std::wstring name;
  std::wstring port;
  std::map<DWORD, Job> jobs;
  std::vector<BYTE> bytes;
  std::vector<DWORD> writeSizes;
};

struct Fault {
  DWORD at = 0;  // the WritePrinter call, counted since the reset, that fails first
  DWORD error = 0;
  bool persistent = false;
};

SRWLOCK lock = SRWLOCK_INIT;
std::map<HANDLE, Printer> printers;
uintptr_t nextHandle = 0x51000;  // never reused, so handles from before a reset stay invalid
std::vector<Fault> faults;
DWORD callCounts[3] = {};

struct Locked {
  Locked() { AcquireSRWLockExclusive(&lock); }
  ~Locked() { ReleaseSRWLockExclusive(&lock); }
};

Printer* Find(HANDLE printer) {
  auto it = printers.find(printer);
  return it == printers.end() ? nullptr : &it->second;
}

std::optional<std::wstring> Text(LPCWSTR text) {
  if (text == nullptr) return std::nullopt;
  return std::wstring(text);
}

// Lays out a level-2 information block the way the spooler does: the struct at the
// start of the caller's buffer, the strings packed backwards from the buffer's end.
class Packer {
 public:
  Packer(BYTE* buffer, DWORD size) : start_(buffer), end_(buffer + (size & ~1u)) {}

  static DWORD Bytes(const std::optional<std::wstring>& text) {
    return text ? static_cast<DWORD>((text->size() + 1) * sizeof(WCHAR)) : 0;
  }

  LPWSTR Put(const std::optional<std::wstring>& text) {
    if (!text) return nullptr;
    end_ -= Bytes(text);
    std::memcpy(end_, text->c_str(), Bytes(text));
    return reinterpret_cast<LPWSTR>(end_);
  }

 private:
  BYTE* start_;
  BYTE* end_;
};

// The checks every level-2 query makes before it fills anything, in the order the
// spooler makes them. Returns FALSE with the last error set when the call must fail.
BOOL CheckQuery(DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed, DWORD required) {
  if (level != 2) {
    // Levels 1, 3 and others exist on Windows; the plug-in only asks for level 2.
    SetLastError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  if (needed == nullptr) {
    SetLastError(RPC_X_NULL_REF_POINTER);
    return FALSE;
  }
  if (buffer == nullptr && size != 0) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  *needed = required;
  if (size < required) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  return TRUE;
}

const std::optional<std::wstring> kEmpty = std::wstring();
const std::optional<std::wstring> kRaw = std::wstring(L"RAW");
const std::optional<std::wstring> kProcessor = std::wstring(L"winprint");
const std::optional<std::wstring> kDriver = std::wstring(L"Wide Format Driver");

}  // namespace

extern "C" {

BOOL WINAPI WritePrinter(HANDLE printer, LPVOID data, DWORD size, LPDWORD written) {
  Locked held;
  ++callCounts[SPOOL_DOUBLE_WRITE_PRINTER];
  if (written != nullptr) *written = 0;
  Printer* p = Find(printer);
  if (p == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  for (const Fault& f : faults) {
    DWORD call = callCounts[SPOOL_DOUBLE_WRITE_PRINTER];
    if (call == f.at || (f.persistent && call > f.at)) {
      SetLastError(f.error);
      return FALSE;
    }
  }
  if (written == nullptr || (data == nullptr && size != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const BYTE* bytes = static_cast<const BYTE*>(data);
  p->bytes.insert(p->bytes.end(), bytes, bytes + size);
  p->writeSizes.push_back(size);
  *written = size;
  return TRUE;
}

BOOL WINAPI GetJobW(HANDLE printer, DWORD jobId, DWORD level, LPBYTE buffer, DWORD size,
                    LPDWORD needed) {
  Locked held;
  ++callCounts[SPOOL_DOUBLE_GET_JOB];
  Printer* p = Find(printer);
  if (p == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto it = p->jobs.find(jobId);
  if (it == p->jobs.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const Job& job = it->second;
  std::optional<std::wstring> printerName = p->name;
  std::optional<std::wstring> machine = std::wstring(L"\\\\SPOOLHOST");
  DWORD required = sizeof(JOB_INFO_2W) + Packer::Bytes(printerName) + Packer::Bytes(machine) +
                   Packer::Bytes(job.user) + Packer::Bytes(job.document) +
                   Packer::Bytes(job.user) + Packer::Bytes(kRaw) + Packer::Bytes(kProcessor) +
                   Packer::Bytes(kEmpty) + Packer::Bytes(kDriver);
  if (!CheckQuery(level, buffer, size, needed, required)) return FALSE;
  JOB_INFO_2W info;
  std::memset(&info, 0, sizeof info);
  Packer packer(buffer, size);
  info.JobId = jobId;
  info.pPrinterName = packer.Put(printerName);
  info.pMachineName = packer.Put(machine);
  info.pUserName = packer.Put(job.user);
  info.pDocument = packer.Put(job.document);
  info.pNotifyName = packer.Put(job.user);
  info.pDatatype = packer.Put(kRaw);
  info.pPrintProcessor = packer.Put(kProcessor);
  info.pParameters = packer.Put(kEmpty);
  info.pDriverName = packer.Put(kDriver);
  info.Status = JOB_STATUS_SPOOLING;
  info.Priority = 1;
  info.Position = 1;
  std::memcpy(buffer, &info, sizeof info);
  return TRUE;
}

BOOL WINAPI GetPrinterW(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed) {
  Locked held;
  ++callCounts[SPOOL_DOUBLE_GET_PRINTER];
  Printer* p = Find(printer);
  if (p == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::optional<std::wstring> name = p->name, port = p->port;
  DWORD required = sizeof(PRINTER_INFO_2W) + Packer::Bytes(p->server) + Packer::Bytes(name) +
                   Packer::Bytes(kEmpty) * 4 + Packer::Bytes(port) + Packer::Bytes(kDriver) +
                   Packer::Bytes(kProcessor) + Packer::Bytes(kRaw);
  if (!CheckQuery(level, buffer, size, needed, required)) return FALSE;
  PRINTER_INFO_2W info;
  std::memset(&info, 0, sizeof info);
  Packer packer(buffer, size);
  info.pServerName = packer.Put(p->server);
  info.pPrinterName = packer.Put(name);
  info.pShareName = packer.Put(kEmpty);
  info.pPortName = packer.Put(port);
  info.pDriverName = packer.Put(kDriver);
  info.pComment = packer.Put(kEmpty);
  info.pLocation = packer.Put(kEmpty);
  info.pSepFile = packer.Put(kEmpty);
  info.pPrintProcessor = packer.Put(kProcessor);
  info.pDatatype = packer.Put(kRaw);
  info.Attributes = PRINTER_ATTRIBUTE_LOCAL;
  info.Priority = 1;
  info.DefaultPriority = 1;
  info.cJobs = static_cast<DWORD>(p->jobs.size());
  std::memcpy(buffer, &info, sizeof info);
  return TRUE;
}

void WINAPI SpoolDoubleReset(void) {
  Locked held;
  printers.clear();
  faults.clear();
  std::memset(callCounts, 0, sizeof callCounts);
}

HANDLE WINAPI SpoolDoubleAddPrinter(LPCWSTR server, LPCWSTR name, LPCWSTR port) {
  Locked held;
  HANDLE handle = reinterpret_cast<HANDLE>(nextHandle);
  nextHandle += 0x40;
  Printer& p = printers[handle];
  p.server = Text(server);
  p.name = name ? name : L"";
  p.port = port ? port : L"";
  return handle;
}

BOOL WINAPI SpoolDoubleAddJob(HANDLE printer, DWORD jobId, LPCWSTR document, LPCWSTR user) {
  Locked held;
  Printer* p = Find(printer);
  if (p == nullptr) return FALSE;
  p->jobs[jobId] = Job{Text(document), Text(user)};
  return TRUE;
}

BOOL WINAPI SpoolDoubleRemoveJob(HANDLE printer, DWORD jobId) {
  Locked held;
  Printer* p = Find(printer);
  return p != nullptr && p->jobs.erase(jobId) == 1;
}

void WINAPI SpoolDoubleFailNthWrite(DWORD nth, DWORD error, BOOL persistent) {
  Locked held;
  faults.push_back(Fault{callCounts[SPOOL_DOUBLE_WRITE_PRINTER] + nth, error, persistent != FALSE});
}

DWORD WINAPI SpoolDoublePrinterBytes(HANDLE printer, BYTE* buffer, DWORD size) {
  Locked held;
  Printer* p = Find(printer);
  if (p == nullptr) return 0;
  if (buffer != nullptr) std::memcpy(buffer, p->bytes.data(), std::min<size_t>(size, p->bytes.size()));
  return static_cast<DWORD>(p->bytes.size());
}

DWORD WINAPI SpoolDoublePrinterWrites(HANDLE printer, DWORD* sizes, DWORD count) {
  Locked held;
  Printer* p = Find(printer);
  if (p == nullptr) return 0;
  for (DWORD i = 0; sizes != nullptr && i < count && i < p->writeSizes.size(); ++i) {
    sizes[i] = p->writeSizes[i];
  }
  return static_cast<DWORD>(p->writeSizes.size());
}

DWORD WINAPI SpoolDoubleCallCount(DWORD which) {
  Locked held;
  return which < 3 ? callCounts[which] : 0;
}

}  // extern "C"
